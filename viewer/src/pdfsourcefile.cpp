#include "pdfsourcefile.h"

#include "folioscope/folioscope.h"

#include <QPdfDocument>
#include <QVariant>

PdfSource pdfSource(const QPdfDocument *document)
{
    PdfSource source;
    if (!document || document->status() != QPdfDocument::Status::Ready)
        return source;
    source.data = document->property(Folioscope::SourceDataProperty).toByteArray();
    if (source.data.isEmpty())
        source.file = document->property(Folioscope::SourceFileProperty).toString();
    return source;
}
