#ifndef TEXTTOKENS_H
#define TEXTTOKENS_H

#include <llama.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

// llama.cpp's tokenizers take time that grows with the square of the length of a word (a word of
// 1 MB took minutes), so a text is tokenized in pieces: a run of at least twice
// TokenizeRunBytes bytes without whitespace is cut after every TokenizeRunBytes bytes (at a
// character boundary), but not within its last TokenizeRunBytes, so that a special token
// written against either end of the run stays whole. Each piece is tokenized alone, and the tokens the
// vocabulary puts around a text stay at its ends. A text without such a run gives exactly what
// common_tokenize gives; a cut changes the tokens at its seam, inside a run too long for any word.
// Once `max_tokens` tokens are gathered, the rest of the text is left out (the closing special
// tokens still end the result): for a reader that keeps only the first tokens of a text.
constexpr size_t TokenizeRunBytes = 256;

std::vector<llama_token> tokenize_in_pieces(const llama_vocab *vocab, const std::string &text,
    bool add_special, bool parse_special,
    size_t max_tokens = std::numeric_limits<size_t>::max());

#endif // TEXTTOKENS_H
