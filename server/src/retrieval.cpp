#include "retrieval.h"

#include "llamaruntime.h"
#include "modelfile.h"
#include "texttokens.h"

#include <arg.h>
#include <log.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// Model loading prints progress dots on standard error by default.
bool silentProgress(float, void *)
{
    return true;
}

// The most tokens one encoder pass may hold for a single text: the batch room, and the trained
// context, since a position past it aborts in the position-embedding lookup.
size_t text_token_limit(const llama_context *ctx)
{
    size_t limit = std::min(llama_n_batch(ctx), llama_n_ubatch(ctx));
    const int32_t trained = llama_model_n_ctx_train(llama_get_model(ctx));
    if (trained > 0)
        limit = std::min(limit, size_t(trained));
    return limit;
}

// The most sequences one batch may hold.
int sequence_limit(const llama_context *ctx)
{
    return int(std::min<size_t>(llama_n_seq_max(ctx), llama_max_parallel_sequences()));
}

bool is_end_token(const llama_vocab *vocab, llama_token token)
{
    return token == llama_vocab_eos(vocab) || token == llama_vocab_sep(vocab)
        || llama_vocab_is_control(vocab, token);
}

// Cuts a text's tokens to `limit`, keeping the end token that closes the sequence.
void fit_tokens(std::vector<llama_token> &tokens, size_t limit, const llama_vocab *vocab)
{
    if (tokens.size() <= limit || limit == 0) {
        if (limit == 0)
            tokens.clear();
        return;
    }
    const llama_token last = tokens.back();
    tokens.resize(limit);
    if (is_end_token(vocab, last))
        tokens.back() = last;
}

bool needs_embedding(const ChunkRecord &record, int n_embd)
{
    return !record.embeddingCurrent || int(record.embedding.size()) != n_embd;
}

void tokenize_chunks(
    llama_context *ctx, const llama_vocab *vocab, std::vector<ChunkRecord> &records)
{
    const size_t limit = text_token_limit(ctx);
    const int n_embd = llama_model_n_embd(llama_get_model(ctx));
    const llama_token eos = llama_vocab_eos(vocab);

    for (ChunkRecord &record : records) {
        if (!needs_embedding(record, n_embd))
            continue;
        // Only the first `limit` tokens are encoded: the rest of a long text is not tokenized.
        std::vector<llama_token> tokens
            = tokenize_in_pieces(vocab, record.text, true, false, limit);
        if (eos >= 0 && (tokens.empty() || tokens.back() != eos))
            tokens.push_back(eos);
        if (tokens.size() > limit) {
            LOG_WRN("%s: chunk size (%lld) exceeds the limit (%lld), cut to fit\n",
                "tokenize_chunks", (long long)tokens.size(), (long long)limit);
            fit_tokens(tokens, limit, vocab);
        }
        record.tokens = std::move(tokens);
    }
}

void batch_add_tokens(llama_batch &batch, const std::vector<llama_token> &tokens, llama_seq_id seq)
{
    for (size_t i = 0; i < tokens.size(); ++i)
        common_batch_add(batch, tokens[i], llama_pos(i), { seq }, true);
}

// Runs one batch through the model and writes the normalised embedding of every sequence into
// its row of `output`; returns how many sequences got one, or -1 when the model failed on the
// batch and no row was written.
int batch_encode(llama_context *ctx, llama_batch &batch, float *output, int n_seq, int n_embd)
{
    // Without this a decoder would see the previous batch's tokens in its cache.
    llama_memory_t memory = llama_get_memory(ctx);
    llama_memory_clear(memory, true);
    LOG_INF("%s: n_tokens = %d, n_seq = %d\n", "batch_encode", batch.n_tokens, n_seq);
    // The library refuses an empty batch with an error; there is nothing to encode anyway.
    if (batch.n_tokens == 0)
        return 0;

    // An encoder-only model (no memory) runs through the encoder; a decoder through
    // llama_decode, whose cache the sequence ids keep apart: llama_encode on a decoder crashes.
    const int32_t result = memory ? llama_decode(ctx, batch) : llama_encode(ctx, batch);
    // Any other result than 0 leaves the outputs unset or from an earlier batch (1: no room in
    // the cache, 2: aborted, negative: an error): nothing of this batch may be read.
    if (result != 0) {
        LOG_ERR("%s : failed to encode (%d)\n", "batch_encode", int(result));
        return -1;
    }

    // A pooled embedding is the same for every token of its sequence: take it once. Without
    // pooling each token overwrites its row, which ends with the sequence's last token.
    std::vector<bool> pooled(size_t(std::max(n_seq, 0)), false);
    std::vector<bool> embedded(size_t(std::max(n_seq, 0)), false);
    for (int i = 0; i < batch.n_tokens; ++i) {
        if (!batch.logits[i])
            continue;
        const llama_seq_id seq = batch.seq_id[i][0];
        if (seq < 0 || seq >= n_seq || pooled[size_t(seq)])
            continue;
        const float *embedding = llama_get_embeddings_seq(ctx, seq);
        if (embedding) {
            pooled[size_t(seq)] = true;
        } else {
            embedding = llama_get_embeddings_ith(ctx, i);
            if (!embedding) {
                LOG_ERR("%s: failed to get embeddings for token %d\n", "batch_encode", i);
                continue;
            }
        }
        embedded[size_t(seq)] = true;
        common_embd_normalize(embedding, output + size_t(seq) * size_t(n_embd), n_embd, 2);
    }
    return int(std::count(embedded.begin(), embedded.end(), true));
}

// Returns the records that could not be embedded because the model failed on their batch; they
// are left without an embedding.
std::vector<size_t> encode_chunk_batches(
    llama_model *model, llama_context *ctx, std::vector<ChunkRecord> &records)
{
    const int n_embd = llama_model_n_embd(model);
    // An encoder pass takes the whole batch in one micro-batch, so the smaller room counts.
    const int n_batch = int(std::min(llama_n_batch(ctx), llama_n_ubatch(ctx)));
    const int max_seq = sequence_limit(ctx);

    // Only records without a current embedding are encoded; the others already hold exactly
    // what a pass would give them.
    std::vector<size_t> pending;
    for (size_t k = 0; k < records.size(); ++k) {
        if (needs_embedding(records[k], n_embd))
            pending.push_back(k);
    }
    if (pending.empty())
        return {};

    llama_batch batch = llama_batch_init(n_batch, 0, 1);
    std::vector<float> output(pending.size() * size_t(n_embd), 0.0f);
    std::vector<bool> failed(pending.size(), false);

    size_t p = 0; // rows done
    int s = 0; // sequences in the batch
    const auto encode = [&] {
        if (batch_encode(ctx, batch, output.data() + p * size_t(n_embd), s, n_embd) < 0)
            std::fill(
                failed.begin() + std::ptrdiff_t(p), failed.begin() + std::ptrdiff_t(p + s), true);
    };
    for (const size_t k : pending) {
        const std::vector<llama_token> &tokens = records[k].tokens;
        if (batch.n_tokens + int(tokens.size()) > n_batch || s == max_seq) {
            encode();
            common_batch_clear(batch);
            p += size_t(s);
            s = 0;
        }
        batch_add_tokens(batch, tokens, s);
        ++s;
    }
    encode();

    std::vector<size_t> unembedded;
    for (size_t row = 0; row < pending.size(); ++row) {
        ChunkRecord &record = records[pending[row]];
        record.tokens.clear();
        record.tokens.shrink_to_fit();
        if (failed[row]) {
            // No vector at all, so the record takes no part in any comparison, and the next
            // pass tries it again.
            record.embedding.clear();
            record.embeddingCurrent = false;
            unembedded.push_back(pending[row]);
            continue;
        }
        const float *begin = output.data() + row * size_t(n_embd);
        record.embedding.assign(begin, begin + n_embd);
        record.embeddingCurrent = true;
    }
    llama_batch_free(batch);
    return unembedded;
}

} // namespace

Retrieval::Retrieval(const char *modelPath, const std::string &refusal)
{
    std::string programName = "oraculd";
    std::string modelOption = "--model";
    std::string pathCopy = modelPath ? modelPath : "";
    char *argv[] = { programName.data(), modelOption.data(), pathCopy.data() };

    common_params parsed;
    if (common_params_parse(3, argv, parsed, LLAMA_EXAMPLE_RETRIEVAL)) {
        common_init();
        parsed.embedding = true;
    }
    initLlamaRuntime();
    // common_params now defaults the context to the model's trained length; the engine relies
    // on these sizes, and one encoder pass must take a whole batch.
    parsed.n_ctx = 4096;
    parsed.n_batch = 2048;
    parsed.n_ubatch = parsed.n_batch;
    // Many short texts share one batch, one sequence each; a unified cache keeps n_ctx whole.
    parsed.n_parallel = int32_t(llama_max_parallel_sequences());
    parsed.kv_unified = true;
    parsed.load_progress_callback = silentProgress;
    // The answer model computes with the library's default thread count on the same worker
    // thread; an OpenMP team of another size there slows every generated token several times.
    if (!std::getenv("LLAMA_ARG_THREADS")) {
        parsed.cpuparams.n_threads = GGML_DEFAULT_N_THREADS;
        parsed.cpuparams_batch.n_threads = GGML_DEFAULT_N_THREADS;
    }
    params = std::move(parsed);

    problem = refusal.empty() ? modelPathProblem(pathCopy) : refusal;
    if (!problem.empty())
        return;
    llama_init = common_init_from_params(params);
    if (llama_init) {
        model = llama_init->model();
        ctx = llama_init->context();
    }
    if (!model || !ctx) {
        problem = "llama.cpp cannot load it";
        model = nullptr;
        ctx = nullptr;
        return;
    }
    n_embd = llama_model_n_embd(model);
    problem = embeddingProblem();
    if (!problem.empty()) {
        // Refused like a file that cannot be loaded: no operation may use it.
        model = nullptr;
        ctx = nullptr;
        n_embd = 0;
        llama_init.reset();
    }
}

std::string Retrieval::embeddingProblem()
{
    if (llama_model_has_encoder(model) && llama_model_has_decoder(model))
        return "computing embeddings in encoder-decoder models is not supported";
    // A ranking model pools each text into n_cls_out scores, not an n_embd vector.
    if (llama_pooling_type(ctx) == LLAMA_POOLING_TYPE_RANK)
        return "it is a ranking model (rank pooling), which gives scores, not embeddings";
    // Without pooling, a text's vector is its last token's output; a model must give one.
    std::vector<float> probe(size_t(n_embd), 0.0f);
    std::vector<llama_token> tokens = common_tokenize(ctx, "embedding probe", true, false);
    fit_tokens(tokens, text_token_limit(ctx), llama_model_get_vocab(model));
    llama_batch batch = llama_batch_init(int(llama_n_batch(ctx)), 0, 1);
    batch_add_tokens(batch, tokens, 0);
    const int embedded = batch_encode(ctx, batch, probe.data(), 1, n_embd);
    llama_batch_free(batch);
    if (embedded != 1)
        return "it gives no embedding vector for a text";
    return {};
}

// The library back end is process-wide and freed once at exit (freeLlamaRuntime), not here:
// a replacement engine is still in use when this one goes.
Retrieval::~Retrieval() = default;

const std::string &Retrieval::loadProblem() const
{
    return problem;
}

bool Retrieval::isLoaded() const
{
    return model && ctx;
}

std::vector<std::string> Retrieval::embed_chunks(std::vector<ChunkRecord> &records)
{
    // Models that cannot embed (encoder-decoder, rank pooling, no per-text output) are refused
    // when they load, so a loaded model embeds with or without pooling.
    if (!isLoaded())
        return {};
    tokenize_chunks(ctx, llama_model_get_vocab(model), records);
    std::vector<std::string> docs;
    for (const size_t k : encode_chunk_batches(model, ctx, records)) {
        if (std::find(docs.begin(), docs.end(), records[k].doc) == docs.end())
            docs.push_back(records[k].doc);
    }
    return docs;
}

std::vector<float> Retrieval::embed_text(const std::string &text)
{
    if (!isLoaded())
        return {};
    std::vector<float> result(size_t(n_embd), 0.0f);
    const size_t limit = text_token_limit(ctx);
    const llama_vocab *vocab = llama_model_get_vocab(model);
    std::vector<llama_token> tokens = tokenize_in_pieces(vocab, text, true, false, limit);
    fit_tokens(tokens, limit, vocab);

    llama_batch batch = llama_batch_init(int(llama_n_batch(ctx)), 0, 1);
    batch_add_tokens(batch, tokens, 0);
    batch_encode(ctx, batch, result.data(), 1, n_embd);
    llama_batch_free(batch);
    return result;
}

std::vector<std::string> Retrieval::get_relevant_docs(
    const std::string &query, const std::vector<ChunkRecord> &store)
{
    if (!isLoaded())
        return {};
    const std::vector<float> q = embed_text(query);

    std::vector<std::pair<const std::string *, float>> scored;
    for (const ChunkRecord &record : store) {
        // A record embedded by another model, or not at all, cannot be compared with q.
        if (record.kind != ChunkRecord::FileName || record.embedding.size() != q.size())
            continue;
        const float score
            = common_embd_similarity_cos(record.embedding.data(), q.data(), int(q.size()));
        scored.emplace_back(&record.doc, score);
    }
    if (scored.empty())
        return {};

    std::stable_sort(scored.begin(), scored.end(),
        [](const auto &a, const auto &b) { return a.second > b.second; });
    const float threshold = scored.front().second - 0.05f;

    std::vector<std::string> docs;
    for (const auto &[doc, score] : scored) {
        if (score >= threshold)
            docs.push_back(*doc);
    }
    return docs;
}

int Retrieval::get_n_embd() const
{
    return n_embd;
}

int Retrieval::max_text_tokens() const
{
    return isLoaded() ? int(text_token_limit(ctx)) : 0;
}
