#ifndef TESTENVIRONMENT_H
#define TESTENVIRONMENT_H

#include "standinprocess.h"

#include <QList>

#include <memory>
#include <QObject>
#include <QProcess>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class Chat;
class QQmlEngine;

// What the document and chat tests share: a private home for settings, temporary files and the
// server's socket, the real online-service stand-in, and PDFs made on the spot.
namespace TestEnvironment {

// Points TMPDIR, HOME and the XDG folders into root and turns on QStandardPaths' test mode.
// Call it before any socket, child process or settings object exists.
void isolate(const QTemporaryDir &root);
// Removes every stored setting of the desktop program.
void clearSettings();
void storeSetting(const QString &key, const QVariant &value);

QString binDir();
QString modelsDir();
// A model folder holding the generated answer and retrieval models as answer.gguf and
// retrieval.gguf.
QString makeModelFolder(const QString &parent);

struct Paragraph
{
    QString text;
    QRectF box; // PDF points, origin top-left
};

// Writes a PDF whose pages hold the given paragraphs, one line each and well apart, and returns
// where each one was drawn, page by page.
QList<QList<Paragraph>> writePdf(const QString &path, const QList<QStringList> &pages);
QString fileUrl(const QString &path);
// Writes a PDF by hand with one line of Helvetica text a page, in which the page object of
// damagedPage (0-based) is missing, as in a damaged file.
void writeDamagedPdf(const QString &path, const QStringList &pageTexts, int damagedPage);
// The resident memory of this process, in kB.
qint64 residentKb();

} // namespace TestEnvironment

// The online assistant stand-in as a child process: what it was sent and what it answered.
class OnlineService : public QObject
{
    Q_OBJECT

public:
    explicit OnlineService(const QStringList &arguments = {}, QObject *parent = nullptr);
    ~OnlineService() override;

    bool isListening() const;
    QString url() const;
    // The log: "<< text" for every message received, ">> text" for every one sent.
    QStringList log() const;
    QStringList received(const QString &type = QString()) const;
    bool waitForReceived(const QString &type, int count, int timeoutMs = 10000);

private:
    StandInProcess m_process;
};

// The WebSocket item the main window hands to Chat, made from QML as the window makes it.
QObject *createWebSocket(QQmlEngine &engine, const QString &url, QObject *receiver);
bool waitForStatus(QObject *webSocket, int status, int timeoutMs = 10000);

// The online back end of a Chat: the service stand-in and a WebSocket item connected to it.
struct Online
{
    explicit Online(Chat &chat, const QStringList &arguments = {});
    ~Online();
    bool open() const;

    OnlineService service;
    std::unique_ptr<QQmlEngine> engine;
    QObject *socket = nullptr;
};

#endif // TESTENVIRONMENT_H
