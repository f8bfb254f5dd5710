#ifndef PARAGRAPHSPLITTER_H
#define PARAGRAPHSPLITTER_H

#include "layouttypes.h"
#include "pagelayout.h"

#include <cstddef>
#include <vector>

// Turns one paragraph into chunk texts and boxes: words joined with their spaces, lines joined
// with a space or, after a hyphen that breaks a word, with none; a paragraph longer than
// MaxLength characters is cut at sentence ends, else at line ends, else between words, into
// pieces of about equal length, each with the box of its own words.
class ParagraphSplitter
{
public:
    static constexpr std::size_t MaxLength = 1000;

    // Appends the chunks of `paragraph`, boxes in the words' frame, page left at 0.
    static void split(
        const std::vector<Word> &words, const Paragraph &paragraph, std::vector<TextChunk> &out);
};

#endif // PARAGRAPHSPLITTER_H
