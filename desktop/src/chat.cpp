#include "chat.h"

#include "chatlist.h"
#include "doclist.h"
#include "docproxylist.h"
#include "filedownloader.h"
#include "llmclient.h"
#include "message.h"
#include "user.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonArray>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QSignalBlocker>
#include <QStandardPaths>

namespace {

const QString LocalAIKey = QStringLiteral("localAI");
const QString OraculdDirKey = QStringLiteral("oraculdDir");
const QString AnsLlmKey = QStringLiteral("ansLLM");
const QString RetLlmKey = QStringLiteral("retLLM");

// What the answer bubble says when the question found no back end, or lost it.
const QString ServerNotRunningText = QStringLiteral(
    "The local server is not running, so the question was not sent. Check that an answer model "
    "and a retrieval model are chosen in the language model settings, switch local mode off and "
    "on again to restart the server, then ask again.");
const QString OnlineNotConnectedText = QStringLiteral(
    "The online service is not connected, so the question was not sent. Check the network "
    "connection and restart Quorvane, then ask again.");
const QString ServerEndedText = QStringLiteral(
    "The local server ended before it answered. Switch local mode off and on again to restart "
    "it, then ask again.");
const QString OnlineEndedText = QStringLiteral(
    "The connection to the online service ended before it answered. Restart Quorvane to "
    "connect again, then ask again.");

bool isChunks(const QJsonObject &message)
{
    return message.value(QStringLiteral("type")).toString() == QLatin1String("chunks");
}

int integerOrZero(const QJsonValue &value)
{
    // A number with a fraction is not a row or a page.
    return value.toInt(0);
}

} // namespace

Chat::Chat(QObject *parent)
    : QObject(parent)
    , m_mainUser(new User(0, QStringLiteral("Me"), QString(), QString(), this))
    , m_openedChatUser(new User(1, QStringLiteral("ChatGPT"), QString(), QString(), this))
    , m_docs(new DocList(this))
    , m_docsProxy(new DocProxyList(this))
    , m_settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"))
    , m_searchModel(new CombinedSearchModel(this))
{
    m_localAI = settingValue(LocalAIKey).toBool();
    m_docsProxy->setSourceModel(m_docs);

    connect(m_openedChatUser, &User::highlightRef, m_docs, &DocList::highlightRef);
    connect(this, &Chat::docDeletedFromServer, m_docs, &DocList::delData);
    connect(m_docs, &DocList::docDeleted, m_searchModel, &CombinedSearchModel::onDocDeleted);
    connect(m_docs, &DocList::docsDeleted, m_searchModel, &CombinedSearchModel::onDocsDeleted);
    connect(m_docs, &DocList::pdfSearchResultsAdded, m_searchModel,
        &CombinedSearchModel::onPdfSearchResultsAdded);
    connect(m_docs, &DocList::searchStringChanged, m_searchModel,
        &CombinedSearchModel::onSearchStringChanged);

    m_llmClient = new LLMClient(this);
    connect(m_llmClient, &LLMClient::messageReceived, this, [this](const QByteArray &bytes) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
        if (error.error == QJsonParseError::NoError)
            dispatch(doc, true);
    });
    connect(m_llmClient, &LLMClient::serverEnded, this, &Chat::onServerEnded);
    connect(m_llmClient, &LLMClient::serverConnected, this, [this] {
        onServerConnected();
        sendWaiting(true);
    });
    connect(m_llmClient, &LLMClient::modelRefusedAtStart, this, &Chat::onModelRefusedAtStart);
    m_modelDownloader = new FileDownloader(this);
    connect(m_modelDownloader, &FileDownloader::downloadCompleted, this,
        &Chat::onModelDownloadCompleted);
    connect(m_modelDownloader, &FileDownloader::modelFileRemoved, this, &Chat::onModelFileRemoved);

    if (settingValue(OraculdDirKey).toString().isEmpty())
        setOraculdDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
    refreshLlms();

    const QString storedAnswer = settingValue(AnsLlmKey).toString();
    if (QFileInfo::exists(modelPath(storedAnswer)))
        setAnswerLlm(storedAnswer);
    const QString storedRetrieval = settingValue(RetLlmKey).toString();
    if (QFileInfo::exists(modelPath(storedRetrieval)))
        setRetrieveLlm(storedRetrieval);

    m_llmClient->setLocal(m_localAI);
}

Chat::~Chat() = default;

User *Chat::openedChatUser() const
{
    return m_openedChatUser;
}

User *Chat::mainUser() const
{
    return m_mainUser;
}

DocProxyList *Chat::docsProxy() const
{
    return m_docsProxy;
}

DocList *Chat::docs() const
{
    return m_docs;
}

CombinedSearchModel *Chat::searchModel() const
{
    return m_searchModel;
}

bool Chat::localAI() const
{
    return m_localAI;
}

bool Chat::isWaitingMsg() const
{
    return m_pendingAnswerRow != -1;
}

QString Chat::answerLlm() const
{
    return m_answerLlm;
}

QString Chat::retrieveLlm() const
{
    return m_retrieveLlm;
}

QStringList Chat::llms() const
{
    return m_llms;
}

QString Chat::oraculdDir() const
{
    return settingValue(OraculdDirKey).toString();
}

LLMClient *Chat::llmClient() const
{
    return m_llmClient;
}

FileDownloader *Chat::modelDownloader() const
{
    return m_modelDownloader;
}

QVariant Chat::settingValue(const QString &key) const
{
    return m_settings.contains(key) ? m_settings.value(key) : QVariant();
}

void Chat::saveSetting(const QString &key, const QString &value)
{
    if (!m_settings.contains(key)) {
        m_settings.setValue(key, value);
        return;
    }
    if (m_settings.value(key).toString() == value)
        return;
    if (value.isEmpty())
        m_settings.remove(key);
    else
        m_settings.setValue(key, value);
}

void Chat::saveSetting(const QString &key, bool value)
{
    if (m_settings.contains(key) && m_settings.value(key).toBool() == value)
        return;
    m_settings.setValue(key, value);
}

QString Chat::modelPath(const QString &baseName) const
{
    return QDir::toNativeSeparators(
        oraculdDir() + QLatin1Char('/') + baseName + QStringLiteral(".gguf"));
}

void Chat::refreshLlms()
{
    listLlms();
    emit llmsUpdated();
}

void Chat::listLlms()
{
    m_llms.clear();
    QDir dir(oraculdDir());
    dir.setNameFilters({ QStringLiteral("*.gguf") });
    dir.setFilter(QDir::Files);
    dir.setSorting(QDir::Unsorted);
    // A download under way, paused, or left unfinished at quitting is not a model yet.
    for (const QFileInfo &file : dir.entryInfoList()) {
        if (m_modelDownloader->isModelFile(file))
            m_llms.append(file.completeBaseName());
    }
}

void Chat::onModelFileRemoved()
{
    listLlms();
    // Before the list is announced, so that the views find no choice of theirs to reset.
    dropUnlistedChoices();
    emit llmsUpdated();
}

void Chat::dropUnlistedChoices()
{
    if (!m_answerLlm.isEmpty() && !m_llms.contains(m_answerLlm)) {
        m_answerLlm.clear();
        m_llmClient->setAnswerModelPath(QString());
        emit answerLlmChanged(QString());
    }
    if (!m_retrieveLlm.isEmpty() && !m_llms.contains(m_retrieveLlm)) {
        m_retrieveLlm.clear();
        m_llmClient->setRetrievalModelPath(QString());
        emit retrieveLlmChanged(QString());
    }
}

void Chat::startServerWhenModelsChosen()
{
    // The server needs both models: one started without them has ended, or is about to.
    if (m_localAI && !m_answerLlm.isEmpty() && !m_retrieveLlm.isEmpty())
        m_llmClient->setLocal(true);
}

void Chat::setLocalAI(bool localAI)
{
    if (localAI != m_localAI) {
        const bool wasLocal = m_localAI;
        endPendingAnswer();
        m_docs->clearDocs();
        if (!wasLocal)
            m_llmClient->sendOnline({ { QStringLiteral("type"), QStringLiteral("delall") } });
        saveSetting(LocalAIKey, localAI);
        m_localAI = localAI;
        // What the old back end was still to take or confirm never will be.
        (wasLocal ? m_waitingLocal : m_waitingOnline).clear();
        dropDeletesSentTo(wasLocal);
        // The documents of a running ingestion go to the back end that is now current.
        m_docs->restartIngestion(false);
        emit localAIChanged(localAI);
    }
    m_llmClient->setLocal(localAI);
}

void Chat::setAnswerLlm(const QString &llm)
{
    const QString accepted = m_llms.contains(llm) ? llm : QString();
    if (accepted == m_answerLlm)
        return;
    saveSetting(AnsLlmKey, accepted);
    m_answerLlm = accepted;
    const QString path = modelPath(accepted);
    if (!accepted.isEmpty() && QFileInfo::exists(path)) {
        m_llmClient->setAnswerModelPath(path);
        sendModelChange(true, accepted, path);
        startServerWhenModelsChosen();
    } else {
        m_llmClient->setAnswerModelPath(QString());
    }
    emit answerLlmChanged(llm);
}

void Chat::setRetrieveLlm(const QString &llm)
{
    const QString accepted = m_llms.contains(llm) ? llm : QString();
    if (accepted == m_retrieveLlm)
        return;
    saveSetting(RetLlmKey, accepted);
    m_retrieveLlm = accepted;
    const QString path = modelPath(accepted);
    if (!accepted.isEmpty() && QFileInfo::exists(path)) {
        m_llmClient->setRetrievalModelPath(path);
        sendModelChange(false, accepted, path);
    } else {
        m_llmClient->setRetrievalModelPath(QString());
    }
    // The back end's chunks were embedded with the previous model.
    m_docs->clearDocs();
    if (m_localAI) {
        // The server empties its store for the new model: a running ingestion starts over. A
        // batch that already left is still acknowledged; one still waiting never leaves.
        const bool batchWaiting = m_waitingLocal.removeIf(isChunks) > 0;
        m_docs->restartIngestion(!batchWaiting);
    }
    if (!m_retrieveLlm.isEmpty() && QFileInfo::exists(path))
        startServerWhenModelsChosen();
    emit retrieveLlmChanged(llm);
}

void Chat::sendModelChange(bool answerModel, const QString &name, const QString &path)
{
    // Dropped when no server is connected: the next start takes the path instead.
    if (!m_llmClient->isServerConnected())
        return;
    const QString role = answerModel ? QStringLiteral("ansmodel") : QStringLiteral("retmodel");
    m_llmClient->sendLocal({ { QStringLiteral("type"), role }, { role, path } });
    (answerModel ? m_sentAnswerLlms : m_sentRetrieveLlms).append(name);
}

void Chat::onServerConnected()
{
    // A run starts with the chosen models, or without one it refused at its start.
    m_runningAnswerLlm = m_answerLlm;
    m_runningRetrieveLlm = m_retrieveLlm;
    m_sentAnswerLlms.clear();
    m_sentRetrieveLlms.clear();
}

void Chat::onModelReply(const QJsonObject &reply)
{
    // Each field names its roles joined by commas.
    const QStringList loadedRoles
        = reply.value(QStringLiteral("loaded")).toString().split(QLatin1Char(','));
    const QStringList refusedRoles
        = reply.value(QStringLiteral("refused")).toString().split(QLatin1Char(','));
    for (const bool answerModel : { false, true }) {
        const QString role = answerModel ? QStringLiteral("ansmodel") : QStringLiteral("retmodel");
        const bool loaded = loadedRoles.contains(role);
        const bool refused = refusedRoles.contains(role);
        QStringList &sent = answerModel ? m_sentAnswerLlms : m_sentRetrieveLlms;
        if ((!loaded && !refused) || sent.isEmpty())
            continue;
        const QString name = sent.takeFirst();
        QString &running = answerModel ? m_runningAnswerLlm : m_runningRetrieveLlm;
        if (loaded) {
            running = name;
            continue;
        }
        emit modelRefused(name, reply.value(QStringLiteral("reason")).toString());
        // A choice made since is the user's, and has its own reply coming.
        if ((answerModel ? m_answerLlm : m_retrieveLlm) == name)
            restoreChoice(answerModel, running);
    }
}

void Chat::onModelRefusedAtStart(bool answerModel, const QString &reason)
{
    const QString name = QFileInfo(m_llmClient->runModelPath(answerModel)).completeBaseName();
    emit modelRefused(name, reason);
    // No model of that kind has worked in this run: none is chosen, so that the next start does
    // not meet the same refusal.
    if ((answerModel ? m_answerLlm : m_retrieveLlm) == name)
        restoreChoice(answerModel, QString());
}

void Chat::restoreChoice(bool answerModel, const QString &name)
{
    const QString path = name.isEmpty() ? QString() : modelPath(name);
    if (answerModel) {
        m_answerLlm = name;
        saveSetting(AnsLlmKey, name);
        m_llmClient->setAnswerModelPath(path);
        emit answerLlmChanged(name);
    } else {
        m_retrieveLlm = name;
        saveSetting(RetLlmKey, name);
        m_llmClient->setRetrievalModelPath(path);
        emit retrieveLlmChanged(name);
    }
}

void Chat::setOraculdDir(const QString &dir)
{
    const QString native = QDir::toNativeSeparators(dir);
    if (native == settingValue(OraculdDirKey).toString())
        return;
    saveSetting(OraculdDirKey, native);
    refreshLlms();
    {
        // Files of the old folder are not gone; both choices are reset below.
        const QSignalBlocker blocker(m_modelDownloader);
        m_modelDownloader->refreshModelStates();
    }
    setAnswerLlm(QString());
    setRetrieveLlm(QString());
    emit oraculdDirChanged(native);
}

void Chat::selectOraculdDir()
{
    const QString dir = QFileDialog::getExistingDirectory(nullptr,
        QStringLiteral("Select folder of local language models"), oraculdDir(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!dir.isEmpty())
        setOraculdDir(dir);
}

void Chat::onModelDownloadCompleted(const QString &modelName, const QString &modelType)
{
    refreshLlms();
    if (modelType == QLatin1String("generation"))
        setAnswerLlm(modelName);
    else if (modelType == QLatin1String("retrieval"))
        setRetrieveLlm(modelName);
}

void Chat::setSocket(QObject *qmlSocket)
{
    if (QObject *previous = m_llmClient->qmlSocket())
        disconnect(previous, nullptr, this, nullptr);
    m_llmClient->setQmlSocket(qmlSocket);
    if (!qmlSocket)
        return;
    // A WebSocket that closes never sends the ACK or DELACK that it still owes.
    const QMetaObject *meta = qmlSocket->metaObject();
    const int property = meta->indexOfProperty("status");
    if (property < 0)
        return;
    const QMetaMethod notify = meta->property(property).notifySignal();
    const QMetaMethod slot
        = metaObject()->method(metaObject()->indexOfSlot("onOnlineStatusChanged()"));
    if (notify.isValid())
        connect(qmlSocket, notify, this, slot);
}

void Chat::onOnlineStatusChanged()
{
    if (backEndOpen(false))
        sendWaiting(false);
    else if (!backEndComing(false))
        onBackEndGone(false);
}

bool Chat::backEndOpen(bool local) const
{
    if (local)
        return m_llmClient->isServerConnected();
    const QObject *item = m_llmClient->qmlSocket();
    return item && item->property("status").toInt() == LLMClient::Open;
}

bool Chat::backEndComing(bool local) const
{
    if (local)
        return m_llmClient->isServerStarting();
    const QObject *item = m_llmClient->qmlSocket();
    return item && item->property("status").toInt() == LLMClient::Connecting;
}

Chat::Delivery Chat::send(const QJsonObject &message, bool local)
{
    if (backEndOpen(local)) {
        if (local)
            m_llmClient->sendLocal(message);
        else
            m_llmClient->sendOnline(message);
        return Delivery::Sent;
    }
    if (backEndComing(local)) {
        (local ? m_waitingLocal : m_waitingOnline).append(message);
        return Delivery::Waiting;
    }
    return Delivery::Unreachable;
}

void Chat::sendWaiting(bool local)
{
    QList<QJsonObject> waiting;
    waiting.swap(local ? m_waitingLocal : m_waitingOnline);
    if (local != m_localAI)
        return;
    for (const QJsonObject &message : std::as_const(waiting))
        send(message, local);
}

bool Chat::sendToServer(const QJsonObject &message)
{
    return send(message, m_localAI) != Delivery::Unreachable;
}

void Chat::sendMessage(const QString &query)
{
    m_openedChatUser->appendMessage(new Message(query, m_mainUser->ID(), m_openedChatUser));
    if (query.isEmpty())
        return;
    QJsonObject message { { QStringLiteral("type"), QStringLiteral("query") },
        { QStringLiteral("query"), query } };
    if (!m_localAI)
        message.insert(QStringLiteral("model"), QStringLiteral("GPT-3.5 Turbo"));
    addPendingAnswer();
    m_openedChatUser->setMessageLoading(m_pendingAnswerRow, true);
    // A question that cannot leave has no answer to wait for: the bubble says why, and the
    // input is free again.
    if (send(message, m_localAI) == Delivery::Unreachable) {
        qWarning() << "The question could not be sent: the back end is not connected";
        failPendingAnswer(m_localAI ? ServerNotRunningText : OnlineNotConnectedText);
    }
}

void Chat::addPendingAnswer()
{
    m_pendingAnswerRow = m_openedChatUser->appendMessage(
        new Message(QString(), m_openedChatUser->ID(), m_openedChatUser));
}

void Chat::endPendingAnswer()
{
    if (m_pendingAnswerRow == -1)
        return;
    if (!m_openedChatUser->messageHasContents(m_pendingAnswerRow))
        m_openedChatUser->removeMessage(m_pendingAnswerRow);
    else
        m_openedChatUser->setMessageLoading(m_pendingAnswerRow, false);
    m_pendingAnswerRow = -1;
}

void Chat::failPendingAnswer(const QString &reason)
{
    if (m_pendingAnswerRow == -1)
        return;
    // A partly received answer keeps its text.
    if (!m_openedChatUser->messageHasContents(m_pendingAnswerRow))
        m_openedChatUser->setMessageContents(m_pendingAnswerRow, reason);
    m_openedChatUser->setMessageLoading(m_pendingAnswerRow, false);
    m_pendingAnswerRow = -1;
}

void Chat::onServerEnded()
{
    onBackEndGone(true);
    // Started before both models were chosen, it ended at once: the choices since start it.
    if (!m_llmClient->lastRunHadBothModels())
        startServerWhenModelsChosen();
}

void Chat::onBackEndGone(bool local)
{
    if (local) {
        m_sentAnswerLlms.clear();
        m_sentRetrieveLlms.clear();
    }
    (local ? m_waitingLocal : m_waitingOnline).clear();
    if (local == m_localAI)
        failPendingAnswer(local ? ServerEndedText : OnlineEndedText);
    dropDeletesSentTo(local);
    m_docs->backEndEnded(local);
}

void Chat::delDoc(int index)
{
    // A row that is not listed has no document to delete, and its DELACK would match nothing.
    if (index < 0 || index >= m_docs->rowCount())
        return;
    const QString path = m_docs->data(m_docs->index(index, 0), DocList::DocPathRole).toString();
    const QJsonObject message { { QStringLiteral("type"), QStringLiteral("delete") },
        { QStringLiteral("doc"), path }, { QStringLiteral("index"), index } };
    // Only a delete that left gets a DELACK; the busy pane waits for it.
    if (send(message, m_localAI) == Delivery::Unreachable) {
        qWarning() << "The document could not be removed: the back end is not connected";
        return;
    }
    m_deletesInFlight.append({ path, m_localAI });
    emit delDocTriggered();
}

void Chat::dropDeletesSentTo(bool local)
{
    // The busy pane waits for an answer to its delete; -1 removes no row.
    if (m_deletesInFlight.removeIf([local](const PendingDelete &d) { return d.local == local; }))
        emit docDeletedFromServer(-1);
}

void Chat::onDeleteAcknowledged()
{
    if (m_deletesInFlight.isEmpty())
        return;
    const QString path = m_deletesInFlight.takeFirst().path;
    int listedRow = -1;
    for (int row = 0; row < m_docs->rowCount() && listedRow < 0; ++row) {
        if (m_docs->data(m_docs->index(row, 0), DocList::DocPathRole).toString() == path)
            listedRow = row;
    }
    // A document that left the list meanwhile has no row to remove, but the delete is done.
    emit docDeletedFromServer(listedRow);
}

void Chat::messageReceived(const QString &message)
{
    // Text messages come from the online service's WebSocket.
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error == QJsonParseError::NoError)
        dispatch(doc, false);
}

void Chat::messageReceived(const QJsonDocument &doc)
{
    dispatch(doc, m_localAI);
}

void Chat::dispatch(const QJsonDocument &doc, bool fromLocal)
{
    // Replies belong to the back end that was asked: after a mode switch the other one may
    // still be talking, about questions and documents that are no longer its.
    if (fromLocal != m_localAI)
        return;
    const QJsonObject object = doc.object();
    if (!object.contains(QStringLiteral("type")))
        return;
    const QString type = object.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("ANS"))
        handleAnswer(doc);
    else if (type == QLatin1String("ANSPART"))
        handleAnswerPartial(doc);
    else if (type == QLatin1String("PROGRESS"))
        handleProgress(doc);
    else if (type == QLatin1String("ANSREFS"))
        handleAnswerRefs(doc);
    else if (type == QLatin1String("ACK"))
        handleAck(doc);
    else if (type == QLatin1String("DELACK"))
        onDeleteAcknowledged();
    else if (type == QLatin1String("READYACK")) {
        qDebug() << "Models loaded in the oraculd server";
        onModelReply(object);
    }
}

void Chat::handleAnswer(const QJsonDocument &jsonDoc)
{
    const QJsonObject object = jsonDoc.object();
    if (!object.contains(QStringLiteral("answer")))
        return;
    const QString text = object.value(QStringLiteral("answer")).toString();
    const QList<Chunk> sources = parseSources(jsonDoc);
    m_openedChatUser->setMessageLoading(m_pendingAnswerRow, false);
    const bool textSet = m_openedChatUser->setMessageContents(m_pendingAnswerRow, text);
    const bool sourcesSet = m_openedChatUser->setMessageSources(m_pendingAnswerRow, sources);
    m_pendingAnswerRow = -1;
    if (!textSet && !sourcesSet) {
        m_openedChatUser->appendMessage(
            new Message(text, m_openedChatUser->ID(), sources, m_openedChatUser));
    }
}

void Chat::handleAnswerPartial(const QJsonDocument &jsonDoc)
{
    const QJsonObject object = jsonDoc.object();
    if (!object.contains(QStringLiteral("answer")))
        return;
    const QString piece = object.value(QStringLiteral("answer")).toString();
    m_openedChatUser->setMessageLoading(m_pendingAnswerRow, false);
    if (!m_openedChatUser->appendToMessage(m_pendingAnswerRow, piece))
        m_openedChatUser->appendMessage(
            new Message(piece, m_openedChatUser->ID(), m_openedChatUser));
}

void Chat::handleProgress(const QJsonDocument &jsonDoc)
{
    const QJsonObject object = jsonDoc.object();
    if (!object.contains(QStringLiteral("message")))
        return;
    const QString text = object.value(QStringLiteral("message")).toString();
    if (m_pendingAnswerRow == -1)
        addPendingAnswer();
    m_openedChatUser->setMessageLoading(m_pendingAnswerRow, true);
    m_openedChatUser->setMessageContents(m_pendingAnswerRow, text);
}

void Chat::handleAnswerRefs(const QJsonDocument &jsonDoc)
{
    // The references close the answer, also one that got no piece (an empty model reply).
    m_openedChatUser->setMessageLoading(m_pendingAnswerRow, false);
    m_openedChatUser->setMessageSources(m_pendingAnswerRow, parseSources(jsonDoc));
    m_pendingAnswerRow = -1;
}

void Chat::handleAck(const QJsonDocument &)
{
    m_docs->sendNextChunks();
}

QList<Chunk> Chat::parseSources(const QJsonDocument &reply) const
{
    QList<Chunk> sources;
    const QJsonValue value = reply.object().value(QStringLiteral("sources"));
    if (!value.isArray())
        return sources;
    const QJsonArray entries = value.toArray();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        if (!object.contains(QStringLiteral("metadata")))
            continue;
        const QJsonObject meta = object.value(QStringLiteral("metadata")).toObject();
        sources.append(Chunk(meta.value(QStringLiteral("doc")).toString(),
            integerOrZero(meta.value(QStringLiteral("page"))),
            float(meta.value(QStringLiteral("x")).toDouble()),
            float(meta.value(QStringLiteral("y")).toDouble()),
            float(meta.value(QStringLiteral("width")).toDouble()),
            float(meta.value(QStringLiteral("height")).toDouble())));
    }
    return sources;
}
