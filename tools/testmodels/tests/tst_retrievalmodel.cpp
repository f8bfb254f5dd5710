#include <QtTest>

#include <llama.h>

#include <cmath>
#include <vector>

namespace {

// The server's intent examples and thresholds, against which the model's margins are checked.
const char *const summarizeExamples[] = {
    "Summarize this",
    "Give me a short version",
    "Provide a brief summary",
    "Condense the following text",
    "Make a summary of this",
    "give me the summary of the document",
    "what is the summary",
    "summaries please",
    "short summary",
    "brief summary",
};
const char *const translateExamples[] = {
    "Translate this",
    "Put this in Greek",
    "Convert this to English",
    "Translate the following text",
    "Translate this sentence",
};
constexpr float minIntentScore = 0.4f;
constexpr float documentMargin = 0.05f;

enum Skill { RagQa = 0, Summarize = 1, GeneralChat = 2, Translate = 3 };

float cosine(const std::vector<float> &a, const std::vector<float> &b)
{
    double dot = 0, na = 0, nb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        dot += double(a[i]) * b[i];
        na += double(a[i]) * a[i];
        nb += double(b[i]) * b[i];
    }
    return na > 0 && nb > 0 ? float(dot / std::sqrt(na * nb)) : 0.0f;
}

} // namespace

class tst_RetrievalModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void loadsAsMeanPooledBert();
    void identicalTextsHaveCosineOne_data();
    void identicalTextsHaveCosineOne();
    void sharedWordsRankAboveUnrelatedText_data();
    void sharedWordsRankAboveUnrelatedText();
    void questionsClassifyWithClearMargins_data();
    void questionsClassifyWithClearMargins();

private:
    std::vector<float> embed(const QByteArray &text);
    float bestExample(
        const std::vector<float> &question, const std::vector<std::vector<float>> &group);

    llama_model *m_model = nullptr;
    llama_context *m_context = nullptr;
    std::vector<std::vector<float>> m_summarize;
    std::vector<std::vector<float>> m_translate;
};

void tst_RetrievalModel::initTestCase()
{
    llama_log_set(
        [](ggml_log_level level, const char *text, void *) {
            if (level == GGML_LOG_LEVEL_ERROR)
                fputs(text, stderr);
        },
        nullptr);
    llama_backend_init();
    QVERIFY2(qEnvironmentVariableIsSet("QUORVANE_MODELS_DIR"), "QUORVANE_MODELS_DIR is not set");

    const QByteArray path = qgetenv("QUORVANE_MODELS_DIR") + "/retrieval.gguf";
    llama_model_params modelParams = llama_model_default_params();
    modelParams.progress_callback = [](float, void *) { return true; };
    m_model = llama_model_load_from_file(path.constData(), modelParams);
    QVERIFY2(m_model, path.constData());

    llama_context_params params = llama_context_default_params();
    params.embeddings = true;
    params.n_ctx = 512;
    params.n_batch = 512;
    params.n_ubatch = 512; // an encoder batch larger than n_ubatch aborts
    params.no_perf = true;
    m_context = llama_init_from_model(m_model, params);
    QVERIFY(m_context);

    for (const char *text : summarizeExamples)
        m_summarize.push_back(embed(text));
    for (const char *text : translateExamples)
        m_translate.push_back(embed(text));
}

void tst_RetrievalModel::cleanupTestCase()
{
    llama_free(m_context);
    llama_model_free(m_model);
    llama_backend_free();
}

// Embeds one text as the server does: special tokens added, mean pooled, unit length.
std::vector<float> tst_RetrievalModel::embed(const QByteArray &text)
{
    const llama_vocab *vocab = llama_model_get_vocab(m_model);
    std::vector<llama_token> tokens(512);
    const int count = llama_tokenize(
        vocab, text.constData(), int(text.size()), tokens.data(), int(tokens.size()), true, false);
    if (count <= 0)
        return {};
    tokens.resize(size_t(count));

    llama_batch batch = llama_batch_init(count, 0, 1);
    for (int i = 0; i < count; ++i) {
        batch.token[i] = tokens[size_t(i)];
        batch.pos[i] = i;
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = 0;
        batch.logits[i] = true;
    }
    batch.n_tokens = count;
    const int result = llama_encode(m_context, batch);
    llama_batch_free(batch);
    if (result != 0)
        return {};

    const float *pooled = llama_get_embeddings_seq(m_context, 0);
    if (!pooled)
        return {};
    std::vector<float> vector(pooled, pooled + llama_model_n_embd(m_model));
    double norm = 0;
    for (float v : vector)
        norm += double(v) * v;
    if (norm > 0) {
        for (float &v : vector)
            v = float(v / std::sqrt(norm));
    }
    return vector;
}

float tst_RetrievalModel::bestExample(
    const std::vector<float> &question, const std::vector<std::vector<float>> &group)
{
    float best = 0;
    for (const std::vector<float> &example : group)
        best = std::max(best, cosine(question, example));
    return best;
}

void tst_RetrievalModel::loadsAsMeanPooledBert()
{
    char architecture[32] = {};
    llama_model_meta_val_str(m_model, "general.architecture", architecture, sizeof architecture);
    QCOMPARE(QByteArray(architecture), QByteArray("bert"));
    QCOMPARE(llama_model_n_ctx_train(m_model), 512);
    QCOMPARE(llama_pooling_type(m_context), LLAMA_POOLING_TYPE_MEAN);
    QCOMPARE(llama_vocab_type(llama_model_get_vocab(m_model)), LLAMA_VOCAB_TYPE_WPM);
    // The real English WordPiece vocabulary, so any document text tokenises into words.
    QCOMPARE(llama_vocab_n_tokens(llama_model_get_vocab(m_model)), 30522);
}

void tst_RetrievalModel::identicalTextsHaveCosineOne_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("question") << QByteArray("What colour is the lighthouse on the northern cliff?");
    QTest::newRow("unknown words and accents")
        << QByteArray("Quorvane's résumé of the naïve Zürich café, 2024 – §3.");
    QTest::newRow("one word") << QByteArray("lighthouse");
    QTest::newRow("long passage") << QByteArray(
        "The committee reviewed the annual budget, the hiring plan and the new "
        "office lease. ")
                                         .repeated(12);
}

void tst_RetrievalModel::identicalTextsHaveCosineOne()
{
    QFETCH(QByteArray, text);
    const std::vector<float> first = embed(text);
    const std::vector<float> second = embed(text);
    QCOMPARE(first.size(), size_t(llama_model_n_embd(m_model)));
    QVERIFY(std::abs(cosine(first, second) - 1.0f) < 1e-5f);
}

void tst_RetrievalModel::sharedWordsRankAboveUnrelatedText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("related");
    QTest::addColumn<QByteArray>("unrelated");
    QTest::addColumn<float>("margin");
    QTest::newRow("chunk and question")
        << QByteArray("The lighthouse on the northern cliff is painted red and white.")
        << QByteArray("Which lighthouse stands on the cliff?")
        << QByteArray("Quarterly revenue grew by eight percent in Asia.") << 0.25f;
    QTest::newRow("topics of two documents")
        << QByteArray("Photosynthesis turns sunlight, water and carbon dioxide into sugar.")
        << QByteArray("How do plants use sunlight and water?")
        << QByteArray("The train to Lisbon leaves from platform nine at noon.") << 0.25f;
    // WordPiece cuts "summarize" into "sum" + "mar" + "ize" but keeps "summary" whole.
    QTest::newRow("word forms agree")
        << QByteArray("Summarize this") << QByteArray("summary") << QByteArray("sunset") << 0.4f;
    QTest::newRow("longer word forms agree")
        << QByteArray("translation") << QByteArray("translate") << QByteArray("traffic") << 0.4f;
    QTest::newRow("words that merely start alike stay apart")
        << QByteArray("The project budget") << QByteArray("project budget overview")
        << QByteArray("the problem of proteins") << 0.5f;
}

void tst_RetrievalModel::sharedWordsRankAboveUnrelatedText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, related);
    QFETCH(QByteArray, unrelated);
    QFETCH(float, margin);
    const std::vector<float> anchor = embed(text);
    const float near = cosine(anchor, embed(related));
    const float far = cosine(anchor, embed(unrelated));
    qInfo("related %.3f, unrelated %.3f", near, far);
    QVERIFY2(
        near > far + margin, qPrintable(QString("related %1, unrelated %2").arg(near).arg(far)));
}

void tst_RetrievalModel::questionsClassifyWithClearMargins_data()
{
    QTest::addColumn<QByteArray>("question");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<int>("skill");
    const QByteArray lighthouse("The lighthouse on the northern cliff is painted red and white.");
    QTest::newRow("summarize") << QByteArray("Summarize this") << lighthouse << int(Summarize);
    QTest::newRow("translate") << QByteArray("Translate this") << lighthouse << int(Translate);
    QTest::newRow("summarize in other words")
        << QByteArray("Please summarize the document") << QByteArray() << int(Summarize);
    QTest::newRow("translate in other words")
        << QByteArray("Translate this text into French") << QByteArray() << int(Translate);
    QTest::newRow("question about the chunk")
        << QByteArray("What colour is the lighthouse on the northern cliff?") << lighthouse
        << int(RagQa);
    QTest::newRow("chat") << QByteArray("hello how are you today") << QByteArray()
                          << int(GeneralChat);
    QTest::newRow("chat about something else")
        << QByteArray("Tell me a joke about cats") << QByteArray() << int(GeneralChat);
}

// Applies the server's rule: a stored chunk more than 0.05 closer than every example means a
// question about the documents, else the best example group if it reaches 0.4, else chat.
void tst_RetrievalModel::questionsClassifyWithClearMargins()
{
    QFETCH(QByteArray, question);
    QFETCH(QByteArray, chunk);
    QFETCH(int, skill);
    const std::vector<float> q = embed(question);
    const float document = chunk.isEmpty() ? 0.0f : std::max(0.0f, cosine(q, embed(chunk)));
    const float summarize = bestExample(q, m_summarize);
    const float translate = bestExample(q, m_translate);
    const float best = std::max(summarize, translate);
    qInfo("chunk %.3f, summarize %.3f, translate %.3f", document, summarize, translate);

    int chosen = GeneralChat;
    if (document > best + documentMargin)
        chosen = RagQa;
    else if (best >= minIntentScore)
        chosen = translate > summarize ? Translate : Summarize;
    QCOMPARE(chosen, skill);

    // Margins wide enough that the outcome does not hang on a rounding.
    switch (skill) {
    case RagQa:
        QVERIFY(document > best + 0.25f);
        break;
    case Summarize:
    case Translate:
        QVERIFY(best > minIntentScore + 0.1f);
        QVERIFY(std::abs(summarize - translate) > 0.1f);
        QVERIFY(best > document + documentMargin + 0.1f);
        break;
    case GeneralChat:
        QVERIFY(best < minIntentScore - 0.1f);
        break;
    }
}

QTEST_GUILESS_MAIN(tst_RetrievalModel)
#include "tst_retrievalmodel.moc"
