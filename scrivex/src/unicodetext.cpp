#include "unicodetext.h"

namespace UnicodeText {

namespace {

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Decodes the code point that starts at `i`; the strings here are produced by appendWord, so
// they are well formed.
char32_t decodeAt(const std::string &s, std::size_t i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    auto cont = [&s, i](std::size_t k) {
        return i + k < s.size() ? char32_t(static_cast<unsigned char>(s[i + k]) & 0x3F) : 0;
    };
    if (b < 0x80)
        return b;
    if (b < 0xE0)
        return (char32_t(b & 0x1F) << 6) | cont(1);
    if (b < 0xF0)
        return (char32_t(b & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    return (char32_t(b & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
}

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t lastCodePointStart(const std::string &s)
{
    std::size_t i = s.size();
    while (i > 0 && isContinuationByte(s[i - 1]))
        --i;
    return i > 0 ? i - 1 : 0;
}

bool isClosingMark(char32_t c)
{
    switch (c) {
    case ')':
    case ']':
    case '}':
    case '"':
    case '\'':
    case 0x2019:
    case 0x201D:
    case 0x00BB:
    case 0x203A:
        return true;
    default:
        return false;
    }
}

bool isOpeningMark(char32_t c)
{
    switch (c) {
    case '(':
    case '[':
    case '"':
    case '\'':
    case 0x2018:
    case 0x201C:
    case 0x00AB:
    case 0x2039:
        return true;
    default:
        return false;
    }
}

const char *ligatureLetters(char32_t c)
{
    switch (c) {
    case 0xFB00:
        return "ff";
    case 0xFB01:
        return "fi";
    case 0xFB02:
        return "fl";
    case 0xFB03:
        return "ffi";
    case 0xFB04:
        return "ffl";
    case 0xFB05:
        return "st";
    case 0xFB06:
        return "st";
    default:
        return nullptr;
    }
}

bool isDropped(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x200B || c == 0x200C || c == 0x200D
        || c == 0x2060 || c == 0xFEFF;
}

} // namespace

void appendWord(std::string &out, const unsigned short *utf16, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = utf16[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && utf16[i + 1] >= 0xDC00
            && utf16[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (isDropped(c))
            continue;
        if (c == 0x00AD && i + 1 < length)
            continue;
        if (c == 0x00A0 || c == 0x2007 || c == 0x202F)
            c = ' ';
        if (const char *letters = ligatureLetters(c))
            out += letters;
        else
            appendUtf8(out, c);
    }
}

char32_t firstCodePoint(const std::string &utf8)
{
    return utf8.empty() ? 0 : decodeAt(utf8, 0);
}

char32_t lastCodePoint(const std::string &utf8)
{
    return utf8.empty() ? 0 : decodeAt(utf8, lastCodePointStart(utf8));
}

std::size_t codePointCount(const std::string &utf8)
{
    std::size_t n = 0;
    for (char c : utf8)
        n += !isContinuationByte(c);
    return n;
}

std::size_t byteOffsetOfCodePoint(const std::string &utf8, std::size_t count)
{
    std::size_t i = 0;
    for (std::size_t seen = 0; i < utf8.size(); ++i) {
        if (!isContinuationByte(utf8[i]) && seen++ == count)
            return i;
    }
    return i;
}

bool isLowercaseLetter(char32_t c)
{
    if (c >= 'a' && c <= 'z')
        return true;
    if (c >= 0xDF && c <= 0xFF)
        return c != 0xF7;
    if (c >= 0x100 && c <= 0x137)
        return c & 1;
    if (c >= 0x139 && c <= 0x148)
        return !(c & 1);
    if (c >= 0x14A && c <= 0x177)
        return c & 1;
    if (c == 0x138 || c == 0x149 || c == 0x17A || c == 0x17C || c == 0x17E || c == 0x17F)
        return true;
    return (c >= 0x3AC && c <= 0x3CE) || (c >= 0x430 && c <= 0x45F);
}

bool isUppercaseLetter(char32_t c)
{
    if (c >= 'A' && c <= 'Z')
        return true;
    if (c >= 0xC0 && c <= 0xDE)
        return c != 0xD7;
    if (c >= 0x100 && c <= 0x17F)
        return !isLowercaseLetter(c);
    return (c >= 0x386 && c <= 0x3AB) || (c >= 0x400 && c <= 0x42F);
}

bool isLetter(char32_t c)
{
    // Outside the ranges the case tests know, any code point past Latin-1's symbols counts:
    // that errs towards treating a hyphen before it as part of a word.
    return isLowercaseLetter(c) || isUppercaseLetter(c) || c >= 0x250;
}

bool isUppercaseWord(const std::string &utf8)
{
    int capitals = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (isContinuationByte(utf8[i]))
            continue;
        const char32_t c = decodeAt(utf8, i);
        if (isLowercaseLetter(c))
            return false;
        capitals += isUppercaseLetter(c);
    }
    return capitals >= 2;
}

bool isBullet(char32_t c)
{
    switch (c) {
    case 0x2022:
    case 0x2023:
    case 0x2043:
    case 0x2219:
    case 0x25A0:
    case 0x25A1:
    case 0x25AA:
    case 0x25AB:
    case 0x25B8:
    case 0x25BA:
    case 0x25CB:
    case 0x25CF:
    case 0x25E6:
    case 0x27A2:
        return true;
    default:
        return false;
    }
}

bool isHyphen(char32_t c)
{
    return c == '-' || c == 0x00AD || c == 0x2010;
}

bool endsSentence(const std::string &word)
{
    std::size_t end = word.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && isContinuationByte(word[start]))
            --start;
        const char32_t c = decodeAt(word, start);
        if (c == '.' || c == '!' || c == '?' || c == 0x2026)
            return true;
        if (!isClosingMark(c))
            return false;
        end = start;
    }
    return false;
}

bool startsSentence(const std::string &word)
{
    const char32_t c = firstCodePoint(word);
    return isUppercaseLetter(c) || (c >= '0' && c <= '9') || isOpeningMark(c);
}

void chopLastCodePoint(std::string &utf8)
{
    utf8.resize(lastCodePointStart(utf8));
}

void appendJsonEscaped(std::string &out, const std::string &utf8)
{
    static const char hex[] = "0123456789abcdef";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += ch;
            }
        }
    }
}

} // namespace UnicodeText
