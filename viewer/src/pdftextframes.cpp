#include "pdftextframes.h"

#include "pdfsourcefile.h"

#include <QFile>
#include <QPdfDocument>

#include <poppler-document.h>
#include <poppler-page.h>

namespace {

// From the page's user space (y up) to the shown frame, for the crop box
// [left, bottom, right, top] turned clockwise by the page's rotation.
QTransform userToShown(poppler::page::orientation_enum orientation, const poppler::rectf &crop)
{
    const double left = crop.left(), bottom = crop.top(), right = crop.right(),
                 top = crop.bottom(); // poppler's rectf keeps the smaller y as its "top"
    switch (orientation) {
    case poppler::page::landscape: // 90: the left edge is shown on top
        return QTransform(0, 1, 1, 0, -bottom, -left);
    case poppler::page::upside_down: // 180
        return QTransform(-1, 0, 0, 1, right, -bottom);
    case poppler::page::seascape: // 270: the left edge is shown at the bottom
        return QTransform(0, -1, -1, 0, top, right);
    case poppler::page::portrait:
        break;
    }
    return QTransform(1, 0, 0, -1, -left, top);
}

} // namespace

PdfTextFrames::PdfTextFrames() = default;

PdfTextFrames::~PdfTextFrames() = default;

void PdfTextFrames::setDocument(QPdfDocument *document)
{
    pdfDocument = document;
}

void PdfTextFrames::sync() const
{
    // The document can be loaded again at any time, so the file is checked on every use.
    const PdfSource current = pdfSource(pdfDocument);
    if (current == loaded)
        return;
    transforms.clear();
    source.reset();
    loaded = current;
    if (loaded.isEmpty())
        return;
    const std::string password = pdfDocument->password().toStdString();
    if (loaded.data.isEmpty())
        source.reset(poppler::document::load_from_file(
            QFile::encodeName(loaded.file).toStdString(), password, password));
    else
        source.reset(poppler::document::load_from_raw_data(
            loaded.data.constData(), int(loaded.data.size()), password, password));
    if (source && source->is_locked())
        source.reset();
}

QTransform PdfTextFrames::textToPage(int page) const
{
    sync();
    if (!source || page < 0)
        return QTransform();
    if (const auto it = transforms.constFind(page); it != transforms.constEnd())
        return it.value();
    QTransform transform;
    if (page < source->pages()) {
        if (const std::unique_ptr<poppler::page> p(source->create_page(page)); p) {
            const poppler::rectf crop = p->page_rect(poppler::crop_box);
            const poppler::page::orientation_enum orientation = p->orientation();
            const bool quarterTurn
                = orientation == poppler::page::landscape || orientation == poppler::page::seascape;
            // QtPdf's y runs down from the shown height: undo that, then show the user space.
            const double shownHeight = quarterTurn ? crop.width() : crop.height();
            transform = QTransform(1, 0, 0, -1, 0, shownHeight) * userToShown(orientation, crop);
        }
    }
    transforms.insert(page, transform);
    return transform;
}
