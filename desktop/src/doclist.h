#ifndef DOCLIST_H
#define DOCLIST_H

#include "ingestqueue.h"
#include "jsonstreamsplitter.h"

#include <tessellum/chunk.h>

#include <QAbstractListModel>
#include <QFuture>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QPointer>
#include <QProcess>

class Chat;
class Doc;
class DocReader;
struct DocSource;
class QPdfDocument;
class QTimer;

// The documents that finished ingestion, as the list model the document view shows. It also runs
// the ingestion: one scrivex run per queued PDF, then its chunks to the back end in batches, each
// released by the back end's ACK for the one before.
class DocList : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int progress READ progress WRITE setProgress NOTIFY progressChanged)
    Q_PROPERTY(
        QString SearchString READ searchString WRITE setSearchString NOTIFY searchStringChanged)

public:
    enum Roles {
        DocNameRole = Qt::UserRole + 2,
        DocPathRole,
        DocStatRole,
        DocObjectRole,
    };
    Q_ENUM(Roles)

    // A scrivex run that neither writes nor ends for this long is stopped.
    static constexpr int DefaultScrivexTimeoutMs = 60000;
    static constexpr int MaxChunksPerBatch = 100;

    explicit DocList(QObject *parent = nullptr);
    ~DocList() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int progress() const;
    void setProgress(int value);
    QString searchString() const;
    void setSearchString(const QString &text);

    Q_INVOKABLE void doubleClicked(int index);
    Q_INVOKABLE void addDataList(const QStringList &filePaths);

    // Removes a row once the back end has confirmed its delete.
    void delData(int index);
    void clearDocs();

    // The back end's ACK for the batch in flight: sends the next one or moves to the next
    // document. An ACK while no batch is in flight is ignored.
    void sendNextChunks();
    // The back end that holds the batch in flight went away (local: the server process ended,
    // online: the WebSocket closed), so its ACK will never come.
    void backEndEnded(bool local);
    // The back end now in use does not hold the chunks of the running ingestion (another mode,
    // another retrieval model): its documents are read and sent again from the first. An ACK
    // still owed for the batch in flight, when it comes, belongs to the old run.
    void restartIngestion(bool ackStillComing);

    bool isIngesting() const;
    void setScrivexTimeout(int milliseconds);

public slots:
    void highlightRef(Chunk chk);

signals:
    void pdfDoubleClicked(QPdfDocument *document, QString fileName);
    void progressChanged();
    void docDeleted(QString path);
    void docsDeleted();
    void closeDoc(const QPdfDocument *doc);
    void closeDocs();
    void highlightPdfRef(QPdfDocument *document, QString fileName, Chunk chk);
    // A reference to a document that is not listed and cannot be shown as it was listed.
    void referenceUnlisted(QString fileName);
    // A dropped document that is not added, and why ("there is not enough memory to hold it").
    void docPassedOver(QString fileName, QString reason);
    void searchStringChanged(QString searchString);
    void pdfSearchResultsAdded(Doc *doc, QModelIndex parent, int first, int last);

private slots:
    void onPdfProcessFinished(int exitCode, QProcess::ExitStatus status);
    void chunkReceived();

private:
    void onDocLoaded(const DocSource &source);
    void passOver(const QString &path, const QString &reason);
    void processNextDoc();
    void startScrivex(Doc *doc);
    void takeScrivexOutput(const QByteArray &bytes, bool answer);
    void onScrivexFailedToStart();
    void onScrivexSilent();
    void onScrivexRead(int run, bool fileUnchanged);
    void tellUnlisted(const QString &path);
    Doc *showDeparted(const DocSource &source, bool reused);
    void sendPendingChunks();
    void failCurrentDocument(const char *reason);
    void reportLostPages(const Doc *doc) const;
    void forget(Doc *doc);
    void rememberDeparted(const Doc *doc);
    void reopenDeparted(const QString &path);
    void dropPendingChunks();
    void finishIngestion();
    int progressFor(int pages, int entriesDone) const;

    QList<Doc *> m_rows;
    QHash<QString, Doc *> m_rowsByPath;
    int m_progress = 0;
    QPointer<Chat> m_ownerChat;
    QProcess *m_pdfProcess = nullptr;
    IngestQueue m_ingestQueue;
    QJsonArray m_pendingChunks;
    int m_chunksSent = 0;
    QString m_searchText;
    // What the documents that left the list held, by path: one of them is shown again for a
    // reference only while its file still holds exactly those bytes. The digest is taken on a
    // worker thread.
    struct Departed
    {
        qint64 size = 0;
        QFuture<QByteArray> digest;
    };
    QHash<QString, Departed> m_departed;
    Doc *m_reopened = nullptr;
    // Only the latest click on a reference is answered.
    quint64 m_referenceRequest = 0;

    DocReader *m_reader = nullptr;
    // Every queued document is done and the run waits for files still being read.
    bool m_awaitingReads = false;
    // Tells a late check of a finished scrivex run from one of the current run.
    int m_run = 0;

    JsonStreamSplitter m_scrivexOutput;
    QTimer *m_scrivexWatchdog = nullptr;
    bool m_scrivexTimedOut = false;
    bool m_batchInFlight = false;
    bool m_batchWentLocal = false;
    int m_staleAcks = 0;
    // The scrivex run being killed belongs to a run that starts over once it has ended.
    bool m_restartWhenStopped = false;
    QByteArray m_scrivexErrors;
};

#endif // DOCLIST_H
