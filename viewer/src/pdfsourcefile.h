#ifndef PDFSOURCEFILE_H
#define PDFSOURCEFILE_H

#include <QByteArray>
#include <QString>

class QPdfDocument;

// What a ready QPdfDocument was loaded from, as its owner names it in the document's source
// properties (QtPdf keeps its own source private): the bytes themselves, or a local file.
// Poppler reads the same PDF for what QtPdf 6.4 does not give us (links, page boxes).
struct PdfSource
{
    QByteArray data;
    QString file;

    bool isEmpty() const { return data.isEmpty() && file.isEmpty(); }
    // The same bytes are the same shared array: comparing contents on every paint would cost a
    // pass over the whole document.
    bool operator==(const PdfSource &other) const
    {
        return data.constData() == other.data.constData() && data.size() == other.data.size()
            && file == other.file;
    }
    bool operator!=(const PdfSource &other) const { return !(*this == other); }
};

// The bytes when the owner gave them (they cannot change under the viewer), else the file.
PdfSource pdfSource(const QPdfDocument *document);

#endif // PDFSOURCEFILE_H
