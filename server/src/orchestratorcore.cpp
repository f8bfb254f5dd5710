#include "orchestratorcore.h"

#include "llamabackend.h"
#include "llmengine.h"
#include "modelfile.h"
#include "replychannel.h"
#include "retrieval.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>

#include <climits>
#include <cmath>
#include <exception>
#include <stdexcept>

namespace {

constexpr float MinIntentScore = 0.4f;
constexpr size_t DocumentTextBytes = 600;
const char RefusalLinePrefix[] = "Model refused: ";

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
    const auto answerFile = std::make_shared<ModelFile>(answerModelPath);
    const ModelVerdict answerProblem = startModelTrial(*answerFile, AnswerModel);
    // The retrieval engine comes first: building it initialises llama.cpp for the answer model.
    retrieval = makeRetrieval(retrievalModelPath);
    engine = std::make_unique<LLMEngine>(std::make_unique<LlamaBackend>());
    warnIfRetrievalMissing(retrievalModelPath);
    const std::string problem = answerProblem();
    if (!problem.empty()) {
        announceRefusal(AnswerModel, problem);
        throw std::runtime_error(
            std::string("Answer model \"") + answerModelPath + "\" " + problem);
    }
    try {
        loadAnswerModel(answerFile);
    } catch (const std::exception &error) {
        announceRefusal(AnswerModel, error.what());
        throw;
    }
    intentClassifier.initialize(retrieval.get(), &chunks);
}

void OrchestratorCore::announceRefusal(ModelRole role, const std::string &reason)
{
    // A fixed line that the desktop program reads from standard error: the greeting of a
    // connection says nothing about the models, and a refused answer model ends the server.
    qWarning("%s%s: %s", RefusalLinePrefix, role == AnswerModel ? "ansmodel" : "retmodel",
        reason.c_str());
}

ModelVerdict OrchestratorCore::startModelTrial(const ModelFile &file, ModelRole role) const
{
    // The cheap checks first: they also keep a FIFO, which would block the trial's first read,
    // away from it.
    std::string problem = file.problem();
    if (problem.empty() && role == AnswerModel)
        problem = ggufFileProblem(file.openPath());
    if (problem.empty() && modelCheck) {
        const ModelVerdict verdict = modelCheck(file.openPath(), role);
        const ModelFile *checked = &file;
        return [verdict, checked] {
            const std::string trialProblem = verdict();
            return trialProblem.empty() ? checked->changeProblem() : trialProblem;
        };
    }
    return [problem] { return problem; };
}

std::string OrchestratorCore::modelProblem(const ModelFile &file, ModelRole role) const
{
    return startModelTrial(file, role)();
}

std::unique_ptr<Retrieval> OrchestratorCore::makeRetrieval(const std::string &path) const
{
    const ModelFile file(path);
    return std::make_unique<Retrieval>(file.openPath().c_str(), modelProblem(file, RetrievalModel));
}

OrchestratorCore::~OrchestratorCore() = default;

void OrchestratorCore::warnIfRetrievalMissing(const char *path) const
{
    // Without a retrieval model questions are still answered, as general chat without sources.
    if (retrieval->isLoaded())
        return;
    qWarning("Retrieval model \"%s\" could not be loaded (%s): the server runs without "
             "retrieval until another retrieval model is chosen",
        path, retrieval->loadProblem().c_str());
    announceRefusal(RetrievalModel, retrieval->loadProblem());
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
    QStringList loaded;
    QStringList refused;
    QStringList reasons;
    const auto record = [&](const QString &role, const std::string &problem) {
        if (problem.empty()) {
            loaded << role;
            return;
        }
        refused << role;
        reasons << QString::fromStdString(problem);
    };
    const QString retrievalRole = QStringLiteral("retmodel");
    const QString answerRole = QStringLiteral("ansmodel");
    if (message.contains(retrievalRole))
        record(retrievalRole, replaceRetrievalModel(utf8(message.value(retrievalRole))));
    if (message.contains(answerRole))
        record(answerRole, replaceAnswerModel(utf8(message.value(answerRole))));

    QJsonObject reply { { QStringLiteral("type"), QStringLiteral("READYACK") } };
    if (!loaded.isEmpty())
        reply.insert(QStringLiteral("loaded"), loaded.join(QLatin1Char(',')));
    if (!refused.isEmpty()) {
        reply.insert(QStringLiteral("refused"), refused.join(QLatin1Char(',')));
        if (refused.size() > 1) {
            for (int i = 0; i < refused.size(); ++i)
                reasons[i] = refused.at(i) + QStringLiteral(": ") + reasons.at(i);
        }
        reply.insert(QStringLiteral("reason"), reasons.join(QStringLiteral("; ")));
    }
    sendReply(connection, reply);
}

std::string OrchestratorCore::replaceRetrievalModel(const std::string &path)
{
    // The desktop program has emptied its document list for the new choice: the store follows,
    // whether or not the new model loads, so that no answer cites an unlisted document.
    chunks.clear();
    knownDocs.clear();
    // Built before the old engine goes. A file that is refused costs the server its retrieval
    // model no more than it costs its answer model.
    std::unique_ptr<Retrieval> replacement = makeRetrieval(path);
    if (!replacement->isLoaded()) {
        qWarning("Retrieval model \"%s\" could not be loaded (%s): the retrieval model stays as "
                 "it was",
            path.c_str(), replacement->loadProblem().c_str());
        return replacement->loadProblem();
    }
    retrieval.swap(replacement);
    replacement.reset();
    // The intent examples belong to the old model.
    intentClassifier.initialize(retrieval.get(), &chunks);
    return {};
}

std::string OrchestratorCore::replaceAnswerModel(const std::string &path)
{
    // A file that cannot be used is refused before the old model goes: a bad choice at run
    // time must not cost the server its answer model.
    const auto file = std::make_shared<ModelFile>(path);
    const std::string problem = modelProblem(*file, AnswerModel);
    if (!problem.empty()) {
        qWarning("Answer model \"%s\" %s: the answer model stays as it was", path.c_str(),
            problem.c_str());
        return problem;
    }
    // The old model is released before the new one loads, so two never share the memory.
    engine.reset();
    std::string failure;
    try {
        loadAnswerModel(file);
        return {};
    } catch (const std::exception &error) {
        qCritical("%s", error.what());
        failure = std::string("cannot be loaded: ") + error.what();
    }
    // The file looked like a model but llama.cpp refused it: load the previous one again.
    engine.reset();
    const std::shared_ptr<ModelFile> previous = answerModelFile;
    answerModelFile.reset();
    if (!previous)
        return failure;
    try {
        loadAnswerModel(previous);
        qWarning("Answer model \"%s\" cannot be loaded: the answer model stays \"%s\"",
            path.c_str(), previous->path().c_str());
    } catch (const std::exception &error) {
        qCritical("%s", error.what());
        qWarning("Answer model \"%s\" cannot be loaded, nor the previous one again: no answer "
                 "model is loaded until another is chosen",
            path.c_str());
        engine.reset();
        answerModelFile.reset();
        failure += "; the previous answer model could not be loaded again either";
    }
    return failure;
}

void OrchestratorCore::loadAnswerModel(const std::shared_ptr<ModelFile> &file)
{
    auto replacement = std::make_unique<LLMEngine>(std::make_unique<LlamaBackend>());
    replacement->loadModel(file->openPath(), MinP, Temperature);
    engine = std::move(replacement);
    answerModelFile = file;
}
