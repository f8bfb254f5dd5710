#ifndef PDFSOURCEFILE_H
#define PDFSOURCEFILE_H

#include <QString>

class QPdfDocument;

// The local file a ready QPdfDocument was loaded from, as its owner names it in the document's
// source-file property (QtPdf keeps its own file name private), or an empty string. Poppler
// reads the same file for what QtPdf 6.4 does not give us (links, page boxes).
QString pdfSourceFile(const QPdfDocument *document);

#endif // PDFSOURCEFILE_H
