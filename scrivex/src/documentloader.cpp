#include "documentloader.h"

#include "popplerdiagnostics.h"

#include <poppler-document.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace {

// poppler looks for the header in the first kilobyte, as most readers do.
constexpr std::size_t HeaderWindow = 1024;

} // namespace

std::unique_ptr<poppler::document> DocumentLoader::open(const std::string &path, std::string &error)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status)) {
        error = "is a directory, not a PDF file";
        return nullptr;
    }
    // Opening a FIFO waits for a writer, and a device may never end: only files are read.
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        error = "is not a regular file (a FIFO or a device, for instance)";
        return nullptr;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return nullptr;
    }
    char head[HeaderWindow];
    const std::size_t read = std::fread(head, 1, sizeof head, file);
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed) {
        error = "cannot be read";
        return nullptr;
    }
    if (read == 0) {
        error = "is empty, not a PDF file";
        return nullptr;
    }
    if (std::string_view(head, read).find("%PDF-") == std::string_view::npos) {
        error = "is not a PDF file";
        return nullptr;
    }

    PopplerDiagnostics::Capture capture;
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
    if (!document) {
        error = "is a damaged PDF file and cannot be read";
        if (!capture.messages().empty())
            error += " (" + capture.messages().back() + ")";
        return nullptr;
    }
    // Asking a locked document for its pages crashes poppler, so this comes first.
    if (document->is_locked()) {
        error = "is encrypted and needs a password";
        return nullptr;
    }
    if (document->pages() <= 0) {
        error = "has no pages it can read";
        return nullptr;
    }
    return document;
}
