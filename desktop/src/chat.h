#ifndef CHAT_H
#define CHAT_H

#include "combinedsearchmodel.h"
#include "doclist.h"
#include "docproxylist.h"
#include "filedownloader.h"
#include "user.h"

#include <tessellum/chunk.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>

class LLMClient;

// The one object through which the views reach the application core: the conversation, the
// documents, the settings, the mode (local server or online service) and the model choices.
class Chat : public QObject
{
    Q_OBJECT
    Q_PROPERTY(User *openedChatUser READ openedChatUser CONSTANT)
    Q_PROPERTY(User *mainUser READ mainUser CONSTANT)
    Q_PROPERTY(DocProxyList *DocsProxy READ docsProxy CONSTANT)
    Q_PROPERTY(DocList *Docs READ docs CONSTANT)
    Q_PROPERTY(CombinedSearchModel *SearchModel READ searchModel CONSTANT)
    Q_PROPERTY(bool LocalAI READ localAI WRITE setLocalAI NOTIFY localAIChanged)
    Q_PROPERTY(bool IsWaitingMsg READ isWaitingMsg)
    Q_PROPERTY(QString AnswerLlm READ answerLlm WRITE setAnswerLlm NOTIFY answerLlmChanged)
    Q_PROPERTY(QString RetrieveLlm READ retrieveLlm WRITE setRetrieveLlm NOTIFY retrieveLlmChanged)
    Q_PROPERTY(QStringList Llms READ llms NOTIFY llmsUpdated)
    Q_PROPERTY(QString OraculdDir READ oraculdDir WRITE setOraculdDir NOTIFY oraculdDirChanged)
    Q_PROPERTY(FileDownloader *modelDownloader READ modelDownloader CONSTANT)

public:
    explicit Chat(QObject *parent = nullptr);
    ~Chat() override;

    User *openedChatUser() const;
    User *mainUser() const;
    DocProxyList *docsProxy() const;
    DocList *docs() const;
    CombinedSearchModel *searchModel() const;
    bool localAI() const;
    bool isWaitingMsg() const;
    QString answerLlm() const;
    QString retrieveLlm() const;
    QStringList llms() const;
    QString oraculdDir() const;

    void setLocalAI(bool localAI);
    void setAnswerLlm(const QString &llm);
    void setRetrieveLlm(const QString &llm);
    void setOraculdDir(const QString &dir);

    // Sends to the back end of the current mode; false when it is not connected (not open), and
    // the message is then lost.
    bool sendToServer(const QJsonObject &message);
    LLMClient *llmClient() const;
    FileDownloader *modelDownloader() const;

    Q_INVOKABLE void delDoc(int index);
    Q_INVOKABLE void selectOraculdDir();

public slots:
    void sendMessage(const QString &query);
    void setSocket(QObject *qmlSocket);
    void messageReceived(const QString &message);
    void messageReceived(const QJsonDocument &doc);
    void handleAnswer(const QJsonDocument &jsonDoc);
    void handleAck(const QJsonDocument &jsonDoc);
    void handleAnswerPartial(const QJsonDocument &jsonDoc);
    void handleAnswerRefs(const QJsonDocument &jsonDoc);
    void handleProgress(const QJsonDocument &jsonDoc);
    void onModelDownloadCompleted(const QString &modelName, const QString &modelType);

signals:
    void docDeletedFromServer(int index);
    void delDocTriggered();
    void localAIChanged(bool localAI);
    void answerLlmChanged(QString llm);
    void retrieveLlmChanged(QString llm);
    void oraculdDirChanged(QString dir);
    void llmsUpdated();
    // The server refused the model `name` for `reason`; the choice is back on the model the
    // server still runs (none after a refusal at its start).
    void modelRefused(QString name, QString reason);

private slots:
    void onOnlineStatusChanged();
    void onModelFileRemoved();

private:
    struct PendingDelete
    {
        QString path;
        bool local;
    };

    // What became of a message handed to a back end.
    enum class Delivery {
        Sent,
        Waiting, // the back end is on its way (server loading, WebSocket connecting)
        Unreachable,
    };

    QVariant settingValue(const QString &key) const;
    void saveSetting(const QString &key, const QString &value);
    void saveSetting(const QString &key, bool value);
    QString modelPath(const QString &baseName) const;
    void refreshLlms();
    void listLlms();
    // A chosen model that is no longer listed is dropped as one missing at start: not applied,
    // still stored.
    void dropUnlistedChoices();
    void startServerWhenModelsChosen();
    // Sends a model change to the running server, remembered until its READYACK tells.
    void sendModelChange(bool answerModel, const QString &name, const QString &path);
    void onServerConnected();
    void onModelReply(const QJsonObject &reply);
    void onModelRefusedAtStart(bool answerModel, const QString &reason);
    // Makes `name` the choice again without telling the server, which runs it already.
    void restoreChoice(bool answerModel, const QString &name);

    bool backEndOpen(bool local) const;
    bool backEndComing(bool local) const;
    Delivery send(const QJsonObject &message, bool local);
    void sendWaiting(bool local);
    void dispatch(const QJsonDocument &doc, bool fromLocal);
    void addPendingAnswer();
    void endPendingAnswer();
    void failPendingAnswer(const QString &reason);
    void onServerEnded();
    void onBackEndGone(bool local);
    void dropDeletesSentTo(bool local);
    void onDeleteAcknowledged();
    QList<Chunk> parseSources(const QJsonDocument &reply) const;

    User *m_mainUser;
    User *m_openedChatUser;
    DocList *m_docs;
    DocProxyList *m_docsProxy;
    QSettings m_settings;
    CombinedSearchModel *m_searchModel;
    LLMClient *m_llmClient = nullptr;
    FileDownloader *m_modelDownloader = nullptr;
    bool m_localAI = false;
    QString m_answerLlm;
    QString m_retrieveLlm;
    QStringList m_llms;
    int m_pendingAnswerRow = -1;
    // Deletes sent and not yet confirmed, oldest first: a DELACK confirms the oldest.
    QList<PendingDelete> m_deletesInFlight;
    // Messages for a back end that is on its way, sent in order once it is there.
    QList<QJsonObject> m_waitingLocal;
    QList<QJsonObject> m_waitingOnline;
    // What the connected server runs, and the model changes sent to it that it has not
    // answered yet, oldest first.
    QString m_runningAnswerLlm;
    QString m_runningRetrieveLlm;
    QStringList m_sentAnswerLlms;
    QStringList m_sentRetrieveLlms;
};

#endif // CHAT_H
