#ifndef DOC_H
#define DOC_H

#include <QModelIndex>
#include <QObject>
#include <QString>

class QPdfDocument;
class QPdfSearchModel;

// One PDF of the document list, with its loaded document and the search model over it. Both go
// with the Doc: the list frees a removed Doc only after telling the viewer and the search.
class Doc : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path CONSTANT)
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(Status stat READ stat CONSTANT)

public:
    enum Status { NEW = 0, INGESTED = 1, MODIFIED = 2 };
    Q_ENUM(Status)

    Doc(const QString &path, QObject *parent);

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
    QPdfDocument *m_pdfDocument = nullptr;
    QPdfSearchModel *m_pdfSearchModel = nullptr;
};

#endif // DOC_H
