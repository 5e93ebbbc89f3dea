// AVX2 helpers shared by the AVX2 kernels. Include only where
// OVILA_AVX2_VARIANTS is 1; every function carries the AVX2 target.
#pragma once

#include <cstdint>
#include <immintrin.h>

#include "ovila/core/features.hpp"

namespace ovila::genetic::kernels::avx2 {

// Per-byte population counts of `v` by nibble lookups.
OVILA_TARGET_AVX2 inline __m256i byte_counts(__m256i v) {
    const __m256i lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                                         2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i lo = _mm256_shuffle_epi8(lut, _mm256_and_si256(v, nibble));
    const __m256i hi = _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    return _mm256_add_epi8(lo, hi);
}

// Byte counts summed into the four 64-bit lanes.
OVILA_TARGET_AVX2 inline __m256i lane_sums(__m256i bytes) { return _mm256_sad_epu8(bytes, _mm256_setzero_si256()); }

OVILA_TARGET_AVX2 inline std::uint64_t horizontal_sum(__m256i lanes) {
    alignas(32) std::uint64_t parts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), lanes);
    return parts[0] + parts[1] + parts[2] + parts[3];
}

OVILA_TARGET_AVX2 inline __m256i load(const std::uint64_t* words) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
}

}  // namespace ovila::genetic::kernels::avx2
