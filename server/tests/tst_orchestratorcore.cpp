#include "orchestratorcore.h"

#include "llamabackend.h"
#include "llmbackend.h"
#include "llmengine.h"
#include "modelfile.h"
#include "retrieval.h"
#include "topicsummarizer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <memory>

using Texts = QList<QByteArray>;

namespace {

QString model(const char *fileName)
{
    return qEnvironmentVariable("QUORVANE_MODELS_DIR") + QLatin1Char('/') + QLatin1String(fileName);
}

QJsonObject json(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

QJsonObject chunk(const QString &doc, const QString &text, int page = 0)
{
    return QJsonObject { { "type", "chunk" }, { "doc", doc }, { "index", 0 }, { "page", page },
        { "text", text },
        { "bbox", QJsonObject { { "x", 1 }, { "y", 2 }, { "width", 3 }, { "height", 4 } } } };
}

QJsonObject chunksMessage(const QJsonArray &chunks)
{
    return QJsonObject { { "type", "chunks" }, { "chunks", chunks } };
}

ChunkRecord record(const char *doc, const char *text, std::vector<float> embedding,
    int kind = ChunkRecord::Original)
{
    ChunkRecord r;
    r.doc = doc;
    r.text = text;
    r.embedding = std::move(embedding);
    r.kind = kind;
    return r;
}

// Stands in for the answer model where a test needs to see the prompt: it records the turns it
// is given and answers nothing.
class RecordingBackend : public LLMBackend
{
public:
    RecordingBackend(int contextTokens, std::vector<std::vector<ChatTurn>> &calls)
        : contextTokens(contextTokens)
        , calls(calls)
    { }

    void loadModel(const std::string &, float, float) override { }
    std::string generate(const std::vector<ChatTurn> &messages, bool,
        const std::function<void(const std::string &)> &) override
    {
        calls.push_back(messages);
        return {};
    }
    int contextSize() const override { return contextTokens; }

private:
    int contextTokens;
    std::vector<std::vector<ChatTurn>> &calls;
};

const QString Iceland = QStringLiteral("file:///d/iceland.pdf");
const QString Volcano = QStringLiteral("Volcanoes erupted near the glacier lagoon in the north.");
const QString Fishing = QStringLiteral("Fishing boats return to the harbour every evening.");

const char RagQaInstruction[] = "You MUST answer ONLY using the provided information.\n"
                                "Do NOT add external knowledge.\nDo NOT guess.\n\n";
const char SummarizeInstruction[]
    = "You are summarizing the content of the provided document(s).\n"
      "Use ONLY the provided information.\nProduce a coherent summary.\n"
      "Do NOT add external knowledge.\n\n";
const char TranslateInstruction[]
    = "Translate the provided information accurately.\nDo NOT add or remove meaning.\n\n";
const char ChatInstruction[] = "Respond naturally to the user.\n\n";

// The system turn for an instruction and the chunk texts of the context, written out.
QByteArray expectedSystem(const QByteArray &instruction, const QStringList &context)
{
    QByteArray lines;
    for (const QString &text : context)
        lines += "- " + text.toUtf8() + "\n";
    return "\n" + instruction + "=== provided information ===\n" + lines + "\n";
}

// doc, text pairs in store order.
using Chunks = QList<QStringList>;

} // namespace

class tst_OrchestratorCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void messageType_data();
    void messageType();
    void parseChunk_data();
    void parseChunk();
    void fileStem_data();
    void fileStem();
    void documentEmbeddingText_data();
    void documentEmbeddingText();
    void systemText_data();
    void systemText();
    void completeUtf8Length_data();
    void completeUtf8Length();
    void retrievalKeepsTheWindowBelowTheBest_data();
    void retrievalKeepsTheWindowBelowTheBest();

    void documentRecordFollowsTheFirstChunk();
    void incrementalRequestsEmbedLikeAFullPass();
    void removeDocument_data();
    void removeDocument();
    void newRetrievalModelEmptiesTheStore();
    void chunksTheModelFailsOnTakeNoPartInRetrieval();
    void classifierSeesTheStore_data();
    void classifierSeesTheStore();
    void answerModelSamplesWithMinPAndTemperature_data();
    void answerModelSamplesWithMinPAndTemperature();
    void anIntentNeedsAnExampleScoringAtLeastTheMinimum_data();
    void anIntentNeedsAnExampleScoringAtLeastTheMinimum();

    void promptCarriesTheSkillsInstructionAndContext_data();
    void promptCarriesTheSkillsInstructionAndContext();
    void widensToThePreselectedDocuments_data();
    void widensToThePreselectedDocuments();
    void condensesOnlyBeyondThreeTimesTheContextSize_data();
    void condensesOnlyBeyondThreeTimesTheContextSize();
    void condensesIntoTopicsAtTheThreshold_data();
    void condensesIntoTopicsAtTheThreshold();

private:
    QStringList storeLayout() const;
    // Puts a recording backend in place of the answer model.
    void recordPrompts(int contextTokens);
    void store(const Chunks &chunks);
    // Asks through the whole pipeline; returns the system and user turns the model was given.
    QPair<QByteArray, QByteArray> ask(const QString &question);

    std::vector<std::vector<ChatTurn>> prompts;
    std::unique_ptr<OrchestratorCore> core;
};

void tst_OrchestratorCore::initTestCase()
{
    const QByteArray retrieval = model("retrieval.gguf").toLocal8Bit();
    const QByteArray answer = model("answer.gguf").toLocal8Bit();
    core = std::make_unique<OrchestratorCore>(retrieval.constData(), answer.constData());
    QVERIFY(core->retrieval->isLoaded());
}

void tst_OrchestratorCore::init()
{
    core->chunks.clear();
    core->knownDocs.clear();
}

// One entry per record: kind, doc and text, so a test can compare a whole store at once.
QStringList tst_OrchestratorCore::storeLayout() const
{
    QStringList layout;
    for (const ChunkRecord &r : core->chunks)
        layout << QStringLiteral("%1 %2 %3")
                      .arg(r.kind == ChunkRecord::FileName ? "F" : "O",
                          QString::fromStdString(r.doc), QString::fromStdString(r.text));
    return layout;
}

void tst_OrchestratorCore::messageType_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("type");

    QTest::newRow("chunks") << QByteArray(R"({"type":"chunks"})") << 1;
    QTest::newRow("delete") << QByteArray(R"({"type":"delete"})") << 2;
    QTest::newRow("query") << QByteArray(R"({"type":"query"})") << 3;
    QTest::newRow("ansmodel") << QByteArray(R"({"type":"ansmodel"})") << 4;
    QTest::newRow("retmodel") << QByteArray(R"({"type":"retmodel"})") << 5;
    QTest::newRow("letter case counts") << QByteArray(R"({"type":"Query"})") << 0;
    QTest::newRow("reply type") << QByteArray(R"({"type":"ANS"})") << 0;
    QTest::newRow("trailing blank") << QByteArray(R"({"type":"query "})") << 0;
    QTest::newRow("not a string") << QByteArray(R"({"type":3})") << 0;
    QTest::newRow("no type") << QByteArray("{}") << 0;
}

void tst_OrchestratorCore::messageType()
{
    QFETCH(QByteArray, message);
    QFETCH(int, type);
    QCOMPARE(OrchestratorCore::messageType(json(message)), type);
}

void tst_OrchestratorCore::parseChunk_data()
{
    QTest::addColumn<QByteArray>("object");
    QTest::addColumn<bool>("isChunk");
    QTest::addColumn<QString>("doc");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("text");
    // x, y, width, height
    QTest::addColumn<QList<double>>("rect");

    QTest::newRow("complete") << QByteArray(
        R"({"type":"chunk","doc":"file:///d/a.pdf","index":4,"page":2,)"
        R"("text":"Grüße","bbox":{"x":1.5,"y":2,"width":3,"height":4},"extra":1})")
                              << true << "file:///d/a.pdf" << 4 << 2 << "Grüße"
                              << QList<double> { 1.5, 2, 3, 4 };
    QTest::newRow("defaults") << QByteArray(R"({"type":"chunk"})") << true << "" << 0 << 0 << ""
                              << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("type in other letter case")
        << QByteArray(R"({"type":"Chunk","text":"t"})") << false << "" << 0 << 0 << ""
        << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("no type") << QByteArray(R"({"text":"t"})") << false << "" << 0 << 0 << ""
                             << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("partial bbox") << QByteArray(R"({"type":"chunk","bbox":{"x":10,"y":"2"}})")
                                  << true << "" << 0 << 0 << "" << QList<double> { 10, 0, 0, 0 };
    QTest::newRow("bbox not an object")
        << QByteArray(R"({"type":"chunk","bbox":[1,2,3,4]})") << true << "" << 0 << 0 << ""
        << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("numbers that are no ints")
        << QByteArray(R"({"type":"chunk","page":2.5,"index":3000000000})") << true << "" << 0 << 0
        << "" << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("int range ends")
        << QByteArray(R"({"type":"chunk","page":2147483647,"index":-2147483648})") << true << ""
        << -2147483647 - 1 << 2147483647 << "" << QList<double> { 0, 0, 0, 0 };
    QTest::newRow("mistyped doc, text and page")
        << QByteArray(R"({"type":"chunk","doc":7,"text":["t"],"page":"3"})") << true << "" << 0 << 0
        << "" << QList<double> { 0, 0, 0, 0 };
}

void tst_OrchestratorCore::parseChunk()
{
    QFETCH(QByteArray, object);
    QFETCH(bool, isChunk);
    QFETCH(QString, doc);
    QFETCH(int, index);
    QFETCH(int, page);
    QFETCH(QString, text);
    QFETCH(QList<double>, rect);

    ChunkRecord r;
    r.text = "untouched";
    QCOMPARE(OrchestratorCore::parseChunk(json(object), r), isChunk);
    if (!isChunk) {
        QCOMPARE(r.text, std::string("untouched"));
        return;
    }
    QCOMPARE(QString::fromStdString(r.doc), doc);
    QCOMPARE(r.index, index);
    QCOMPARE(r.page, page);
    QCOMPARE(QString::fromStdString(r.text), text);
    QCOMPARE((QList<double> { r.x, r.y, r.width, r.height }), rect);
}

void tst_OrchestratorCore::fileStem_data()
{
    QTest::addColumn<QString>("doc");
    QTest::addColumn<QString>("stem");

    QTest::newRow("file url") << "file:///C:/docs/Annual.Report.pdf"
                              << "Annual.Report";
    QTest::newRow("backslashes") << "C:\\docs\\notes"
                                 << "notes";
    QTest::newRow("last of both separators") << "a\\b/c\\d.e.pdf"
                                             << "d.e";
    QTest::newRow("ends in a slash") << "file:///docs/"
                                     << "";
    QTest::newRow("only an extension") << "/docs/.pdf"
                                       << "";
    QTest::newRow("dot before the last separator") << "/my.docs/readme"
                                                   << "readme";
    QTest::newRow("plain name") << "plain"
                                << "plain";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_OrchestratorCore::fileStem()
{
    QFETCH(QString, doc);
    QFETCH(QString, stem);
    QCOMPARE(QString::fromStdString(OrchestratorCore::fileStem(doc.toStdString())), stem);
}

void tst_OrchestratorCore::documentEmbeddingText_data()
{
    QTest::addColumn<Texts>("texts");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a300(300, 'a');
    const QByteArray b300(300, 'b');
    const QByteArray c599(599, 'c');
    QTest::newRow("one chunk") << Texts { "hello" } << QByteArray("stem\nhello");
    QTest::newRow("empty chunk gives the stem twice") << Texts { "" } << QByteArray("stem\nstem");
    QTest::newRow("stops once 600 bytes are reached")
        << Texts { a300, b300, "x" } << QByteArray("stem\n" + a300 + b300);
    QTest::newRow("the text that crosses 600 is taken whole")
        << Texts { c599, "dddd", "x" } << QByteArray("stem\n" + c599 + "dddd");
    QTest::newRow("empty texts are skipped over")
        << Texts { "", "", "tail" } << QByteArray("stem\ntail");
}

void tst_OrchestratorCore::documentEmbeddingText()
{
    QFETCH(Texts, texts);
    QFETCH(QByteArray, expected);

    std::vector<ChunkRecord> store;
    store.push_back(record("other", "not this", {}));
    for (const QByteArray &text : texts) {
        store.push_back(record("doc", text.constData(), {}));
        store.push_back(record("doc", "document records are no text", {}, ChunkRecord::FileName));
    }
    const std::string text = OrchestratorCore::documentEmbeddingText("stem", "doc", store);
    QCOMPARE(QByteArray::fromStdString(text), expected);
}

void tst_OrchestratorCore::systemText_data()
{
    QTest::addColumn<int>("skill");
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("document answer")
        << int(RagQa) << QByteArray("- A\n- B\n")
        << QByteArray("\nYou MUST answer ONLY using the provided information.\n"
                      "Do NOT add external knowledge.\nDo NOT guess.\n\n"
                      "=== provided information ===\n- A\n- B\n\n");
    QTest::newRow("summary") << int(Summarize) << QByteArray("- A\n")
                             << QByteArray("\nYou are summarizing the content of the provided "
                                           "document(s).\nUse ONLY the provided information.\n"
                                           "Produce a coherent summary.\nDo NOT add external "
                                           "knowledge.\n\n=== provided information ===\n- A\n\n");
    QTest::newRow("translation") << int(Translate) << QByteArray("condensed")
                                 << QByteArray("\nTranslate the provided information accurately.\n"
                                               "Do NOT add or remove meaning.\n\n"
                                               "=== provided information ===\ncondensed\n");
    QTest::newRow("general chat, empty context")
        << int(GeneralChat) << QByteArray()
        << QByteArray("\nRespond naturally to the user.\n\n=== provided information ===\n\n");
    QTest::newRow("unknown skill talks naturally")
        << 9 << QByteArray()
        << QByteArray("\nRespond naturally to the user.\n\n=== provided information ===\n\n");
}

void tst_OrchestratorCore::systemText()
{
    QFETCH(int, skill);
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(OrchestratorCore::systemText(skill, context.toStdString())),
        expected);
}

void tst_OrchestratorCore::completeUtf8Length_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("complete");

    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("ascii") << QByteArray("abc") << 3;
    QTest::newRow("two-byte whole") << QByteArray("a\xC3\xA9") << 3;
    QTest::newRow("two-byte cut") << QByteArray("a\xC3") << 1;
    QTest::newRow("three-byte cut after two") << QByteArray("\xE2\x82") << 0;
    QTest::newRow("three-byte whole") << QByteArray("x\xE2\x82\xAC") << 4;
    QTest::newRow("four-byte cut after three") << QByteArray("\xC3\xA9\xF0\x9F\x98") << 2;
    QTest::newRow("four-byte whole") << QByteArray("\xF0\x9F\x98\x80") << 4;
    // Bytes no later piece can complete are not held: they would wait for ever.
    QTest::newRow("stray continuation bytes") << QByteArray("a\x80\x80") << 3;
    QTest::newRow("invalid lead byte") << QByteArray("a\xFF") << 2;
}

void tst_OrchestratorCore::completeUtf8Length()
{
    QFETCH(QByteArray, text);
    QFETCH(int, complete);
    QCOMPARE(int(OrchestratorCore::completeUtf8Length(text.toStdString())), complete);
}

void tst_OrchestratorCore::retrievalKeepsTheWindowBelowTheBest_data()
{
    QTest::addColumn<QStringList>("documents");
    QTest::addColumn<QStringList>("retrieved");

    QTest::newRow("all documents") << QStringList() << QStringList { "best", "other", "edge" };
    QTest::newRow("preselected document") << QStringList { "a" } << QStringList { "best", "edge" };
    QTest::newRow("document without chunks") << QStringList { "none" } << QStringList();
}

void tst_OrchestratorCore::retrievalKeepsTheWindowBelowTheBest()
{
    QFETCH(QStringList, documents);
    QFETCH(QStringList, retrieved);

    // Cosines against the query (1,0,0,0,0) are exact: 16/20, 15/20, 14/20 and so on, so the
    // record at exactly the best minus 0.05 sits on the edge of the window.
    core->chunks = {
        record("a", "below", { 14, 14, 2, 2, 0 }),
        record("a", "edge", { 15, 13, 2, 1, 1 }),
        record("a", "document record", { 1, 0, 0, 0, 0 }, ChunkRecord::FileName),
        record("a", "other size", { 1, 0, 0, 0 }),
        record("b", "other", { 15.8f, 12.27f, 0, 0, 0 }),
        record("a", "best", { 16, 12, 0, 0, 0 }),
        record("b", "zero", { 0, 0, 0, 0, 0 }),
    };
    std::vector<std::string> wanted;
    for (const QString &doc : documents)
        wanted.push_back(doc.toStdString());
    const auto result = core->retrieveChunks({ 1, 0, 0, 0, 0 }, wanted);
    QStringList texts;
    for (const ChunkRecord *r : result)
        texts << QString::fromStdString(r->text);
    QCOMPARE(texts, retrieved);
}

void tst_OrchestratorCore::documentRecordFollowsTheFirstChunk()
{
    core->handleMessage(chunksMessage({ chunk("/d/first.pdf", "c1"), chunk("/d/first.pdf", "c2"),
                            chunk("/d/first.pdf", "c3") }),
        nullptr);
    core->handleMessage(chunksMessage({ chunk("/d/first.pdf", "c4"), chunk("/d/second.pdf", "d1"),
                            QJsonObject { { "type", "Chunk" }, { "text", "skip" } },
                            chunk("/d/second.pdf", "d2") }),
        nullptr);
    QCOMPARE(storeLayout(),
        (QStringList { "O /d/first.pdf c1", "F /d/first.pdf first", "O /d/first.pdf c2",
            "O /d/first.pdf c3", "O /d/first.pdf c4", "O /d/second.pdf d1",
            "F /d/second.pdf second", "O /d/second.pdf d2" }));
    const ChunkRecord &documentRecord = core->chunks[1];
    QCOMPARE(documentRecord.index, -1);
    QCOMPARE(documentRecord.page, -1);
    QCOMPARE((QList<double> {
                 documentRecord.x, documentRecord.y, documentRecord.width, documentRecord.height }),
        (QList<double> { 0, 0, 0, 0 }));
    for (const ChunkRecord &r : core->chunks) {
        QCOMPARE(int(r.embedding.size()), core->retrieval->get_n_embd());
        QVERIFY(r.tokens.empty());
    }
}

void tst_OrchestratorCore::incrementalRequestsEmbedLikeAFullPass()
{
    const QStringList words { "river", "bridge", "engine", "garden", "winter", "market", "language",
        "planet", "music", "harbour" };
    for (int request = 0; request < 10; ++request) {
        QJsonArray batch;
        for (int i = 0; i < 5; ++i) {
            const QString text = QStringLiteral("The %1 and the %2 near page %3.")
                                     .arg(words[(request + i) % 10], words[(request * i) % 10])
                                     .arg(i);
            batch.append(chunk(QStringLiteral("/d/doc%1.pdf").arg(request % 3), text, i));
        }
        core->handleMessage(chunksMessage(batch), nullptr);
    }

    std::vector<ChunkRecord> full = core->chunks;
    for (ChunkRecord &r : full) {
        r.embedding.clear();
        r.embeddingCurrent = false;
    }
    core->retrieval->embed_chunks(full);

    QCOMPARE(core->chunks.size(), size_t(53));
    for (size_t i = 0; i < full.size(); ++i) {
        const std::vector<float> &incremental = core->chunks[i].embedding;
        QCOMPARE(incremental.size(), full[i].embedding.size());
        for (size_t k = 0; k < incremental.size(); ++k) {
            if (std::abs(incremental[k] - full[i].embedding[k]) > 1e-5f)
                QFAIL(qPrintable(QStringLiteral("record %1 (%2) differs at %3")
                                     .arg(i)
                                     .arg(QString::fromStdString(full[i].text))
                                     .arg(k)));
        }
    }
}

void tst_OrchestratorCore::removeDocument_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("docsLeft");

    const QStringList all { "a", "a", "b", "b", "b", "c", "c" };
    QTest::newRow("one document") << QByteArray(R"({"type":"delete","doc":"b","index":1})")
                                  << QStringList { "a", "a", "c", "c" };
    QTest::newRow("index of any value") << QByteArray(R"({"type":"delete","doc":"a","index":"x"})")
                                        << QStringList { "b", "b", "b", "c", "c" };
    QTest::newRow("without index") << QByteArray(R"({"type":"delete","doc":"b"})") << all;
    QTest::newRow("without doc") << QByteArray(R"({"type":"delete","index":1})") << all;
    QTest::newRow("unknown document")
        << QByteArray(R"({"type":"delete","doc":"B","index":1})") << all;
}

void tst_OrchestratorCore::removeDocument()
{
    QFETCH(QByteArray, message);
    QFETCH(QStringList, docsLeft);

    core->handleMessage(chunksMessage({ chunk("a", "alpha one"), chunk("b", "beta one"),
                            chunk("b", "beta two"), chunk("c", "gamma one") }),
        nullptr);
    core->handleMessage(json(message), nullptr);
    QStringList docs;
    for (const ChunkRecord &r : core->chunks)
        docs << QString::fromStdString(r.doc);
    QCOMPARE(docs, docsLeft);

    // A removed document is new again: sending it back gives it a fresh document record.
    const size_t before = core->chunks.size();
    core->handleMessage(chunksMessage({ chunk("b", "beta three") }), nullptr);
    const bool removed = !docsLeft.contains("b");
    QCOMPARE(core->chunks.size(), before + (removed ? 2 : 1));
    if (removed)
        QCOMPARE(int(core->chunks.back().kind), int(ChunkRecord::FileName));
}

void tst_OrchestratorCore::newRetrievalModelEmptiesTheStore()
{
    core->handleMessage(chunksMessage({ chunk("/d/kept.pdf", "some text") }), nullptr);
    QCOMPARE(core->chunks.size(), size_t(2));
    core->handleMessage(
        QJsonObject { { "type", "retmodel" }, { "retmodel", model("retrieval.gguf") } }, nullptr);
    QVERIFY(core->chunks.empty());
    QVERIFY(core->retrieval->isLoaded());

    core->handleMessage(chunksMessage({ chunk("/d/kept.pdf", "some text") }), nullptr);
    QCOMPARE(storeLayout(), (QStringList { "O /d/kept.pdf some text", "F /d/kept.pdf kept" }));
    // The classifier works from the new model's examples.
    QCOMPARE(core->intentClassifier.classify("Summarize this"), int(Summarize));
}

void tst_OrchestratorCore::chunksTheModelFailsOnTakeNoPartInRetrieval()
{
    recordPrompts(4096);
    store({ { Iceland, Fishing } });
    const QString failing = QStringLiteral("file:///d/volcanoes.pdf");
    QTest::ignoreMessage(
        QtCriticalMsg, QRegularExpression(QRegularExpression::escape("\"" + failing + "\"")));
    // The compute back end ends every graph at once, so each encode call fails.
    llama_set_abort_callback(
        core->retrieval->ctx, [](void *) { return true; }, nullptr);
    store({ { failing, Volcano } });
    llama_set_abort_callback(core->retrieval->ctx, nullptr, nullptr);

    for (const ChunkRecord &r : core->chunks)
        QCOMPARE(r.embedding.empty(), r.doc == failing.toStdString());
    // The question that matches the unembedded chunk word for word gets the other document.
    const QByteArray system = ask(Volcano).first;
    QVERIFY2(system.contains(Fishing.toUtf8()) && !system.contains(Volcano.toUtf8()), system);
}

void tst_OrchestratorCore::classifierSeesTheStore_data()
{
    QTest::addColumn<QString>("question");
    QTest::addColumn<int>("skill");

    QTest::newRow("words of a chunk")
        << "Which volcanoes erupted near the glacier lagoon?" << int(RagQa);
    QTest::newRow("summary") << "Summarize this" << int(Summarize);
    QTest::newRow("translation") << "Translate this" << int(Translate);
}

void tst_OrchestratorCore::classifierSeesTheStore()
{
    QFETCH(QString, question);
    QFETCH(int, skill);

    core->handleMessage(
        chunksMessage(
            { chunk("/d/iceland.pdf", "Volcanoes erupted near the glacier lagoon in the north."),
                chunk("/d/iceland.pdf", "Fishing boats return to the harbour.") }),
        nullptr);
    QCOMPARE(core->intentClassifier.classify(question.toStdString()), skill);
    // A query without a connection still runs through, and sends nothing.
    core->handleQuery(QJsonObject { { "type", "query" }, { "query", question } }, nullptr);
}

void tst_OrchestratorCore::answerModelSamplesWithMinPAndTemperature_data()
{
    QTest::addColumn<bool>("changeModel");

    QTest::newRow("model of the command line") << false;
    QTest::newRow("model chosen later") << true;
}

void tst_OrchestratorCore::answerModelSamplesWithMinPAndTemperature()
{
    QFETCH(bool, changeModel);

    // A core of its own: the shared one may have its answer model replaced by a recorder.
    const QByteArray retrieval = model("retrieval.gguf").toLocal8Bit();
    const QByteArray answer = model("answer.gguf").toLocal8Bit();
    OrchestratorCore own(retrieval.constData(), answer.constData());
    if (changeModel) {
        own.handleMessage(
            QJsonObject { { "type", "ansmodel" }, { "ansmodel", model("answer-utf8.gguf") } },
            nullptr);
        QVERIFY(own.answerModelFile);
        QCOMPARE(QString::fromStdString(own.answerModelFile->path()), model("answer-utf8.gguf"));
    }
    auto *backend = dynamic_cast<LlamaBackend *>(own.engine->backendInUse());
    QVERIFY(backend && backend->samplerChain());

    // Min-p 0.05 keeps the candidates whose probability is at least 0.05 of the best one's,
    // that is a logit at most ln(20) below the best; temperature 0.7 then divides the logits.
    const float edge = std::log(0.05f);
    std::vector<llama_token_data> data { { 0, 1.0f, 0.0f }, { 1, 1.0f + edge + 0.01f, 0.0f },
        { 2, 1.0f + edge - 0.01f, 0.0f }, { 3, -5.0f, 0.0f } };
    llama_token_data_array candidates { data.data(), data.size(), -1, false };
    llama_sampler_apply(backend->samplerChain(), &candidates);

    QMap<llama_token, float> kept;
    for (size_t i = 0; i < candidates.size; ++i)
        kept.insert(candidates.data[i].id, candidates.data[i].logit);
    QCOMPARE(kept.keys(), QList<llama_token>({ 0, 1 }));
    QVERIFY(qAbs(kept.value(0) - 1.0f / 0.7f) < 1e-4f);
    QVERIFY(qAbs(kept.value(1) - (1.0f + edge + 0.01f) / 0.7f) < 1e-4f);
}

void tst_OrchestratorCore::anIntentNeedsAnExampleScoringAtLeastTheMinimum_data()
{
    QTest::addColumn<QString>("question");
    QTest::addColumn<QByteArray>("instruction");

    QTest::addColumn<int>("skill");

    // Best example scores just above and just below the minimum 0.4: 0.4015, 0.3988, 0.4027,
    // 0.3995.
    QTest::newRow("summary above") << "brief lagoon sheep" << QByteArray(SummarizeInstruction)
                                   << int(Summarize);
    QTest::newRow("summary below") << "brief fishing return" << QByteArray(ChatInstruction)
                                   << int(Summarize);
    QTest::newRow("translation above") << "English evening return"
                                       << QByteArray(TranslateInstruction) << int(Translate);
    QTest::newRow("translation below") << "English harbour volcanoes"
                                       << QByteArray(ChatInstruction) << int(Translate);
}

void tst_OrchestratorCore::anIntentNeedsAnExampleScoringAtLeastTheMinimum()
{
    QFETCH(QString, question);
    QFETCH(QByteArray, instruction);
    QFETCH(int, skill);

    // The fixture: the best score is the skill's, between 0.395 and 0.405, with no chunk to
    // outscore it.
    const std::string text = question.toStdString();
    for (const auto &[minimum, expected] :
        { std::pair { 0.395f, skill }, std::pair { 0.405f, int(GeneralChat) } }) {
        EmbeddingIntentClassifier reference(minimum);
        reference.initialize(core->retrieval.get(), &core->chunks);
        QCOMPARE(reference.classify(text), expected);
    }

    recordPrompts(4096);
    QCOMPARE(ask(question).first, expectedSystem(instruction, {}));
}

void tst_OrchestratorCore::recordPrompts(int contextTokens)
{
    prompts.clear();
    core->engine
        = std::make_unique<LLMEngine>(std::make_unique<RecordingBackend>(contextTokens, prompts));
}

void tst_OrchestratorCore::store(const Chunks &chunks)
{
    QJsonArray array;
    for (const QStringList &docText : chunks)
        array.append(chunk(docText[0], docText[1]));
    core->handleMessage(chunksMessage(array), nullptr);
}

QPair<QByteArray, QByteArray> tst_OrchestratorCore::ask(const QString &question)
{
    prompts.clear();
    core->handleQuery(QJsonObject { { "type", "query" }, { "query", question } }, nullptr);
    if (prompts.size() != 1 || prompts[0].size() != 2 || prompts[0][0].role != "system"
        || prompts[0][1].role != "user")
        return {};
    return { QByteArray::fromStdString(prompts[0][0].content),
        QByteArray::fromStdString(prompts[0][1].content) };
}

void tst_OrchestratorCore::promptCarriesTheSkillsInstructionAndContext_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QByteArray>("instruction");
    QTest::addColumn<QStringList>("context");

    const Chunks both { { Iceland, Volcano }, { Iceland, Fishing } };
    QTest::newRow("document question: the matching chunk")
        << both << "Which volcanoes erupted near the glacier lagoon?"
        << QByteArray(RagQaInstruction) << QStringList { Volcano };
    QTest::newRow("summary: every chunk of the document in store order")
        << both << "Summarize this" << QByteArray(SummarizeInstruction)
        << QStringList { Volcano, Fishing };
    QTest::newRow("translation") << Chunks { { Iceland, Fishing } } << "Translate this"
                                 << QByteArray(TranslateInstruction) << QStringList { Fishing };
    QTest::newRow("general chat") << Chunks { { Iceland, Fishing } } << "Good morning, friend"
                                  << QByteArray(ChatInstruction) << QStringList { Fishing };
}

void tst_OrchestratorCore::promptCarriesTheSkillsInstructionAndContext()
{
    QFETCH(Chunks, chunks);
    QFETCH(QString, question);
    QFETCH(QByteArray, instruction);
    QFETCH(QStringList, context);

    recordPrompts(4096);
    store(chunks);
    const auto [system, user] = ask(question);
    QCOMPARE(system, expectedSystem(instruction, context));
    QCOMPARE(user, question.toUtf8());
}

void tst_OrchestratorCore::widensToThePreselectedDocuments_data()
{
    QTest::addColumn<QString>("question");
    // What the test does to the store before asking.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("instruction");
    QTest::addColumn<QStringList>("context");

    const QString revenue = "Annual revenue grew by ten percent.";
    const QString factory = "The new factory opened in spring.";
    QTest::newRow("summary of the document its question names")
        << "Give me a short summary of the report" << QString() << QByteArray(SummarizeInstruction)
        << QStringList { revenue, factory };
    QTest::newRow("without document records: only what is retrieved")
        << "Summarize the annual revenue"
        << "drop document records" << QByteArray(SummarizeInstruction) << QStringList { revenue };
    QTest::newRow("document question that retrieves nothing")
        << "What does the annual report say?"
        << "unembed chunks" << QByteArray(RagQaInstruction) << QStringList { revenue, factory };
}

void tst_OrchestratorCore::widensToThePreselectedDocuments()
{
    QFETCH(QString, question);
    QFETCH(QString, change);
    QFETCH(QByteArray, instruction);
    QFETCH(QStringList, context);

    recordPrompts(4096);
    const QString report = "file:///d/annual-report.pdf";
    const QString holiday = "file:///d/holiday-notes.pdf";
    store({ { holiday, "We swam at the beach every morning." },
        { report, "Annual revenue grew by ten percent." },
        { holiday, "The hotel served fish for dinner." },
        { report, "The new factory opened in spring." } });
    for (auto r = core->chunks.begin(); r != core->chunks.end();) {
        if (change == "drop document records" && r->kind == ChunkRecord::FileName) {
            r = core->chunks.erase(r);
            continue;
        }
        // An embedding no question can be compared with.
        if (change == "unembed chunks" && r->kind == ChunkRecord::Original)
            r->embedding.assign(3, 1.0f);
        ++r;
    }

    QCOMPARE(ask(question).first, expectedSystem(instruction, context));
}

void tst_OrchestratorCore::condensesOnlyBeyondThreeTimesTheContextSize_data()
{
    QTest::addColumn<QString>("question");
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<int>("contextBytes");
    QTest::addColumn<bool>("condensed");

    // Punctuation carries no word, so the chunk is no match for any question.
    const QByteArray dots = ". ";
    QTest::newRow("summary of exactly three times") << "Summarize this" << dots << 300 << false;
    QTest::newRow("summary of one byte more") << "Summarize this" << dots << 301 << true;
    QTest::newRow("translation of one byte more") << "Translate this" << dots << 301 << true;
    QTest::newRow("general chat of one byte more") << "Good morning, friend" << dots << 301 << true;
    QTest::newRow("document question, however long")
        << "Which volcanoes erupted near the glacier lagoon?"
        << QByteArray("volcanoes erupted near the glacier lagoon ") << 3000 << false;
}

void tst_OrchestratorCore::condensesOnlyBeyondThreeTimesTheContextSize()
{
    QFETCH(QString, question);
    QFETCH(QByteArray, words);
    QFETCH(int, contextBytes);
    QFETCH(bool, condensed);

    // A context of 100 tokens: condensed beyond 300 bytes. The context is "- ", the chunk's
    // text and a line break.
    recordPrompts(100);
    QByteArray text;
    while (text.size() < contextBytes - 3)
        text += words;
    text.truncate(contextBytes - 3);
    // A document whose name is a stop word: no question resembles it.
    store({ { "file:///d/a.pdf", QString::fromUtf8(text) } });

    const QByteArray system = ask(question).first;
    QVERIFY(!system.isEmpty());
    QCOMPARE(!system.contains("- " + text + "\n"), condensed);
}

void tst_OrchestratorCore::condensesIntoTopicsAtTheThreshold_data()
{
    // The similarity of the second chunk's embedding to the first's, as single-precision steps
    // away from 0.82, and the topics the condensed context then has.
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("topics");

    QTest::newRow("one step below the threshold: a topic of its own") << -1 << 2;
    QTest::newRow("exactly the threshold joins") << 0 << 1;
    QTest::newRow("one step above the threshold joins") << 1 << 1;
    QTest::newRow("0.81: a topic of its own") << -167772 << 2;
}

void tst_OrchestratorCore::condensesIntoTopicsAtTheThreshold()
{
    QFETCH(int, steps);
    QFETCH(int, topics);

    float cosine = 0.82f;
    for (int i = 0; i < std::abs(steps); ++i)
        cosine = std::nextafter(cosine, steps < 0 ? 0.0f : 1.0f);
    const std::vector<float> first { 1, 0, 0, 0 };
    const std::vector<float> second { cosine, std::sqrt(1.0f - cosine * cosine), 0, 0 };
    QCOMPARE(TopicSummarizer::cosineSimilarity(first, second), cosine);

    // A summary of one document, which the question's own embedding on its document record
    // preselects; its chunks, embedded only in their own small space, are all taken as they
    // stand in the store. A context of 10 tokens condenses them.
    recordPrompts(10);
    const char doc[] = "file:///d/topics.pdf";
    core->chunks.push_back(record(doc, "The first chunk opens a topic of its own.", first));
    core->chunks.push_back(record(doc, "The second chunk joins it or opens another.", second));
    core->chunks.back().index = 1;
    core->chunks.push_back(record(
        doc, "topics", core->retrieval->embed_text("Summarize this"), ChunkRecord::FileName));

    const QByteArray system = ask("Summarize this").first;
    const QByteArray header = "=== provided information ===\n";
    QVERIFY2(system.startsWith("\n" + QByteArray(SummarizeInstruction) + header), system);
    const QByteArray summary = system.mid(system.indexOf(header) + header.size()).chopped(1);
    QVERIFY2(!summary.contains("- "), summary.constData()); // condensed, not listed
    QCOMPARE(summary.count('\n') + 1, topics);
}

QTEST_GUILESS_MAIN(tst_OrchestratorCore)
#include "tst_orchestratorcore.moc"
