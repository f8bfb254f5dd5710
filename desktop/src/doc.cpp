#include "doc.h"

#include "docreader.h"
#include "timeslicedsearchmodel.h"

#include <folioscope/folioscope.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QDebug>
#include <QFileInfo>
#include <QPdfDocument>
#include <QThread>
#include <QThreadPool>
#include <QUrl>

#include <utility>

Doc::Doc(const QString &path, QObject *parent)
    : Doc(DocReader::load(path, QThread::currentThread()), parent)
{ }

Doc::Doc(const DocSource &source, QObject *parent)
    : QObject(parent)
    , m_path(source.path)
    , m_contents(source.contents)
{
    const QUrl url(m_path);
    m_name = url.isLocalFile() ? QFileInfo(url.toLocalFile()).fileName() : m_path;

    m_pdfDocument = source.pdfDocument ? source.pdfDocument->claim() : nullptr;
    if (m_pdfDocument)
        m_pdfDocument->setParent(this);
    else
        m_pdfDocument = new QPdfDocument(this);
    m_pdfSearchModel = new TimeSlicedSearchModel(this);
    m_pdfSearchModel->setDocument(m_pdfDocument);
    if (m_pdfDocument->status() != QPdfDocument::Status::Ready)
        qDebug() << "Doc could not be loaded";

    connect(m_pdfSearchModel, &QAbstractItemModel::rowsInserted, this,
        [this](const QModelIndex &parentIndex, int first, int last) {
            emit pdfSearchResultsAdded(this, parentIndex, first, last);
            qDebug() << "Rows inserted from" << first << "to" << last;
        });
}

Doc::~Doc()
{
    // Freeing the bytes of a large file takes time that grows with their size: the last
    // reference goes on a worker thread, once the document no longer reads them.
    m_pdfDocument->close();
    m_pdfDocument->setProperty(Folioscope::SourceDataProperty, QVariant());
    if (auto *source = m_pdfDocument->findChild<QBuffer *>()) {
        source->close();
        source->setData(QByteArray());
    }
    // Past the end of the application there is no pool left: they go here.
    if (QThreadPool *pool = DocReader::pool())
        pool->start([contents = std::exchange(m_contents, {})]() mutable {
            DocReader::release(std::move(contents));
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

QByteArray Doc::contents() const
{
    return m_contents;
}

QByteArray Doc::digestOf(const QByteArray &contents)
{
    return QCryptographicHash::hash(contents, QCryptographicHash::Sha256);
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
    return DocReader::localPathOf(m_path);
}

int Doc::pageCount() const
{
    return m_pdfDocument->pageCount();
}
