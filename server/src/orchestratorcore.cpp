#include "orchestratorcore.h"

#include "llamabackend.h"
#include "llmengine.h"
#include "modelfile.h"
#include "replychannel.h"
#include "retrieval.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>

#include <climits>
#include <cmath>
#include <exception>
#include <stdexcept>

namespace {

constexpr float MinIntentScore = 0.4f;
constexpr size_t DocumentTextBytes = 600;

// A JSON number as an int, or 0 when it is not a whole number within the int range.
int wholeInt(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!(number >= double(INT_MIN) && number <= double(INT_MAX)) || number != std::floor(number))
        return 0;
    return int(number);
}

double number(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? value.toDouble() : 0.0;
}

std::string utf8(const QJsonValue &value)
{
    return value.toString().toStdString();
}

} // namespace

OrchestratorCore::OrchestratorCore(
    const char *retrievalModelPath, const char *answerModelPath, ModelCheck check)
    : modelCheck(std::move(check))
    , intentClassifier(MinIntentScore)
{
    // The answer model is tried in its own process while the retrieval model is tried and
    // loaded, so start-up waits for the longer of the two trials only.
    const ModelVerdict answerProblem = startModelTrial(answerModelPath, AnswerModel);
    // The retrieval engine comes first: building it initialises llama.cpp for the answer model.
    retrieval = makeRetrieval(retrievalModelPath);
    engine = std::make_unique<LLMEngine>(std::make_unique<LlamaBackend>());
    warnIfRetrievalMissing(retrievalModelPath);
    const std::string problem = answerProblem();
    if (!problem.empty())
        throw std::runtime_error(
            std::string("Answer model \"") + answerModelPath + "\" " + problem);
    engine->loadModel(answerModelPath, MinP, Temperature);
    answerModelFile = answerModelPath;
    intentClassifier.initialize(retrieval.get(), &chunks);
}

ModelVerdict OrchestratorCore::startModelTrial(const std::string &path, ModelRole role) const
{
    // The cheap checks first: they also keep a FIFO, which would block the trial's first read,
    // away from it.
    std::string problem = role == AnswerModel ? ggufFileProblem(path) : modelPathProblem(path);
    if (problem.empty() && modelCheck)
        return modelCheck(path, role);
    return [problem] { return problem; };
}

std::string OrchestratorCore::modelProblem(const std::string &path, ModelRole role) const
{
    return startModelTrial(path, role)();
}

std::unique_ptr<Retrieval> OrchestratorCore::makeRetrieval(const std::string &path) const
{
    return std::make_unique<Retrieval>(path.c_str(), modelProblem(path, RetrievalModel));
}

OrchestratorCore::~OrchestratorCore() = default;

void OrchestratorCore::warnIfRetrievalMissing(const char *path) const
{
    // Without a retrieval model questions are still answered, as general chat without sources.
    if (!retrieval->isLoaded())
        qWarning("Retrieval model \"%s\" could not be loaded (%s): the server runs without "
                 "retrieval until another retrieval model is chosen",
            path, retrieval->loadProblem().c_str());
}

void OrchestratorCore::handleMessage(const QJsonObject &message, QLocalSocket *connection)
{
    switch (messageType(message)) {
    case ChunksMessage:
        qDebug("Handle Chunks!");
        handleChunks(message, connection);
        sendReply(connection, QJsonObject { { QStringLiteral("type"), QStringLiteral("ACK") } });
        break;
    case DeleteMessage:
        handleDelete(message, connection);
        break;
    case QueryMessage:
        handleQuery(message, connection);
        break;
    case AnswerModelMessage:
    case RetrievalModelMessage:
        reloadModels(message, connection);
        break;
    default:
        break;
    }
}

int OrchestratorCore::messageType(const QJsonObject &message)
{
    if (!message.contains(QLatin1String("type")))
        return UnknownMessage;
    const QString type = message.value(QLatin1String("type")).toString();
    if (type == QLatin1String("chunks"))
        return ChunksMessage;
    if (type == QLatin1String("delete"))
        return DeleteMessage;
    if (type == QLatin1String("query"))
        return QueryMessage;
    if (type == QLatin1String("ansmodel"))
        return AnswerModelMessage;
    if (type == QLatin1String("retmodel"))
        return RetrievalModelMessage;
    return UnknownMessage;
}

void OrchestratorCore::handleChunks(const QJsonObject &message, QLocalSocket *)
{
    if (!message.contains(QLatin1String("chunks")))
        return;
    const QJsonArray elements = message.value(QLatin1String("chunks")).toArray();
    for (const QJsonValue &element : elements) {
        ChunkRecord record;
        if (!parseChunk(element.toObject(), record))
            continue;
        record.kind = ChunkRecord::Original;
        chunks.push_back(std::move(record));
        addDocumentRecord(chunks.back().doc);
    }
    // Records embedded before keep their embeddings; the pass brings the rest up to date.
    for (const std::string &doc : retrieval->embed_chunks(chunks))
        qCritical("The retrieval model failed on chunks of \"%s\": they have no embedding and "
                  "take no part in retrieval until they are embedded",
            doc.c_str());
}

bool OrchestratorCore::parseChunk(const QJsonObject &object, ChunkRecord &record)
{
    if (object.value(QLatin1String("type")).toString() != QLatin1String("chunk"))
        return false;
    record.doc.clear();
    record.text.clear();
    record.index = 0;
    record.page = 0;
    record.height = record.width = record.x = record.y = 0;

    const QJsonValue bbox = object.value(QLatin1String("bbox"));
    if (bbox.isObject()) {
        const QJsonObject box = bbox.toObject();
        record.height = number(box, "height");
        record.width = number(box, "width");
        record.x = number(box, "x");
        record.y = number(box, "y");
    }
    const QJsonValue doc = object.value(QLatin1String("doc"));
    if (doc.isString())
        record.doc = utf8(doc);
    record.index = wholeInt(object.value(QLatin1String("index")));
    record.page = wholeInt(object.value(QLatin1String("page")));
    const QJsonValue text = object.value(QLatin1String("text"));
    if (text.isString())
        record.text = utf8(text);
    return true;
}

std::string OrchestratorCore::fileStem(const std::string &doc)
{
    std::string stem = doc;
    const size_t slash = stem.find_last_of("/\\");
    if (slash != std::string::npos)
        stem.erase(0, slash + 1);
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos)
        stem.erase(dot);
    return stem;
}

std::string OrchestratorCore::documentEmbeddingText(
    const std::string &stem, const std::string &doc, const std::vector<ChunkRecord> &store)
{
    std::string texts;
    for (const ChunkRecord &record : store) {
        if (record.kind != ChunkRecord::Original || record.doc != doc)
            continue;
        texts += record.text;
        if (texts.size() >= DocumentTextBytes)
            break;
    }
    if (texts.empty())
        texts = stem;
    return stem + "\n" + texts;
}

void OrchestratorCore::addDocumentRecord(const std::string &doc)
{
    if (!knownDocs.insert(doc).second)
        return;
    ChunkRecord record;
    record.doc = doc;
    record.index = -1;
    record.page = -1;
    record.text = fileStem(doc);
    record.kind = ChunkRecord::FileName;
    if (retrieval->isLoaded())
        record.embedding = retrieval->embed_text(documentEmbeddingText(record.text, doc, chunks));
    // That embedding is not of the record's own text (the stem alone), so the next pass must
    // embed the record again.
    record.embeddingCurrent = false;
    chunks.push_back(std::move(record));
}

void OrchestratorCore::handleDelete(const QJsonObject &message, QLocalSocket *connection)
{
    removeDocument(message);
    const int index = message.contains(QLatin1String("index"))
        ? wholeInt(message.value(QLatin1String("index")))
        : -1;
    sendReply(connection,
        QJsonObject { { QStringLiteral("type"), QStringLiteral("DELACK") },
            { QStringLiteral("index"), index } });
}

void OrchestratorCore::removeDocument(const QJsonObject &message)
{
    if (!message.contains(QLatin1String("doc")) || !message.contains(QLatin1String("index")))
        return;
    const std::string doc = utf8(message.value(QLatin1String("doc")));
    std::vector<ChunkRecord> kept;
    kept.reserve(chunks.size());
    for (ChunkRecord &record : chunks) {
        if (record.doc != doc)
            kept.push_back(std::move(record));
    }
    chunks.swap(kept);
    knownDocs.erase(doc);
}

void OrchestratorCore::reloadModels(const QJsonObject &message, QLocalSocket *connection)
{
    if (message.contains(QLatin1String("retmodel")))
        replaceRetrievalModel(utf8(message.value(QLatin1String("retmodel"))));
    if (message.contains(QLatin1String("ansmodel")))
        replaceAnswerModel(utf8(message.value(QLatin1String("ansmodel"))));
    sendReply(connection, QJsonObject { { QStringLiteral("type"), QStringLiteral("READYACK") } });
}

void OrchestratorCore::replaceRetrievalModel(const std::string &path)
{
    // Built before the old engine goes. A file that is refused costs the server neither its
    // retrieval model nor the store embedded with it.
    std::unique_ptr<Retrieval> replacement = makeRetrieval(path);
    if (!replacement->isLoaded()) {
        qWarning("Retrieval model \"%s\" could not be loaded (%s): the retrieval model stays as "
                 "it was",
            path.c_str(), replacement->loadProblem().c_str());
        return;
    }
    retrieval.swap(replacement);
    replacement.reset();
    // Stored embeddings and the intent examples belong to the old model.
    chunks.clear();
    knownDocs.clear();
    intentClassifier.initialize(retrieval.get(), &chunks);
}

void OrchestratorCore::replaceAnswerModel(const std::string &path)
{
    // A file that cannot be used is refused before the old model goes: a bad choice at run
    // time must not cost the server its answer model.
    const std::string problem = modelProblem(path, AnswerModel);
    if (!problem.empty()) {
        qWarning("Answer model \"%s\" %s: the answer model stays as it was", path.c_str(),
            problem.c_str());
        return;
    }
    // The old model is released before the new one loads, so two never share the memory.
    engine.reset();
    try {
        loadAnswerModel(path);
        return;
    } catch (const std::exception &error) {
        qCritical("%s", error.what());
    }
    // The file looked like a model but llama.cpp refused it: load the previous one again.
    engine.reset();
    if (answerModelFile.empty())
        return;
    try {
        loadAnswerModel(answerModelFile);
        qWarning("Answer model \"%s\" cannot be loaded: the answer model stays \"%s\"",
            path.c_str(), answerModelFile.c_str());
    } catch (const std::exception &error) {
        qCritical("%s", error.what());
        qWarning("Answer model \"%s\" cannot be loaded, nor the previous one again: no answer "
                 "model is loaded until another is chosen",
            path.c_str());
        engine.reset();
        answerModelFile.clear();
    }
}

void OrchestratorCore::loadAnswerModel(const std::string &path)
{
    auto replacement = std::make_unique<LLMEngine>(std::make_unique<LlamaBackend>());
    replacement->loadModel(path, MinP, Temperature);
    engine = std::move(replacement);
    answerModelFile = path;
}
