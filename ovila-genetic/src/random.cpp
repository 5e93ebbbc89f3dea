#include "random.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "error.hpp"

namespace ovila {

namespace {

__extension__ using u128 = unsigned __int128;

constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The all-zero state is a fixed point of xoshiro; it is replaced by a fixed mix.
std::array<std::uint64_t, 4> usable_seed(std::array<std::uint64_t, 4> seed) {
    if ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) {
        std::uint64_t state = 0;
        for (auto& word : seed) {
            word = splitmix64(state);
        }
    }
    return seed;
}

// Fills `out` with operating-system entropy; false when no source delivered.
bool read_entropy(unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(out + done, size - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (done == size) {
        return true;
    }
    std::FILE* device = std::fopen("/dev/urandom", "rb");
    if (device == nullptr) {
        return false;
    }
    const std::size_t got = std::fread(out, 1, size, device);
    std::fclose(device);
    return got == size;
}

}  // namespace

std::uint64_t RandomSource::range(std::uint64_t a, std::uint64_t b) {
    if (a >= b) {
        internal_error("random range is empty: lower bound not below upper bound");
    }
    return a + below(b - a);
}

std::uint64_t RandomSource::below(std::uint64_t n) {
    if (n == 0) {
        internal_error("random index requested below 0");
    }
    // Multiply-and-reject: the high word of w*n is uniform in [0, n) once the
    // low words that would over-represent some values are thrown away.
    u128 product = static_cast<u128>(next_u64()) * n;
    auto low = static_cast<std::uint64_t>(product);
    if (low < n) {
        const std::uint64_t threshold = (0 - n) % n;
        while (low < threshold) {
            product = static_cast<u128>(next_u64()) * n;
            low = static_cast<std::uint64_t>(product);
        }
    }
    return static_cast<std::uint64_t>(product >> 64);
}

Xoshiro256::Xoshiro256(const std::array<std::uint64_t, 4>& seed) : s_(usable_seed(seed)) {}

Xoshiro256 Xoshiro256::from_entropy() {
    std::array<unsigned char, 32> bytes{};
    if (!read_entropy(bytes.data(), bytes.size())) {
        internal_error("could not read operating-system entropy to seed the random generator");
    }
    std::array<std::uint64_t, 4> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            word |= static_cast<std::uint64_t>(bytes[i * 8 + b]) << (8 * b);
        }
        seed[i] = word;
    }
    return Xoshiro256(seed);
}

std::size_t Xoshiro256::refill(std::uint64_t* out, std::size_t capacity) {
    std::uint64_t s0 = s_[0], s1 = s_[1], s2 = s_[2], s3 = s_[3];
    for (std::size_t i = 0; i < capacity; ++i) {
        out[i] = rotl(s0 + s3, 23) + s0;
        const std::uint64_t t = s1 << 17;
        s2 ^= s0;
        s3 ^= s1;
        s1 ^= s2;
        s0 ^= s3;
        s2 ^= t;
        s3 = rotl(s3, 45);
    }
    s_ = {s0, s1, s2, s3};
    return capacity;
}

Xoshiro256x8::Xoshiro256x8(const std::array<std::array<std::uint64_t, 4>, lanes>& seeds) {
    for (std::size_t k = 0; k < lanes; ++k) {
        const std::array<std::uint64_t, 4> seed = usable_seed(seeds[k]);
        for (std::size_t j = 0; j < 4; ++j) {
            state_[j * lanes + k] = seed[j];
        }
    }
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    vector_ = __builtin_cpu_supports("avx2") != 0;
#else
    vector_ = false;
#endif
}

Xoshiro256x8 Xoshiro256x8::from_entropy() {
    std::array<unsigned char, 32 * lanes> bytes{};
    if (!read_entropy(bytes.data(), bytes.size())) {
        internal_error("could not read operating-system entropy to seed the random generator");
    }
    std::array<std::array<std::uint64_t, 4>, lanes> seeds{};
    for (std::size_t i = 0; i < 4 * lanes; ++i) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            word |= static_cast<std::uint64_t>(bytes[i * 8 + b]) << (8 * b);
        }
        seeds[i / 4][i % 4] = word;
    }
    return Xoshiro256x8(seeds);
}

void Xoshiro256x8::step_portable(std::uint64_t* out) {
    std::uint64_t* const s0 = state_.data();
    std::uint64_t* const s1 = s0 + lanes;
    std::uint64_t* const s2 = s1 + lanes;
    std::uint64_t* const s3 = s2 + lanes;
    for (std::size_t k = 0; k < lanes; ++k) {
        out[k] = rotl(s0[k] + s3[k], 23) + s0[k];
        const std::uint64_t t = s1[k] << 17;
        s2[k] ^= s0[k];
        s3[k] ^= s1[k];
        s1[k] ^= s2[k];
        s0[k] ^= s3[k];
        s2[k] ^= t;
        s3[k] = rotl(s3[k], 45);
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
namespace {

template <int K>
__attribute__((target("avx2"), always_inline)) inline __m256i rotl_v(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, K), _mm256_srli_epi64(x, 64 - K));
}

// `steps` steps of the eight streams held in `state` (layout of state_).
__attribute__((target("avx2"))) void xoshiro_x8_avx2(std::uint64_t* state, std::uint64_t* out, std::size_t steps) {
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

}  // namespace
#endif

std::size_t Xoshiro256x8::refill(std::uint64_t* out, std::size_t capacity) {
    if (capacity < lanes) {
        std::array<std::uint64_t, lanes> step{};
        step_portable(step.data());
        std::copy_n(step.begin(), capacity, out);
        return capacity;
    }
    const std::size_t steps = capacity / lanes;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (vector_) {
        xoshiro_x8_avx2(state_.data(), out, steps);
        return steps * lanes;
    }
#endif
    for (std::size_t i = 0; i < steps; ++i) {
        step_portable(out + i * lanes);
    }
    return steps * lanes;
}

RandomSource& thread_random() {
    // Seeded on first use, and again in a forked child: the child starts
    // with a copy of its parent's generator and would repeat its draws.
    thread_local std::unique_ptr<Xoshiro256x8> generator;
    thread_local pid_t owner = 0;
    const pid_t pid = getpid();
    if (!generator || owner != pid) {
        generator.reset(new Xoshiro256x8(Xoshiro256x8::from_entropy()));
        owner = pid;
    }
    return *generator;
}

std::size_t ScriptedRandom::refill(std::uint64_t* out, std::size_t capacity) {
    if (capacity == 0 || next_ >= words_.size()) {
        internal_error("scripted random source ran out of words");
    }
    out[0] = words_[next_++];
    return 1;
}

std::uint64_t ScriptedRandom::word_for_uniform(double u) {
    const double scaled = u * 0x1.0p53;
    if (!(u >= 0.0 && u < 1.0) || scaled != std::floor(scaled)) {
        internal_error("word_for_uniform needs a multiple of 2^-53 in [0, 1)");
    }
    return static_cast<std::uint64_t>(scaled) << 11;
}

}  // namespace ovila
