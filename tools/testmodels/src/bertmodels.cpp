#include "bertmodels.h"

#include "ggufwriter.h"
#include "seededrandom.h"
#include "wordvectors.h"

#include <gguf.h>

#include <algorithm>

namespace {

enum PoolingType : uint32_t { MeanPooling = 1, RankPooling = 4 };

void set_bert_keys(GgufWriter &gguf, const BertVocab &vocab, const char *name, int width,
    int feedForward, int layers, int heads, uint32_t pooling = MeanPooling)
{
    gguf.setString("general.name", name);
    gguf.setU32("bert.context_length", 512);
    gguf.setU32("bert.embedding_length", width);
    gguf.setU32("bert.feed_forward_length", feedForward);
    gguf.setU32("bert.block_count", layers);
    gguf.setU32("bert.attention.head_count", heads);
    gguf.setF32("bert.attention.layer_norm_epsilon", 1e-12f);
    gguf.setBool("bert.attention.causal", false);
    gguf.setU32("bert.pooling_type", pooling);

    gguf.setString("tokenizer.ggml.model", "bert");
    gguf.setStrings("tokenizer.ggml.tokens", vocab.tokens);
    gguf.setI32s("tokenizer.ggml.token_type", vocab.types);
    gguf.setU32("tokenizer.ggml.token_type_count", 2);
    gguf.setU32("tokenizer.ggml.bos_token_id", vocab.clsId);
    gguf.setU32("tokenizer.ggml.cls_token_id", vocab.clsId);
    gguf.setU32("tokenizer.ggml.seperator_token_id", vocab.separatorId);
    gguf.setU32("tokenizer.ggml.unknown_token_id", vocab.unknownId);
    gguf.setU32("tokenizer.ggml.padding_token_id", vocab.paddingId);
    gguf.setU32("tokenizer.ggml.mask_token_id", vocab.maskId);
}

void ones(float *values, int64_t count)
{
    std::fill(values, values + count, 1.0f);
}

GgufWriter::Fill random_fill(const std::string &name, float scale)
{
    return [name, scale](
               float *values, int64_t count) { SeededRandom(name).fill(values, count, scale); };
}

uint32_t id_or(const gguf_context *ctx, const char *key, uint32_t fallback)
{
    const int64_t id = gguf_find_key(ctx, key);
    return id >= 0 && gguf_get_kv_type(ctx, id) == GGUF_TYPE_UINT32 ? gguf_get_val_u32(ctx, id)
                                                                    : fallback;
}

} // namespace

bool read_bert_vocab(const std::string &path, BertVocab &vocab, std::string &error)
{
    gguf_init_params params {};
    params.no_alloc = true;
    params.ctx = nullptr;
    gguf_context *ctx = gguf_init_from_file(path.c_str(), params);
    if (!ctx) {
        error = "cannot read the vocabulary " + path;
        return false;
    }
    const int64_t tokensKey = gguf_find_key(ctx, "tokenizer.ggml.tokens");
    const int64_t typesKey = gguf_find_key(ctx, "tokenizer.ggml.token_type");
    const bool valid = tokensKey >= 0 && typesKey >= 0
        && gguf_get_arr_type(ctx, tokensKey) == GGUF_TYPE_STRING
        && gguf_get_arr_type(ctx, typesKey) == GGUF_TYPE_INT32
        && gguf_get_arr_n(ctx, tokensKey) == gguf_get_arr_n(ctx, typesKey);
    if (valid) {
        const size_t n = gguf_get_arr_n(ctx, tokensKey);
        const auto *types = static_cast<const int32_t *>(gguf_get_arr_data(ctx, typesKey));
        vocab.tokens.resize(n);
        for (size_t i = 0; i < n; ++i)
            vocab.tokens[i] = gguf_get_arr_str(ctx, tokensKey, i);
        vocab.types.assign(types, types + n);
        vocab.unknownId = id_or(ctx, "tokenizer.ggml.unknown_token_id", vocab.unknownId);
        vocab.clsId = id_or(ctx, "tokenizer.ggml.cls_token_id", vocab.clsId);
        vocab.separatorId = id_or(ctx, "tokenizer.ggml.seperator_token_id", vocab.separatorId);
        vocab.maskId = id_or(ctx, "tokenizer.ggml.mask_token_id", vocab.maskId);
        vocab.paddingId = id_or(ctx, "tokenizer.ggml.padding_token_id", vocab.paddingId);
    }
    gguf_free(ctx);
    if (!valid) {
        error = "no WordPiece token list in " + path;
        return false;
    }
    return true;
}

namespace {

bool write_bag_of_words_model(
    const BertVocab &vocab, uint32_t pooling, const std::string &path, std::string &error)
{
    // Random word vectors of this width are close to orthogonal (cosine about ±0.06), which
    // keeps unrelated texts apart.
    const int n = 256;
    const auto vocabSize = static_cast<int64_t>(vocab.tokens.size());
    GgufWriter gguf("bert");
    set_bert_keys(gguf, vocab,
        pooling == RankPooling ? "quorvane-ranking-test" : "quorvane-retrieval-test", n, 2 * n, 1,
        2, pooling);

    // Attention and feed-forward outputs are zero and the layer norms identity, so every
    // token leaves the model as its own standardised vector and mean pooling sums the words.
    // f16 halves the file; the vectors need no more precision.
    const WordVectors words(vocab.tokens, n);
    gguf.addTensor("token_embd.weight", GGML_TYPE_F16, { n, vocabSize },
        [&vocab, &words, n](float *values, int64_t) {
            for (size_t t = 0; t < vocab.tokens.size(); ++t)
                words.fill(vocab.tokens[t], values + t * n);
        });
    gguf.addTensor("position_embd.weight", GGML_TYPE_F32, { n, 512 });
    gguf.addTensor("token_embd_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor("token_embd_norm.bias", GGML_TYPE_F32, { n });
    gguf.addTensor("blk.0.attn_q.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_k.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_v.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_output.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_output_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor("blk.0.attn_output_norm.bias", GGML_TYPE_F32, { n });
    gguf.addTensor("blk.0.ffn_up.weight", GGML_TYPE_F32, { n, 2 * n });
    gguf.addTensor("blk.0.ffn_down.weight", GGML_TYPE_F32, { 2 * n, n });
    gguf.addTensor("blk.0.layer_output_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor("blk.0.layer_output_norm.bias", GGML_TYPE_F32, { n });
    if (pooling == RankPooling) {
        // A reranker's head: one relevance score per text instead of an embedding.
        gguf.setStrings("bert.classifier.output_labels", { "relevance" });
        gguf.addTensor("cls.output.weight", GGML_TYPE_F32, { n, 1 }, ones);
        gguf.addTensor("cls.output.bias", GGML_TYPE_F32, { 1 });
    }
    return gguf.write(path, error);
}

} // namespace

bool write_retrieval_model(const BertVocab &vocab, const std::string &path, std::string &error)
{
    return write_bag_of_words_model(vocab, MeanPooling, path, error);
}

bool write_ranking_model(const BertVocab &vocab, const std::string &path, std::string &error)
{
    return write_bag_of_words_model(vocab, RankPooling, path, error);
}

bool write_embed_small_shape(const BertVocab &vocab, const std::string &path, std::string &error)
{
    const int n = 384;
    const int ff = 1536;
    const int layers = 12;
    const auto vocabSize = static_cast<int64_t>(vocab.tokens.size());
    const float scale = 0.05f;
    GgufWriter gguf("bert");
    set_bert_keys(gguf, vocab, "quorvane-embed-small-shape", n, ff, layers, 12);
    gguf.setU32("general.file_type", 1); // mostly f16

    // Matrices and embedding tables in f16 as real conversions store them; norms, biases and
    // the token-type row stay f32, which is what the graph adds them as.
    gguf.addTensor("token_embd.weight", GGML_TYPE_F16, { n, vocabSize },
        random_fill("token_embd.weight", scale));
    gguf.addTensor("position_embd.weight", GGML_TYPE_F16, { n, 512 },
        random_fill("position_embd.weight", scale));
    gguf.addTensor(
        "token_types.weight", GGML_TYPE_F32, { n, 2 }, random_fill("token_types.weight", scale));
    gguf.addTensor("token_embd_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor("token_embd_norm.bias", GGML_TYPE_F32, { n });
    for (int layer = 0; layer < layers; ++layer) {
        const std::string blk = "blk." + std::to_string(layer) + ".";
        const auto matrix = [&](const std::string &name, int64_t ne0, int64_t ne1) {
            gguf.addTensor(blk + name + ".weight", GGML_TYPE_F16, { ne0, ne1 },
                random_fill(blk + name + ".weight", scale));
            gguf.addTensor(blk + name + ".bias", GGML_TYPE_F32, { ne1 },
                random_fill(blk + name + ".bias", scale));
        };
        const auto norm = [&](const std::string &name) {
            gguf.addTensor(blk + name + ".weight", GGML_TYPE_F32, { n }, ones);
            gguf.addTensor(blk + name + ".bias", GGML_TYPE_F32, { n });
        };
        matrix("attn_q", n, n);
        matrix("attn_k", n, n);
        matrix("attn_v", n, n);
        matrix("attn_output", n, n);
        norm("attn_output_norm");
        matrix("ffn_up", n, ff);
        matrix("ffn_down", ff, n);
        norm("layer_output_norm");
    }
    return gguf.write(path, error);
}
