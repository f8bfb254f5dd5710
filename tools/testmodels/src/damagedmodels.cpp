#include "damagedmodels.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace {

// GGUF value types that take 4 bytes.
constexpr uint32_t GgufUint32 = 4;
constexpr uint32_t GgufInt32 = 5;
constexpr uint32_t GgufFloat32 = 6;

} // namespace

bool write_damaged_copy(const std::string &source, const std::string &target,
    const std::string &key, const std::function<uint32_t(uint32_t)> &change, std::string &error)
{
    std::ifstream in(source, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || bytes.empty()) {
        error = "cannot read " + source;
        return false;
    }

    // A header key is stored as its length (uint64), its bytes, then the value's type (uint32)
    // and the value itself.
    std::string pattern(sizeof(uint64_t), '\0');
    const uint64_t length = key.size();
    std::memcpy(pattern.data(), &length, sizeof length);
    pattern += key;
    const std::string_view all(bytes.data(), bytes.size());
    const size_t at = all.find(pattern);
    if (at == std::string_view::npos || at + pattern.size() + 8 > bytes.size()) {
        error = "no key " + key + " in " + source;
        return false;
    }
    char *type = bytes.data() + at + pattern.size();
    uint32_t typeValue = 0;
    std::memcpy(&typeValue, type, sizeof typeValue);
    if (typeValue != GgufUint32 && typeValue != GgufInt32 && typeValue != GgufFloat32) {
        error = "key " + key + " of " + source + " is not a 32-bit value";
        return false;
    }
    char *value = type + sizeof typeValue;
    uint32_t raw = 0;
    std::memcpy(&raw, value, sizeof raw);
    raw = change(raw);
    std::memcpy(value, &raw, sizeof raw);

    const std::string partial = target + ".part";
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    if (!out || std::rename(partial.c_str(), target.c_str()) != 0) {
        error = "cannot write " + target;
        return false;
    }
    return true;
}
