#include <QtTest>

#include <llama.h>

#include <memory>
#include <vector>

namespace {

struct ModelDeleter
{
    void operator()(llama_model *model) const { llama_model_free(model); }
};
struct ContextDeleter
{
    void operator()(llama_context *context) const { llama_free(context); }
};
struct SamplerDeleter
{
    void operator()(llama_sampler *sampler) const { llama_sampler_free(sampler); }
};

struct Generation
{
    QList<QByteArray> pieces;
    bool ended = false; // stopped on an end-of-generation token
    QByteArray endToken;

    QByteArray text() const { return pieces.join(); }
};

QByteArray modelPath(const char *file)
{
    return qgetenv("QUORVANE_MODELS_DIR") + '/' + file;
}

QByteArray readText(const char *file)
{
    QFile text(QString::fromLocal8Bit(modelPath(file)));
    return text.open(QIODevice::ReadOnly) ? text.readAll() : QByteArray();
}

bool isValidUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

// Runs an answer test model the way the server does: its own chat template, min_p 0.05, then
// temperature 0.7, then a randomly seeded draw.
class tst_AnswerModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void loadsAsChatmlLlama_data();
    void loadsAsChatmlLlama();
    void answersWithItsSentenceEveryTime_data();
    void answersWithItsSentenceEveryTime();
    void utf8AnswerSplitsACharacterAcrossPieces();
    void endlessModelNeverEnds();

private:
    bool load(const char *file);
    Generation generate(const QByteArray &system, const QByteArray &user, int maxTokens);

    std::unique_ptr<llama_model, ModelDeleter> m_model;
    std::unique_ptr<llama_context, ContextDeleter> m_context;
    std::unique_ptr<llama_sampler, SamplerDeleter> m_sampler;
};

void tst_AnswerModel::initTestCase()
{
    llama_log_set(
        [](ggml_log_level level, const char *text, void *) {
            if (level == GGML_LOG_LEVEL_ERROR)
                fputs(text, stderr);
        },
        nullptr);
    llama_backend_init();
    QVERIFY2(qEnvironmentVariableIsSet("QUORVANE_MODELS_DIR"), "QUORVANE_MODELS_DIR is not set");
}

void tst_AnswerModel::cleanupTestCase()
{
    m_sampler.reset();
    m_context.reset();
    m_model.reset();
    llama_backend_free();
}

bool tst_AnswerModel::load(const char *file)
{
    m_sampler.reset();
    m_context.reset();
    llama_model_params modelParams = llama_model_default_params();
    modelParams.progress_callback = [](float, void *) { return true; };
    m_model.reset(llama_model_load_from_file(modelPath(file).constData(), modelParams));
    if (!m_model)
        return false;

    llama_context_params params = llama_context_default_params();
    params.n_ctx = 2048; // room for the endless model's 1000 tokens after the prompt
    params.no_perf = true;
    m_context.reset(llama_init_from_model(m_model.get(), params));

    llama_sampler_chain_params chainParams = llama_sampler_chain_default_params();
    chainParams.no_perf = true;
    m_sampler.reset(llama_sampler_chain_init(chainParams));
    llama_sampler_chain_add(m_sampler.get(), llama_sampler_init_min_p(0.05f, 1));
    llama_sampler_chain_add(m_sampler.get(), llama_sampler_init_temp(0.7f));
    llama_sampler_chain_add(m_sampler.get(), llama_sampler_init_dist(LLAMA_DEFAULT_SEED));
    return m_context != nullptr;
}

Generation tst_AnswerModel::generate(
    const QByteArray &system, const QByteArray &user, int maxTokens)
{
    std::vector<llama_chat_message> messages;
    if (!system.isEmpty())
        messages.push_back({ "system", system.constData() });
    messages.push_back({ "user", user.constData() });
    const char *chatTemplate = llama_model_chat_template(m_model.get(), nullptr);
    QByteArray prompt(8192, '\0');
    const int length = llama_chat_apply_template(
        chatTemplate, messages.data(), messages.size(), true, prompt.data(), int(prompt.size()));
    if (length < 0 || length > prompt.size())
        return {};
    prompt.truncate(length);

    const llama_vocab *vocab = llama_model_get_vocab(m_model.get());
    std::vector<llama_token> tokens(size_t(prompt.size()) + 8);
    int count = llama_tokenize(vocab, prompt.constData(), int(prompt.size()), tokens.data(),
        int(tokens.size()), true, true);
    if (count < 0) {
        tokens.resize(size_t(-count));
        count = llama_tokenize(vocab, prompt.constData(), int(prompt.size()), tokens.data(),
            int(tokens.size()), true, true);
    }
    if (count <= 0)
        return {};
    tokens.resize(size_t(count));

    llama_memory_clear(llama_get_memory(m_context.get()), true);
    Generation result;
    llama_batch batch = llama_batch_get_one(tokens.data(), count);
    llama_token token = 0;
    for (int i = 0; i < maxTokens; ++i) {
        if (llama_decode(m_context.get(), batch) != 0)
            return {};
        token = llama_sampler_sample(m_sampler.get(), m_context.get(), -1);
        if (llama_vocab_is_eog(vocab, token)) {
            result.ended = true;
            result.endToken = llama_vocab_get_text(vocab, token);
            break;
        }
        char piece[64];
        const int size = llama_token_to_piece(vocab, token, piece, sizeof piece, 0, true);
        result.pieces.append(QByteArray(piece, qMax(size, 0)));
        batch = llama_batch_get_one(&token, 1);
    }
    return result;
}

void tst_AnswerModel::loadsAsChatmlLlama_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("answer") << QByteArray("answer.gguf");
    QTest::newRow("utf8") << QByteArray("answer-utf8.gguf");
    QTest::newRow("endless") << QByteArray("answer-endless.gguf");
}

void tst_AnswerModel::loadsAsChatmlLlama()
{
    QFETCH(QByteArray, file);
    QVERIFY(load(file.constData()));
    char architecture[32] = {};
    llama_model_meta_val_str(
        m_model.get(), "general.architecture", architecture, sizeof architecture);
    QCOMPARE(QByteArray(architecture), QByteArray("llama"));
    QCOMPARE(llama_model_n_ctx_train(m_model.get()), 4096);

    const llama_chat_message message { "user", "Hi" };
    char prompt[256] = {};
    const int length = llama_chat_apply_template(llama_model_chat_template(m_model.get(), nullptr),
        &message, 1, true, prompt, sizeof prompt);
    QCOMPARE(QByteArray(prompt, length),
        QByteArray("<|im_start|>user\nHi<|im_end|>\n<|im_start|>assistant\n"));
}

void tst_AnswerModel::answersWithItsSentenceEveryTime_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("textFile");
    QTest::addColumn<QByteArray>("system");
    QTest::addColumn<QByteArray>("user");
    const QByteArray answer("answer.gguf");
    const QByteArray utf8("answer-utf8.gguf");
    QTest::newRow("question") << answer << QByteArray("answer.txt") << QByteArray()
                              << QByteArray("What colour is the lighthouse?");
    QTest::newRow("system and context")
        << answer << QByteArray("answer.txt")
        << QByteArray("Answer from the provided information.\n=== provided information ===\n"
                      "The lighthouse on the northern cliff is painted red and white.")
        << QByteArray("What colour is the lighthouse?");
    QTest::newRow("question quoting the answer")
        << answer << QByteArray("answer.txt") << QByteArray()
        << QByteArray("This answer comes from the local test model.");
    QTest::newRow("empty question")
        << answer << QByteArray("answer.txt") << QByteArray() << QByteArray();
    QTest::newRow("long prompt") << answer << QByteArray("answer.txt") << QByteArray()
                                 << QByteArray("Tell me more about the cliffs. ").repeated(40);
    QTest::newRow("utf8 question")
        << utf8 << QByteArray("answer-utf8.txt") << QByteArray() << QByteArray("Où est le café ?");
}

void tst_AnswerModel::answersWithItsSentenceEveryTime()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, textFile);
    QFETCH(QByteArray, system);
    QFETCH(QByteArray, user);
    const QByteArray expected = readText(textFile.constData());
    QVERIFY(!expected.isEmpty());
    QVERIFY(load(file.constData()));

    // Twice on the same context and sampler: the draw is randomly seeded, the answer is not.
    for (int run = 0; run < 2; ++run) {
        const Generation generation = generate(system, user, 100);
        QCOMPARE(generation.text(), expected);
        QVERIFY(generation.ended);
        QCOMPARE(generation.endToken, QByteArray("<|im_end|>"));
    }
}

void tst_AnswerModel::utf8AnswerSplitsACharacterAcrossPieces()
{
    const QByteArray expected = readText("answer-utf8.txt");
    QVERIFY(isValidUtf8(expected));
    QVERIFY(expected.contains("\xC3\xA9")); // é
    QVERIFY(load("answer-utf8.gguf"));

    const Generation generation = generate({}, "Which café?", 100);
    QCOMPARE(generation.text(), expected);
    const auto broken = std::count_if(generation.pieces.begin(), generation.pieces.end(),
        [](const QByteArray &piece) { return !isValidUtf8(piece); });
    QVERIFY2(broken > 0, "no piece ends inside a character");
}

void tst_AnswerModel::endlessModelNeverEnds()
{
    QVERIFY(load("answer-endless.gguf"));
    const Generation generation = generate({}, "Say something.", 1000);
    QVERIFY(!generation.ended);
    QCOMPARE(generation.pieces.size(), 1000);
    // It loops on its sentence rather than wandering.
    const QByteArray text = generation.text();
    const QByteArray sentence = text.left(text.indexOf('.') + 1);
    QVERIFY(!sentence.isEmpty());
    QVERIFY(text.count(sentence) >= 1000 / 6);
}

QTEST_GUILESS_MAIN(tst_AnswerModel)
#include "tst_answermodel.moc"
