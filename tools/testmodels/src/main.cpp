// testmodels-gen: writes the small GGUF models that the tests run through llama.cpp, or, with
// --shape, a model of a real model's size with random weights for benchmarks.

#include "bertmodels.h"
#include "damagedmodels.h"
#include "llamamodels.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
        "usage: testmodels-gen <outdir>\n"
        "       testmodels-gen --shape embed-small|llama-1b <file>\n");
    return 2;
}

bool write_text(const std::string &path, const std::string &text, std::string &error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

// Models whose header llama.cpp accepts and then aborts on: no layers at load, an unknown
// pooling type when the graph is built, a negative RMS norm epsilon (one flipped sign bit) at
// the first decode.
bool write_damaged_models(const std::string &dir, std::string &error)
{
    const auto zero = [](uint32_t) { return 0u; };
    const auto unknownPooling = [](uint32_t) { return 99u; };
    const auto flipSign = [](uint32_t bits) { return bits ^ 0x80000000u; };
    const std::string answer = dir + "answer.gguf";
    const std::string retrieval = dir + "retrieval.gguf";
    return write_damaged_copy(
               answer, dir + "answer-no-layers.gguf", "llama.block_count", zero, error)
        && write_damaged_copy(answer, dir + "answer-negative-epsilon.gguf",
            "llama.attention.layer_norm_rms_epsilon", flipSign, error)
        && write_damaged_copy(
            retrieval, dir + "retrieval-no-layers.gguf", "bert.block_count", zero, error)
        && write_damaged_copy(retrieval, dir + "retrieval-unknown-pooling.gguf",
            "bert.pooling_type", unknownPooling, error);
}

bool write_test_models(const std::string &outdir, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(outdir, ec);
    if (ec) {
        error = "cannot create " + outdir + ": " + ec.message();
        return false;
    }
    const std::string dir = outdir + "/";
    BertVocab vocab;
    if (!read_bert_vocab(QUORVANE_BGE_VOCAB, vocab, error)
        || !write_retrieval_model(vocab, dir + "retrieval.gguf", error)
        || !write_answer_model(answer_script(), dir + "answer.gguf", error)
        || !write_answer_model(answer_utf8_script(), dir + "answer-utf8.gguf", error)
        || !write_answer_model(answer_endless_script(), dir + "answer-endless.gguf", error)
        || !write_ranking_model(vocab, dir + "ranking.gguf", error)
        || !write_answer_model(
            answer_script(), dir + "answer-unknown-template.gguf", error, unknown_template())
        || !write_answer_model(
            answer_script(), dir + "answer-broken-template.gguf", error, broken_template())
        || !write_damaged_models(dir, error)
        || !write_text(dir + "answer.txt", script_text(answer_script()), error)
        || !write_text(dir + "answer-utf8.txt", script_text(answer_utf8_script()), error))
        return false;
    return true;
}

bool write_shape(const std::string &shape, const std::string &file, std::string &error)
{
    if (shape == "embed-small") {
        BertVocab vocab;
        return read_bert_vocab(QUORVANE_BGE_VOCAB, vocab, error)
            && write_embed_small_shape(vocab, file, error);
    }
    if (shape == "llama-1b")
        return write_llama_1b_shape(file, error);
    error = "unknown shape " + shape + " (embed-small or llama-1b)";
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    bool ok = false;
    if (argc == 2 && argv[1][0] != '-') {
        ok = write_test_models(argv[1], error);
        if (ok)
            std::printf("%s\n", argv[1]);
    } else if (argc == 4 && std::strcmp(argv[1], "--shape") == 0) {
        ok = write_shape(argv[2], argv[3], error);
        if (ok)
            std::printf("%s\n", argv[3]);
    } else {
        return usage();
    }
    if (!ok) {
        std::fprintf(stderr, "testmodels-gen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
