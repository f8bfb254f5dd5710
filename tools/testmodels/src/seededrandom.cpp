#include "seededrandom.h"

namespace {

uint64_t fnv1a(std::string_view text)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

} // namespace

SeededRandom::SeededRandom(uint64_t seed)
    : m_state(seed)
{ }

SeededRandom::SeededRandom(std::string_view text)
    : m_state(fnv1a(text))
{ }

uint64_t SeededRandom::next()
{
    uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

float SeededRandom::uniform()
{
    // 24 random bits fill a float's mantissa exactly.
    return static_cast<float>(next() >> 40) * (2.0f / 16777216.0f) - 1.0f;
}

void SeededRandom::fill(float *values, int64_t count, float scale)
{
    for (int64_t i = 0; i < count; ++i)
        values[i] = uniform() * scale;
}
