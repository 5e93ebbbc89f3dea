// Random sources for tests: one xoshiro256++ stream from a fixed seed, and a
// source that replays a fixed list of words.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "ovila/core/error.hpp"
#include "ovila/core/xoshiro.hpp"
#include "ovila/genetic/random.hpp"

namespace ovila::genetic {

class Xoshiro256 final : public RandomSource {
public:
    explicit Xoshiro256(const std::array<std::uint64_t, 4>& seed) : s_(usable_seed(seed)) {}

protected:
    std::size_t refill(std::uint64_t* out, std::size_t capacity) override {
        for (std::size_t i = 0; i < capacity; ++i) {
            out[i] = core::xoshiro_next(s_);
        }
        return capacity;
    }

private:
    std::array<std::uint64_t, 4> s_;
};

// Replays a fixed list of words; running past its end is an internal error.
class ScriptedRandom final : public RandomSource {
public:
    explicit ScriptedRandom(std::vector<std::uint64_t> words) : words_(std::move(words)) {}
    std::size_t consumed() const { return next_; }

    // Words that make `uniform()` return exactly `u` (u in [0, 1), a multiple of 2^-53).
    static std::uint64_t word_for_uniform(double u) {
        const double scaled = u * 0x1.0p53;
        if (!(u >= 0.0 && u < 1.0) || scaled != std::floor(scaled)) {
            core::internal_error("word_for_uniform needs a multiple of 2^-53 in [0, 1)");
        }
        return static_cast<std::uint64_t>(scaled) << 11;
    }

protected:
    std::size_t refill(std::uint64_t* out, std::size_t capacity) override {
        if (capacity == 0 || next_ >= words_.size()) {
            core::internal_error("scripted random source ran out of words");
        }
        out[0] = words_[next_++];
        return 1;
    }

private:
    std::vector<std::uint64_t> words_;
    std::size_t next_ = 0;
};

}  // namespace ovila::genetic
