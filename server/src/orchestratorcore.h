#ifndef ORCHESTRATORCORE_H
#define ORCHESTRATORCORE_H

#include "chunkrecord.h"
#include "embeddingintentclassifier.h"
#include "modelcheck.h"

#include <QJsonObject>

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class LLMEngine;
class ModelFile;
class QLocalSocket;
class Retrieval;

// Owner of the models and of the chunk store, and the entry point of every parsed message.
// Built on the main thread before the server listens; used only on the message worker after.
class OrchestratorCore
{
public:
    enum MessageType : int {
        UnknownMessage = 0,
        ChunksMessage = 1,
        DeleteMessage = 2,
        QueryMessage = 3,
        AnswerModelMessage = 4,
        RetrievalModelMessage = 5
    };

    // How the answer model samples.
    static constexpr float MinP = 0.05f;
    static constexpr float Temperature = 0.7f;

    // Loads both models; throws when the answer model cannot be loaded. `check`, when set,
    // tries every model file before it is loaded here (at start-up and on a model change).
    OrchestratorCore(const char *retrievalModelPath, const char *answerModelPath,
        ModelCheck check = ModelCheck());
    ~OrchestratorCore();

    OrchestratorCore(const OrchestratorCore &) = delete;
    OrchestratorCore &operator=(const OrchestratorCore &) = delete;

    // Replies: {"type":"ACK"} to "chunks"; {"type":"DELACK","index":N} to "delete"; PROGRESS,
    // ANSPART and ANSREFS to "query"; READYACK to "ansmodel" and "retmodel". The READYACK to a
    // model request says for each model it named whether it was loaded:
    // {"type":"READYACK","loaded":"ansmodel"}, or {"type":"READYACK","refused":"retmodel",
    // "reason":"<why>"} when the file was refused and the model before it stays (both roles in
    // one request: "loaded" and "refused" may both be there, two roles of one outcome are
    // joined as "retmodel,ansmodel", two reasons as "retmodel: <why>; ansmodel: <why>"). A
    // request naming no model gets the plain {"type":"READYACK"} that greets a new connection.
    void handleMessage(const QJsonObject &message, QLocalSocket *connection);
    static int messageType(const QJsonObject &message);

    void handleChunks(const QJsonObject &message, QLocalSocket *connection);
    static bool parseChunk(const QJsonObject &object, ChunkRecord &record);
    void addDocumentRecord(const std::string &doc);
    void handleDelete(const QJsonObject &message, QLocalSocket *connection);
    void removeDocument(const QJsonObject &message);
    void reloadModels(const QJsonObject &message, QLocalSocket *connection);

    void handleQuery(const QJsonObject &message, QLocalSocket *connection);
    std::vector<const ChunkRecord *> retrieveChunks(
        const std::vector<float> &queryEmbedding, const std::vector<std::string> &documents);
    std::string runLLM(
        const std::string &system, const std::string &user, QLocalSocket *connection, bool stream);

    // What the document record of `doc` is named: the last path part without its extension.
    static std::string fileStem(const std::string &doc);
    // The text a new document record is first embedded from: the stem, a line break and the
    // document's chunk texts up to the first that reaches 600 bytes.
    static std::string documentEmbeddingText(
        const std::string &stem, const std::string &doc, const std::vector<ChunkRecord> &store);
    // The system turn of a prompt: the skill's instruction followed by the provided information.
    static std::string systemText(int skill, const std::string &context);
    // Length of the longest prefix of `text` that does not end inside a multi-byte UTF-8
    // character; what follows it is at most the first bytes of one character.
    static size_t completeUtf8Length(const std::string &text);

private:
    friend class tst_OrchestratorCore;

    // Logs the line that tells the desktop program which model given at start-up was refused.
    static void announceRefusal(ModelRole role, const std::string &reason);
    void warnIfRetrievalMissing(const char *path) const;
    // Why the open file cannot be used in `role`: its path, its GGUF layout (answer models),
    // the trial in a separate process, and whether it changed meanwhile; empty when it can.
    std::string modelProblem(const ModelFile &file, ModelRole role) const;
    // The same, with the trial started now and its verdict asked for later; `file` must stay
    // open until then.
    ModelVerdict startModelTrial(const ModelFile &file, ModelRole role) const;
    // A retrieval engine for `path`, without a model when the file is refused.
    std::unique_ptr<Retrieval> makeRetrieval(const std::string &path) const;
    // Each returns why the new model was refused (the current one stays), empty when loaded.
    // The store is emptied either way.
    std::string replaceRetrievalModel(const std::string &path);
    // Loads another answer model in place of the current one; on failure the current one stays
    // (loaded again from its file when the new one got as far as llama.cpp), or none at all.
    std::string replaceAnswerModel(const std::string &path);
    // Throws, leaving `engine` as it was, when the model cannot be loaded.
    void loadAnswerModel(const std::shared_ptr<ModelFile> &file);
    std::function<void(const std::string &)> streamPiece(
        QLocalSocket *connection, std::string &heldBack);

    ModelCheck modelCheck;
    std::unordered_set<std::string> knownDocs;
    std::unique_ptr<Retrieval> retrieval;
    std::unique_ptr<LLMEngine> engine; // null when no answer model could be loaded
    // Kept open: a model the next one fails to replace is loaded again from the same file.
    std::shared_ptr<ModelFile> answerModelFile;
    EmbeddingIntentClassifier intentClassifier;
    std::vector<ChunkRecord> chunks;
};

#endif // ORCHESTRATORCORE_H
