// Stores the same chunks in a fresh oraculd once in requests of 100 and once in one request, and
// prints the wall time of each from the first request to the last ACK.
//   bench-ingestion <answer.gguf> <retrieval.gguf> <chunks> <batch>
// QUORVANE_BIN_DIR names the folder of oraculd.

#include "oraculdclient.h"
#include "oraculdserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRandomGenerator>

#include <cstdio>

namespace {

QJsonArray makeChunks(int count)
{
    static const char *const words[] = {
        "river",
        "bridge",
        "engine",
        "garden",
        "winter",
        "market",
        "language",
        "planet",
        "music",
        "harbour",
        "report",
        "annual",
        "revenue",
        "growth",
        "customer",
        "service",
        "network",
        "security",
        "policy",
        "employee",
        "training",
        "budget",
        "forecast",
        "risk",
        "design",
        "review",
        "quality",
        "supplier",
        "contract",
        "energy",
        "storage",
        "battery",
        "climate",
        "water",
        "soil",
        "harvest",
        "machine",
        "sensor",
        "signal",
        "noise",
        "the",
        "of",
        "and",
        "in",
        "for",
        "with",
        "on",
        "from",
    };
    const int wordCount = int(sizeof(words) / sizeof(words[0]));
    QRandomGenerator random(2024);
    QJsonArray chunks;
    for (int i = 0; i < count; ++i) {
        QString text;
        while (text.size() < 200)
            text += QLatin1String(words[random.bounded(wordCount)]) + QLatin1Char(' ');
        chunks.append(QJsonObject { { "type", "chunk" }, { "doc", "file:///bench/report.pdf" },
            { "index", 0 }, { "page", i / 20 }, { "text", text.trimmed() + QLatin1Char('.') },
            { "bbox",
                QJsonObject { { "x", 50 }, { "y", 60 + (i % 20) * 30 }, { "width", 400 },
                    { "height", 14 } } } });
    }
    return chunks;
}

// Milliseconds from the first request to the last ACK, or -1 with what failed in `error`.
qint64 ingest(const QString &answerModel, const QString &retrievalModel, const QJsonArray &chunks,
    int batchSize, QString &error)
{
    OraculdServer server;
    server.setStartTimeout(300000);
    if (!server.start({ "-ma", answerModel, "-mr", retrievalModel })) {
        error = "the server did not start; its output ends with:\n"
            + server.errorOutput().right(3000);
        return -1;
    }
    OraculdClient client;
    // A machine busy with other work can take its time to greet.
    if (!client.connectTo(server.socketPath(), 120000)) {
        error = "no greeting from the server within two minutes; its output ends with:\n"
            + server.errorOutput().right(3000);
        return -1;
    }
    QElapsedTimer timer;
    timer.start();
    for (qsizetype first = 0; first < chunks.size(); first += batchSize) {
        QJsonArray batch;
        for (qsizetype i = first; i < qMin(first + batchSize, chunks.size()); ++i)
            batch.append(chunks.at(i));
        client.send(QJsonObject { { "type", "chunks" }, { "chunks", batch } });
        const QByteArray reply = client.nextReply(600000);
        if (reply != R"({"type":"ACK"})") {
            error = QStringLiteral(
                "request %1 of %2 chunks got %3 instead of its ACK; the server %4; "
                "its output ends with:\n%5")
                        .arg(first / batchSize + 1)
                        .arg(batch.size())
                        .arg(reply.isEmpty() ? QStringLiteral("no reply within ten minutes")
                                             : QString::fromUtf8(reply.left(200)))
                        .arg(server.waitForExit(0)
                                ? QStringLiteral("ended with code %1").arg(server.exitCode())
                                : QStringLiteral("still runs"))
                        .arg(server.errorOutput().right(3000));
            return -1;
        }
    }
    return timer.elapsed();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr,
            "usage: bench-ingestion <answer.gguf> <retrieval.gguf> <chunks> "
            "<batch>\n");
        return 2;
    }
    const QJsonArray chunks = makeChunks(QString::fromLocal8Bit(argv[3]).toInt());
    const int batch = QString::fromLocal8Bit(argv[4]).toInt();
    QString error;
    const qint64 batched = ingest(argv[1], argv[2], chunks, batch, error);
    if (batched < 0) {
        std::fprintf(stderr, "bench-ingestion: in requests of %d: %s\n", batch, qPrintable(error));
        return 1;
    }
    const qint64 whole = ingest(argv[1], argv[2], chunks, int(chunks.size()), error);
    if (whole < 0) {
        std::fprintf(stderr, "bench-ingestion: in one request: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%lld %lld\n", static_cast<long long>(batched), static_cast<long long>(whole));
    return 0;
}
