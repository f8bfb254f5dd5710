#ifndef DOCUMENTLOADER_H
#define DOCUMENTLOADER_H

#include <memory>
#include <string>
#include <vector>

namespace poppler {
class document;
}

// Reads a PDF into memory once and opens its text for reading, or says in a few words why it
// cannot be read: missing, not a file, not a PDF, damaged, encrypted with a password, without
// pages or too large. Every document it opens reads those same bytes, so a file replaced on
// disk while a run goes on never mixes in.
class DocumentLoader
{
public:
    std::unique_ptr<poppler::document> open(const std::string &path, std::string &error);

    // One more document over the bytes read by `open`, for another thread (poppler's documents
    // are not shared between threads); null when there are none or poppler refuses them. The
    // documents read the loader's bytes: the loader must outlive them.
    std::unique_ptr<poppler::document> reopen() const;

private:
    bool readFile(const std::string &path, std::string &error);

    std::vector<char> m_bytes;
};

#endif // DOCUMENTLOADER_H
