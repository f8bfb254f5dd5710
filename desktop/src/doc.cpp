#include "doc.h"

#include "timeslicedsearchmodel.h"

#include <folioscope/folioscope.h>

#include <QDebug>
#include <QFileInfo>
#include <QPdfDocument>
#include <QUrl>

Doc::Doc(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
    const QUrl url(path);
    m_name = url.isLocalFile() ? QFileInfo(url.toLocalFile()).fileName() : path;

    m_pdfDocument = new QPdfDocument(this);
    m_pdfSearchModel = new TimeSlicedSearchModel(this);
    m_pdfSearchModel->setDocument(m_pdfDocument);

    m_pdfDocument->setProperty(Folioscope::SourceFileProperty, localPath());
    if (m_pdfDocument->load(localPath()) != QPdfDocument::Error::None)
        qDebug() << "Doc could not be loaded";

    connect(m_pdfSearchModel, &QAbstractItemModel::rowsInserted, this,
        [this](const QModelIndex &parentIndex, int first, int last) {
            emit pdfSearchResultsAdded(this, parentIndex, first, last);
            qDebug() << "Rows inserted from" << first << "to" << last;
        });
}

QString Doc::path() const
{
    return m_path;
}

QString Doc::name() const
{
    return m_name;
}

Doc::Status Doc::stat() const
{
    return m_stat;
}

void Doc::setStat(Status status)
{
    m_stat = status;
}

QPdfDocument *Doc::pdfDocument() const
{
    return m_pdfDocument;
}

QPdfSearchModel *Doc::pdfSearchModel() const
{
    return m_pdfSearchModel;
}

bool Doc::isLocalPdf() const
{
    const QUrl url(m_path);
    return url.isLocalFile() && url.toLocalFile().toLower().endsWith(QLatin1String(".pdf"));
}

QString Doc::localPath() const
{
    const QUrl url(m_path);
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

int Doc::pageCount() const
{
    return m_pdfDocument->pageCount();
}
