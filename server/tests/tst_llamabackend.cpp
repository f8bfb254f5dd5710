#include "llamabackend.h"
#include "llmengine.h"
#include "texttokens.h"

#include <common.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace {

QString modelPath(const char *name)
{
    return qEnvironmentVariable("QUORVANE_MODELS_DIR") + '/' + name;
}

std::vector<llama_token> countingFrom(int first, int count)
{
    std::vector<llama_token> tokens(static_cast<size_t>(count));
    std::iota(tokens.begin(), tokens.end(), first);
    return tokens;
}

const std::vector<ChatTurn> question { { "system", "\nRespond naturally to the user.\n\n" },
    { "user", "Hello there" } };

} // namespace

using Tokens = QList<int>;

class tst_LlamaBackend : public QObject
{
    Q_OBJECT

private slots:
    void fitTokenHistory_data();
    void fitTokenHistory();
    void loadingAMissingFileThrows();
    void generateBeforeLoadThrows();
    void generatesTheModelsSentence_data();
    void generatesTheModelsSentence();
    void choosesHowPromptsAreFormatted_data();
    void choosesHowPromptsAreFormatted();
    void keepsHistoryAcrossRequests();
    void endlessModelStopsAtTheContextSize();
    void tokenizesLongRunsInPieces_data();
    void tokenizesLongRunsInPieces();
};

void tst_LlamaBackend::fitTokenHistory_data()
{
    // History tokens count from 100, prompt tokens from 900.
    QTest::addColumn<int>("historySize");
    QTest::addColumn<int>("promptSize");
    QTest::addColumn<int>("contextSize");
    QTest::addColumn<Tokens>("expected");

    QTest::newRow("fits exactly: nothing removed")
        << 3 << 2 << 5 << Tokens { 100, 101, 102, 900, 901 };
    QTest::newRow("one over, history of 2: all history goes")
        << 2 << 4 << 5 << Tokens { 900, 901, 902, 903 };
    QTest::newRow("one over, history of 3: first two go")
        << 3 << 3 << 5 << Tokens { 102, 900, 901, 902 };
    QTest::newRow("prompt longer than the context keeps its tail")
        << 2 << 7 << 5 << Tokens { 902, 903, 904, 905, 906 };
    QTest::newRow("prompt exactly the context")
        << 2 << 5 << 5 << Tokens { 900, 901, 902, 903, 904 };
    QTest::newRow("empty history") << 0 << 2 << 5 << Tokens { 900, 901 };
}

void tst_LlamaBackend::fitTokenHistory()
{
    QFETCH(int, historySize);
    QFETCH(int, promptSize);
    QFETCH(int, contextSize);
    QFETCH(Tokens, expected);

    std::vector<llama_token> history = countingFrom(100, historySize);
    fit_token_history(history, countingFrom(900, promptSize), contextSize);
    QCOMPARE(Tokens(history.begin(), history.end()), expected);
}

void tst_LlamaBackend::loadingAMissingFileThrows()
{
    LLMEngine engine(std::make_unique<LlamaBackend>());
    try {
        engine.loadModel("/nonexistent/answer.gguf", 0.05f, 0.7f);
        QFAIL("loading a missing file must throw");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QString(error.what()),
            QString("LlamaBackend::loadModel: llama_model_load_from_file() failed"));
    }
}

void tst_LlamaBackend::generateBeforeLoadThrows()
{
    LlamaBackend backend;
    QCOMPARE(backend.contextSize(), 0);
    try {
        backend.generate(question, true, {});
        QFAIL("generate before loadModel must throw");
    } catch (const std::runtime_error &error) {
        QCOMPARE(QString(error.what()),
            QString("LlamaBackend::generate: model/context/sampler not initialized"));
    }
}

void tst_LlamaBackend::generatesTheModelsSentence_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("sentenceFile");
    QTest::addColumn<bool>("stream");

    QTest::newRow("streamed") << "answer.gguf"
                              << "answer.txt" << true;
    QTest::newRow("not streamed") << "answer.gguf"
                                  << "answer.txt" << false;
    QTest::newRow("pieces split UTF-8 characters") << "answer-utf8.gguf"
                                                   << "answer-utf8.txt" << true;
    QTest::newRow("chat template llama.cpp does not know") << "answer-unknown-template.gguf"
                                                           << "answer.txt" << true;
    QTest::newRow("chat template that cannot be rendered") << "answer-broken-template.gguf"
                                                           << "answer.txt" << true;
}

void tst_LlamaBackend::generatesTheModelsSentence()
{
    QFETCH(QString, model);
    QFETCH(QString, sentenceFile);
    QFETCH(bool, stream);

    QFile sentence(modelPath(qPrintable(sentenceFile)));
    QVERIFY2(sentence.open(QIODevice::ReadOnly), qPrintable(sentence.fileName()));
    const std::string expected = sentence.readAll().trimmed().toStdString();
    QVERIFY(!expected.empty());

    LLMEngine engine(std::make_unique<LlamaBackend>());
    engine.loadModel(modelPath(qPrintable(model)).toStdString(), 0.05f, 0.7f);
    QVERIFY(engine.contextSize() > 0);
    QVERIFY(engine.contextSize() <= 4096);

    std::vector<std::string> pieces;
    const std::string answer = engine.generate(
        question, stream, [&pieces](const std::string &piece) { pieces.push_back(piece); });
    QCOMPARE(QString::fromStdString(answer), QString::fromStdString(expected));

    if (!stream) {
        QVERIFY(pieces.empty());
        return;
    }
    QVERIFY(pieces.size() > 1);
    const std::string joined = std::accumulate(pieces.begin(), pieces.end(), std::string());
    QCOMPARE(joined, answer);
    if (model == "answer-utf8.gguf") {
        // At least one piece must end inside a multi-byte character for this model to matter.
        const bool splits = std::any_of(pieces.begin(), pieces.end(), [](const std::string &p) {
            return !p.empty() && (static_cast<unsigned char>(p.back()) & 0xC0) == 0xC0;
        });
        QVERIFY(splits);
    }
}

void tst_LlamaBackend::choosesHowPromptsAreFormatted_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("route");

    QTest::newRow("chatml") << "answer.gguf" << int(LlamaBackend::BuiltinTemplate);
    QTest::newRow("unknown template")
        << "answer-unknown-template.gguf" << int(LlamaBackend::JinjaTemplate);
    QTest::newRow("broken template")
        << "answer-broken-template.gguf" << int(LlamaBackend::ChatmlTemplate);
}

void tst_LlamaBackend::choosesHowPromptsAreFormatted()
{
    QFETCH(QString, model);
    QFETCH(int, route);

    LlamaBackend backend;
    backend.loadModel(modelPath(qPrintable(model)).toStdString(), 0.05f, 0.7f);
    QCOMPARE(int(backend.templateRoute()), route);
    backend.generate(question, false, {});

    // The template's own markers reach the model: "[[user]] " is how the unknown one opens a
    // user turn, in bytes this vocabulary spells one by one.
    const std::vector<llama_token> &history = backend.history();
    QVERIFY(!history.empty());
    int markers = 0;
    for (llama_token token : history)
        markers += token == 3 ? 1 : 0; // <|im_start|>
    QCOMPARE(markers > 0, route != LlamaBackend::JinjaTemplate);
}

void tst_LlamaBackend::keepsHistoryAcrossRequests()
{
    auto backend = std::make_unique<LlamaBackend>();
    LlamaBackend *raw = backend.get();
    LLMEngine engine(std::move(backend));
    engine.loadModel(modelPath("answer.gguf").toStdString(), 0.05f, 0.7f);
    QVERIFY(raw->history().empty());

    const std::string first = engine.generate(question, true, {});
    const std::vector<llama_token> afterFirst = raw->history();
    QVERIFY(!afterFirst.empty());

    const std::string second = engine.generate(question, true, {});
    QCOMPARE(second, first);
    const std::vector<llama_token> afterSecond = raw->history();
    // The second request decodes the first one's prompt, answer and end token in front of its
    // own prompt: the history only grows, by the same amount again.
    QCOMPARE(afterSecond.size(), 2 * afterFirst.size());
    QVERIFY(std::equal(afterFirst.begin(), afterFirst.end(), afterSecond.begin()));
    QVERIFY(std::equal(afterFirst.begin(), afterFirst.end(),
        afterSecond.begin() + std::ptrdiff_t(afterFirst.size())));
}

void tst_LlamaBackend::endlessModelStopsAtTheContextSize()
{
    auto backend = std::make_unique<LlamaBackend>();
    LlamaBackend *raw = backend.get();
    LLMEngine engine(std::move(backend));
    engine.loadModel(modelPath("answer-endless.gguf").toStdString(), 0.05f, 0.7f);
    const int n = engine.contextSize();

    int pieces = 0;
    QElapsedTimer timer;
    timer.start();
    const std::string answer
        = engine.generate(question, true, [&pieces](const std::string &) { ++pieces; });
    QCOMPARE(pieces, n);
    QVERIFY(!answer.empty());
    qInfo("%d tokens in %lld ms", pieces, timer.elapsed());

    // The history grew past the context during the answer; the next request still fits and
    // ends the same way.
    QVERIFY(int(raw->history().size()) > n);
    pieces = 0;
    engine.generate(question, true, [&pieces](const std::string &) { ++pieces; });
    QCOMPARE(pieces, n);
}

void tst_LlamaBackend::tokenizesLongRunsInPieces_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("parseSpecial");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<int>("maxTokens"); // 0: no limit

    const QByteArray run = QByteArray(5000, 'a');
    QTest::newRow("words: as the library tokenizes them")
        << "answer.gguf" << QByteArray("<|im_start|>user\nHello there, how are you?<|im_end|>\n")
        << true << false << 0;
    QTest::newRow("a run shorter than two pieces: whole") << "answer.gguf"
        << QByteArray(2 * TokenizeRunBytes - 11, 'b') + "<|im_end|>\n" << true << false << 0;
    QTest::newRow("special tokens against a long run stay whole")
        << "answer.gguf" << "<|im_start|>" + run + "<|im_end|>\n<|im_start|>assistant\n" << true
        << true << 0;
    QTest::newRow("multi-byte characters are not cut")
        << "answer.gguf" << QString(3000, QChar(0x00e9)).toUtf8() + " end" << true << true << 0;
    QTest::newRow("words and a run, encoder vocabulary")
        << "retrieval.gguf" << "summary of " + run + " and more words" << false << true << 0;
    QTest::newRow("only the first tokens wanted")
        << "retrieval.gguf" << QByteArray(200000, 'x') << false << true << 512;
}

void tst_LlamaBackend::tokenizesLongRunsInPieces()
{
    QFETCH(QString, model);
    QFETCH(QByteArray, text);
    QFETCH(bool, parseSpecial);
    QFETCH(bool, cut);
    QFETCH(int, maxTokens);

    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    std::unique_ptr<llama_model, decltype(&llama_model_free)> loaded(
        llama_model_load_from_file(qPrintable(modelPath(qPrintable(model))), params),
        llama_model_free);
    QVERIFY(loaded);
    const llama_vocab *vocab = llama_model_get_vocab(loaded.get());

    const std::string input = text.toStdString();
    const std::vector<llama_token> whole = common_tokenize(vocab, input, true, parseSpecial);
    const std::vector<llama_token> pieces = tokenize_in_pieces(
        vocab, input, true, parseSpecial, maxTokens > 0 ? size_t(maxTokens) : SIZE_MAX);

    QCOMPARE(pieces.front(), whole.front());
    QCOMPARE(pieces.back(), whole.back());
    if (maxTokens > 0) {
        QVERIFY(pieces.size() >= size_t(maxTokens));
        QVERIFY(pieces.size() <= size_t(maxTokens) + TokenizeRunBytes + 1);
        return;
    }
    if (!cut) {
        QCOMPARE(pieces, whole);
        return;
    }
    // The same text apart from the spaces a seam may add, and the same special tokens.
    const auto withoutSpaces = [vocab](const std::vector<llama_token> &tokens) {
        QByteArray bytes = QByteArray::fromStdString(common_detokenize(vocab, tokens, true));
        bytes.replace(' ', "");
        return bytes;
    };
    QCOMPARE(withoutSpaces(pieces), withoutSpaces(whole));
    const auto specials = [vocab](const std::vector<llama_token> &tokens) {
        std::vector<llama_token> found;
        std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(found),
            [vocab](llama_token token) { return llama_vocab_is_control(vocab, token); });
        return found;
    };
    QCOMPARE(specials(pieces), specials(whole));
}

QTEST_GUILESS_MAIN(tst_LlamaBackend)
#include "tst_llamabackend.moc"
