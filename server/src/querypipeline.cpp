#include "orchestratorcore.h"

#include "llmengine.h"
#include "replychannel.h"
#include "retrieval.h"
#include "topicsummarizer.h"

#include <QJsonArray>

#include <algorithm>
#include <unordered_set>

namespace {

constexpr float RetrievalWindow = 0.05f;
constexpr float TopicThreshold = 0.82f;
// A context longer than this many bytes per token of the answer model's context is condensed.
constexpr size_t CondenseBytesPerToken = 3;
const char NoAnswerModel[] = "No answer model is loaded. Choose an answer model to get answers.";

void sendAnswerPiece(QLocalSocket *connection, const std::string &piece)
{
    sendReply(connection,
        QJsonObject { { QStringLiteral("type"), QStringLiteral("ANSPART") },
            { QStringLiteral("answer"), QString::fromStdString(piece) } });
}

void sendSources(QLocalSocket *connection, const QJsonArray &sources)
{
    sendReply(connection,
        QJsonObject { { QStringLiteral("type"), QStringLiteral("ANSREFS") },
            { QStringLiteral("sources"), sources } });
}

QJsonObject sourceEntry(const ChunkRecord &record)
{
    const QJsonObject metadata {
        { QStringLiteral("doc"), QString::fromStdString(record.doc) },
        { QStringLiteral("page"), record.page },
        { QStringLiteral("height"), record.height },
        { QStringLiteral("width"), record.width },
        { QStringLiteral("x"), record.x },
        { QStringLiteral("y"), record.y },
    };
    return QJsonObject { { QStringLiteral("metadata"), metadata } };
}

} // namespace

void OrchestratorCore::handleQuery(const QJsonObject &message, QLocalSocket *connection)
{
    // The last answer model failed to load and so did its predecessor: say so, and close the
    // exchange as every answer is closed.
    if (!engine) {
        sendAnswerPiece(connection, NoAnswerModel);
        sendSources(connection, QJsonArray());
        return;
    }
    const std::string question = message.value(QLatin1String("query")).toString().toStdString();

    // Without a retrieval model nothing can be embedded: the question is general chat.
    const bool canEmbed = retrieval->isLoaded();
    const int skill = canEmbed ? intentClassifier.classify(question) : GeneralChat;
    std::vector<float> queryEmbedding;
    std::vector<std::string> preselected;
    if (canEmbed) {
        queryEmbedding = retrieval->embed_text(question);
        preselected = retrieval->get_relevant_docs(question, chunks);
    }
    // A question about the documents is matched against every chunk: a document's name says
    // little about what it holds, and the chunk that answers may be in any document.
    std::vector<const ChunkRecord *> retrieved
        = retrieveChunks(queryEmbedding, skill == RagQa ? std::vector<std::string>() : preselected);

    if (!preselected.empty() && (skill == Summarize || retrieved.empty())) {
        const std::unordered_set<std::string> documents(preselected.begin(), preselected.end());
        retrieved.clear();
        for (const ChunkRecord &record : chunks) {
            if (record.kind == ChunkRecord::Original && documents.count(record.doc))
                retrieved.push_back(&record);
        }
    }

    std::string context;
    for (const ChunkRecord *record : retrieved) {
        context += "- ";
        context += record->text;
        context += '\n';
    }

    const size_t condenseAbove = CondenseBytesPerToken * size_t(std::max(0, engine->contextSize()));
    if (skill != RagQa && context.size() > condenseAbove) {
        TopicSummarizer summarizer;
        std::vector<Topic> topics = summarizer.clusterTopics(retrieved, TopicThreshold);
        summarizer.extractKeyTexts(topics, connection);
        context = summarizer.buildSummary(topics);
    }

    runLLM(systemText(skill, context), question, connection, true);

    QJsonArray sources;
    if (skill == RagQa) {
        for (const ChunkRecord *record : retrieved)
            sources.append(sourceEntry(*record));
    }
    sendSources(connection, sources);
}

std::vector<const ChunkRecord *> OrchestratorCore::retrieveChunks(
    const std::vector<float> &queryEmbedding, const std::vector<std::string> &documents)
{
    // An empty query embedding means no model: records that were never embedded would match
    // it as two empty vectors.
    if (queryEmbedding.empty())
        return {};
    const std::unordered_set<std::string> wanted(documents.begin(), documents.end());
    const int n = int(queryEmbedding.size());

    std::vector<std::pair<float, const ChunkRecord *>> scored;
    for (const ChunkRecord &record : chunks) {
        if (record.kind != ChunkRecord::Original)
            continue;
        if (!wanted.empty() && !wanted.count(record.doc))
            continue;
        if (record.embedding.size() != queryEmbedding.size())
            continue;
        scored.emplace_back(
            common_embd_similarity_cos(record.embedding.data(), queryEmbedding.data(), n), &record);
    }
    if (scored.empty())
        return {};
    std::stable_sort(scored.begin(), scored.end(),
        [](const auto &a, const auto &b) { return a.first > b.first; });

    const float threshold = scored.front().first - RetrievalWindow;
    std::vector<const ChunkRecord *> result;
    for (const auto &[score, record] : scored) {
        if (!(score >= threshold))
            break;
        result.push_back(record);
    }
    return result;
}

std::string OrchestratorCore::runLLM(
    const std::string &system, const std::string &user, QLocalSocket *connection, bool stream)
{
    if (!engine)
        return {};
    std::vector<ChatTurn> messages;
    if (!system.empty())
        messages.push_back({ "system", system });
    messages.push_back({ "user", user });

    std::string heldBack;
    const std::string answer
        = engine->generate(messages, stream, streamPiece(connection, heldBack));
    // The end of the answer: bytes of an unfinished character go out as they are.
    if (!heldBack.empty())
        sendAnswerPiece(connection, heldBack);
    return answer;
}

std::function<void(const std::string &)> OrchestratorCore::streamPiece(
    QLocalSocket *connection, std::string &heldBack)
{
    // A token's text can end inside a multi-byte character; those bytes wait for the next piece,
    // so that every ANSPART carries whole characters.
    return [connection, &heldBack](const std::string &piece) {
        if (!connection)
            return;
        heldBack += piece;
        const size_t complete = completeUtf8Length(heldBack);
        if (complete == 0)
            return;
        sendAnswerPiece(connection, heldBack.substr(0, complete));
        heldBack.erase(0, complete);
    };
}

std::string OrchestratorCore::systemText(int skill, const std::string &context)
{
    const char *instruction = nullptr;
    switch (skill) {
    case RagQa:
        instruction = "You MUST answer ONLY using the provided information.\n"
                      "Do NOT add external knowledge.\n"
                      "Do NOT guess.\n\n";
        break;
    case Summarize:
        instruction = "You are summarizing the content of the provided document(s).\n"
                      "Use ONLY the provided information.\n"
                      "Produce a coherent summary.\n"
                      "Do NOT add external knowledge.\n\n";
        break;
    case Translate:
        instruction = "Translate the provided information accurately.\n"
                      "Do NOT add or remove meaning.\n\n";
        break;
    default:
        instruction = "Respond naturally to the user.\n\n";
        break;
    }
    return std::string("\n") + instruction + "=== provided information ===\n" + context + "\n";
}

size_t OrchestratorCore::completeUtf8Length(const std::string &text)
{
    const size_t size = text.size();
    // The last character starts at most three bytes from the end when it is unfinished.
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue;
        size_t length = 0;
        if ((byte & 0xE0) == 0xC0)
            length = 2;
        else if ((byte & 0xF0) == 0xE0)
            length = 3;
        else if ((byte & 0xF8) == 0xF0)
            length = 4;
        return back < length ? size - back : size;
    }
    return size;
}
