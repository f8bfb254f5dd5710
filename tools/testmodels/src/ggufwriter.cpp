#include "ggufwriter.h"

#include <gguf.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

// Enough tensor headers for the largest model this tool writes (a 16-layer llama has 147).
constexpr size_t maxTensors = 1024;

} // namespace

GgufWriter::GgufWriter(const std::string &architecture)
    : m_gguf(gguf_init_empty())
{
    ggml_init_params params {};
    params.mem_size = ggml_tensor_overhead() * maxTensors;
    params.mem_buffer = nullptr;
    params.no_alloc = true;
    m_tensorInfo = ggml_init(params);
    setString("general.architecture", architecture);
}

GgufWriter::~GgufWriter()
{
    ggml_free(m_tensorInfo);
    gguf_free(m_gguf);
}

void GgufWriter::setU32(const std::string &key, uint32_t value)
{
    gguf_set_val_u32(m_gguf, key.c_str(), value);
}

void GgufWriter::setF32(const std::string &key, float value)
{
    gguf_set_val_f32(m_gguf, key.c_str(), value);
}

void GgufWriter::setBool(const std::string &key, bool value)
{
    gguf_set_val_bool(m_gguf, key.c_str(), value);
}

void GgufWriter::setString(const std::string &key, const std::string &value)
{
    gguf_set_val_str(m_gguf, key.c_str(), value.c_str());
}

void GgufWriter::setStrings(const std::string &key, const std::vector<std::string> &values)
{
    std::vector<const char *> texts;
    texts.reserve(values.size());
    for (const std::string &value : values)
        texts.push_back(value.c_str());
    gguf_set_arr_str(m_gguf, key.c_str(), texts.data(), texts.size());
}

void GgufWriter::setI32s(const std::string &key, const std::vector<int32_t> &values)
{
    gguf_set_arr_data(m_gguf, key.c_str(), GGUF_TYPE_INT32, values.data(), values.size());
}

void GgufWriter::setF32s(const std::string &key, const std::vector<float> &values)
{
    gguf_set_arr_data(m_gguf, key.c_str(), GGUF_TYPE_FLOAT32, values.data(), values.size());
}

void GgufWriter::addTensor(
    const std::string &name, ggml_type type, const std::vector<int64_t> &shape, Fill fill)
{
    ggml_tensor *tensor
        = ggml_new_tensor(m_tensorInfo, type, static_cast<int>(shape.size()), shape.data());
    ggml_set_name(tensor, name.c_str());
    gguf_add_tensor(m_gguf, tensor);
    m_fills.push_back(std::move(fill));
}

bool GgufWriter::write(const std::string &path, std::string &error) const
{
    const std::string partial = path + ".part";
    FILE *file = std::fopen(partial.c_str(), "wb");
    if (!file) {
        error = "cannot create " + partial;
        return false;
    }
    bool ok = gguf_write_to_file_ptr(m_gguf, file, /*only_meta=*/true);
    if (!ok)
        error = "cannot write the header of " + partial;
    else
        ok = writeData(file, error);
    if (std::fclose(file) != 0 && ok) {
        error = "cannot finish writing " + partial;
        ok = false;
    }
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(partial, path, ec);
        if (ec) {
            error = "cannot rename " + partial + " to " + path + ": " + ec.message();
            ok = false;
        }
    }
    if (!ok)
        std::filesystem::remove(partial, ec);
    return ok;
}

bool GgufWriter::writeData(FILE *file, std::string &error) const
{
    const long dataStart = std::ftell(file);
    const size_t alignment = gguf_get_alignment(m_gguf);
    const std::vector<char> padding(alignment, 0);
    std::vector<float> values;
    std::vector<ggml_fp16_t> halves;

    for (int64_t i = 0; i < gguf_get_n_tensors(m_gguf); ++i) {
        const char *name = gguf_get_tensor_name(m_gguf, i);
        // The loader finds each tensor at the offset recorded in the header: check that the
        // stream agrees before writing, or the file would be silently corrupt.
        if (std::ftell(file) - dataStart != static_cast<long>(gguf_get_tensor_offset(m_gguf, i))) {
            error = std::string("tensor data out of place at ") + name;
            return false;
        }
        const int64_t *ne = gguf_get_tensor_ne(m_gguf, i);
        int64_t count = 1;
        for (int d = 0; d < GGML_MAX_DIMS; ++d)
            count *= ne[d];
        values.assign(static_cast<size_t>(count), 0.0f);
        if (m_fills[static_cast<size_t>(i)])
            m_fills[static_cast<size_t>(i)](values.data(), count);

        const void *data = values.data();
        size_t bytes = values.size() * sizeof(float);
        switch (gguf_get_tensor_type(m_gguf, i)) {
        case GGML_TYPE_F32:
            break;
        case GGML_TYPE_F16:
            halves.resize(values.size());
            ggml_fp32_to_fp16_row(values.data(), halves.data(), count);
            data = halves.data();
            bytes = halves.size() * sizeof(ggml_fp16_t);
            break;
        default:
            error = std::string("unsupported tensor type for ") + name;
            return false;
        }
        const size_t pad = GGML_PAD(bytes, alignment) - bytes;
        if (std::fwrite(data, 1, bytes, file) != bytes
            || std::fwrite(padding.data(), 1, pad, file) != pad) {
            error = std::string("cannot write tensor ") + name;
            return false;
        }
    }
    return true;
}
