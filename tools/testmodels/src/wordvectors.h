#pragma once

#include <string>
#include <unordered_map>
#include <vector>

// The token vectors of the bag-of-words retrieval model. A content word mixes random
// directions drawn from its first three letters, its first five and the whole piece.
// WordPiece cuts "summarize" into "sum" + "mar" + "ize" while "summary" is one piece, so the
// three-letter part is what lets them agree; each prefix part is weighted down by how many
// vocabulary words share it, as an inverse document frequency would, so that the hundreds of
// "con..." and "pro..." words do not all look alike. Everything that is not a content word
// (control tokens, continuation pieces, punctuation, stop words) gets the zero vector and so
// stays out of the mean.
class WordVectors
{
public:
    // tokens in llama.cpp's WordPiece form: word-initial pieces start with "▁".
    WordVectors(const std::vector<std::string> &tokens, int width);

    // Writes the vector of one piece into out (width floats, zeroed by the caller).
    void fill(const std::string &piece, float *out) const;

private:
    float weight(const std::string &prefix) const;
    void add(float *out, const std::string &seed, float weight) const;

    int m_width;
    std::unordered_map<std::string, int> m_prefixCounts;
};
