// The core's xoshiro256++ step for eight streams side by side: the random
// source of a run steps all its streams at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ovila/core/features.hpp"
#include "ovila/core/xoshiro.hpp"

namespace ovila::genetic::kernels {

// Eight streams side by side: state[j * 8 + k] is word j of stream k. A step
// of all streams writes 8 words, word k from stream k; `steps` steps write
// 8 * steps words to `out`.
inline constexpr std::size_t xoshiro_lanes = 8;
using XoshiroState = std::array<std::uint64_t, 4 * xoshiro_lanes>;
using XoshiroStep = void (*)(std::uint64_t* state, std::uint64_t* out, std::size_t steps);

// Reference: each stream stepped on its own by core::xoshiro_next.
void xoshiro_x8_reference(std::uint64_t* state, std::uint64_t* out, std::size_t steps);
// Portable: the streams stepped together, lane by lane.
void xoshiro_x8_portable(std::uint64_t* state, std::uint64_t* out, std::size_t steps);
#if OVILA_AVX2_VARIANTS
// AVX2: the streams in vector registers (`state` 32-byte aligned).
void xoshiro_x8_avx2(std::uint64_t* state, std::uint64_t* out, std::size_t steps);
#endif

// The fastest step for the given features.
XoshiroStep xoshiro_x8_step(core::Features features);

}  // namespace ovila::genetic::kernels
