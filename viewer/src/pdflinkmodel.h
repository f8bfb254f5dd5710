#ifndef PDFLINKMODEL_H
#define PDFLINKMODEL_H

#include "pdfsourcefile.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QRectF>
#include <QString>

#include <memory>

class QPdfDocument;

namespace Poppler {
class Document;
}

// The links of one page of a document, one row each. QtPdf 6.4 keeps its own link model
// private, so poppler reads the links from the document's file.
class PdfLinkModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum class Role : int {
        Rectangle = Qt::UserRole + 1, // QRectF in PDF points, origin at the page's top-left
    };
    Q_ENUM(Role)

    explicit PdfLinkModel(QObject *parent = nullptr);
    ~PdfLinkModel() override;

    QPdfDocument *document() const;
    void setDocument(QPdfDocument *document);
    int page() const;
    void setPage(int page);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    void reload();
    void readLinks();

    QPointer<QPdfDocument> pdfDocument;
    PdfSource sourceOfLinks;
    std::unique_ptr<Poppler::Document> source;
    int currentPage = 0;
    QList<QRectF> rectangles;
};

#endif // PDFLINKMODEL_H
