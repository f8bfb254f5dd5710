#ifndef DOCUMENTLOADER_H
#define DOCUMENTLOADER_H

#include <memory>
#include <string>

namespace poppler {
class document;
}

// Opens a PDF for reading its text, or says in a few words why it cannot be read: missing,
// not a file, not a PDF, damaged, encrypted with a password, or without pages.
class DocumentLoader
{
public:
    static std::unique_ptr<poppler::document> open(const std::string &path, std::string &error);
};

#endif // DOCUMENTLOADER_H
