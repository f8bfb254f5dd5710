#include "jsonstreamsplitter.h"
#include "topicsummarizer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <deque>

namespace {

ChunkRecord chunk(std::vector<float> embedding, std::string text = {}, int page = 0, int index = 0)
{
    ChunkRecord record;
    record.embedding = std::move(embedding);
    record.text = std::move(text);
    record.page = page;
    record.index = index;
    return record;
}

} // namespace

// A real local socket pair: the summarizer writes PROGRESS replies to the server side, the test
// reads them back on the client side as a peer would.
class ProgressPeer
{
public:
    explicit ProgressPeer(const QString &path)
    {
        server.listen(path);
        client.connectToServer(path);
        if (server.waitForNewConnection(5000))
            serverSide = server.nextPendingConnection();
        QObject::connect(&client, &QLocalSocket::readyRead, [this] {
            for (const QByteArray &message : splitter.feed(client.readAll()))
                messages << QJsonDocument::fromJson(message).object();
        });
    }

    QLocalSocket *connection() const { return serverSide; }

    QStringList progressTexts() const
    {
        QStringList texts;
        for (const QJsonObject &message : messages) {
            if (message.value("type").toString() == "PROGRESS")
                texts << message.value("message").toString();
        }
        return texts;
    }

    QList<QJsonObject> messages;

private:
    QLocalServer server;
    QLocalSocket client;
    QLocalSocket *serverSide = nullptr;
    JsonStreamSplitter splitter;
};

class tst_TopicSummarizer : public QObject
{
    Q_OBJECT

private slots:
    void keySentence_data();
    void keySentence();
    void clusterTopicsJoinsAtThreshold_data();
    void clusterTopicsJoinsAtThreshold();
    void clusterTopicsPrefersEarliestOfEqualTopics();
    void clusterTopicsSkipsWhatCannotBeClustered();
    void extractKeyTextsSendsProgress_data();
    void extractKeyTextsSendsProgress();
    void extractKeyTextsOrdersMembersAndFindsRepresentative();
    void extractKeyTextsWithoutConnectionStillWorks();
    void buildSummaryLines_data();
    void buildSummaryLines();
    void buildSummaryKeepsTheTwoBestOtherMembers();
    void cosineSimilarity_data();
    void cosineSimilarity();

private:
    QTemporaryDir socketDir;
};

void tst_TopicSummarizer::keySentence_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("short first sentence gives the second") << "  Hi. This is the second one. Third."
                                                           << " This is the second one.";
    QTest::newRow("short first, no second terminator") << "Short. No second terminator"
                                                       << "Short.";
    QTest::newRow("no terminator: whole text, blanks kept") << "  no end here at all"
                                                            << "  no end here at all";
    QTest::newRow("long first sentence") << "\n\tThe first sentence is long enough! Next one."
                                         << "The first sentence is long enough!";
    QTest::newRow("first sentence of exactly 21 bytes is kept") << "Twenty bytes here ok? Second."
                                                                << "Twenty bytes here ok?";
    QTest::newRow("first sentence of 20 bytes is passed over") << "Twenty bytes here o? Second."
                                                               << " Second.";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("multi-byte text") << "Größe ändern ist schwer. Zweiter Satz."
                                     << "Größe ändern ist schwer.";
}

void tst_TopicSummarizer::keySentence()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(key_sentence(text.toStdString())), expected);
}

void tst_TopicSummarizer::clusterTopicsJoinsAtThreshold_data()
{
    QTest::addColumn<bool>("atThreshold");
    QTest::addColumn<int>("topics");
    QTest::newRow("exactly the threshold joins") << true << 1;
    QTest::newRow("just below opens a new topic") << false << 2;
}

void tst_TopicSummarizer::clusterTopicsJoinsAtThreshold()
{
    QFETCH(bool, atThreshold);
    QFETCH(int, topics);

    const ChunkRecord first = chunk({ 1, 0 });
    const ChunkRecord second = chunk({ 3, 4 }); // cosine 0.6 with the first
    const float similarity = TopicSummarizer::cosineSimilarity(first.embedding, second.embedding);
    QCOMPARE(similarity, 0.6f);
    const float threshold = atThreshold ? similarity : std::nextafter(similarity, 1.0f);

    const std::vector<Topic> result
        = TopicSummarizer().clusterTopics({ &first, &second }, threshold);
    QCOMPARE(int(result.size()), topics);
    QCOMPARE(result[0].id, 0);
    QCOMPARE(result[0].members.front(), &first);
    QCOMPARE(result[0].representative, -1);
    if (topics == 2) {
        QCOMPARE(result[1].id, 1);
        QCOMPARE(result[1].members.front(), &second);
    }
}

void tst_TopicSummarizer::clusterTopicsPrefersEarliestOfEqualTopics()
{
    const ChunkRecord a = chunk({ 1, 0, 0 });
    const ChunkRecord b = chunk({ 0, 1, 0 });
    const ChunkRecord between = chunk({ 1, 1, 0 }); // equally close to a and b
    const ChunkRecord nearB = chunk({ 0.1f, 1, 0 }); // joins b, compared with b's first member
    const ChunkRecord opposite = chunk({ -1, 0, 0 }); // negative similarity: never joins

    const std::vector<Topic> topics
        = TopicSummarizer().clusterTopics({ &a, &b, &between, &nearB, &opposite }, 0.5f);
    QCOMPARE(int(topics.size()), 3);
    QCOMPARE(topics[0].members, (std::vector<const ChunkRecord *> { &a, &between }));
    QCOMPARE(topics[1].members, (std::vector<const ChunkRecord *> { &b, &nearB }));
    QCOMPARE(topics[2].members, (std::vector<const ChunkRecord *> { &opposite }));

    // With a threshold at or below 0 a negative similarity still opens a topic of its own.
    QCOMPARE(int(TopicSummarizer().clusterTopics({ &a, &opposite }, -1.0f).size()), 2);
}

void tst_TopicSummarizer::clusterTopicsSkipsWhatCannotBeClustered()
{
    ChunkRecord document = chunk({ 1, 0 });
    document.kind = ChunkRecord::FileName;
    const ChunkRecord unembedded = chunk({});
    const ChunkRecord text = chunk({ 1, 0 });

    const std::vector<Topic> topics
        = TopicSummarizer().clusterTopics({ nullptr, &document, &unembedded, &text }, 0.82f);
    QCOMPARE(int(topics.size()), 1);
    QCOMPARE(topics[0].members, (std::vector<const ChunkRecord *> { &text }));
    QVERIFY(TopicSummarizer().clusterTopics({}, 0.82f).empty());
}

void tst_TopicSummarizer::extractKeyTextsSendsProgress_data()
{
    QTest::addColumn<QList<int>>("memberCounts");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two topics") << QList<int> { 2, 1 }
                                << QStringList { "Processing topic 1 of 2 (50%)",
                                       "  Extracting key text (50%) for topic 0",
                                       "  Extracting key text (100%) for topic 0", "",
                                       "Processing topic 2 of 2 (100%)",
                                       "  Extracting key text (100%) for topic 1", "" };
    QTest::newRow("three topics, thirds truncated")
        << QList<int> { 3, 1, 1 }
        << QStringList { "Processing topic 1 of 3 (33%)", "  Extracting key text (33%) for topic 0",
               "  Extracting key text (66%) for topic 0",
               "  Extracting key text (100%) for topic 0", "", "Processing topic 2 of 3 (66%)",
               "  Extracting key text (100%) for topic 1", "", "Processing topic 3 of 3 (100%)",
               "  Extracting key text (100%) for topic 2", "" };
    QTest::newRow("no topics, no messages") << QList<int> {} << QStringList {};
}

void tst_TopicSummarizer::extractKeyTextsSendsProgress()
{
    QFETCH(QList<int>, memberCounts);
    QFETCH(QStringList, expected);

    std::deque<ChunkRecord> records;
    std::vector<Topic> topics;
    for (int t = 0; t < memberCounts.size(); ++t) {
        Topic topic { t, {}, {}, -1, {} };
        for (int m = 0; m < memberCounts[t]; ++m) {
            records.push_back(chunk({ 1, float(m) }, "A sentence long enough to be key.", m));
            topic.members.push_back(&records.back());
        }
        topics.push_back(topic);
    }

    ProgressPeer peer(socketDir.filePath(QTest::currentDataTag()));
    QVERIFY(peer.connection());
    TopicSummarizer().extractKeyTexts(topics, peer.connection());

    // An empty list sends nothing: give a stray message the time to show up anyway.
    if (expected.isEmpty())
        QTest::qWait(100);
    QTRY_COMPARE(peer.progressTexts().size(), expected.size());
    QCOMPARE(peer.progressTexts(), expected);
    QCOMPARE(peer.messages.size(), expected.size());
    if (!peer.messages.isEmpty())
        QCOMPARE(peer.messages.front().keys(), (QStringList { "message", "type" }));
}

void tst_TopicSummarizer::extractKeyTextsOrdersMembersAndFindsRepresentative()
{
    const ChunkRecord late = chunk({ 0, 1 }, "Page two comes after page one.", 2, 0);
    const ChunkRecord early = chunk({ 1, 0.1f }, "Page one, second index, is here.", 1, 1);
    const ChunkRecord first = chunk({ 1, 0 }, "Page one, first index, is here.", 1, 0);
    std::vector<Topic> topics { { 0, { &late, &early, &first }, { "stale" }, -1, {} } };

    TopicSummarizer().extractKeyTexts(topics, nullptr);

    const Topic &topic = topics.front();
    QCOMPARE(topic.members, (std::vector<const ChunkRecord *> { &first, &early, &late }));
    QCOMPARE(topic.keyTexts,
        (std::vector<std::string> { "Page one, first index, is here.",
            "Page one, second index, is here.", "Page two comes after page one." }));
    QCOMPARE(int(topic.centroid.size()), 2);
    QCOMPARE(topic.centroid[0], (1.0f + 1.0f + 0.0f) / 3.0f);
    QCOMPARE(topic.centroid[1], (0.0f + 0.1f + 1.0f) / 3.0f);
    QCOMPARE(topic.representative, 1); // (1, 0.1) lies closest to the mean direction
}

void tst_TopicSummarizer::extractKeyTextsWithoutConnectionStillWorks()
{
    // Members without usable embeddings: no centroid, and the first member represents.
    const ChunkRecord a = chunk({}, "Without embedding number one.");
    const ChunkRecord b = chunk({}, "Without embedding number two.");
    std::vector<Topic> topics { { 0, { &a, &b }, {}, -1, {} } };
    TopicSummarizer().extractKeyTexts(topics, nullptr);
    QVERIFY(topics[0].centroid.empty());
    QCOMPARE(topics[0].representative, 0);
    QCOMPARE(int(topics[0].keyTexts.size()), 2);
}

void tst_TopicSummarizer::buildSummaryLines_data()
{
    QTest::addColumn<QStringList>("keyTexts"); // one single-member topic per entry
    QTest::addColumn<QString>("expected");

    QTest::newRow("one topic, terminator added, no trailing blank")
        << QStringList { "Alpha" } << "Alpha.";
    QTest::newRow("lines end with a blank except the last")
        << QStringList { "Alpha.", "Beta!", "Gamma?" } << "Alpha. \nBeta! \nGamma?";
    QTest::newRow("a topic without key text gives no line")
        << QStringList { "Alpha", QString(), "Gamma" } << "Alpha. \nGamma.";
    QTest::newRow("empty key text still closes its line")
        << QStringList { "", "Beta" } << " \nBeta.";
    QTest::newRow("no topics") << QStringList {} << "";
}

void tst_TopicSummarizer::buildSummaryLines()
{
    QFETCH(QStringList, keyTexts);
    QFETCH(QString, expected);

    const ChunkRecord member = chunk({ 1, 0 });
    std::vector<Topic> topics;
    for (const QString &text : keyTexts) {
        Topic topic { int(topics.size()), {}, {}, 0, { 1, 0 } };
        if (!text.isNull()) {
            topic.members.push_back(&member);
            topic.keyTexts.push_back(text.toStdString());
        }
        topics.push_back(topic);
    }
    QCOMPARE(QString::fromStdString(TopicSummarizer().buildSummary(topics)), expected);
}

void tst_TopicSummarizer::buildSummaryKeepsTheTwoBestOtherMembers()
{
    // Centroid along x; the representative is the first member. The score favours members
    // close to the centroid but unlike the representative.
    const ChunkRecord representative = chunk({ 1, 1 });
    const ChunkRecord best = chunk({ 1, -1 }); // 0.707 - 0.5 * 0     = 0.707
    const ChunkRecord second = chunk({ 1, 0 }); // 1     - 0.5 * 0.707 = 0.646
    const ChunkRecord worst = chunk({ 0, 1 }); // 0     - 0.5 * 0.707 < 0
    Topic topic { 0, { &representative, &worst, &second, &best },
        { "Rep", "Worst", "Second", "Best" }, 0, { 1, 0 } };

    QCOMPARE(QString::fromStdString(TopicSummarizer().buildSummary({ topic })),
        QString("Rep. Best. Second."));

    // An out-of-range representative falls back to the first key text.
    topic.representative = 7;
    QVERIFY(TopicSummarizer().buildSummary({ topic }).rfind("Rep. ", 0) == 0);
}

void tst_TopicSummarizer::cosineSimilarity_data()
{
    QTest::addColumn<QList<float>>("a");
    QTest::addColumn<QList<float>>("b");
    QTest::addColumn<float>("expected");

    QTest::newRow("identical") << QList<float> { 1, 2, 3 } << QList<float> { 1, 2, 3 } << 1.0f;
    QTest::newRow("3-4-5") << QList<float> { 1, 0 } << QList<float> { 3, 4 } << 0.6f;
    QTest::newRow("opposite") << QList<float> { 1, 0 } << QList<float> { -2, 0 } << -1.0f;
    QTest::newRow("different lengths") << QList<float> { 1, 0 } << QList<float> { 1, 0, 0 } << 0.0f;
    QTest::newRow("empty") << QList<float> {} << QList<float> {} << 0.0f;
    QTest::newRow("zero vector") << QList<float> { 0, 0 } << QList<float> { 1, 0 } << 0.0f;
}

void tst_TopicSummarizer::cosineSimilarity()
{
    QFETCH(QList<float>, a);
    QFETCH(QList<float>, b);
    QFETCH(float, expected);
    const std::vector<float> va(a.begin(), a.end());
    const std::vector<float> vb(b.begin(), b.end());
    QCOMPARE(TopicSummarizer::cosineSimilarity(va, vb), expected);
    QCOMPARE(TopicSummarizer::cosineSimilarity(vb, va), expected);
}

QTEST_GUILESS_MAIN(tst_TopicSummarizer)
#include "tst_topicsummarizer.moc"
