#pragma once

#include <cstdint>
#include <string_view>

// A generator of our own (splitmix64) so that the models come out byte-identical on every run
// and with every standard library; the distributions of <random> differ between them.
class SeededRandom
{
public:
    explicit SeededRandom(uint64_t seed);
    // A seed taken from a text (64-bit FNV-1a), for vectors that belong to a word or a name.
    explicit SeededRandom(std::string_view text);

    uint64_t next();
    // Uniform in [-1, 1).
    float uniform();
    // Fills count values uniform in [-scale, scale).
    void fill(float *values, int64_t count, float scale);

private:
    uint64_t m_state;
};
