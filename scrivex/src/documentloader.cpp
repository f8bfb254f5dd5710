#include "documentloader.h"

#include "popplerdiagnostics.h"

#include <poppler-document.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// poppler looks for the header in the first kilobyte, as most readers do.
constexpr std::size_t HeaderWindow = 1024;
constexpr std::size_t ReadBlock = 1 << 20;
// poppler takes the length of a document in memory as an int.
constexpr std::size_t MaxFileSize = INT_MAX;

const char *const NotARegularFile = "is not a regular file (a FIFO or a device, for instance)";

std::FILE *openForReading(const std::string &path)
{
#ifdef _WIN32
    return std::fopen(path.c_str(), "rb");
#else
    // Without waiting: a FIFO put in the file's place after it was looked at must not block.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    std::FILE *file = ::fdopen(descriptor, "rb");
    if (!file) {
        const int reason = errno;
        ::close(descriptor);
        errno = reason;
    }
    return file;
#endif
}

// The size of an open regular file, or -1 for anything else.
long long regularFileSize(std::FILE *file)
{
    struct stat info;
    if (::fstat(fileno(file), &info) != 0 || (info.st_mode & S_IFMT) != S_IFREG)
        return -1;
    return info.st_size;
}

} // namespace

std::unique_ptr<poppler::document> DocumentLoader::open(const std::string &path, std::string &error)
{
    if (!readFile(path, error))
        return nullptr;
    if (m_bytes.empty()) {
        error = "is empty, not a PDF file";
        return nullptr;
    }
    const std::string_view head(m_bytes.data(), std::min(m_bytes.size(), HeaderWindow));
    if (head.find("%PDF-") == std::string_view::npos) {
        error = "is not a PDF file";
        return nullptr;
    }

    PopplerDiagnostics::Capture capture;
    std::unique_ptr<poppler::document> document = reopen();
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

std::unique_ptr<poppler::document> DocumentLoader::reopen() const
{
    if (m_bytes.empty())
        return nullptr;
    return std::unique_ptr<poppler::document>(
        poppler::document::load_from_raw_data(m_bytes.data(), int(m_bytes.size())));
}

bool DocumentLoader::readFile(const std::string &path, std::string &error)
{
    m_bytes.clear();
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status)) {
        error = "is a directory, not a PDF file";
        return false;
    }
    // Opening a FIFO waits for a writer, and a device may never end: only files are read.
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        error = NotARegularFile;
        return false;
    }
    std::FILE *file = openForReading(path);
    if (!file) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    // What was looked at by name may have been replaced since: the open file decides.
    const long long size = regularFileSize(file);
    if (size < 0) {
        std::fclose(file);
        error = NotARegularFile;
        return false;
    }
    bool tooLarge = std::size_t(size) > MaxFileSize;
    if (!tooLarge)
        m_bytes.reserve(std::size_t(size));
    // Read to the end, not to the size seen: the file may still be growing.
    std::vector<char> block(ReadBlock);
    while (!tooLarge) {
        const std::size_t read = std::fread(block.data(), 1, block.size(), file);
        m_bytes.insert(m_bytes.end(), block.data(), block.data() + read);
        tooLarge = m_bytes.size() > MaxFileSize;
        if (read < block.size())
            break;
    }
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed || tooLarge) {
        m_bytes.clear();
        m_bytes.shrink_to_fit();
        error = failed ? "cannot be read" : "is too large to read (over 2 GB)";
        return false;
    }
    return true;
}
