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
