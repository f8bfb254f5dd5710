#ifndef PDFTEXTFRAMES_H
#define PDFTEXTFRAMES_H

#include "pdfsourcefile.h"

#include <QHash>
#include <QPointer>
#include <QString>
#include <QTransform>

#include <memory>

class QPdfDocument;

namespace poppler {
class document;
}

// QtPdf 6.4 measures text (search hits, selections) in the page's user space with only the y
// axis flipped against the shown height: it ignores where the crop box starts and the page's
// /Rotate. This tells, per page, the transform from QtPdf's text frame to the shown frame
// (points from the top-left corner of the page as drawn, y downwards), read with poppler from
// the document's source file.
class PdfTextFrames
{
public:
    PdfTextFrames();
    ~PdfTextFrames();

    void setDocument(QPdfDocument *document);

    // Maps a point or rectangle of QtPdf's text geometry onto the shown page; its inverse
    // maps a point of the shown page to where QtPdf looks for text. The identity when the
    // document's source file is not known.
    QTransform textToPage(int page) const;

private:
    void sync() const;

    QPointer<QPdfDocument> pdfDocument;
    // poppler reads the bytes in place: they stay here for as long as its document lives.
    mutable PdfSource loaded;
    mutable std::unique_ptr<poppler::document> source;
    mutable QHash<int, QTransform> transforms;
};

#endif // PDFTEXTFRAMES_H
