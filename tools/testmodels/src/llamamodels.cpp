#include "llamamodels.h"

#include "ggufwriter.h"
#include "seededrandom.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace {

// llama.cpp's token types.
enum TokenType { Normal = 1, Unknown = 2, Control = 3, Byte = 6 };

constexpr int endTokenId = 2;
std::string byte_piece(int byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "<0x%02X>", byte);
    return text;
}

bool is_byte_piece(const std::string &piece, int *byte)
{
    unsigned value = 0;
    char tail = 0;
    if (piece.size() != 6 || std::sscanf(piece.c_str(), "<0x%2X%c", &value, &tail) != 2
        || tail != '>')
        return false;
    *byte = static_cast<int>(value);
    return true;
}

// Control tokens, the 256 byte tokens (so any prompt tokenises), then the script's own pieces.
struct SpmVocab
{
    std::vector<std::string> tokens;
    std::vector<int32_t> types;
    std::map<std::string, int> ids;

    explicit SpmVocab(const AnswerScript &script)
    {
        add("<unk>", Unknown);
        add("<s>", Control);
        add("<|im_end|>", Control);
        add("<|im_start|>", Control);
        for (int byte = 0; byte < 256; ++byte)
            add(byte_piece(byte), Byte);
        // A space on its own, so that prompts do not spell every space as three bytes.
        add("▁", Normal);
        for (const std::string &piece : script.pieces) {
            if (!ids.count(piece))
                add(piece, Normal);
        }
    }

    void add(const std::string &text, TokenType type)
    {
        ids[text] = static_cast<int>(tokens.size());
        tokens.push_back(text);
        types.push_back(type);
    }
};

void set_llama_keys(GgufWriter &gguf, const SpmVocab &vocab, const char *name, int width,
    int feedForward, int layers, int heads, int kvHeads, float ropeBase,
    const std::string &chatTemplate = chatml_template())
{
    gguf.setString("general.name", name);
    gguf.setU32("llama.context_length", 4096);
    gguf.setU32("llama.embedding_length", width);
    gguf.setU32("llama.feed_forward_length", feedForward);
    gguf.setU32("llama.block_count", layers);
    gguf.setU32("llama.attention.head_count", heads);
    gguf.setU32("llama.attention.head_count_kv", kvHeads);
    gguf.setF32("llama.attention.layer_norm_rms_epsilon", 1e-5f);
    gguf.setU32("llama.rope.dimension_count", width / heads);
    gguf.setF32("llama.rope.freq_base", ropeBase);

    gguf.setString("tokenizer.ggml.model", "llama");
    gguf.setStrings("tokenizer.ggml.tokens", vocab.tokens);
    gguf.setF32s("tokenizer.ggml.scores", std::vector<float>(vocab.tokens.size(), 0.0f));
    gguf.setI32s("tokenizer.ggml.token_type", vocab.types);
    gguf.setU32("tokenizer.ggml.unknown_token_id", 0);
    gguf.setU32("tokenizer.ggml.bos_token_id", 1);
    gguf.setU32("tokenizer.ggml.eos_token_id", endTokenId);
    gguf.setBool("tokenizer.ggml.add_bos_token", true);
    gguf.setBool("tokenizer.ggml.add_eos_token", false);
    gguf.setString("tokenizer.chat_template", chatTemplate);
}

void ones(float *values, int64_t count)
{
    std::fill(values, values + count, 1.0f);
}

} // namespace

std::string chatml_template()
{
    return "{% for message in messages %}"
           "{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>' + "
           "'\\n' }}"
           "{% endfor %}"
           "{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";
}

std::string unknown_template()
{
    return "{% for message in messages %}"
           "{{ '[[' + message['role'] + ']] ' + message['content'] + '\\n' }}"
           "{% endfor %}"
           "{% if add_generation_prompt %}{{ '[[assistant]] ' }}{% endif %}";
}

std::string broken_template()
{
    return "{% for message in messages %}{{ '[[' + message['role'] + ']] ' }";
}

const AnswerScript &answer_script()
{
    static const AnswerScript script {
        { "This", "▁answer", "▁comes", "▁from", "▁the", "▁local", "▁test", "▁model", "." }, false
    };
    return script;
}

const AnswerScript &answer_utf8_script()
{
    // "é" as its two byte tokens, so one generated piece ends inside the character.
    static const AnswerScript script {
        { "The", "▁caf", "<0xC3>", "<0xA9>", "▁serves", "▁this", "▁answer", "." }, false
    };
    return script;
}

const AnswerScript &answer_endless_script()
{
    static const AnswerScript script { { "▁This", "▁answer", "▁never", "▁ends", "." }, true };
    return script;
}

std::string script_text(const AnswerScript &script)
{
    std::string text;
    for (const std::string &piece : script.pieces) {
        int byte = 0;
        if (is_byte_piece(piece, &byte)) {
            text += static_cast<char>(byte);
            continue;
        }
        for (size_t i = 0; i < piece.size();) {
            if (piece.compare(i, 3, "▁") == 0) {
                text += ' ';
                i += 3;
            } else {
                text += piece[i++];
            }
        }
    }
    return text;
}

bool write_answer_model(const AnswerScript &script, const std::string &path, std::string &error,
    const std::string &chatTemplate)
{
    const SpmVocab vocab(script);
    const int n = 64;
    const auto vocabSize = static_cast<int64_t>(vocab.tokens.size());
    const auto steps = static_cast<int>(script.pieces.size());
    // Script piece i owns state i + 1; every other token is in state 0, the start.
    // A bigram table gives each token one successor, so no piece may appear twice.
    const std::set<std::string> unique(script.pieces.begin(), script.pieces.end());
    if (steps + 1 > n || static_cast<int>(unique.size()) != steps) {
        error = "the answer script needs unique pieces and at most 63 of them";
        return false;
    }
    std::vector<int> state(vocab.tokens.size(), 0);
    std::vector<int> next(steps + 1);
    for (int i = 0; i < steps; ++i) {
        state[vocab.ids.at(script.pieces[i])] = i + 1;
        next[i] = vocab.ids.at(script.pieces[i]);
    }
    next[steps] = script.loops ? vocab.ids.at(script.pieces[0]) : endTokenId;

    GgufWriter gguf("llama");
    set_llama_keys(gguf, vocab, "quorvane-answer-test", n, 2 * n, 1, 4, 4, 10000.0f, chatTemplate);

    // Attention and feed-forward outputs are zero, so the logits depend on the last token only:
    // its one-hot state vector, RMS-normalised to 8, times 3.75 gives the next piece a logit of
    // 30 against 0 for every other token.
    gguf.addTensor(
        "token_embd.weight", GGML_TYPE_F32, { n, vocabSize }, [&state, n](float *values, int64_t) {
            for (size_t t = 0; t < state.size(); ++t)
                values[t * n + state[t]] = 1.0f;
        });
    gguf.addTensor("output_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor(
        "output.weight", GGML_TYPE_F32, { n, vocabSize }, [&next, n](float *values, int64_t) {
            for (size_t s = 0; s < next.size(); ++s)
                values[next[s] * n + s] = 3.75f;
        });
    gguf.addTensor("blk.0.attn_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor("blk.0.attn_q.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_k.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_v.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.attn_output.weight", GGML_TYPE_F32, { n, n });
    gguf.addTensor("blk.0.ffn_norm.weight", GGML_TYPE_F32, { n }, ones);
    gguf.addTensor("blk.0.ffn_gate.weight", GGML_TYPE_F32, { n, 2 * n });
    gguf.addTensor("blk.0.ffn_up.weight", GGML_TYPE_F32, { n, 2 * n });
    gguf.addTensor("blk.0.ffn_down.weight", GGML_TYPE_F32, { 2 * n, n });
    return gguf.write(path, error);
}

bool write_llama_1b_shape(const std::string &path, std::string &error)
{
    const SpmVocab vocab(answer_script());
    const int n = 2048;
    const int ff = 8192;
    const int layers = 16;
    const int heads = 32;
    const int kvHeads = 8;
    const int kvWidth = n / heads * kvHeads;
    const auto vocabSize = static_cast<int64_t>(vocab.tokens.size());
    const float scale = 0.035f;
    GgufWriter gguf("llama");
    set_llama_keys(
        gguf, vocab, "quorvane-llama-1b-shape", n, ff, layers, heads, kvHeads, 500000.0f);
    gguf.setU32("general.file_type", 1); // mostly f16

    const auto matrix = [&](const std::string &name, int64_t ne0, int64_t ne1) {
        gguf.addTensor(name, GGML_TYPE_F16, { ne0, ne1 },
            [name, scale](float *v, int64_t c) { SeededRandom(name).fill(v, c, scale); });
    };
    matrix("token_embd.weight", n, vocabSize);
    gguf.addTensor("output_norm.weight", GGML_TYPE_F32, { n }, ones);
    matrix("output.weight", n, vocabSize);
    for (int layer = 0; layer < layers; ++layer) {
        const std::string blk = "blk." + std::to_string(layer) + ".";
        gguf.addTensor(blk + "attn_norm.weight", GGML_TYPE_F32, { n }, ones);
        matrix(blk + "attn_q.weight", n, n);
        matrix(blk + "attn_k.weight", n, kvWidth);
        matrix(blk + "attn_v.weight", n, kvWidth);
        matrix(blk + "attn_output.weight", n, n);
        gguf.addTensor(blk + "ffn_norm.weight", GGML_TYPE_F32, { n }, ones);
        matrix(blk + "ffn_gate.weight", n, ff);
        matrix(blk + "ffn_up.weight", n, ff);
        matrix(blk + "ffn_down.weight", ff, n);
    }
    return gguf.write(path, error);
}
