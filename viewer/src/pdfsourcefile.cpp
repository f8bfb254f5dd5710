#include "pdfsourcefile.h"

#include <QPdfDocument>

// QtPdf 6.4 keeps the file name private and befriends its own link model's private class, the
// one we stand in for; this class has no data and only this function, so nothing of Qt's
// class of that name is touched.
class QPdfLinkModelPrivate
{
public:
    static QString sourceFileOf(const QPdfDocument *document) { return document->fileName(); }
};

QString pdfSourceFile(const QPdfDocument *document)
{
    if (!document || document->status() != QPdfDocument::Status::Ready)
        return QString();
    return QPdfLinkModelPrivate::sourceFileOf(document);
}
