#ifndef LAYOUTTYPES_H
#define LAYOUTTYPES_H

#include <algorithm>
#include <string>

// A rectangle in points, y growing downwards. Inside the layout code the frame is the upright
// frame of one text direction: x runs along the text, y from one line to the next.
struct Rect
{
    double x0 = 0;
    double y0 = 0;
    double x1 = 0;
    double y1 = 0;

    double width() const { return x1 - x0; }
    double height() const { return y1 - y0; }
    double centerY() const { return (y0 + y1) / 2; }
    bool isEmpty() const { return x1 <= x0 || y1 <= y0; }

    void unite(const Rect &other)
    {
        x0 = std::min(x0, other.x0);
        y0 = std::min(y0, other.y0);
        x1 = std::max(x1, other.x1);
        y1 = std::max(y1, other.y1);
    }
};

// One word as the page gives it, its text already normalised to UTF-8.
struct Word
{
    Rect box;
    std::string text;
    bool spaceAfter = true;
};

// One passage of one page, its box in the displayed page frame.
struct TextChunk
{
    int page = 0;
    Rect box;
    std::string text;
};

#endif // LAYOUTTYPES_H
