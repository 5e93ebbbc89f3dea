#include "ovila/genetic/kernels/xoshiro_x8.hpp"

#if OVILA_AVX2_VARIANTS
#include <immintrin.h>
#endif

namespace ovila::genetic::kernels {

void xoshiro_x8_reference(std::uint64_t* state, std::uint64_t* out, std::size_t steps) {
    for (std::size_t k = 0; k < xoshiro_lanes; ++k) {
        std::array<std::uint64_t, 4> s{};
        for (std::size_t j = 0; j < 4; ++j) {
            s[j] = state[j * xoshiro_lanes + k];
        }
        for (std::size_t i = 0; i < steps; ++i) {
            out[i * xoshiro_lanes + k] = core::xoshiro_next(s);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            state[j * xoshiro_lanes + k] = s[j];
        }
    }
}

void xoshiro_x8_portable(std::uint64_t* state, std::uint64_t* out, std::size_t steps) {
    std::uint64_t* const s0 = state;
    std::uint64_t* const s1 = s0 + xoshiro_lanes;
    std::uint64_t* const s2 = s1 + xoshiro_lanes;
    std::uint64_t* const s3 = s2 + xoshiro_lanes;
    for (std::size_t i = 0; i < steps; ++i, out += xoshiro_lanes) {
        for (std::size_t k = 0; k < xoshiro_lanes; ++k) {
            out[k] = core::rotl(s0[k] + s3[k], 23) + s0[k];
            const std::uint64_t t = s1[k] << 17;
            s2[k] ^= s0[k];
            s3[k] ^= s1[k];
            s1[k] ^= s2[k];
            s0[k] ^= s3[k];
            s2[k] ^= t;
            s3[k] = core::rotl(s3[k], 45);
        }
    }
}

#if OVILA_AVX2_VARIANTS
namespace {

template <int K>
[[gnu::always_inline]] OVILA_TARGET_AVX2 inline __m256i rotl_v(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, K), _mm256_srli_epi64(x, 64 - K));
}

}  // namespace

OVILA_TARGET_AVX2 void xoshiro_x8_avx2(std::uint64_t* state, std::uint64_t* out, std::size_t steps) {
    auto* v = reinterpret_cast<__m256i*>(state);
    // Two groups of four streams, stepped in turn: independent chains.
    __m256i a0 = _mm256_load_si256(v + 0), b0 = _mm256_load_si256(v + 1);
    __m256i a1 = _mm256_load_si256(v + 2), b1 = _mm256_load_si256(v + 3);
    __m256i a2 = _mm256_load_si256(v + 4), b2 = _mm256_load_si256(v + 5);
    __m256i a3 = _mm256_load_si256(v + 6), b3 = _mm256_load_si256(v + 7);
    for (std::size_t i = 0; i < steps; ++i) {
        auto* o = reinterpret_cast<__m256i*>(out + 8 * i);
        _mm256_storeu_si256(o, _mm256_add_epi64(rotl_v<23>(_mm256_add_epi64(a0, a3)), a0));
        _mm256_storeu_si256(o + 1, _mm256_add_epi64(rotl_v<23>(_mm256_add_epi64(b0, b3)), b0));
        const __m256i ta = _mm256_slli_epi64(a1, 17);
        const __m256i tb = _mm256_slli_epi64(b1, 17);
        a2 = _mm256_xor_si256(a2, a0);
        b2 = _mm256_xor_si256(b2, b0);
        a3 = _mm256_xor_si256(a3, a1);
        b3 = _mm256_xor_si256(b3, b1);
        a1 = _mm256_xor_si256(a1, a2);
        b1 = _mm256_xor_si256(b1, b2);
        a0 = _mm256_xor_si256(a0, a3);
        b0 = _mm256_xor_si256(b0, b3);
        a2 = _mm256_xor_si256(a2, ta);
        b2 = _mm256_xor_si256(b2, tb);
        a3 = rotl_v<45>(a3);
        b3 = rotl_v<45>(b3);
    }
    _mm256_store_si256(v + 0, a0);
    _mm256_store_si256(v + 1, b0);
    _mm256_store_si256(v + 2, a1);
    _mm256_store_si256(v + 3, b1);
    _mm256_store_si256(v + 4, a2);
    _mm256_store_si256(v + 5, b2);
    _mm256_store_si256(v + 6, a3);
    _mm256_store_si256(v + 7, b3);
}
#endif

XoshiroStep xoshiro_x8_step(core::Features features) {
#if OVILA_AVX2_VARIANTS
    if (features.avx2) return &xoshiro_x8_avx2;
#else
    static_cast<void>(features);
#endif
    return &xoshiro_x8_portable;
}

}  // namespace ovila::genetic::kernels
