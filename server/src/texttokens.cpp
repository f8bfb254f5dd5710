#include "texttokens.h"

#include <common.h>

#include <algorithm>

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_utf8_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Where the pieces after the first begin: the cuts inside every long run without whitespace.
std::vector<size_t> piece_starts(const std::string &text)
{
    std::vector<size_t> starts;
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        if (is_space(text[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < size && !is_space(text[end]))
            ++end;
        for (size_t cut = i + TokenizeRunBytes; cut + TokenizeRunBytes <= end;
             cut += TokenizeRunBytes) {
            size_t at = cut;
            while (at > i && is_utf8_continuation(text[at]))
                --at;
            if (starts.empty() || at > starts.back())
                starts.push_back(at);
        }
        i = end;
    }
    return starts;
}

} // namespace

std::vector<llama_token> tokenize_in_pieces(const llama_vocab *vocab, const std::string &text,
    bool add_special, bool parse_special, size_t max_tokens)
{
    const std::vector<size_t> starts = piece_starts(text);
    if (starts.empty())
        return common_tokenize(vocab, text, add_special, parse_special);

    // The first piece carries the special tokens the vocabulary adds: those after its own
    // tokens close the whole text and are moved to its end.
    const std::string first = text.substr(0, starts.front());
    std::vector<llama_token> tokens = common_tokenize(vocab, first, add_special, parse_special);
    std::vector<llama_token> closing;
    if (add_special) {
        const std::vector<llama_token> plain = common_tokenize(vocab, first, false, parse_special);
        for (size_t opening = 0; opening + plain.size() <= tokens.size(); ++opening) {
            if (std::equal(plain.begin(), plain.end(), tokens.begin() + opening)) {
                closing.assign(tokens.begin() + opening + plain.size(), tokens.end());
                tokens.resize(opening + plain.size());
                break;
            }
        }
    }
    for (size_t k = 0; k < starts.size() && tokens.size() < max_tokens; ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : text.size();
        const std::vector<llama_token> piece
            = common_tokenize(vocab, text.substr(starts[k], end - starts[k]), false, parse_special);
        tokens.insert(tokens.end(), piece.begin(), piece.end());
    }
    tokens.insert(tokens.end(), closing.begin(), closing.end());
    return tokens;
}
