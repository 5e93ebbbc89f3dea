// The random step: xoshiro256++ (256 bits of state, good statistical
// quality), one stream or several streams side by side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kernels/features.hpp"

namespace ovila::kernels {

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

// Eight streams side by side: state[j * 8 + k] is word j of stream k. A step
// of all streams writes 8 words, word k from stream k; `steps` steps write
// 8 * steps words to `out`.
inline constexpr std::size_t xoshiro_lanes = 8;
using XoshiroState = std::array<std::uint64_t, 4 * xoshiro_lanes>;
using XoshiroStep = void (*)(std::uint64_t* state, std::uint64_t* out, std::size_t steps);

// Reference: each stream stepped on its own by xoshiro_next.
void xoshiro_x8_reference(std::uint64_t* state, std::uint64_t* out, std::size_t steps);
// Portable: the streams stepped together, lane by lane.
void xoshiro_x8_portable(std::uint64_t* state, std::uint64_t* out, std::size_t steps);
#if OVILA_AVX2_VARIANTS
// AVX2: the streams in vector registers (`state` 32-byte aligned).
void xoshiro_x8_avx2(std::uint64_t* state, std::uint64_t* out, std::size_t steps);
#endif

// The fastest step for the given features.
XoshiroStep xoshiro_x8_step(Features features);

}  // namespace ovila::kernels
