#ifndef PAGELAYOUT_H
#define PAGELAYOUT_H

#include "layouttypes.h"

#include <cstddef>
#include <vector>

// The words [firstWord, endWord) of one line.
struct LineSpan
{
    std::size_t firstWord = 0;
    std::size_t endWord = 0;
};

// The lines of one paragraph, top to bottom.
using Paragraph = std::vector<LineSpan>;

// Finds the paragraphs of one text direction of a page and puts them in reading order.
// The words come in the order poppler lists them, all in the upright frame of their direction.
// Lines are taken from that order, since poppler keeps the words of a line together; lines are
// grouped into blocks by geometry. The blocks keep poppler's order where it reads down the
// page, and are ordered by geometry alone where it does not, as on some rotated pages.
class PageLayout
{
public:
    explicit PageLayout(const std::vector<Word> &words);

    const std::vector<Paragraph> &paragraphs() const { return m_paragraphs; }

private:
    struct Line
    {
        LineSpan span;
        Rect box;
        double height = 0;
        int above = -1;
        int below = -1;
    };

    struct Block
    {
        std::vector<int> lines;
        Rect box;
    };

    void buildLines();
    double typicalPitchRatio(const std::vector<int> &byTop) const;
    void linkLines();
    std::vector<Block> buildBlocks() const;
    std::vector<int> readingOrder(const std::vector<Block> &blocks) const;
    static std::vector<int> geometricOrder(const std::vector<Block> &blocks);
    static int upwardSteps(const std::vector<Block> &blocks, const std::vector<int> &order);
    void splitIntoParagraphs(const Block &block);
    bool startsParagraph(const Block &block, std::size_t index, double blockRight,
        double blockWidth, double medianPitch) const;

    const std::vector<Word> &m_words;
    std::vector<Line> m_lines;
    std::vector<Paragraph> m_paragraphs;
};

#endif // PAGELAYOUT_H
