#include "filedownloader.h"
#include "modelcatalogue.h"
#include "modellistmodel.h"

#include <QMetaEnum>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

class tst_ModelListModel : public QObject
{
    Q_OBJECT

private slots:
    void builtInCatalogueInOrder();
    void catalogueUrlsNameTheRepositoryFile();
    void rolesAndTheirValues();
    void progress_data();
    void progress();
    void indexOfIsCaseSensitive();
    void outOfRangeWritesChangeNothing_data();
    void outOfRangeWritesChangeNothing();
    void writesAnnounceTheirRoles();
};

void tst_ModelListModel::builtInCatalogueInOrder()
{
    FileDownloader downloader;
    const ModelListModel *list = downloader.modelList();
    struct Row
    {
        const char *name;
        const char *displayName;
        const char *type;
        qint64 size;
    };
    const Row expected[] = {
        { "Llama-3.2-1B-Instruct-Q8_0", "Llama 3.2 1B (Answers)", "generation", 1321082528 },
        { "snowflake-arctic-embed-s-f16", "Snowflake Arctic (Retrieval)", "retrieval", 67309063 },
        { "bge-m3-FP16", "BGE M3 FP16 (Retrieval)", "retrieval", 1157671200 },
        { "gemma-3-1b-it-q4_0", "Gemma 3 1B IT Q4_0 (Generation)", "generation", 1003541152 },
        { "Phi-3.5-mini-instruct.Q8_0", "Phi 3.5 Mini Instruct Q8_0 (Generation)", "generation",
            4061222624 },
        { "qwen2.5-3b-instruct-q8_0", "Qwen 2.5 3B Instruct Q8_0 (Generation)", "generation",
            3616088480 },
    };
    QCOMPARE(list->rowCount(), 6);
    for (int row = 0; row < 6; ++row) {
        const ModelInfo &model = list->models().at(row);
        QCOMPARE(model.name, QString::fromUtf8(expected[row].name));
        QCOMPARE(model.displayName, QString::fromUtf8(expected[row].displayName));
        QCOMPARE(model.type, QString::fromUtf8(expected[row].type));
        QCOMPARE(model.expectedSize, expected[row].size);
        QCOMPARE(model.fileName, model.name + QStringLiteral(".gguf"));
        QCOMPARE(model.state, int(ModelListModel::NotDownloaded));
        QCOMPARE(model.bytesReceived, 0);
    }
}

void tst_ModelListModel::catalogueUrlsNameTheRepositoryFile()
{
    static const QRegularExpression form(
        QStringLiteral("^https://huggingface\\.co/[^/]+/[^/]+/resolve/main/([^/]+)$"));
    const QList<ModelInfo> models = builtInModelCatalogue();
    for (int row = 0; row < models.size(); ++row) {
        const QRegularExpressionMatch match = form.match(models.at(row).url);
        QVERIFY2(match.hasMatch(), qPrintable(models.at(row).url));
        // The retrieval model's file is stored upper-case in its repository.
        const QString remote
            = row == 1 ? models.at(row).name + QStringLiteral(".GGUF") : models.at(row).fileName;
        QCOMPARE(match.captured(1), remote);
    }
    QCOMPARE(models.at(0).url,
        QStringLiteral("https://huggingface.co/bartowski/Llama-3.2-1B-Instruct-GGUF/resolve/main/"
                       "Llama-3.2-1B-Instruct-Q8_0.gguf"));
}

void tst_ModelListModel::rolesAndTheirValues()
{
    ModelListModel list;
    ModelInfo model;
    model.name = QStringLiteral("m");
    model.displayName = QStringLiteral("M model");
    model.type = QStringLiteral("retrieval");
    model.state = ModelListModel::Paused;
    model.bytesReceived = 5;
    model.expectedSize = 20;
    model.failure = QStringLiteral("Connection refused");
    list.setModels({ model });

    const QHash<int, QByteArray> names = list.roleNames();
    const QList<QPair<int, QByteArray>> expected
        = { { 257, "name" }, { 258, "displayName" }, { 259, "type" }, { 260, "state" },
              { 261, "bytesReceived" }, { 262, "expectedSize" }, { 263, "progress" },
              { 264, "failure" } };
    QCOMPARE(names.size(), expected.size());
    for (const auto &[role, name] : expected)
        QCOMPARE(names.value(role), name);

    const QModelIndex index = list.index(0);
    QCOMPARE(list.data(index, 257).toString(), QStringLiteral("m"));
    QCOMPARE(list.data(index, 258).toString(), QStringLiteral("M model"));
    QCOMPARE(list.data(index, 259).toString(), QStringLiteral("retrieval"));
    QCOMPARE(list.data(index, 260).toInt(), 3);
    QCOMPARE(list.data(index, 261).toLongLong(), 5);
    QCOMPARE(list.data(index, 262).toLongLong(), 20);
    QCOMPARE(list.data(index, 263).toDouble(), 0.25);
    QCOMPARE(list.data(index, 264).toString(), QStringLiteral("Connection refused"));
    QVERIFY(!list.data(index, 256).isValid());
    QVERIFY(!list.data(index, 265).isValid());
    QVERIFY(!list.data(index, Qt::DisplayRole).isValid());
    QVERIFY(!list.data(QModelIndex(), 257).isValid());
    QVERIFY(!list.data(list.index(1), 257).isValid());

    // QML reads the two enumerations by name.
    const QMetaObject &meta = ModelListModel::staticMetaObject;
    QCOMPARE(meta.enumeratorCount() - meta.enumeratorOffset(), 2);
    const QMetaEnum states = meta.enumerator(meta.enumeratorOffset());
    QCOMPARE(states.name(), "ModelState");
    const char *stateNames[] = { "NotDownloaded", "Queued", "Downloading", "Paused", "Downloaded" };
    for (int value = 0; value < 5; ++value)
        QCOMPARE(states.valueToKey(value), stateNames[value]);
    QCOMPARE(meta.enumerator(meta.enumeratorOffset() + 1).name(), "Roles");
}

void tst_ModelListModel::progress_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<qint64>("bytesReceived");
    QTest::addColumn<double>("progress");
    QTest::newRow("unknown size") << qint64(0) << qint64(123) << 0.0;
    QTest::newRow("negative size") << qint64(-1) << qint64(123) << 0.0;
    QTest::newRow("size one") << qint64(1) << qint64(1) << 1.0;
    QTest::newRow("half") << qint64(1321082528) << qint64(660541264) << 0.5;
    QTest::newRow("over the size, not clamped") << qint64(100) << qint64(150) << 1.5;
}

void tst_ModelListModel::progress()
{
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, bytesReceived);
    QFETCH(double, progress);
    ModelListModel list;
    ModelInfo model;
    model.expectedSize = expectedSize;
    model.bytesReceived = bytesReceived;
    list.setModels({ model });
    QCOMPARE(list.data(list.index(0), ModelListModel::ProgressRole).toDouble(), progress);
}

void tst_ModelListModel::indexOfIsCaseSensitive()
{
    FileDownloader downloader;
    const ModelListModel *list = downloader.modelList();
    QCOMPARE(list->indexOf(QStringLiteral("bge-m3-FP16")), 2);
    QCOMPARE(list->indexOf(QStringLiteral("qwen2.5-3b-instruct-q8_0")), 5);
    QCOMPARE(list->indexOf(QStringLiteral("BGE-M3-FP16")), -1);
    QCOMPARE(list->indexOf(QStringLiteral("bge-m3-fp16")), -1);
    QCOMPARE(list->indexOf(QString()), -1);
}

void tst_ModelListModel::outOfRangeWritesChangeNothing_data()
{
    QTest::addColumn<int>("row");
    QTest::newRow("before the first") << -1;
    QTest::newRow("past the last") << 6;
}

void tst_ModelListModel::outOfRangeWritesChangeNothing()
{
    QFETCH(int, row);
    FileDownloader downloader;
    ModelListModel *list = downloader.modelList();
    const QList<ModelInfo> before = list->models();
    QSignalSpy changed(list, &QAbstractItemModel::dataChanged);
    ModelInfo other;
    other.name = QStringLiteral("other");
    list->setModel(row, other);
    list->setBytesReceived(row, 99);
    QCOMPARE(changed.size(), 0);
    QCOMPARE(list->rowCount(), 6);
    for (int r = 0; r < 6; ++r) {
        QCOMPARE(list->models().at(r).name, before.at(r).name);
        QCOMPARE(list->models().at(r).bytesReceived, 0);
    }
}

void tst_ModelListModel::writesAnnounceTheirRoles()
{
    FileDownloader downloader;
    ModelListModel *list = downloader.modelList();
    QSignalSpy changed(list, &QAbstractItemModel::dataChanged);

    list->setBytesReceived(3, 1000);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 3);
    QCOMPARE(changed.at(0).at(1).toModelIndex().row(), 3);
    QCOMPARE(changed.at(0).at(2).value<QList<int>>(),
        (QList<int> { ModelListModel::BytesReceivedRole, ModelListModel::ProgressRole }));
    QCOMPARE(list->models().at(3).bytesReceived, 1000);

    ModelInfo model = list->models().at(4);
    model.state = ModelListModel::Queued;
    list->setModel(4, model);
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed.at(1).at(0).toModelIndex().row(), 4);
    QVERIFY(changed.at(1).at(2).value<QList<int>>().isEmpty());
    QCOMPARE(list->models().at(4).state, int(ModelListModel::Queued));
}

QTEST_GUILESS_MAIN(tst_ModelListModel)
#include "tst_modellistmodel.moc"
