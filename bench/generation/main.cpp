// Asks a fresh oraculd for one long answer and prints, for bench/generation/run, how many tokens
// the server generated for it and the milliseconds from its first token to its last, as the
// server's own log line for the answer says:
//   bench-generation <answer.gguf> <retrieval.gguf> <tokens>
// A model with random weights ends its answers at random, so the question is asked of a fresh
// server again until one answer holds at least <tokens> tokens after its first. A fresh server
// each time keeps the answer at the depth of one prompt: a second question on the same server
// would generate behind the first answer's tokens too. The time spans one step per token after
// the first, each a decode of one token and a draw, as llama-bench's text generation times one
// decode per token. QUORVANE_BIN_DIR names the folder of oraculd.
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
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int MaxQuestions = 20;
const char Question[] = "Tell me a long story.";

struct Rate
{
    qint64 tokens = 0;
    double ms = 0;
};

// The server's line for its answer; its logger writes from a thread of its own, so the line may
// follow the answer's last reply by a moment.
bool readAnswerLine(OraculdServer &server, Rate &rate)
{
    static const QRegularExpression line(
        QStringLiteral("(\\d+) tokens generated, ([0-9.]+) ms from the first to the last"));
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = line.match(server.errorOutput());
        if (match.hasMatch()) {
            rate.tokens = match.captured(1).toLongLong();
            rate.ms = match.captured(2).toDouble();
            return true;
        }
        // The server's output is read while events are processed.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return false;
}

// One answer from a fresh server: its token count and the time from its first token to its last.
bool measureAnswer(
    const QString &answerModel, const QString &retrievalModel, Rate &rate, QString &error)
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
    client.send(QJsonObject { { "type", "query" }, { "query", Question } });
    for (;;) {
        const QByteArray reply = client.nextReply(600000);
        if (reply.isEmpty()) {
            error = "no reply within ten minutes: " + server.errorOutput().right(2000);
            return false;
        }
        if (QJsonDocument::fromJson(reply).object().value("type").toString()
            == QLatin1String("ANSREFS"))
            break;
    }
    if (!readAnswerLine(server, rate)) {
        error = "the server logged no token count for its answer: "
            + server.errorOutput().right(2000);
        return false;
    }
    return true;
}

bool measure(const QString &answerModel, const QString &retrievalModel, int wanted, Rate &rate,
    QString &error)
{
    qint64 longest = 0;
    for (int question = 0; question < MaxQuestions; ++question) {
        rate = Rate {};
        if (!measureAnswer(answerModel, retrievalModel, rate, error))
            return false;
        if (rate.tokens > wanted)
            return true;
        longest = std::max(longest, rate.tokens);
    }
    error = QStringLiteral("no answer in %1 held %2 tokens after its first (the longest held %3)")
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
            "usage: bench-generation <answer.gguf> <retrieval.gguf> <tokens>\n"
            "       bench-generation --prompt-tokens <answer.gguf>\n");
        return 2;
    }
    Rate rate;
    QString error;
    if (!measure(argv[1], argv[2], QString::fromLocal8Bit(argv[3]).toInt(), rate, error)) {
        std::fprintf(stderr, "bench-generation: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%lld %.3f\n", static_cast<long long>(rate.tokens), rate.ms);
    return 0;
}
