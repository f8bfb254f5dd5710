#include "pdfsourcefile.h"

#include "folioscope/folioscope.h"

#include <QPdfDocument>
#include <QVariant>

QString pdfSourceFile(const QPdfDocument *document)
{
    if (!document || document->status() != QPdfDocument::Status::Ready)
        return QString();
    return document->property(Folioscope::SourceFileProperty).toString();
}
