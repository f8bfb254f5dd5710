#ifndef PDFPAGEORIGINS_H
#define PDFPAGEORIGINS_H

#include <QHash>
#include <QPointF>
#include <QPointer>
#include <QString>

#include <memory>

class QPdfDocument;

namespace poppler {
class document;
}

// QtPdf 6.4 measures text (search hits, selections) from the user-space origin instead of the
// shown page's top-left corner, so on a page whose crop box does not start at (0, 0) its boxes
// miss their text. This tells, per page, the shift from QtPdf's text frame to the shown frame,
// read from the page's crop box. Rotated pages are left as QtPdf gives them.
class PdfPageOrigins
{
public:
    PdfPageOrigins();
    ~PdfPageOrigins();

    void setDocument(QPdfDocument *document);

    // Add to a point of QtPdf's text geometry to get the point on the shown page.
    QPointF textOffset(int page) const;

private:
    void sync() const;

    QPointer<QPdfDocument> pdfDocument;
    mutable QString loadedFile;
    mutable std::unique_ptr<poppler::document> source;
    mutable QHash<int, QPointF> offsets;
};

#endif // PDFPAGEORIGINS_H
