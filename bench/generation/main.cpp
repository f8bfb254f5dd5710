// Streams one long answer from a fresh oraculd and prints, for bench/generation/run, how many
// pieces arrived after the answer's first piece and the milliseconds they took:
//   bench-generation <answer.gguf> <retrieval.gguf> <pieces>
// A model with random weights ends its answers at random, so the question is asked of a fresh
// server again until one answer holds at least <pieces> pieces after its first. A fresh server
// each time keeps the measured tokens at the depth of one prompt: a second question on the
// same server would generate behind the first answer's tokens too. Only the first <pieces>
// pieces after the first count, so the measured stretch matches llama-bench's text generation
// of as many tokens. A piece holds one generated token or more: a token whose text ends inside a
// character waits for the next, and a token without text sends nothing (this shape's byte tokens
// do both, for about a fifth of a random answer's tokens). Pieces per second is thus a lower
// bound of the tokens per second. QUORVANE_BIN_DIR names the folder of oraculd.
//   bench-generation --prompt-tokens <answer.gguf>
// prints how many tokens the server's prompt for the question holds: the fewest over the
// skills the question may be classed as, with no provided information, which is the least
// cache depth the server generates that answer at.

#include "embeddingintentclassifier.h"
#include "llamabackend.h"
#include "oraculdclient.h"
#include "oraculdserver.h"
#include "orchestratorcore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int MaxQuestions = 20;
const char Question[] = "Tell me a long story.";

struct Rate
{
    qint64 pieces = 0;
    qint64 ms = 0;
};

// One answer from a fresh server: the pieces after its first (at most `wanted`) and their time.
bool measureAnswer(const QString &answerModel, const QString &retrievalModel, int wanted,
    Rate &rate, QString &error)
{
    OraculdServer server;
    server.setStartTimeout(300000);
    if (!server.start({ "-ma", answerModel, "-mr", retrievalModel })) {
        error = "the server did not start: " + server.errorOutput().right(2000);
        return false;
    }
    OraculdClient client;
    // A machine busy with other work can take its time to greet.
    if (!client.connectTo(server.socketPath(), 120000)) {
        error = "no greeting from the server within two minutes; its output ends with:\n"
            + server.errorOutput().right(3000);
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    client.send(QJsonObject { { "type", "query" }, { "query", Question } });
    qint64 first = -1;
    for (;;) {
        const QByteArray reply = client.nextReply(600000);
        if (reply.isEmpty()) {
            error = "no reply within ten minutes: " + server.errorOutput().right(2000);
            return false;
        }
        const QString type = QJsonDocument::fromJson(reply).object().value("type").toString();
        if (type == QLatin1String("ANSREFS"))
            return true;
        if (type != QLatin1String("ANSPART"))
            continue;
        const qint64 now = clock.elapsed();
        if (first < 0) {
            first = now;
        } else if (rate.pieces < wanted) {
            ++rate.pieces;
            rate.ms = now - first;
        }
    }
}

bool measure(const QString &answerModel, const QString &retrievalModel, int wanted, Rate &rate,
    QString &error)
{
    qint64 longest = 0;
    for (int question = 0; question < MaxQuestions; ++question) {
        rate = Rate {};
        if (!measureAnswer(answerModel, retrievalModel, wanted, rate, error))
            return false;
        if (rate.pieces >= wanted)
            return true;
        longest = std::max(longest, rate.pieces);
    }
    error = QStringLiteral("no answer in %1 held %2 pieces after its first (the longest held %3)")
                .arg(MaxQuestions)
                .arg(wanted)
                .arg(longest);
    return false;
}

// Tokens of the server's prompt for `Question`, fewest over the skills; see the header comment.
int promptTokens(const std::string &answerModel)
{
    struct FirstPiece
    {
    };
    LlamaBackend backend;
    backend.loadModel(answerModel, 0.05f, 0.7f);
    int fewest = -1;
    for (int skill : { RagQa, Summarize, GeneralChat, Translate }) {
        const size_t before = backend.history().size();
        try {
            backend.generate({ { "system", OrchestratorCore::systemText(skill, std::string()) },
                                 { "user", Question } },
                true, [](const std::string &) { throw FirstPiece {}; });
        } catch (const FirstPiece &) { }
        // The history now holds the prompt and the one token generated after it.
        const int tokens = int(backend.history().size() - before) - 1;
        fewest = fewest < 0 ? tokens : std::min(fewest, tokens);
    }
    return fewest;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--prompt-tokens") {
        try {
            std::printf("%d\n", promptTokens(argv[2]));
            return 0;
        } catch (const std::exception &failure) {
            std::fprintf(stderr, "bench-generation: %s\n", failure.what());
            return 1;
        }
    }
    if (argc != 4) {
        std::fprintf(stderr,
            "usage: bench-generation <answer.gguf> <retrieval.gguf> <pieces>\n"
            "       bench-generation --prompt-tokens <answer.gguf>\n");
        return 2;
    }
    Rate rate;
    QString error;
    if (!measure(argv[1], argv[2], QString::fromLocal8Bit(argv[3]).toInt(), rate, error)) {
        std::fprintf(stderr, "bench-generation: %s\n", qPrintable(error));
        return 1;
    }
    std::printf(
        "%lld %lld\n", static_cast<long long>(rate.pieces), static_cast<long long>(rate.ms));
    return 0;
}
