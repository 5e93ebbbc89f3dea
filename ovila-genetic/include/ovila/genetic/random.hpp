// The run's random source and the draws every operator uses.
//
// A RandomSource hands out 64-bit words from a small buffer that `refill`
// fills; the default source is eight xoshiro256++ streams seeded from
// operating-system entropy (one source per thread); tests derive sources
// that dictate words.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ovila/genetic/kernels/xoshiro_x8.hpp"

namespace ovila::genetic {

class RandomSource {
public:
    RandomSource() = default;
    RandomSource(const RandomSource&) = delete;
    RandomSource& operator=(const RandomSource&) = delete;
    virtual ~RandomSource() = default;

    // One raw 64-bit word.
    std::uint64_t next_u64() {
        if (pos_ == len_) {
            len_ = refill(buffer_.data(), buffer_.size());
            pos_ = 0;
        }
        return buffer_[pos_++];
    }

    // U: uniform in [0, 1) from the top 53 bits of one word.
    double uniform() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // B: a fair bit. Bits are taken one at a time from a cached word,
    // lowest bit first; a new word is drawn when the cache is spent.
    bool bit() {
        if (bits_left_ == 0) {
            bits_ = next_u64();
            bits_left_ = 64;
        }
        const bool b = (bits_ & 1U) != 0;
        bits_ >>= 1;
        --bits_left_;
        return b;
    }

    // The next `count` (1 to 64) bits, exactly as that many calls of bit()
    // would return them: the first in bit 0 of the result.
    std::uint64_t bits(unsigned count) {
        if (count <= bits_left_) {
            const std::uint64_t result = bits_ & low_mask(count);
            bits_ = count >= 64 ? 0 : bits_ >> count;
            bits_left_ -= count;
            return result;
        }
        // The cache holds fewer bits than asked (its bits above bits_left_ are 0).
        const unsigned have = bits_left_;
        const unsigned need = count - have;  // 1 to 64
        const std::uint64_t word = next_u64();
        const std::uint64_t result = bits_ | ((word & low_mask(need)) << have);
        bits_ = need >= 64 ? 0 : word >> need;
        bits_left_ = 64 - need;
        return result;
    }

    // Draws up to `count` words, stopping after the first whose top 53 bits
    // are below `limit`; returns how many words came before that one (`count`
    // when none qualified). The same draws as that many next_u64() calls.
    std::size_t draws_until_below(std::size_t count, std::uint64_t limit) {
        std::size_t drawn = 0;
        while (drawn < count) {
            if (pos_ == len_) {
                len_ = refill(buffer_.data(), buffer_.size());
                pos_ = 0;
            }
            const std::size_t end = pos_ + std::min(count - drawn, len_ - pos_);
            std::size_t p = pos_;
            while (p < end && (buffer_[p] >> 11) >= limit) {
                ++p;
            }
            drawn += p - pos_;
            if (p < end) {
                pos_ = p + 1;
                return drawn;
            }
            pos_ = p;
        }
        return drawn;
    }

    // I(a, b): uniform in [a, b) without bias; a >= b is an internal error.
    std::uint64_t range(std::uint64_t a, std::uint64_t b);

    // Uniform index in [0, n), n > 0 (multiply-and-reject).
    std::uint64_t below(std::uint64_t n);

    // Words drawn from the source at a time.
    static constexpr std::size_t buffer_words = 32;

protected:
    // Writes up to `capacity` (> 0, at most buffer_words) words into `out` and returns how many (> 0).
    virtual std::size_t refill(std::uint64_t* out, std::size_t capacity) = 0;

private:
    static std::uint64_t low_mask(unsigned count) {
        return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    }

    std::array<std::uint64_t, buffer_words> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::uint64_t bits_ = 0;
    unsigned bits_left_ = 0;
};

// The seed a stream starts from: the all-zero state is a fixed point of
// xoshiro, so it is replaced by a fixed mix.
std::array<std::uint64_t, 4> usable_seed(std::array<std::uint64_t, 4> seed);

// Eight xoshiro256++ streams side by side, each seeded on its own, their
// words interleaved: word i of the sequence comes from stream i % 8. The
// streams do not depend on each other, so they are stepped together (in
// vector registers where the processor has AVX2); every variant of the step
// gives the same words.
class Xoshiro256x8 final : public RandomSource {
public:
    static constexpr std::size_t lanes = kernels::xoshiro_lanes;
    explicit Xoshiro256x8(const std::array<std::array<std::uint64_t, 4>, lanes>& seeds);
    // Every stream seeded from operating-system entropy.
    static Xoshiro256x8 from_entropy();

protected:
    std::size_t refill(std::uint64_t* out, std::size_t capacity) override;

private:
    // state_[j * lanes + k]: word j of stream k's state.
    alignas(32) kernels::XoshiroState state_{};
    kernels::XoshiroStep step_;  // chosen from the processor features when built
};

// The calling thread's generator, created and seeded on first use.
RandomSource& thread_random();

}  // namespace ovila::genetic
