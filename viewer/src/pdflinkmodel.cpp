#include "pdflinkmodel.h"

#include "pdfsourcefile.h"

#include <QPdfDocument>

#include <poppler-link.h>
#include <poppler-qt6.h>

PdfLinkModel::PdfLinkModel(QObject *parent)
    : QAbstractListModel(parent)
{ }

PdfLinkModel::~PdfLinkModel() = default;

QPdfDocument *PdfLinkModel::document() const
{
    return pdfDocument;
}

void PdfLinkModel::setDocument(QPdfDocument *document)
{
    if (document == pdfDocument)
        return;
    if (pdfDocument)
        disconnect(pdfDocument, nullptr, this, nullptr);
    pdfDocument = document;
    if (document) {
        // A document that is loaded again later, or closed, changes what its pages link to.
        connect(document, &QPdfDocument::statusChanged, this, &PdfLinkModel::reload);
        connect(document, &QObject::destroyed, this, &PdfLinkModel::reload);
    }
    reload();
}

int PdfLinkModel::page() const
{
    return currentPage;
}

void PdfLinkModel::setPage(int page)
{
    // The document's owner may name its file after loading it.
    if (pdfSource(pdfDocument) != sourceOfLinks)
        reload();
    // The view sets the page on every paint: only a change rereads the links.
    if (page == currentPage)
        return;
    beginResetModel();
    currentPage = page;
    readLinks();
    endResetModel();
}

int PdfLinkModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rectangles.size();
}

QVariant PdfLinkModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    if (role == int(Role::Rectangle))
        return rectangles.at(index.row());
    return QVariant();
}

QHash<int, QByteArray> PdfLinkModel::roleNames() const
{
    return { { int(Role::Rectangle), QByteArrayLiteral("rectangle") } };
}

void PdfLinkModel::reload()
{
    beginResetModel();
    source.reset();
    sourceOfLinks = pdfSource(pdfDocument);
    if (!sourceOfLinks.isEmpty()) {
        const QByteArray password = pdfDocument->password().toUtf8();
        source = sourceOfLinks.data.isEmpty()
            ? Poppler::Document::load(sourceOfLinks.file, password, password)
            : Poppler::Document::loadFromData(sourceOfLinks.data, password, password);
        if (source && source->isLocked())
            source.reset();
    }
    readLinks();
    endResetModel();
}

void PdfLinkModel::readLinks()
{
    rectangles.clear();
    if (!source || currentPage < 0 || currentPage >= source->numPages())
        return;
    const std::unique_ptr<Poppler::Page> page = source->page(currentPage);
    if (!page)
        return;
    // Link areas are fractions of the shown page, top-left origin, usually with a negative
    // height; scaled by the page size they become points.
    const QSizeF size = page->pageSizeF();
    for (const std::unique_ptr<Poppler::Link> &link : page->links()) {
        const QRectF area = link->linkArea();
        rectangles.append(QRectF(area.x() * size.width(), area.y() * size.height(),
            area.width() * size.width(), area.height() * size.height())
                              .normalized());
    }
}
