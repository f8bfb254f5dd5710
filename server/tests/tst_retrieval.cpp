#include "retrieval.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

QString modelPath(const char *name)
{
    return qEnvironmentVariable("QUORVANE_MODELS_DIR") + '/' + name;
}

float dot(const std::vector<float> &a, const std::vector<float> &b)
{
    double sum = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        sum += double(a[i]) * double(b[i]);
    return float(sum);
}

float length(const std::vector<float> &a)
{
    return std::sqrt(dot(a, a));
}

float maxDifference(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size())
        return INFINITY;
    float worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

ChunkRecord textRecord(const std::string &text, const std::string &doc = "file:///a.pdf")
{
    ChunkRecord record;
    record.text = text;
    record.doc = doc;
    return record;
}

// Distinct texts from a small pool of content words, so each record has its own embedding.
std::string wordsText(int seed, int words)
{
    static const char *pool[] = { "harbour", "crane", "ship", "container", "river", "bridge",
        "engine", "signal", "timber", "copper", "garden", "winter", "market", "violin", "planet",
        "mountain", "library", "castle" };
    std::string text;
    unsigned state = unsigned(seed) * 2654435761u + 12345u;
    for (int i = 0; i < words; ++i) {
        state = state * 1103515245u + 12345u;
        text += pool[(state >> 16) % (sizeof(pool) / sizeof(*pool))];
        text += i + 1 < words ? " " : ".";
    }
    return text;
}

// The embedding one record gets when it is embedded on its own.
std::vector<float> aloneEmbedding(Retrieval &retrieval, const std::string &text)
{
    std::vector<ChunkRecord> one { textRecord(text) };
    retrieval.embed_chunks(one);
    return one.front().embedding;
}

} // namespace

class tst_Retrieval : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void embeddingsAreUnitLengthAndShareWords();
    void embedChunksLeavesNoTokensAndFullEmbeddings();
    void oversizedTextsAreCutAndNeverZeroLaterRecords();
    void manySmallRecordsShareBatches();
    void incrementalPassesEqualAFullPass();
    void relevantDocsKeepTheWindow_data();
    void relevantDocsKeepTheWindow();
    void relevantDocsByContent();
    void unloadableModelLeavesEveryCallSafe_data();
    void unloadableModelLeavesEveryCallSafe();
    void decoderModelEmbedsThroughDecode();
    void replacementOutlivesTheEngineItReplaces();
    void recordsTheModelFailsOnGetNoVectors_data();
    void recordsTheModelFailsOnGetNoVectors();

private:
    std::unique_ptr<Retrieval> retrieval;
};

void tst_Retrieval::initTestCase()
{
    const QString path = modelPath("retrieval.gguf");
    QVERIFY2(QFile::exists(path), qPrintable(path));
    retrieval = std::make_unique<Retrieval>(path.toUtf8().constData());
    QVERIFY(retrieval->isLoaded());
    QVERIFY(retrieval->get_n_embd() > 0);
    // The BERT-class model's trained context bounds a text, not the 2048-token batch.
    QCOMPARE(retrieval->max_text_tokens(), 512);
}

void tst_Retrieval::embeddingsAreUnitLengthAndShareWords()
{
    const std::string text = "The harbour crane lifts containers from the ship";
    const std::vector<float> a = retrieval->embed_text(text);
    const std::vector<float> again = retrieval->embed_text(text);
    QCOMPARE(int(a.size()), retrieval->get_n_embd());
    QVERIFY(std::fabs(length(a) - 1.0f) < 1e-5f);
    QVERIFY(std::fabs(dot(a, again) - 1.0f) < 1e-5f);

    const float related = dot(a, retrieval->embed_text("Which crane lifts the containers?"));
    const float unrelated = dot(a, retrieval->embed_text("A chocolate cake recipe with butter"));
    QVERIFY2(
        related > unrelated + 0.3f, qPrintable(QString("%1 vs %2").arg(related).arg(unrelated)));

    // A stored record and the same text as a question land on the same vector here.
    QVERIFY(maxDifference(aloneEmbedding(*retrieval, text), a) < 1e-5f);
}

void tst_Retrieval::embedChunksLeavesNoTokensAndFullEmbeddings()
{
    std::vector<ChunkRecord> records { textRecord("Harbour cranes."), textRecord(""),
        textRecord("Copper and timber at the market.") };
    records[1].kind = ChunkRecord::FileName;
    retrieval->embed_chunks(records);
    for (const ChunkRecord &record : records) {
        QVERIFY(record.tokens.empty());
        QCOMPARE(int(record.embedding.size()), retrieval->get_n_embd());
        QVERIFY(record.embeddingCurrent);
    }
    QVERIFY(std::fabs(length(records[0].embedding) - 1.0f) < 1e-5f);
    QCOMPARE(length(records[1].embedding), 0.0f); // nothing but special tokens

    std::vector<ChunkRecord> none;
    retrieval->embed_chunks(none);
    QVERIFY(none.empty());
}

void tst_Retrieval::oversizedTextsAreCutAndNeverZeroLaterRecords()
{
    std::string huge;
    for (int i = 0; i < 5000; ++i)
        huge += i % 2 ? "harbour " : "crane ";
    const std::string after = "Copper and timber at the winter market.";

    std::vector<ChunkRecord> records { textRecord("A river bridge."), textRecord(huge),
        textRecord(after), textRecord("A castle library.") };
    retrieval->embed_chunks(records);

    // The long record is embedded from the part that fits: harbour and crane, evenly.
    const std::vector<float> cut = records[1].embedding;
    QVERIFY(std::fabs(length(cut) - 1.0f) < 1e-5f);
    QVERIFY(maxDifference(cut, retrieval->embed_text("crane harbour")) < 1e-3f);
    // The records after it get their own embeddings, not zeros.
    QVERIFY(maxDifference(records[2].embedding, aloneEmbedding(*retrieval, after)) < 1e-5f);
    QVERIFY(maxDifference(records[3].embedding, aloneEmbedding(*retrieval, "A castle library."))
        < 1e-5f);

    // A question of any length is cut the same way instead of overfilling the batch.
    QVERIFY(maxDifference(retrieval->embed_text(huge), cut) < 1e-5f);
    std::string longer = huge;
    for (int i = 0; i < 3; ++i)
        longer += longer;
    QVERIFY(std::fabs(length(retrieval->embed_text(longer)) - 1.0f) < 1e-5f);
}

void tst_Retrieval::manySmallRecordsShareBatches()
{
    // Far more records than one batch may hold sequences, each only a few tokens long.
    std::vector<ChunkRecord> records;
    for (int i = 0; i < 700; ++i)
        records.push_back(textRecord(wordsText(i, 1 + i % 4)));
    retrieval->embed_chunks(records);

    for (int i : { 0, 1, 255, 256, 257, 511, 512, 699 }) {
        const std::vector<float> alone = aloneEmbedding(*retrieval, records[size_t(i)].text);
        QVERIFY2(maxDifference(records[size_t(i)].embedding, alone) < 1e-5f,
            qPrintable(QString("record %1").arg(i)));
    }
}

void tst_Retrieval::incrementalPassesEqualAFullPass()
{
    // The way the store grows: requests of chunks, each document record behind its first chunk
    // with an embedding made from other text, and one embedding pass after every request.
    std::vector<ChunkRecord> store;
    for (int request = 0; request < 6; ++request) {
        const std::string doc = "file:///doc" + std::to_string(request / 2) + ".pdf";
        for (int i = 0; i < 40; ++i) {
            store.push_back(textRecord(wordsText(request * 100 + i, 3 + i % 30), doc));
            if (request % 2 == 0 && i == 0) {
                ChunkRecord document = textRecord("doc" + std::to_string(request / 2), doc);
                document.kind = ChunkRecord::FileName;
                document.index = -1;
                document.page = -1;
                document.embedding
                    = retrieval->embed_text(document.text + "\n" + store.back().text);
                store.push_back(document);
            }
        }
        retrieval->embed_chunks(store);
    }

    // A record already embedded for its text is not encoded again.
    std::vector<ChunkRecord> kept = store;
    const std::vector<float> marker(kept[3].embedding.size(), 0.25f);
    kept[3].embedding = marker;
    retrieval->embed_chunks(kept);
    QCOMPARE(kept[3].embedding, marker);

    std::vector<ChunkRecord> full = store;
    for (ChunkRecord &record : full)
        record.embeddingCurrent = false;
    retrieval->embed_chunks(full);

    QCOMPARE(full.size(), store.size());
    for (size_t k = 0; k < store.size(); ++k) {
        QVERIFY2(maxDifference(store[k].embedding, full[k].embedding) < 1e-5f,
            qPrintable(QString("record %1").arg(k)));
    }
    // The document records hold the embedding of their stem, not of the text they started with.
    QVERIFY(maxDifference(store[1].embedding, aloneEmbedding(*retrieval, "doc0")) < 1e-5f);
}

void tst_Retrieval::relevantDocsKeepTheWindow_data()
{
    QTest::addColumn<QList<float>>("scores"); // cosine of each document record with the query
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("within 0.05 of the best")
        << QList<float> { 0.74f, 0.80f, 0.76f } << QStringList { "doc1", "doc2" };
    QTest::newRow("the best alone") << QList<float> { 0.2f, 0.9f } << QStringList { "doc1" };
    QTest::newRow("all close") << QList<float> { 0.5f, 0.52f, 0.51f }
                               << QStringList { "doc1", "doc2", "doc0" };
    QTest::newRow("no document records") << QList<float> {} << QStringList {};
}

void tst_Retrieval::relevantDocsKeepTheWindow()
{
    QFETCH(QList<float>, scores);
    QFETCH(QStringList, expected);

    const std::string query = "harbour crane";
    const std::vector<float> q = retrieval->embed_text(query);
    // A unit vector orthogonal to q, to mix records of exact similarity.
    std::vector<float> u(q.size(), 0.0f);
    u[0] = 1.0f;
    const float along = dot(u, q);
    for (size_t i = 0; i < u.size(); ++i)
        u[i] -= along * q[i];
    const float ul = length(u);
    for (float &value : u)
        value /= ul;

    std::vector<ChunkRecord> store;
    ChunkRecord text = textRecord(query, "file:///text-only");
    text.embedding = q; // a text chunk is never a document match, however close
    store.push_back(text);
    for (int i = 0; i < scores.size(); ++i) {
        ChunkRecord document = textRecord("stem", "doc" + std::to_string(i));
        document.kind = ChunkRecord::FileName;
        const float c = scores[i];
        const float s = std::sqrt(1.0f - c * c);
        for (size_t j = 0; j < q.size(); ++j)
            document.embedding.push_back(c * q[j] + s * u[j]);
        store.push_back(document);
    }
    ChunkRecord stale = textRecord("stem", "stale");
    stale.kind = ChunkRecord::FileName;
    stale.embedding = { 1.0f, 0.0f }; // another model's size: cannot be compared
    store.push_back(stale);

    QStringList docs;
    for (const std::string &doc : retrieval->get_relevant_docs(query, store))
        docs << QString::fromStdString(doc);
    QCOMPARE(docs, expected);
}

void tst_Retrieval::relevantDocsByContent()
{
    std::vector<ChunkRecord> store;
    for (const char *stem : { "chocolate cake", "harbour cranes", "violin lessons" }) {
        ChunkRecord document = textRecord(stem, std::string("file:///") + stem + ".pdf");
        document.kind = ChunkRecord::FileName;
        store.push_back(document);
    }
    retrieval->embed_chunks(store);
    const std::vector<std::string> docs
        = retrieval->get_relevant_docs("Which cranes work in the harbour?", store);
    QCOMPARE(docs, (std::vector<std::string> { "file:///harbour cranes.pdf" }));
}

void tst_Retrieval::unloadableModelLeavesEveryCallSafe_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    // A test model to use instead of a written file.
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("problem");
    QTest::newRow("missing file") << false << QByteArray() << QString() << "cannot be opened";
    QTest::newRow("not a model") << true << QByteArray("GGUF and then nothing useful") << QString()
                                 << "cannot load";
    QTest::newRow("empty file") << true << QByteArray() << QString() << "cannot load";
    QTest::newRow("ranking model") << true << QByteArray() << "ranking.gguf"
                                   << "rank pooling";
#ifdef Q_OS_UNIX
    QTest::newRow("FIFO") << true << QByteArray() << "fifo"
                          << "not a regular file";
#endif
}

void tst_Retrieval::unloadableModelLeavesEveryCallSafe()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(QString, model);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    QString path = dir.filePath("bad.gguf");
    if (model == QLatin1String("fifo")) {
#ifdef Q_OS_UNIX
        // Nothing writes to it: opening it for reading would wait for ever.
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#endif
    } else if (!model.isEmpty()) {
        path = modelPath(qPrintable(model));
    } else if (exists) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    Retrieval broken(path.toUtf8().constData());
    QVERIFY(!broken.isLoaded());
    QVERIFY2(QString::fromStdString(broken.loadProblem()).contains(problem),
        broken.loadProblem().c_str());
    QCOMPARE(broken.get_n_embd(), 0);
    QCOMPARE(broken.max_text_tokens(), 0);
    QVERIFY(broken.embed_text("harbour crane").empty());

    std::vector<ChunkRecord> store { textRecord("harbour crane") };
    store[0].embedding = { 0.5f, 0.5f };
    ChunkRecord document = textRecord("stem");
    document.kind = ChunkRecord::FileName;
    store.push_back(document);
    broken.embed_chunks(store);
    QCOMPARE(store[0].embedding, (std::vector<float> { 0.5f, 0.5f }));
    QVERIFY(store[1].embedding.empty());
    QVERIFY(!store[0].embeddingCurrent);
    QVERIFY(broken.get_relevant_docs("harbour crane", store).empty());
}

void tst_Retrieval::decoderModelEmbedsThroughDecode()
{
    // A llama-architecture model without pooling: one vector per text, from its last token.
    Retrieval decoder(modelPath("answer.gguf").toUtf8().constData());
    QVERIFY2(decoder.isLoaded(), decoder.loadProblem().c_str());
    QVERIFY(decoder.loadProblem().empty());
    const int n = decoder.get_n_embd();
    QVERIFY(n > 0);

    const std::vector<float> question = decoder.embed_text("Which crane lifts the containers?");
    QCOMPARE(int(question.size()), n);
    QVERIFY(std::fabs(length(question) - 1.0f) < 1e-5f);

    // Passes one after another: each starts from an empty cache.
    std::vector<ChunkRecord> records { textRecord("Harbour cranes."),
        textRecord("Copper and timber at the market."), textRecord(wordsText(3, 40)) };
    for (int pass = 0; pass < 2; ++pass) {
        for (ChunkRecord &record : records)
            record.embeddingCurrent = false;
        decoder.embed_chunks(records);
        for (const ChunkRecord &record : records) {
            QCOMPARE(int(record.embedding.size()), n);
            QVERIFY(std::fabs(length(record.embedding) - 1.0f) < 1e-5f);
            QVERIFY(record.tokens.empty());
        }
    }
}

void tst_Retrieval::replacementOutlivesTheEngineItReplaces()
{
    // The core builds the new engine before it destroys the old one.
    const QByteArray path = modelPath("retrieval.gguf").toUtf8();
    auto old = std::make_unique<Retrieval>(path.constData());
    auto replacement = std::make_unique<Retrieval>(path.constData());
    const std::vector<float> before = replacement->embed_text("winter garden");
    old.reset();
    QVERIFY(maxDifference(replacement->embed_text("winter garden"), before) < 1e-6f);
    std::vector<ChunkRecord> records { textRecord("winter garden") };
    replacement->embed_chunks(records);
    QVERIFY(maxDifference(records[0].embedding, before) < 1e-5f);
}

void tst_Retrieval::recordsTheModelFailsOnGetNoVectors_data()
{
    QTest::addColumn<QString>("model");
    QTest::newRow("encoder, through llama_encode") << "retrieval.gguf";
    QTest::newRow("decoder, through llama_decode") << "answer.gguf";
}

void tst_Retrieval::recordsTheModelFailsOnGetNoVectors()
{
    QFETCH(QString, model);
    Retrieval engine(modelPath(qPrintable(model)).toUtf8().constData());
    QVERIFY(engine.isLoaded());
    const int n = engine.get_n_embd();

    std::vector<ChunkRecord> records { textRecord("The harbour crane lifts containers.", "one"),
        textRecord("The river runs under the bridge.", "two"),
        textRecord("Ships leave the harbour at dawn.", "one") };
    // An earlier pass leaves its outputs in the context: a failed pass must not hand them on.
    engine.embed_text("A chocolate cake recipe with butter");
    // The compute back end ends every graph at once, so each encode or decode call fails.
    llama_set_abort_callback(
        engine.ctx, [](void *) { return true; }, nullptr);
    const std::vector<std::string> failed = engine.embed_chunks(records);
    llama_set_abort_callback(engine.ctx, nullptr, nullptr);

    QCOMPARE(failed, (std::vector<std::string> { "one", "two" }));
    for (const ChunkRecord &record : records) {
        QVERIFY(record.embedding.empty());
        QVERIFY(record.tokens.empty());
    }
    // The next pass embeds them.
    QVERIFY(engine.embed_chunks(records).empty());
    for (const ChunkRecord &record : records)
        QCOMPARE(int(record.embedding.size()), n);
}

QTEST_GUILESS_MAIN(tst_Retrieval)
#include "tst_retrieval.moc"
