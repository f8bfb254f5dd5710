#pragma once

#include <ggml.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct gguf_context;

// Collects the keys and tensors of one GGUF file and writes it in one streaming pass: tensor
// values are produced one tensor at a time while writing, so a model of several gigabytes
// never has to sit in memory.
class GgufWriter
{
public:
    // Fills `count` floats, already zeroed, with the values of one tensor (ne0 fastest).
    using Fill = std::function<void(float *values, int64_t count)>;

    explicit GgufWriter(const std::string &architecture);
    ~GgufWriter();
    GgufWriter(const GgufWriter &) = delete;
    GgufWriter &operator=(const GgufWriter &) = delete;

    void setU32(const std::string &key, uint32_t value);
    void setF32(const std::string &key, float value);
    void setBool(const std::string &key, bool value);
    void setString(const std::string &key, const std::string &value);
    void setStrings(const std::string &key, const std::vector<std::string> &values);
    void setI32s(const std::string &key, const std::vector<int32_t> &values);
    void setF32s(const std::string &key, const std::vector<float> &values);

    // shape is {ne0, ne1, ...}; a null fill leaves the tensor all zeros.
    void addTensor(const std::string &name, ggml_type type, const std::vector<int64_t> &shape,
        Fill fill = nullptr);

    // Writes to a temporary file beside `path` and renames it, so an interrupted run never
    // leaves a truncated model that looks complete.
    bool write(const std::string &path, std::string &error) const;

private:
    bool writeData(FILE *file, std::string &error) const;

    gguf_context *m_gguf = nullptr;
    ggml_context *m_tensorInfo = nullptr;
    std::vector<Fill> m_fills;
};
