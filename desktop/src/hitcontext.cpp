#include "hitcontext.h"

namespace {

const QChar lineBreak(0x23CE);
const QChar softHyphenMark(0xFFFE);
// Characters QtPdf takes on either side of a hit, fewer only at the page's start or end. Each
// line break counts two (pdfium's "\r\n", shown as one U+23CE).
constexpr int contextChars = 64;

int rawLength(const QString &text)
{
    return int(text.size() + text.count(lineBreak));
}

// Where the hit lies in a context that holds the search text more than once: the place with a
// full context on one side.
int hitPosition(const QString &context, const QString &searchString)
{
    int first = -1;
    for (int at = context.indexOf(searchString, 0, Qt::CaseInsensitive); at >= 0;
         at = context.indexOf(searchString, at + 1, Qt::CaseInsensitive)) {
        if (first < 0)
            first = at;
        if (rawLength(context.left(at)) == contextChars
            || rawLength(context.mid(at + searchString.size())) == contextChars)
            return at;
    }
    return first;
}

// ASCII read with the wrong byte order: the letter in the high byte, zero in the low one.
bool looksByteSwapped(const QString &text)
{
    int swapped = 0;
    int counted = 0;
    for (const QChar c : text) {
        if (c == lineBreak)
            continue;
        ++counted;
        const ushort u = c.unicode();
        swapped += (u & 0xff) == 0 && (u >> 8) >= 0x09 && (u >> 8) < 0x7f;
    }
    return counted > 0 && swapped * 2 > counted;
}

QString cleaned(QString text)
{
    if (looksByteSwapped(text)) {
        for (QChar &c : text) {
            if (c != lineBreak)
                c = QChar(ushort((c.unicode() >> 8) | (c.unicode() << 8)));
        }
    }
    text.replace(QLatin1Char('\n'), lineBreak);
    text.remove(QLatin1Char('\r'));
    text.remove(softHyphenMark);
    return text;
}

} // namespace

HitContext mendHitContext(const QString &before, const QString &after, const QString &searchString)
{
    // QtPdf's split when it did not find the search text with its letter case: the whole context
    // before, and the context past the length of the search text less one after.
    if (!searchString.isEmpty() && after == before.mid(searchString.size() - 1)) {
        const QString context = cleaned(before);
        const int at = hitPosition(context, searchString);
        if (at < 0)
            return { context, QString() };
        return { context.left(at), context.mid(at + searchString.size()) };
    }
    return { cleaned(before), cleaned(after) };
}
