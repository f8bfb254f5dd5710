#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Copies of sound models with one header value changed in place, as one damaged byte or a bad
// converter would leave them: the files stay valid GGUF, and llama.cpp aborts on them.

// Writes `target` as a copy of `source` in which the 4-byte value of the 32-bit key `key`
// (a uint32 or float32 in the header) is passed through `change`.
bool write_damaged_copy(const std::string &source, const std::string &target,
    const std::string &key, const std::function<uint32_t(uint32_t)> &change, std::string &error);
