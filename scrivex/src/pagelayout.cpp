#include "pagelayout.h"

#include "unicodetext.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// Lengths below are in units of the line height, which is close to the font size.
constexpr double MaxWordGap = 1.5; // a wider gap inside a line is a column gutter
constexpr double MaxLineHeightRatio = 1.05; // another font size starts another block
constexpr double DefaultPitchRatio = 1.3; // line pitch of a page too short to measure
constexpr double PitchTolerance = 1.35; // a line further down than this starts a new block
constexpr double IndentStep = 0.8; // first-line indent
constexpr double EdgeTolerance = 1.0; // points of overlap still counted as side by side

double overlapLength(double a0, double a1, double b0, double b1)
{
    return std::min(a1, b1) - std::max(a0, b0);
}

double xOverlap(const Rect &a, const Rect &b)
{
    return overlapLength(a.x0, a.x1, b.x0, b.x1);
}

bool similarHeights(double a, double b)
{
    return std::max(a, b) <= MaxLineHeightRatio * std::min(a, b);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

} // namespace

PageLayout::PageLayout(const std::vector<Word> &words)
    : m_words(words)
{
    buildLines();
    if (m_lines.empty())
        return;
    linkLines();
    const std::vector<Block> blocks = buildBlocks();
    for (int b : readingOrder(blocks))
        splitIntoParagraphs(blocks[b]);
}

void PageLayout::buildLines()
{
    std::vector<double> heights;
    auto close = [this, &heights](Line &line) {
        line.height = median(heights);
        if (line.height <= 0)
            line.height = std::max(line.box.height(), 1.0);
        m_lines.push_back(line);
        heights.clear();
    };

    Line line;
    for (std::size_t i = 0; i < m_words.size(); ++i) {
        const Rect &box = m_words[i].box;
        if (!heights.empty()) {
            const Rect &last = m_words[i - 1].box;
            const double lowHeight = std::min(last.height(), box.height());
            const double highHeight = std::max(last.height(), box.height());
            const bool sameLine = overlapLength(last.y0, last.y1, box.y0, box.y1) >= 0.5 * lowHeight
                && box.x0 >= last.x1 - 0.5 * lowHeight
                && box.x0 - last.x1 <= MaxWordGap * highHeight;
            if (!sameLine)
                close(line);
        }
        if (heights.empty()) {
            line = Line();
            line.span.firstWord = i;
            line.box = box;
        }
        line.span.endWord = i + 1;
        line.box.unite(box);
        heights.push_back(box.height());
    }
    if (!heights.empty())
        close(line);
}

double PageLayout::typicalPitchRatio(const std::vector<int> &byTop) const
{
    std::vector<double> ratios;
    for (std::size_t a = 0; a < byTop.size(); ++a) {
        const Line &upper = m_lines[byTop[a]];
        for (std::size_t b = a + 1; b < byTop.size(); ++b) {
            const Line &lower = m_lines[byTop[b]];
            const double pitch = lower.box.y0 - upper.box.y0;
            if (pitch > 3 * upper.height)
                break;
            if (pitch > 0.5 * std::min(upper.height, lower.height)
                && xOverlap(upper.box, lower.box) > 0
                && similarHeights(upper.height, lower.height)) {
                ratios.push_back(pitch / upper.height);
                break;
            }
        }
    }
    if (ratios.size() < 3)
        return DefaultPitchRatio;
    return std::clamp(median(std::move(ratios)), 1.0, 2.6);
}

void PageLayout::linkLines()
{
    std::vector<int> byTop(m_lines.size());
    std::iota(byTop.begin(), byTop.end(), 0);
    std::stable_sort(byTop.begin(), byTop.end(),
        [this](int a, int b) { return m_lines[a].box.y0 < m_lines[b].box.y0; });
    const double reach = typicalPitchRatio(byTop) * PitchTolerance;

    // A line continues the block of the line above only when each is the other's one
    // neighbour: a line that sits over two columns, or two lines over one, end the block.
    std::vector<std::vector<int>> belowCandidates(m_lines.size());
    std::vector<std::vector<int>> aboveCandidates(m_lines.size());
    for (std::size_t a = 0; a < byTop.size(); ++a) {
        const int i = byTop[a];
        const Line &upper = m_lines[i];
        for (std::size_t b = a + 1; b < byTop.size(); ++b) {
            const int j = byTop[b];
            const Line &lower = m_lines[j];
            const double height = std::max(upper.height, lower.height);
            const double pitch = lower.box.y0 - upper.box.y0;
            if (pitch > reach * height)
                break;
            if (pitch <= 0.5 * std::min(upper.height, lower.height)
                || xOverlap(upper.box, lower.box) <= 0
                || !similarHeights(upper.height, lower.height))
                continue;
            belowCandidates[i].push_back(j);
            aboveCandidates[j].push_back(i);
        }
    }

    auto onlyNeighbour = [this](const std::vector<int> &candidates, bool below) {
        if (candidates.empty())
            return -1;
        // The nearest row of candidates; more than one line in it means a split.
        int nearest = candidates.front();
        for (int c : candidates) {
            const bool nearer = below ? m_lines[c].box.y0 < m_lines[nearest].box.y0
                                      : m_lines[c].box.y1 > m_lines[nearest].box.y1;
            if (nearer)
                nearest = c;
        }
        const Rect &n = m_lines[nearest].box;
        int inRow = 0;
        for (int c : candidates) {
            const Rect &r = m_lines[c].box;
            if (overlapLength(r.y0, r.y1, n.y0, n.y1) > 0.5 * m_lines[c].height)
                ++inRow;
        }
        return inRow == 1 ? nearest : -1;
    };

    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const int j = onlyNeighbour(belowCandidates[i], true);
        if (j >= 0 && onlyNeighbour(aboveCandidates[j], false) == int(i)) {
            m_lines[i].below = j;
            m_lines[j].above = int(i);
        }
    }
}

std::vector<PageLayout::Block> PageLayout::buildBlocks() const
{
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].above >= 0)
            continue;
        Block block;
        block.box = m_lines[i].box;
        for (int l = int(i); l >= 0; l = m_lines[l].below) {
            block.lines.push_back(l);
            block.box.unite(m_lines[l].box);
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

std::vector<int> PageLayout::readingOrder(const std::vector<Block> &blocks) const
{
    // poppler's order, which knows more about columns and margin notes than these rules,
    // unless it often steps up within a column.
    std::vector<int> listed(blocks.size());
    std::iota(listed.begin(), listed.end(), 0);
    auto firstWord = [this, &blocks](int b) {
        std::size_t first = m_lines[blocks[b].lines.front()].span.firstWord;
        for (int l : blocks[b].lines)
            first = std::min(first, m_lines[l].span.firstWord);
        return first;
    };
    std::stable_sort(listed.begin(), listed.end(),
        [&firstWord](int a, int b) { return firstWord(a) < firstWord(b); });
    if (upwardSteps(blocks, listed) * 5 <= int(blocks.size()))
        return listed;
    return geometricOrder(blocks);
}

int PageLayout::upwardSteps(const std::vector<Block> &blocks, const std::vector<int> &order)
{
    int steps = 0;
    for (std::size_t k = 1; k < order.size(); ++k) {
        const Rect &from = blocks[order[k - 1]].box;
        const Rect &to = blocks[order[k]].box;
        steps += xOverlap(from, to) > EdgeTolerance && to.y1 <= from.y0 + EdgeTolerance;
    }
    return steps;
}

// Blocks form a partial order: a block comes before one below it that it overlaps
// horizontally, and before one to its right unless a third block between them in height
// overlaps both (a full-width heading or caption between two runs of columns). Columns are so
// read one after the other. Ties go to the block nearer the top, then the left.
std::vector<int> PageLayout::geometricOrder(const std::vector<Block> &blocks)
{
    const int n = int(blocks.size());
    std::vector<int> order;
    order.reserve(n);
    auto topLeft = [&blocks](int a, int b) {
        const Rect &ra = blocks[a].box;
        const Rect &rb = blocks[b].box;
        return ra.y0 != rb.y0 ? ra.y0 < rb.y0 : ra.x0 < rb.x0;
    };

    // The pairwise rules cost n^3; pages with that many blocks are tables of scattered
    // cells, read well enough from top to bottom.
    if (n > 400) {
        order.resize(n);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), topLeft);
        return order;
    }

    auto overlapsX = [&blocks](int a, int b) {
        return xOverlap(blocks[a].box, blocks[b].box) > EdgeTolerance;
    };
    std::vector<std::vector<int>> successors(n);
    std::vector<int> inDegree(n, 0);
    for (int a = 0; a < n; ++a) {
        const Rect &ra = blocks[a].box;
        for (int b = 0; b < n; ++b) {
            if (a == b)
                continue;
            const Rect &rb = blocks[b].box;
            bool before = false;
            if (overlapsX(a, b)) {
                before = ra.centerY() < rb.centerY() || (ra.centerY() == rb.centerY() && a < b);
            } else if (ra.x1 <= rb.x0 + EdgeTolerance) {
                const double low = std::min(ra.centerY(), rb.centerY());
                const double high = std::max(ra.centerY(), rb.centerY());
                before = true;
                for (int c = 0; c < n && before; ++c) {
                    const double y = blocks[c].box.centerY();
                    if (c != a && c != b && y > low && y < high && overlapsX(c, a)
                        && overlapsX(c, b))
                        before = false;
                }
            }
            if (before) {
                successors[a].push_back(b);
                ++inDegree[b];
            }
        }
    }

    std::vector<bool> done(n, false);
    for (int emitted = 0; emitted < n; ++emitted) {
        int next = -1;
        for (int i = 0; i < n; ++i) {
            if (!done[i] && inDegree[i] == 0 && (next < 0 || topLeft(i, next)))
                next = i;
        }
        // Overlapping blocks can make the rules circular: the topmost block breaks the cycle.
        if (next < 0) {
            for (int i = 0; i < n; ++i) {
                if (!done[i] && (next < 0 || topLeft(i, next)))
                    next = i;
            }
        }
        done[next] = true;
        order.push_back(next);
        for (int s : successors[next])
            --inDegree[s];
    }
    return order;
}

void PageLayout::splitIntoParagraphs(const Block &block)
{
    double right = block.box.x1;
    std::vector<double> pitches;
    for (std::size_t k = 1; k < block.lines.size(); ++k) {
        const Line &line = m_lines[block.lines[k]];
        pitches.push_back(line.box.y0 - m_lines[block.lines[k - 1]].box.y0);
    }
    const double medianPitch = pitches.size() >= 3 ? median(pitches) : 0;

    Paragraph paragraph;
    for (std::size_t k = 0; k < block.lines.size(); ++k) {
        if (k > 0 && startsParagraph(block, k, right, block.box.width(), medianPitch)) {
            m_paragraphs.push_back(std::move(paragraph));
            paragraph.clear();
        }
        paragraph.push_back(m_lines[block.lines[k]].span);
    }
    m_paragraphs.push_back(std::move(paragraph));
}

// Inside a block of evenly spaced lines a paragraph starts at a bullet, at an indented first
// line followed by one at the margin, after a short line that ends a sentence, or after a
// gap wider than the block's usual line pitch.
bool PageLayout::startsParagraph(const Block &block, std::size_t index, double blockRight,
    double blockWidth, double medianPitch) const
{
    const Line &line = m_lines[block.lines[index]];
    const Line &previous = m_lines[block.lines[index - 1]];
    const double h = line.height;

    if (UnicodeText::isBullet(UnicodeText::firstCodePoint(m_words[line.span.firstWord].text)))
        return true;

    if (medianPitch > 0 && line.box.y0 - previous.box.y0 > medianPitch + 0.5 * h)
        return true;

    if (index + 1 < block.lines.size()) {
        const Line &next = m_lines[block.lines[index + 1]];
        // The line before may itself sit a little in, as a bullet item does.
        if (line.box.x0 >= next.box.x0 + IndentStep * h && line.box.x0 >= previous.box.x0 + 0.3 * h
            && next.box.x0 <= previous.box.x0 + 0.3 * h)
            return true;
    }

    const bool previousShort = previous.box.x1 < blockRight - std::max(2 * h, 0.15 * blockWidth);
    const std::string &lastWord = m_words[previous.span.endWord - 1].text;
    return previousShort
        && (UnicodeText::endsSentence(lastWord) || UnicodeText::lastCodePoint(lastWord) == ':');
}
