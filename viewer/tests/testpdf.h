#ifndef TESTPDF_H
#define TESTPDF_H

#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>

// Writes small PDFs by hand with the base-14 Helvetica font, so a test knows to the point where
// every word lies. All positions are in the displayed frame: points from the top-left corner of
// the page as shown (its crop box), y growing downwards.
class TestPdf
{
public:
    // Adds a page; mediaBox is in PDF user space (origin bottom-left). A crop box, when given,
    // is what the page shows.
    int addPage(const QSizeF &size);
    void setCropBox(int page, const QRectF &userSpaceBox);

    // Draws text whose baseline starts at baselineStart and returns the box its glyphs fill
    // (Helvetica's ascender and descender, the advance widths of its characters).
    QRectF addText(
        int page, const QPointF &baselineStart, const QString &text, qreal fontSize = 12);
    void addLink(int page, const QRectF &rect, const QString &uri);

    bool write(const QString &path) const;

    static qreal textWidth(const QString &text, qreal fontSize);

private:
    struct Text
    {
        QPointF userBaseline;
        QString text;
        qreal size;
    };
    struct Page
    {
        QRectF mediaBox;
        QRectF cropBox;
        QList<Text> texts;
        QList<QPair<QRectF, QString>> links; // user space
    };
    QRectF shownBox(const Page &page) const;

    QList<Page> pages;
};

#endif // TESTPDF_H
