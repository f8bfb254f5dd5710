#ifndef HITCONTEXT_H
#define HITCONTEXT_H

#include <QString>

// The text around one search hit, before and after the hit itself.
struct HitContext
{
    QString before;
    QString after;
};

// Mends the text that QtPdf 6.4 gives around a hit. It splits its context at the search text
// matched with letter case, so a hit on "Functions" for "function" came as the whole context
// before and its tail after; a context that began with pdfium's soft-hyphen mark U+FFFE was read
// as byte-swapped UTF-16 (a byte-order mark); soft-hyphen marks inside a word stayed in; a
// context holding the search text twice was cut at the wrong one. Line breaks come as U+23CE, as
// QtPdf writes them. indexOnPage is the hit's place among the hits of its page.
HitContext mendHitContext(
    const QString &before, const QString &after, const QString &searchString, int indexOnPage);

#endif // HITCONTEXT_H
