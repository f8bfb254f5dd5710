#ifndef TESTPDF_H
#define TESTPDF_H

#include <QByteArray>
#include <QList>
#include <QRectF>
#include <QString>

// Writes small PDFs by hand: base-14 Helvetica (exact metrics, no font files), with codes 1
// and 2 drawing the "fi" and "fl" ligature glyphs, and any MediaBox, CropBox and /Rotate.
class TestPdf
{
public:
    struct Page
    {
        QByteArray content;
        QRectF mediaBox { 0, 0, 612, 792 };
        QRectF cropBox; // none when empty
        int rotate = 0;
        bool missing = false; // the page tree points at no page, as in a damaged file
    };

    // Text operators for lines set in Helvetica: the first baseline at (x, y) in PDF user space
    // (y up), the next ones `leading` lower. A line starting with spaces is indented by them.
    static QByteArray lines(
        double x, double y, double size, double leading, const QList<QByteArray> &texts);

    void addPage(const Page &page) { m_pages.append(page); }
    QByteArray bytes() const;
    bool save(const QString &path) const;

private:
    QList<Page> m_pages;
};

#endif // TESTPDF_H
