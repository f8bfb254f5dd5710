#include "paragraphsplitter.h"

#include "unicodetext.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// A gap this wide, in units of the word height, shows a space between two words.
constexpr double SpaceGap = 0.15;

// Where a chunk may end, from worst to best.
enum Break { NoBreak, WordBreak, LineBreak, SentenceBreak };

struct Piece
{
    std::string text;
    const char *separator = "";
    Break breakAfter = NoBreak;
    std::size_t word = 0;
    std::size_t length = 0; // code points of text and separator
};

std::vector<Piece> joinWords(const std::vector<Word> &words, const Paragraph &paragraph)
{
    using namespace UnicodeText;
    std::vector<Piece> pieces;
    for (std::size_t l = 0; l < paragraph.size(); ++l) {
        const LineSpan &line = paragraph[l];
        for (std::size_t w = line.firstWord; w < line.endWord; ++w) {
            Piece piece;
            piece.word = w;
            piece.text = words[w].text;
            const bool lineEnd = w + 1 == line.endWord;
            const bool paragraphEnd = lineEnd && l + 1 == paragraph.size();
            const Word *next
                = paragraphEnd ? nullptr : &words[lineEnd ? paragraph[l + 1].firstWord : w + 1];
            const char32_t last = lastCodePoint(piece.text);
            if (last == 0x00AD) {
                // A soft hyphen is only ever a possible break: it never shows in the text.
                chopLastCodePoint(piece.text);
                if (lineEnd && next) {
                    pieces.push_back(std::move(piece));
                    continue;
                }
            } else if (lineEnd && next && isHyphen(last) && piece.text.size() > 1) {
                std::string stem = piece.text;
                chopLastCodePoint(stem);
                const char32_t before = lastCodePoint(stem);
                const bool joins = isLetter(before)
                    && (isLowercaseLetter(firstCodePoint(next->text))
                        || (isUppercaseLetter(before) && isUppercaseWord(next->text)));
                if (joins) {
                    piece.text = std::move(stem);
                    pieces.push_back(std::move(piece));
                    continue;
                }
            }
            if (next) {
                // poppler does not always see a space that is drawn as a gap.
                const double gap = next->box.x0 - words[w].box.x1;
                const double height = std::min(words[w].box.height(), next->box.height());
                if (lineEnd || words[w].spaceAfter || gap > SpaceGap * height) {
                    piece.separator = " ";
                    piece.breakAfter = lineEnd ? LineBreak : WordBreak;
                    if (endsSentence(piece.text) && startsSentence(next->text))
                        piece.breakAfter = SentenceBreak;
                }
            }
            pieces.push_back(std::move(piece));
        }
    }
    for (Piece &piece : pieces)
        piece.length = codePointCount(piece.text) + (*piece.separator ? 1 : 0);
    return pieces;
}

void emit(const std::vector<Word> &words, const std::vector<Piece> &pieces, std::size_t first,
    std::size_t last, std::vector<TextChunk> &out)
{
    TextChunk chunk;
    chunk.box = words[pieces[first].word].box;
    for (std::size_t k = first; k <= last; ++k) {
        chunk.text += pieces[k].text;
        if (k < last)
            chunk.text += pieces[k].separator;
        chunk.box.unite(words[pieces[k].word].box);
    }
    // Words may carry spaces of their own (no-break spaces): collapse runs, trim the ends.
    std::string text;
    text.reserve(chunk.text.size());
    for (char c : chunk.text) {
        if (c == ' ' && (text.empty() || text.back() == ' '))
            continue;
        text += c;
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    if (text.empty())
        return;
    chunk.text = std::move(text);
    out.push_back(std::move(chunk));
}

// A single word longer than a chunk (a run of text without spaces) is cut by characters.
void emitCutWord(const Word &word, const std::string &text, std::vector<TextChunk> &out)
{
    using UnicodeText::byteOffsetOfCodePoint;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::string rest = text.substr(start);
        const std::size_t take = byteOffsetOfCodePoint(rest, ParagraphSplitter::MaxLength);
        out.push_back(TextChunk { 0, word.box, rest.substr(0, take) });
        start += take;
    }
}

} // namespace

void ParagraphSplitter::split(
    const std::vector<Word> &words, const Paragraph &paragraph, std::vector<TextChunk> &out)
{
    const std::vector<Piece> pieces = joinWords(words, paragraph);
    const std::size_t n = pieces.size();
    if (n == 0)
        return;
    std::vector<std::size_t> end(n + 1, 0); // end[k]: length of pieces [0, k) with separators
    for (std::size_t k = 0; k < n; ++k)
        end[k + 1] = end[k] + pieces[k].length;
    auto lengthOf = [&](std::size_t first, std::size_t last) {
        return end[last + 1] - end[first] - (*pieces[last].separator ? 1 : 0);
    };

    std::size_t first = 0;
    while (first < n) {
        const std::size_t remaining = lengthOf(first, n - 1);
        if (remaining <= MaxLength) {
            emit(words, pieces, first, n - 1, out);
            return;
        }
        const double count = std::ceil(double(remaining) / MaxLength);
        const double target = remaining / count;

        long best = -1;
        for (Break wanted : { SentenceBreak, LineBreak, WordBreak }) {
            double bestDistance = 0;
            for (std::size_t last = first; last + 1 < n; ++last) {
                const std::size_t length = lengthOf(first, last);
                if (length > MaxLength)
                    break;
                if (pieces[last].breakAfter < wanted || length < 0.5 * target)
                    continue;
                const double distance = std::abs(double(length) - target);
                if (best < 0 || distance < bestDistance) {
                    best = long(last);
                    bestDistance = distance;
                }
            }
            if (best >= 0)
                break;
        }
        if (best < 0) {
            // No break point late enough: the longest run that fits, wherever it ends.
            for (std::size_t last = first; last + 1 < n && lengthOf(first, last) <= MaxLength;
                 ++last)
                best = long(last);
        }
        if (best < 0) {
            emitCutWord(words[pieces[first].word], pieces[first].text, out);
            ++first;
            continue;
        }
        emit(words, pieces, first, std::size_t(best), out);
        first = std::size_t(best) + 1;
    }
}
