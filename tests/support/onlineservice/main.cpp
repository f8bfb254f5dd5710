#include "onlineservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in for the online assistant service on ws://127.0.0.1:<port>/connection. "
        "Prints the address it listens on as its first line, then every message."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("port"), QStringLiteral("Port; 0 or none: any."));
    const QCommandLineOption reply(QStringLiteral("reply"),
        QStringLiteral("Answer a query as a 'stream' of pieces or one "
                       "'whole' ANS."),
        QStringLiteral("mode"), QStringLiteral("stream"));
    const QCommandLineOption progress(
        QStringLiteral("progress"), QStringLiteral("Send PROGRESS lines before a stream."));
    const QCommandLineOption embedPart(
        QStringLiteral("embedpart"), QStringLiteral("Send an EMBEDPART before every answer."));
    const QCommandLineOption delay(QStringLiteral("piece-delay"),
        QStringLiteral("Milliseconds between streamed messages."), QStringLiteral("ms"),
        QStringLiteral("0"));
    const QCommandLineOption answer(QStringLiteral("answer"), QStringLiteral("The answer text."),
        QStringLiteral("text"),
        QStringLiteral("According to your documents, the answer is in the passages below."));
    const QCommandLineOption closeAfter(QStringLiteral("close-after"),
        QStringLiteral("Close the connection after this many messages of a streamed answer."),
        QStringLiteral("count"), QStringLiteral("-1"));
    parser.addOptions({ reply, progress, embedPart, delay, answer, closeAfter });
    parser.process(app);

    QTextStream err(stderr);
    const QString mode = parser.value(reply);
    if (mode != QLatin1String("stream") && mode != QLatin1String("whole")) {
        err << "onlineservice: --reply takes 'stream' or 'whole'" << Qt::endl;
        return 2;
    }
    bool ok = true;
    const QStringList positional = parser.positionalArguments();
    const uint port = positional.isEmpty() ? 0 : positional.first().toUInt(&ok);
    if (!ok || port > 65535 || positional.size() > 1) {
        err << "onlineservice: the port must be a number from 0 to 65535" << Qt::endl;
        return 2;
    }
    OnlineService::Options options;
    options.whole = mode == QLatin1String("whole");
    options.progress = parser.isSet(progress);
    options.embedPart = parser.isSet(embedPart);
    options.pieceDelayMs = parser.value(delay).toInt();
    options.answer = parser.value(answer);
    options.closeAfter = parser.value(closeAfter).toInt();

    OnlineService service(options);
    if (!service.listen(quint16(port))) {
        err << "onlineservice: cannot listen on port " << port << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "listening " << service.url() << Qt::endl;
    return app.exec();
}
