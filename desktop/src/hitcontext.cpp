#include "hitcontext.h"

#include <QList>

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

// Where the hit lies in a context that holds the search text more than once. QtPdf cuts the
// context at the last match, which is the hit only by luck. The hit is the match with a full
// context on one side; where the page is too short for either, the context starts at the page's
// start, so the hits before it on its page come first.
int hitPosition(const QString &context, const QString &searchString, int indexOnPage)
{
    QList<int> matches;
    for (int at = context.indexOf(searchString, 0, Qt::CaseInsensitive); at >= 0;
         at = context.indexOf(searchString, at + 1, Qt::CaseInsensitive))
        matches.append(at);
    if (matches.isEmpty())
        return -1;
    for (int at : std::as_const(matches)) {
        if (rawLength(context.left(at)) == contextChars
            || rawLength(context.mid(at + searchString.size())) == contextChars)
            return at;
    }
    if (indexOnPage >= 0 && indexOnPage < matches.size())
        return matches.at(indexOnPage);
    return matches.first();
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

HitContext mendHitContext(
    const QString &before, const QString &after, const QString &searchString, int indexOnPage)
{
    if (searchString.isEmpty())
        return { cleaned(before), cleaned(after) };
    // QtPdf's split when it did not find the search text with its letter case: the whole context
    // before, and the context past the length of the search text less one after.
    const bool unsplit = after == before.mid(searchString.size() - 1);
    const QString context
        = unsplit ? cleaned(before) : cleaned(before) + searchString + cleaned(after);
    const int at = hitPosition(context, searchString, indexOnPage);
    if (at < 0)
        return { context, QString() };
    return { context.left(at), context.mid(at + searchString.size()) };
}
