#include "modelarguments.h"

#include <QTest>

#include <vector>

class tst_ModelArguments : public QObject
{
    Q_OBJECT

private slots:
    void findsBothPaths_data();
    void findsBothPaths();
};

void tst_ModelArguments::findsBothPaths_data()
{
    QTest::addColumn<QStringList>("arguments");
    // A null string: the role has no value.
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("retrieval");

    QTest::newRow("answer first") << QStringList { "-ma", "a.gguf", "-mr", "r.gguf" } << "a.gguf"
                                  << "r.gguf";
    QTest::newRow("retrieval first") << QStringList { "-mr", "r.gguf", "-ma", "a.gguf" } << "a.gguf"
                                     << "r.gguf";
    QTest::newRow("later -mr wins")
        << QStringList { "-mr", "old.gguf", "-ma", "a.gguf", "-mr", "new.gguf" } << "a.gguf"
        << "new.gguf";
    QTest::newRow("-ma -mr: the option is also the answer path")
        << QStringList { "-ma", "-mr", "r.gguf" } << "-mr"
        << "r.gguf";
    QTest::newRow("other arguments ignored")
        << QStringList { "--verbose", "-ma", "a.gguf", "x", "-mr", "r.gguf", "-ma" } << "a.gguf"
        << "r.gguf";
    QTest::newRow("empty path counts") << QStringList { "-ma", "", "-mr", "" } << ""
                                       << "";
    QTest::newRow("only -ma") << QStringList { "-ma", "a.gguf" } << "a.gguf" << QString();
    QTest::newRow("-mr last has no value")
        << QStringList { "-ma", "a.gguf", "-mr" } << "a.gguf" << QString();
    QTest::newRow("letter case and prefixes do not match") << QStringList { "-MA", "a.gguf", "-mra",
        "r.gguf", "-ma2", "b.gguf" } << QString() << QString();
    QTest::newRow("nothing") << QStringList {} << QString() << QString();
}

void tst_ModelArguments::findsBothPaths()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, answer);
    QFETCH(QString, retrieval);

    std::vector<QByteArray> storage { "oraculd" };
    for (const QString &argument : arguments)
        storage.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    const ModelPaths paths = parseModelArguments(int(storage.size()), argv.data());
    QCOMPARE(paths.contains(AnswerModel), !answer.isNull());
    QCOMPARE(paths.contains(RetrievalModel), !retrieval.isNull());
    if (!answer.isNull())
        QCOMPARE(QString::fromUtf8(paths.value(AnswerModel)), answer);
    if (!retrieval.isNull())
        QCOMPARE(QString::fromUtf8(paths.value(RetrievalModel)), retrieval);
}

QTEST_APPLESS_MAIN(tst_ModelArguments)
#include "tst_modelarguments.moc"
