#include "random.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sys/random.h>

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

Xoshiro256::Xoshiro256(const std::array<std::uint64_t, 4>& seed) : s_(seed) {
    if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) {
        // The all-zero state is a fixed point; replace it by a fixed mix.
        std::uint64_t state = 0;
        for (auto& word : s_) {
            word = splitmix64(state);
        }
    }
}

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

RandomSource& thread_random() {
    thread_local Xoshiro256 generator = Xoshiro256::from_entropy();
    return generator;
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
