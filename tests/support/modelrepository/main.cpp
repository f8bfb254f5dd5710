#include "modelrepository.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in for the model repository on https://localhost:<port>/OWNER/REPO/resolve/main/"
        "FILE. Prints the address it listens on as its first line, then every request."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("Folder of the files."));
    const QCommandLineOption cert(QStringLiteral("cert"),
        QStringLiteral("Server certificate (PEM)."), QStringLiteral("file"));
    const QCommandLineOption key(
        QStringLiteral("key"), QStringLiteral("Its private key (PEM)."), QStringLiteral("file"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port; 0: any."),
        QStringLiteral("port"), QStringLiteral("0"));
    parser.addOptions({ cert, key, port });
    parser.process(app);

    QTextStream err(stderr);
    if (parser.positionalArguments().size() != 1 || !parser.isSet(cert) || !parser.isSet(key)) {
        err << "modelrepository: give the folder, --cert and --key" << Qt::endl;
        return 2;
    }
    ModelRepository repository(parser.positionalArguments().first());
    if (!repository.listen(parser.value(cert), parser.value(key), parser.value(port).toUShort())) {
        err << "modelrepository: cannot listen with that certificate and key" << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << "listening https://localhost:" << repository.port() << Qt::endl;
    return app.exec();
}
