#include "modelfile.h"

#include <gguf.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string modelPathProblem(const std::string &path)
{
    std::error_code error;
    const fs::file_status status = fs::status(fs::u8path(path), error);
    if (error || !fs::exists(status))
        return "cannot be opened: " + (error ? error.message() : std::string("no such file"));
    if (fs::is_directory(status))
        return "is a folder, not a model file";
    if (!fs::is_regular_file(status))
        return "is not a regular file (a FIFO or a device, for instance)";
    return {};
}

std::string ggufFileProblem(const std::string &path)
{
    std::string problem = modelPathProblem(path);
    if (!problem.empty())
        return problem;

    gguf_init_params params {};
    params.no_alloc = true;
    params.ctx = nullptr;
    gguf_context *gguf = gguf_init_from_file(path.c_str(), params);
    if (!gguf)
        return "is not a GGUF model file, or its header is damaged";
    size_t end = gguf_get_data_offset(gguf);
    for (int64_t i = 0; i < gguf_get_n_tensors(gguf); ++i)
        end = std::max(end,
            gguf_get_data_offset(gguf) + gguf_get_tensor_offset(gguf, i)
                + gguf_get_tensor_size(gguf, i));
    gguf_free(gguf);

    std::error_code error;
    const std::uintmax_t size = fs::file_size(fs::u8path(path), error);
    if (error)
        return "cannot be read: " + error.message();
    if (size < end)
        return "is truncated: its tensors need " + std::to_string(end) + " bytes, the file has "
            + std::to_string(size);
    return {};
}

#ifdef __linux__
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

ModelFile::ModelFile(const std::string &path)
    : givenPath(path)
    , descriptorPath(path)
{
#ifdef __linux__
    // Without O_NONBLOCK the open of a FIFO waits for a writer. Not close-on-exec: the check's
    // child process reads the same descriptor.
    descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (descriptor < 0) {
        openProblem = "cannot be opened: " + std::string(std::strerror(errno));
        return;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        openProblem = "cannot be opened: " + std::string(std::strerror(errno));
    } else if (S_ISDIR(status.st_mode)) {
        openProblem = "is a folder, not a model file";
    } else if (!S_ISREG(status.st_mode)) {
        openProblem = "is not a regular file (a FIFO or a device, for instance)";
    } else if (!readIdentity(opened)) {
        openProblem = "cannot be opened: " + std::string(std::strerror(errno));
    }
    if (!openProblem.empty()) {
        ::close(descriptor);
        descriptor = -1;
        return;
    }
    descriptorPath = "/proc/self/fd/" + std::to_string(descriptor);
#else
    openProblem = modelPathProblem(path);
#endif
}

ModelFile::~ModelFile()
{
#ifdef __linux__
    if (descriptor >= 0)
        ::close(descriptor);
#endif
}

bool ModelFile::Identity::operator==(const Identity &other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && writeSeconds == other.writeSeconds && writeNanoseconds == other.writeNanoseconds;
}

bool ModelFile::readIdentity(Identity &identity) const
{
#ifdef __linux__
    struct stat status {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0)
        return false;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    // The time of the last write, not of the last change: a file moved over this one's path
    // unlinks it, which changes its ctime but not a byte of it.
    identity.writeSeconds = status.st_mtim.tv_sec;
    identity.writeNanoseconds = status.st_mtim.tv_nsec;
    return true;
#else
    (void)identity;
    return false;
#endif
}

std::string ModelFile::changeProblem() const
{
#ifdef __linux__
    Identity now;
    if (!openProblem.empty())
        return openProblem;
    if (!readIdentity(now) || !(now == opened))
        return "was written to while it was being checked";
#endif
    return {};
}
