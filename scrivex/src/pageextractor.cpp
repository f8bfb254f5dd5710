#include "pageextractor.h"

#include "pagelayout.h"
#include "paragraphsplitter.h"
#include "unicodetext.h"

#include <poppler-page.h>

#include <algorithm>
#include <array>

namespace {

// poppler's text rotation counts quarter turns clockwise: 1 runs down the page, 2 right to
// left upside down, 3 up the page. These map a displayed box into the frame where that text
// runs left to right with lines going down, and back; only offsets matter there.
Rect toUpright(const Rect &r, int rotation)
{
    switch (rotation) {
    case 1:
        return { r.y0, -r.x1, r.y1, -r.x0 };
    case 2:
        return { -r.x1, -r.y1, -r.x0, -r.y0 };
    case 3:
        return { -r.y1, r.x0, -r.y0, r.x1 };
    default:
        return r;
    }
}

Rect fromUpright(const Rect &r, int rotation)
{
    switch (rotation) {
    case 1:
        return { -r.y1, r.x0, -r.y0, r.x1 };
    case 2:
        return { -r.x1, -r.y1, -r.x0, -r.y0 };
    case 3:
        return { r.y0, -r.x1, r.y1, -r.x0 };
    default:
        return r;
    }
}

Rect clipped(const Rect &r, double width, double height)
{
    return { std::clamp(r.x0, 0.0, width), std::clamp(r.y0, 0.0, height),
        std::clamp(r.x1, 0.0, width), std::clamp(r.y1, 0.0, height) };
}

} // namespace

std::vector<TextChunk> PageExtractor::extract(const poppler::page &page, int pageIndex)
{
    const poppler::rectf crop = page.page_rect(poppler::crop_box);
    const poppler::page::orientation_enum orientation = page.orientation();
    const bool turned
        = orientation == poppler::page::landscape || orientation == poppler::page::seascape;
    const double width = turned ? crop.height() : crop.width();
    const double height = turned ? crop.width() : crop.height();

    std::array<std::vector<Word>, 4> byRotation;
    for (const poppler::text_box &box : page.text_list()) {
        const poppler::rectf b = box.bbox();
        const Rect shown { b.left(), b.top(), b.right(), b.bottom() };
        // Text outside the crop box is not shown, so it is not part of the page.
        if (shown.x1 <= 0 || shown.y1 <= 0 || shown.x0 >= width || shown.y0 >= height)
            continue;
        Word word;
        const poppler::ustring text = box.text();
        UnicodeText::appendWord(word.text, text.data(), text.size());
        if (word.text.find_first_not_of(' ') == std::string::npos)
            continue;
        const int rotation = box.rotation() & 3;
        word.box = toUpright(clipped(shown, width, height), rotation);
        word.spaceAfter = box.has_space_after();
        byRotation[rotation].push_back(std::move(word));
    }

    // The main text direction first, then labels running other ways.
    std::array<int, 4> rotations { 0, 1, 2, 3 };
    std::stable_sort(rotations.begin(), rotations.end(),
        [&byRotation](int a, int b) { return byRotation[a].size() > byRotation[b].size(); });

    std::vector<TextChunk> chunks;
    for (int rotation : rotations) {
        const std::vector<Word> &words = byRotation[rotation];
        if (words.empty())
            continue;
        const PageLayout layout(words);
        const std::size_t firstNew = chunks.size();
        for (const Paragraph &paragraph : layout.paragraphs())
            ParagraphSplitter::split(words, paragraph, chunks);
        for (std::size_t k = firstNew; k < chunks.size(); ++k) {
            chunks[k].page = pageIndex;
            chunks[k].box = clipped(fromUpright(chunks[k].box, rotation), width, height);
        }
    }
    return chunks;
}
