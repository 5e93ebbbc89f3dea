// The random step every engine draws from: xoshiro256++ (256 bits of state,
// good statistical quality), one stream, seeded through splitmix64. An
// engine that steps several streams side by side keeps that fast path in
// its own kernels, built on this step.
#pragma once

#include <array>
#include <cstdint>

namespace ovila::core {

constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// splitmix64: spreads a seed over the state words.
inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// One step of one stream: returns its next word.
inline std::uint64_t xoshiro_next(std::array<std::uint64_t, 4>& s) {
    const std::uint64_t out = rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return out;
}

}  // namespace ovila::core
