#include "pdfpageorigins.h"

#include "pdfsourcefile.h"

#include <QFile>
#include <QPdfDocument>

#include <poppler-document.h>
#include <poppler-page.h>

PdfPageOrigins::PdfPageOrigins() = default;

PdfPageOrigins::~PdfPageOrigins() = default;

void PdfPageOrigins::setDocument(QPdfDocument *document)
{
    pdfDocument = document;
}

void PdfPageOrigins::sync() const
{
    // The document can be loaded again at any time, so the file is checked on every use.
    const QString file = pdfSourceFile(pdfDocument);
    if (file == loadedFile)
        return;
    loadedFile = file;
    offsets.clear();
    source.reset();
    if (file.isEmpty())
        return;
    const std::string password = pdfDocument->password().toStdString();
    source.reset(poppler::document::load_from_file(
        QFile::encodeName(file).toStdString(), password, password));
    if (source && source->is_locked())
        source.reset();
}

QPointF PdfPageOrigins::textOffset(int page) const
{
    sync();
    if (!source || page < 0)
        return QPointF();
    if (const auto it = offsets.constFind(page); it != offsets.constEnd())
        return it.value();
    QPointF offset;
    if (page < source->pages()) {
        const std::unique_ptr<poppler::page> p(source->create_page(page));
        if (p && p->orientation() == poppler::page::portrait) {
            // QtPdf takes x as it is in user space and y from the box's height; the shown
            // page starts at the crop box's left and top edges.
            const poppler::rectf box = p->page_rect(poppler::crop_box);
            offset = QPointF(-box.left(), box.top());
        }
    }
    offsets.insert(page, offset);
    return offset;
}
