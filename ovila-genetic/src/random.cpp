#include "ovila/genetic/random.hpp"

#include <cerrno>
#include <cstdio>
#include <sys/random.h>
#include <unistd.h>

#include <memory>

#include "ovila/core/error.hpp"
#include "ovila/genetic/kernels/bits.hpp"

namespace ovila::genetic {

namespace {

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

std::array<std::uint64_t, 4> usable_seed(std::array<std::uint64_t, 4> seed) {
    if ((seed[0] | seed[1] | seed[2] | seed[3]) == 0) {
        std::uint64_t state = 0;
        for (auto& word : seed) {
            word = core::splitmix64(state);
        }
    }
    return seed;
}

std::uint64_t RandomSource::range(std::uint64_t a, std::uint64_t b) {
    if (a >= b) {
        core::internal_error("random range is empty: lower bound not below upper bound");
    }
    return a + below(b - a);
}

std::uint64_t RandomSource::below(std::uint64_t n) {
    if (n == 0) {
        core::internal_error("random index requested below 0");
    }
    return kernels::below_by_rejection<std::uint64_t>(n, [this] { return next_u64(); });
}

Xoshiro256x8::Xoshiro256x8(const std::array<std::array<std::uint64_t, 4>, lanes>& seeds)
    : step_(kernels::xoshiro_x8_step(core::features())) {
    for (std::size_t k = 0; k < lanes; ++k) {
        const std::array<std::uint64_t, 4> seed = usable_seed(seeds[k]);
        for (std::size_t j = 0; j < 4; ++j) {
            state_[j * lanes + k] = seed[j];
        }
    }
}

Xoshiro256x8 Xoshiro256x8::from_entropy() {
    std::array<unsigned char, 32 * lanes> bytes{};
    if (!read_entropy(bytes.data(), bytes.size())) {
        core::internal_error("could not read operating-system entropy to seed the random generator");
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

std::size_t Xoshiro256x8::refill(std::uint64_t* out, std::size_t capacity) {
    // The buffer holds a whole number of steps.
    static_assert(RandomSource::buffer_words % lanes == 0);
    const std::size_t steps = capacity / lanes;
    step_(state_.data(), out, steps);
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

}  // namespace ovila::genetic
