#include "wordvectors.h"

#include "seededrandom.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_set>

namespace {

constexpr std::string_view wordStart = "\xE2\x96\x81"; // "▁"
constexpr float pieceWeight = 0.5f;
// A prefix shared by up to this many vocabulary words gets full weight.
constexpr float sharedFreely = 16.0f;

// Words that carry no topic: function words and the generic verbs of requests ("give me",
// "make", "please"), so that a question is matched by what it is about.
bool is_stop_word(std::string_view word)
{
    // clang-format off
    static const std::unordered_set<std::string_view> stopWords = {
        "a", "about", "after", "all", "also", "am", "an", "and", "any", "are", "as", "at", "be",
        "been", "being", "but", "by", "can", "could", "did", "do", "does", "for", "from", "get",
        "give", "had", "has", "have", "he", "her", "here", "him", "his", "how", "i", "if", "in",
        "into", "is", "it", "its", "just", "let", "make", "may", "me", "might", "must", "my",
        "need", "no", "not", "of", "on", "or", "our", "please", "put", "s", "shall", "she",
        "should", "so", "some", "t", "tell", "than", "that", "the", "their", "them", "then",
        "there", "these", "they", "this", "those", "to", "us", "very", "want", "was", "we",
        "were", "what", "when", "where", "which", "who", "whom", "why", "will", "with", "would",
        "you", "your", "yours",
    };
    // clang-format on
    return stopWords.count(word) > 0;
}

// The content word of a vocabulary piece, or an empty text for pieces that carry none.
std::string content_word(const std::string &piece)
{
    if (piece.compare(0, wordStart.size(), wordStart) != 0)
        return {};
    std::string word = piece.substr(wordStart.size());
    if (is_stop_word(word))
        return {};
    const QString text = QString::fromUtf8(word.data(), static_cast<qsizetype>(word.size()));
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return c.isLetterOrNumber(); }))
        return {};
    return word;
}

bool starts_character(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; // not a UTF-8 continuation
}

// The first `letters` characters of a UTF-8 word, or the whole word when it is not longer.
std::string first_letters(const std::string &word, int letters)
{
    int seen = 0;
    for (size_t i = 0; i < word.size(); ++i) {
        if (starts_character(word[i]) && ++seen > letters)
            return word.substr(0, i);
    }
    return word;
}

// "sum" is its own three-letter prefix: the piece "sum" and "summary" share it.
std::string short_prefix(const std::string &word)
{
    return word.empty() ? std::string() : "3:" + first_letters(word, 3);
}

// Words of five letters or more share this one with their longer forms ("short" and
// "shorter"; "trans" of "translate" and "translation").
std::string long_prefix(const std::string &word)
{
    const auto letters = std::count_if(word.begin(), word.end(), starts_character);
    return letters < 5 ? std::string() : "5:" + first_letters(word, 5);
}

} // namespace

WordVectors::WordVectors(const std::vector<std::string> &tokens, int width)
    : m_width(width)
{
    for (const std::string &piece : tokens) {
        const std::string word = content_word(piece);
        for (const std::string &prefix : { short_prefix(word), long_prefix(word) }) {
            if (!prefix.empty())
                ++m_prefixCounts[prefix];
        }
    }
}

void WordVectors::fill(const std::string &piece, float *out) const
{
    const std::string word = content_word(piece);
    if (word.empty())
        return;
    add(out, "piece:" + word, pieceWeight);
    for (const std::string &prefix : { short_prefix(word), long_prefix(word) }) {
        if (!prefix.empty())
            add(out, "prefix:" + prefix, weight(prefix));
    }
}

float WordVectors::weight(const std::string &prefix) const
{
    const auto found = m_prefixCounts.find(prefix);
    const float count = found == m_prefixCounts.end() ? 1.0f : static_cast<float>(found->second);
    return std::min(1.0f, std::sqrt(sharedFreely / count));
}

void WordVectors::add(float *out, const std::string &seed, float weight) const
{
    SeededRandom random(seed);
    for (int i = 0; i < m_width; ++i)
        out[i] += weight * random.uniform();
}
