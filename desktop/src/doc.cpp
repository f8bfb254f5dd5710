#include "doc.h"

#include "timeslicedsearchmodel.h"

#include <folioscope/folioscope.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPdfDocument>
#include <QUrl>

namespace {

QString localPathOf(const QString &path)
{
    const QUrl url(path);
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

} // namespace

Doc::Doc(const QString &path, QObject *parent)
    : Doc(path, readFile(localPathOf(path)), parent)
{ }

Doc::Doc(const QString &path, const QByteArray &contents, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_contents(contents)
{
    const QUrl url(path);
    m_name = url.isLocalFile() ? QFileInfo(url.toLocalFile()).fileName() : path;

    m_pdfDocument = new QPdfDocument(this);
    m_pdfSearchModel = new TimeSlicedSearchModel(this);
    m_pdfSearchModel->setDocument(m_pdfDocument);

    // Loaded from a file, QtPdf goes on reading it for as long as the document lives, and a file
    // shrunk or rewritten in place makes it spin for good. From memory it needs nothing more.
    m_source = new QBuffer(this);
    m_source->setData(m_contents);
    m_source->open(QIODevice::ReadOnly);
    m_pdfDocument->setProperty(Folioscope::SourceDataProperty, m_contents);
    m_pdfDocument->load(m_source);
    if (m_pdfDocument->status() != QPdfDocument::Status::Ready)
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

QByteArray Doc::contents() const
{
    return m_contents;
}

QByteArray Doc::digest() const
{
    return digestOf(m_contents);
}

QByteArray Doc::digestOf(const QByteArray &contents)
{
    return QCryptographicHash::hash(contents, QCryptographicHash::Sha256);
}

QByteArray Doc::readFile(const QString &localPath)
{
    // Reading a pipe or a device could block for good.
    if (localPath.isEmpty() || !QFileInfo(localPath).isFile())
        return QByteArray();
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
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
    return localPathOf(m_path);
}

int Doc::pageCount() const
{
    return m_pdfDocument->pageCount();
}
