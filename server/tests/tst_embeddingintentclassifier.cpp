#include "embeddingintentclassifier.h"
#include "retrieval.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <map>
#include <stdexcept>

namespace {

// Integer vectors whose cosine with the question axis (1, 0, 0, 0, 0) is exactly the given value
// in single precision: each has a whole-number length.
std::vector<float> withCosine(int hundredths)
{
    static const std::map<int, std::vector<float>> vectors = {
        { 0, { 0, 1, 0, 0, 0 } },
        { 30, { 3, 9, 3, 1, 0 } },
        { 35, { 7, 18, 5, 1, 1 } },
        { 40, { 2, 4, 2, 1, 0 } },
        { 50, { 1, 1, 1, 1, 0 } },
        { 60, { 3, 4, 0, 0, 0 } },
        { 64, { 16, 19, 2, 2, 0 } },
        { 70, { 7, 7, 1, 1, 0 } },
        { 100, { 1, 0, 0, 0, 0 } },
    };
    return vectors.at(hundredths);
}

const std::vector<float> question { 1, 0, 0, 0, 0 };

// A vector whose cosine with the question axis is exactly `cosine` as the classifier computes
// it: (cosine, s) with s chosen so that the squared length sums to exactly 1 in single precision.
std::vector<float> withExactCosine(float cosine)
{
    float s = std::sqrt(1.0f - cosine * cosine);
    for (int step = 0; step < 64 && cosine * cosine + s * s != 1.0f; ++step)
        s = std::nextafter(s, cosine * cosine + s * s < 1.0f ? 2.0f : 0.0f);
    return { cosine, s, 0, 0, 0 };
}

QString modelPath(const char *name)
{
    return qEnvironmentVariable("QUORVANE_MODELS_DIR") + '/' + name;
}

} // namespace

class tst_EmbeddingIntentClassifier : public QObject
{
    Q_OBJECT

private slots:
    void exactCosinesHold();
    void decidesBySimilarities_data();
    void decidesBySimilarities();
    void documentQuestionNeedsMoreThanTheMargin_data();
    void documentQuestionNeedsMoreThanTheMargin();
    void documentMatchSkipsRecordsOfAnotherSize();
    void cosineSimilarity_data();
    void cosineSimilarity();
    void unboundAnswersGeneralChat();
    void initializeWithNullThrows();
    void unloadedRetrievalGivesGeneralChat();
    void classifiesWithTheRetrievalModel_data();
    void classifiesWithTheRetrievalModel();
};

void tst_EmbeddingIntentClassifier::exactCosinesHold()
{
    for (int c : { 0, 30, 35, 40, 50, 60, 64, 70, 100 })
        QCOMPARE(EmbeddingIntentClassifier::cosineSimilarity(question, withCosine(c)), c / 100.0f);
}

void tst_EmbeddingIntentClassifier::decidesBySimilarities_data()
{
    // Similarity of the question with the best stored record (-1: empty store) and with the
    // best example of each intent group; hundredths.
    QTest::addColumn<int>("doc");
    QTest::addColumn<int>("summarize");
    QTest::addColumn<int>("translate");
    QTest::addColumn<int>("expected");

    QTest::newRow("document clearly better: RagQa") << 70 << 60 << 0 << int(RagQa);
    QTest::newRow("document not above best + 0.05") << 64 << 60 << 0 << int(Summarize);
    QTest::newRow("document match beats translate") << 70 << 0 << 60 << int(RagQa);
    QTest::newRow("translate wins its group") << 0 << 50 << 60 << int(Translate);
    QTest::newRow("tie goes to Summarize") << 0 << 60 << 60 << int(Summarize);
    QTest::newRow("exactly the minimum selects") << 30 << 0 << 40 << int(Translate);
    QTest::newRow("nothing close: GeneralChat") << 30 << 35 << 0 << int(GeneralChat);
    QTest::newRow("empty store never RagQa") << -1 << 40 << 0 << int(Summarize);
    QTest::newRow("empty store, below minimum") << -1 << 35 << 30 << int(GeneralChat);
    QTest::newRow("identical document, no examples close") << 100 << 0 << 0 << int(RagQa);
}

void tst_EmbeddingIntentClassifier::decidesBySimilarities()
{
    QFETCH(int, doc);
    QFETCH(int, summarize);
    QFETCH(int, translate);
    QFETCH(int, expected);

    std::vector<ChunkRecord> store;
    if (doc >= 0) {
        store.resize(3);
        store[0].embedding = withCosine(0);
        store[1].embedding = withCosine(doc);
        store[2].embedding = withCosine(0);
        store[2].kind = ChunkRecord::FileName; // document records count as well
    }
    // Each group's best example sits among weaker ones.
    const std::vector<IntentPrototypes> prototypes {
        { Summarize, { withCosine(0), withCosine(summarize), withCosine(0) } },
        { Translate, { withCosine(translate), withCosine(0) } },
    };
    QCOMPARE(EmbeddingIntentClassifier::classifyEmbedding(question, prototypes, &store, 5, 0.4f),
        expected);
}

void tst_EmbeddingIntentClassifier::documentQuestionNeedsMoreThanTheMargin_data()
{
    // The best example similarity, and the best document similarity as single-precision steps
    // away from that plus 0.05.
    QTest::addColumn<float>("example");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("expected");

    QTest::newRow("one step below the margin") << 0.6f << -1 << int(Summarize);
    QTest::newRow("exactly at the margin is no document question") << 0.6f << 0 << int(Summarize);
    QTest::newRow("one step above the margin") << 0.6f << 1 << int(RagQa);
    QTest::newRow("at the margin of a weak example: general chat") << 0.3f << 0 << int(GeneralChat);
    QTest::newRow("above the margin of a weak example") << 0.3f << 1 << int(RagQa);
    QTest::newRow("2000 steps above the margin of a weak example") << 0.3f << 2000 << int(RagQa);
}

void tst_EmbeddingIntentClassifier::documentQuestionNeedsMoreThanTheMargin()
{
    QFETCH(float, example);
    QFETCH(int, steps);
    QFETCH(int, expected);

    float doc = example + 0.05f;
    for (int i = 0; i < std::abs(steps); ++i)
        doc = std::nextafter(doc, steps < 0 ? 0.0f : 2.0f);
    const std::vector<float> exampleVector = withExactCosine(example);
    const std::vector<float> docVector = withExactCosine(doc);
    QCOMPARE(EmbeddingIntentClassifier::cosineSimilarity(question, exampleVector), example);
    QCOMPARE(EmbeddingIntentClassifier::cosineSimilarity(question, docVector), doc);

    std::vector<ChunkRecord> store(1);
    store[0].embedding = docVector;
    const std::vector<IntentPrototypes> prototypes { { Summarize, { exampleVector } },
        { Translate, { withCosine(0) } } };
    QCOMPARE(EmbeddingIntentClassifier::classifyEmbedding(question, prototypes, &store, 5, 0.4f),
        expected);
}

void tst_EmbeddingIntentClassifier::documentMatchSkipsRecordsOfAnotherSize()
{
    std::vector<ChunkRecord> store(2);
    store[0].embedding = { 1, 0, 0 }; // another model's size: would be a perfect match
    store[1].embedding = {}; // not embedded yet
    const std::vector<IntentPrototypes> prototypes { { Summarize, { withCosine(60) } } };
    QCOMPARE(EmbeddingIntentClassifier::classifyEmbedding(question, prototypes, &store, 5, 0.4f),
        int(Summarize));
    QCOMPARE(EmbeddingIntentClassifier::classifyEmbedding(question, prototypes, nullptr, 5, 0.4f),
        int(Summarize));
    // A zero question embedding matches nothing.
    QCOMPARE(EmbeddingIntentClassifier::classifyEmbedding(
                 std::vector<float>(5, 0.0f), prototypes, &store, 5, 0.4f),
        int(GeneralChat));
}

void tst_EmbeddingIntentClassifier::cosineSimilarity_data()
{
    QTest::addColumn<QList<float>>("a");
    QTest::addColumn<QList<float>>("b");
    QTest::addColumn<float>("expected");

    QTest::newRow("different lengths") << QList<float> { 1, 0 } << QList<float> { 1, 0, 0 } << 0.0f;
    QTest::newRow("empty") << QList<float> {} << QList<float> {} << 0.0f;
    QTest::newRow("zero vector") << QList<float> { 0, 0 } << QList<float> { 1, 1 } << 0.0f;
    QTest::newRow("both zero") << QList<float> { 0, 0 } << QList<float> { 0, 0 } << 0.0f;
    QTest::newRow("scaled copy") << QList<float> { 1, 2 } << QList<float> { 3, 6 } << 1.0f;
    QTest::newRow("orthogonal") << QList<float> { 1, 0 } << QList<float> { 0, 5 } << 0.0f;
    QTest::newRow("opposite") << QList<float> { 1, 0 } << QList<float> { -4, 0 } << -1.0f;
}

void tst_EmbeddingIntentClassifier::cosineSimilarity()
{
    QFETCH(QList<float>, a);
    QFETCH(QList<float>, b);
    QFETCH(float, expected);
    const std::vector<float> va(a.begin(), a.end());
    const std::vector<float> vb(b.begin(), b.end());
    QCOMPARE(EmbeddingIntentClassifier::cosineSimilarity(va, vb), expected);
}

void tst_EmbeddingIntentClassifier::unboundAnswersGeneralChat()
{
    EmbeddingIntentClassifier classifier(0.4f);
    QCOMPARE(classifier.classify("Summarize this"), int(GeneralChat));
    try {
        classifier.embedText("Summarize this");
        QFAIL("embedText without a Retrieval must throw");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QString(error.what()),
            QString("EmbeddingIntentClassifier::embedText: Retrieval not initialized"));
    }
}

void tst_EmbeddingIntentClassifier::initializeWithNullThrows()
{
    EmbeddingIntentClassifier classifier(0.4f);
    std::vector<ChunkRecord> store;
    try {
        classifier.initialize(nullptr, &store);
        QFAIL("initialize with a null Retrieval must throw");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QString(error.what()),
            QString("EmbeddingIntentClassifier::initialize: Retrieval is null"));
    }
    // Still unbound afterwards.
    QCOMPARE(classifier.classify("Summarize this"), int(GeneralChat));
}

void tst_EmbeddingIntentClassifier::unloadedRetrievalGivesGeneralChat()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("broken.gguf");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("GGUF but not really a model");
    file.close();

    Retrieval retrieval(path.toUtf8().constData());
    QVERIFY(!retrieval.isLoaded());
    std::vector<ChunkRecord> store(1);
    store[0].text = "Summarize this";
    EmbeddingIntentClassifier classifier(0.4f);
    classifier.initialize(&retrieval, &store);
    QCOMPARE(classifier.classify("Summarize this"), int(GeneralChat));
    QVERIFY(classifier.embedText("Summarize this").empty());
}

void tst_EmbeddingIntentClassifier::classifiesWithTheRetrievalModel_data()
{
    QTest::addColumn<QString>("storedText");
    QTest::addColumn<QString>("questionText");
    QTest::addColumn<int>("expected");

    QTest::newRow("summary request") << ""
                                     << "Give me a short summary" << int(Summarize);
    QTest::newRow("translation request") << ""
                                         << "Translate this sentence" << int(Translate);
    QTest::newRow("question about the stored text")
        << "The harbour crane lifts containers from the ship"
        << "Which crane lifts containers from the ship?" << int(RagQa);
}

void tst_EmbeddingIntentClassifier::classifiesWithTheRetrievalModel()
{
    QFETCH(QString, storedText);
    QFETCH(QString, questionText);
    QFETCH(int, expected);

    const QString path = modelPath("retrieval.gguf");
    QVERIFY2(QFile::exists(path), qPrintable(path));
    Retrieval retrieval(path.toUtf8().constData());
    QVERIFY(retrieval.isLoaded());

    std::vector<ChunkRecord> store;
    if (!storedText.isEmpty()) {
        store.resize(1);
        store[0].text = storedText.toStdString();
        retrieval.embed_chunks(store);
    }
    EmbeddingIntentClassifier classifier(0.4f);
    classifier.initialize(&retrieval, &store);
    QCOMPARE(classifier.classify(questionText.toStdString()), expected);
}

QTEST_GUILESS_MAIN(tst_EmbeddingIntentClassifier)
#include "tst_embeddingintentclassifier.moc"
