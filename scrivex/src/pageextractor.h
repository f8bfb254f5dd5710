#ifndef PAGEEXTRACTOR_H
#define PAGEEXTRACTOR_H

#include "layouttypes.h"

#include <vector>

namespace poppler {
class page;
}

// Reads the words of one page and returns its passages in reading order, with boxes in the
// displayed page frame: points from the top-left corner of the crop box, y downwards, after
// the page's /Rotate. Words of each text direction are laid out in their own upright frame
// and their boxes turned back, so rotated pages and rotated labels read like upright ones.
class PageExtractor
{
public:
    static std::vector<TextChunk> extract(const poppler::page &page, int pageIndex);
};

#endif // PAGEEXTRACTOR_H
