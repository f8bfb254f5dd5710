// Streams answers from a fresh oraculd and prints, for bench/generation/run, how many pieces
// arrived after the first piece of each answer and the milliseconds they took:
//   bench-generation <answer.gguf> <retrieval.gguf> <pieces>
// Questions are asked one after another until the answers after their first pieces hold at
// least <pieces> pieces: a model with random weights ends its answers at random. Only the first
// <pieces> pieces after an answer's first count, so the measured stretch matches llama-bench's
// text generation of as many tokens. Each piece is one generated token. QUORVANE_BIN_DIR names
// the folder of oraculd.

#include "oraculdclient.h"
#include "oraculdserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <cstdio>

namespace {

constexpr int MaxQuestions = 20;

struct Rate
{
    qint64 pieces = 0;
    qint64 ms = 0;
};

bool measure(const QString &answerModel, const QString &retrievalModel, int wanted, Rate &rate,
    QString &error)
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
    for (int question = 0; question < MaxQuestions && rate.pieces < wanted; ++question) {
        client.send(QJsonObject { { "type", "query" }, { "query", "Tell me a long story." } });
        qint64 first = -1;
        qint64 last = -1;
        qint64 pieces = 0;
        for (;;) {
            const QByteArray reply = client.nextReply(600000);
            if (reply.isEmpty()) {
                error = "no reply within ten minutes: " + server.errorOutput().right(2000);
                return false;
            }
            const QString type = QJsonDocument::fromJson(reply).object().value("type").toString();
            if (type == QLatin1String("ANSREFS"))
                break;
            if (type != QLatin1String("ANSPART"))
                continue;
            const qint64 now = clock.elapsed();
            if (first < 0) {
                first = now;
            } else if (rate.pieces + pieces < wanted) {
                ++pieces;
                last = now;
            }
        }
        if (pieces > 0) {
            rate.pieces += pieces;
            rate.ms += last - first;
        }
    }
    if (rate.pieces < wanted) {
        error = QStringLiteral("only %1 pieces in %2 answers").arg(rate.pieces).arg(MaxQuestions);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench-generation <answer.gguf> <retrieval.gguf> <pieces>\n");
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
