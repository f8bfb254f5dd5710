#ifndef UNICODETEXT_H
#define UNICODETEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Text helpers over UTF-8 strings: the conversion from poppler's UTF-16, the few character
// classes the layout needs, and JSON string escaping.
namespace UnicodeText {

// Appends a word's UTF-16 text as UTF-8, with ligatures spelled out, control, zero-width and
// stray surrogate code units replaced or dropped, and soft hyphens kept only at the end, where
// they mark a hyphenated line end.
void appendWord(std::string &out, const unsigned short *utf16, std::size_t length);

char32_t firstCodePoint(const std::string &utf8);
char32_t lastCodePoint(const std::string &utf8);
std::size_t codePointCount(const std::string &utf8);

// Byte offset of the code point that follows the first `count` code points.
std::size_t byteOffsetOfCodePoint(const std::string &utf8, std::size_t count);

bool isLowercaseLetter(char32_t c);
bool isUppercaseLetter(char32_t c);
bool isLetter(char32_t c);

// A word in capitals: at least two letters and none of them lower case.
bool isUppercaseWord(const std::string &utf8);
bool isBullet(char32_t c);

// True for a line-end hyphen, including the soft hyphen.
bool isHyphen(char32_t c);

// Whether a word closes a sentence: ". ! ? …" possibly followed by closing quotes or brackets.
bool endsSentence(const std::string &word);

// Whether a word can open a sentence: a capital, a digit or an opening quote or bracket.
bool startsSentence(const std::string &word);

// Removes the last code point.
void chopLastCodePoint(std::string &utf8);

// Appends `utf8` as the contents of a JSON string literal (without the quotes).
void appendJsonEscaped(std::string &out, const std::string &utf8);

} // namespace UnicodeText

#endif // UNICODETEXT_H
