#ifndef DOC_H
#define DOC_H

#include <QByteArray>
#include <QModelIndex>
#include <QObject>
#include <QString>

class QPdfDocument;
class QPdfSearchModel;
struct DocSource;

// One PDF of the document list, with its loaded document and the search model over it. Both go
// with the Doc: the list frees a removed Doc only after telling the viewer and the search.
// The file is read once, before the Doc is made: the document, its search and the viewer work on
// those bytes, so a file changed or removed on disk afterwards cannot reach them.
class Doc : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path CONSTANT)
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(Status stat READ stat CONSTANT)

public:
    enum Status { NEW = 0, INGESTED = 1, MODIFIED = 2 };
    Q_ENUM(Status)

    // Reads the file on the calling thread; the list has it read by a DocReader instead.
    Doc(const QString &path, QObject *parent);
    // A document whose file was read and opened already; it takes the opened document over.
    Doc(const DocSource &source, QObject *parent);
    ~Doc() override;

    // The bytes of the file as it was read: what the document shows.
    QByteArray contents() const;
    // A fingerprint of some bytes, to tell whether a file still holds them. Its time grows with
    // their size.
    static QByteArray digestOf(const QByteArray &contents);

    QString path() const;
    QString name() const;
    Status stat() const;
    void setStat(Status status);

    QPdfDocument *pdfDocument() const;
    QPdfSearchModel *pdfSearchModel() const;

    // True for a file URL whose local path ends in ".pdf", whatever its letter case.
    bool isLocalPdf() const;
    QString localPath() const;
    int pageCount() const;

signals:
    void pdfSearchResultsAdded(Doc *doc, QModelIndex parent, int first, int last);

private:
    QString m_name;
    QString m_path;
    Status m_stat = NEW;
    QByteArray m_contents;
    QPdfDocument *m_pdfDocument = nullptr;
    QPdfSearchModel *m_pdfSearchModel = nullptr;
};

#endif // DOC_H
