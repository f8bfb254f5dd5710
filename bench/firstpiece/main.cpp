// Two modes, both printing one line for bench/firstpiece/run:
//   bench-firstpiece tokens <answer.gguf> <context bytes>
//       the number of prompt tokens for the benchmark's question, and how many of them the
//       server decodes: a prompt longer than the answer context keeps only its last tokens;
//   bench-firstpiece time <answer.gguf> <retrieval.gguf> <context bytes>
//       milliseconds from writing the question to a fresh oraculd to its first ANSPART (or its
//       ANSREFS, should the answer be empty). QUORVANE_BIN_DIR names the folder of oraculd.
// The question is "Summarize this" over one stored document, whose chunks then all make the
// context, in store order.

#include "embeddingintentclassifier.h"
#include "llamaruntime.h"
#include "oraculdclient.h"
#include "oraculdserver.h"
#include "orchestratorcore.h"

#include <common.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

namespace {

const char Question[] = "Summarize this";

// Chunk texts of about 500 bytes in words the answer shape's vocabulary holds whole.
QStringList chunkTexts(int contextBytes)
{
    static const char *const words[]
        = { "answer", "comes", "from", "the", "local", "test", "model" };
    QStringList texts;
    int total = 0;
    int word = 0;
    while (total < contextBytes) {
        QString text;
        while (text.size() < 500 && total + text.size() + 3 < contextBytes)
            text += QLatin1String(words[(word++ * 3) % 7]) + QLatin1Char(' ');
        text = text.trimmed() + QLatin1Char('.');
        total += int(text.size()) + 3; // "- " and "\n" in the context
        texts << text;
    }
    return texts;
}

// The answer backend's context: the trained one, at most 4096 tokens.
constexpr int MaxAnswerContext = 4096;

struct PromptTokens
{
    int prompt = -1;
    int decoded = -1;
};

PromptTokens promptTokens(const char *modelPath, const QStringList &texts)
{
    std::string context;
    for (const QString &text : texts)
        context += "- " + text.toStdString() + "\n";
    const std::string system = OrchestratorCore::systemText(Summarize, context);

    initLlamaRuntime();
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    llama_model *model = llama_model_load_from_file(modelPath, params);
    if (!model)
        return {};
    const llama_chat_message chat[] = { { "system", system.c_str() }, { "user", Question } };
    const char *chatTemplate = llama_model_chat_template(model, nullptr);
    std::vector<char> formatted(system.size() * 2 + 1024);
    const int length = llama_chat_apply_template(
        chatTemplate, chat, 2, true, formatted.data(), int(formatted.size()));
    PromptTokens tokens;
    if (length > 0 && length <= int(formatted.size())) {
        tokens.prompt = int(common_tokenize(
            llama_model_get_vocab(model), std::string(formatted.data(), size_t(length)), true, true)
                                .size());
        int context = llama_model_n_ctx_train(model);
        if (context <= 0 || context > MaxAnswerContext)
            context = MaxAnswerContext;
        tokens.decoded = std::min(tokens.prompt, context);
    }
    llama_model_free(model);
    freeLlamaRuntime();
    return tokens;
}

qint64 firstPiece(
    const QString &answerModel, const QString &retrievalModel, const QStringList &texts)
{
    OraculdServer server;
    if (!server.start({ "-ma", answerModel, "-mr", retrievalModel }))
        return -1;
    OraculdClient client;
    if (!client.connectTo(server.socketPath()))
        return -1;
    QJsonArray chunks;
    for (int i = 0; i < texts.size(); ++i)
        chunks.append(QJsonObject { { "type", "chunk" }, { "doc", "file:///bench/context.pdf" },
            { "index", 0 }, { "page", i }, { "text", texts[i] } });
    client.send(QJsonObject { { "type", "chunks" }, { "chunks", chunks } });
    if (client.nextReply(600000) != R"({"type":"ACK"})")
        return -1;

    QElapsedTimer timer;
    timer.start();
    client.send(QJsonObject { { "type", "query" }, { "query", Question } });
    for (;;) {
        const QByteArray reply = client.nextReply(600000);
        if (reply.isEmpty())
            return -1;
        const QString type = QJsonDocument::fromJson(reply).object().value("type").toString();
        if (type == QLatin1String("ANSPART") || type == QLatin1String("ANSREFS"))
            return timer.elapsed();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("tokens") && argc == 4) {
        const PromptTokens tokens = promptTokens(argv[2], chunkTexts(QString(argv[3]).toInt()));
        if (tokens.prompt < 0)
            return 1;
        std::printf("%d %d\n", tokens.prompt, tokens.decoded);
        return 0;
    }
    if (mode == QLatin1String("time") && argc == 5) {
        const qint64 ms = firstPiece(argv[2], argv[3], chunkTexts(QString(argv[4]).toInt()));
        if (ms < 0) {
            std::fprintf(stderr, "bench-firstpiece: no answer from the server\n");
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(ms));
        return 0;
    }
    std::fprintf(stderr,
        "usage: bench-firstpiece tokens <answer.gguf> <context bytes>\n"
        "       bench-firstpiece time <answer.gguf> <retrieval.gguf> "
        "<context bytes>\n");
    return 2;
}
