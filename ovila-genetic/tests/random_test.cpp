#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <numeric>

#include "ovila/core/error.hpp"
#include "ovila/genetic/generator.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

using testing::index_word;
using testing::U;

TEST(RandomSource, RangesAndRejection) {
    ScriptedRandom rng({index_word(0, 10), ~std::uint64_t{0}, 12345, 0, index_word(2, 3)});
    EXPECT_THROW(rng.range(3, 3), core::InternalError);
    EXPECT_THROW(rng.range(5, 2), core::InternalError);
    EXPECT_THROW(rng.below(0), core::InternalError);
    EXPECT_EQ(rng.consumed(), 0U);
    EXPECT_EQ(rng.range(10, 20), 10U);
    EXPECT_EQ(rng.range(10, 20), 19U);
    EXPECT_EQ(rng.range(5, 6), 5U);  // a single value still takes its word
    // 2^64 mod 3 == 1: the zero word falls in the biased zone and is redrawn.
    EXPECT_EQ(rng.below(3), 2U);
    EXPECT_EQ(rng.consumed(), 5U);
    EXPECT_THROW(rng.next_u64(), core::InternalError);  // script exhausted
}

TEST(RandomSource, UniformAndBits) {
    ScriptedRandom rng({U(0.5), ~std::uint64_t{0}, (std::uint64_t{1} << 11) - 1, 0b101, 1});
    EXPECT_EQ(rng.uniform(), 0.5);
    EXPECT_EQ(rng.uniform(), 1.0 - 0x1.0p-53);
    EXPECT_EQ(rng.uniform(), 0.0);  // the low 11 bits are ignored
    EXPECT_THROW(ScriptedRandom::word_for_uniform(1.0), core::InternalError);

    // Lowest bit first, 64 bits per word.
    std::vector<bool> bits;
    for (int k = 0; k < 65; ++k) {
        bits.push_back(rng.bit());
    }
    EXPECT_EQ(std::count(bits.begin(), bits.end(), true), 3);
    EXPECT_TRUE(bits[0] && !bits[1] && bits[2] && bits[64]);
    EXPECT_EQ(rng.consumed(), 5U);
}

TEST(RandomSource, BitsInBulkMatchSingleBits) {
    // Any mix of bulk and single draws sees the same bit stream and the same
    // words as single draws only, interleaved with whole words.
    Xoshiro256 plan({9, 8, 7, 6});
    for (int round = 0; round < 200; ++round) {
        Xoshiro256 bulk({static_cast<std::uint64_t>(round) + 1, 2, 3, 4});
        Xoshiro256 single({static_cast<std::uint64_t>(round) + 1, 2, 3, 4});
        for (int step = 0; step < 40; ++step) {
            const std::uint64_t kind = plan.below(4);
            if (kind == 0) {
                ASSERT_EQ(bulk.next_u64(), single.next_u64());
            } else if (kind == 1) {
                ASSERT_EQ(bulk.bit(), single.bit());
            } else {
                const auto count = static_cast<unsigned>(kind == 2 ? 64 - plan.below(3) : 1 + plan.below(64));
                std::uint64_t expected = 0;
                for (unsigned j = 0; j < count; ++j) {
                    expected |= static_cast<std::uint64_t>(single.bit()) << j;
                }
                ASSERT_EQ(bulk.bits(count), expected) << "round " << round << " step " << step;
            }
        }
    }

    // Words are drawn only when the cached bits run out.
    ScriptedRandom rng({0xF0F0, ~std::uint64_t{0}});
    EXPECT_EQ(rng.bits(8), 0xF0U);
    EXPECT_EQ(rng.consumed(), 1U);
    EXPECT_EQ(rng.bits(56), 0xF0U);
    EXPECT_EQ(rng.consumed(), 1U);
    EXPECT_EQ(rng.bits(64), ~std::uint64_t{0});
    EXPECT_EQ(rng.consumed(), 2U);
    EXPECT_THROW(rng.bits(1), core::InternalError);
}

TEST(RandomSource, DrawsUntilBelowMatchSingleDraws) {
    // Counts of any size, limits that stop often, rarely or never, across
    // buffer refills: the same answers and the same words afterwards.
    Xoshiro256 plan({5, 6, 7, 8});
    const std::uint64_t limits[] = {0, 1, std::uint64_t{1} << 48, std::uint64_t{1} << 52, std::uint64_t{1} << 53};
    for (int round = 0; round < 100; ++round) {
        Xoshiro256 bulk({static_cast<std::uint64_t>(round) + 1, 9, 9, 9});
        Xoshiro256 single({static_cast<std::uint64_t>(round) + 1, 9, 9, 9});
        for (int step = 0; step < 30; ++step) {
            const auto count = static_cast<std::size_t>(plan.below(100));
            const std::uint64_t limit = limits[plan.below(5)];
            std::size_t expected = 0;
            while (expected < count && (single.next_u64() >> 11) >= limit) {
                ++expected;
            }
            ASSERT_EQ(bulk.draws_until_below(count, limit), expected) << "round " << round << " step " << step;
            ASSERT_EQ(bulk.next_u64(), single.next_u64());
        }
    }
    // One word at a time from a scripted source; running out is reported.
    ScriptedRandom rng({ScriptedRandom::word_for_uniform(0.5), 0, ScriptedRandom::word_for_uniform(0.25)});
    EXPECT_EQ(rng.draws_until_below(3, 1), 1U);  // stops after the 0, which is drawn
    EXPECT_EQ(rng.consumed(), 2U);
    EXPECT_EQ(rng.draws_until_below(0, 1), 0U);
    EXPECT_EQ(rng.consumed(), 2U);
    EXPECT_THROW(rng.draws_until_below(5, std::uint64_t{1} << 51), core::InternalError);  // 0.25 is not below
}

TEST(Xoshiro256, KnownOutputsAndSeeding) {
    Xoshiro256 rng({1, 2, 3, 4});
    EXPECT_EQ(rng.next_u64(), 41943041U);
    EXPECT_EQ(rng.next_u64(), 58720359U);

    Xoshiro256 zero({0, 0, 0, 0});  // the all-zero state would stay zero
    EXPECT_NE(zero.next_u64() | zero.next_u64(), 0U);
    EXPECT_NE(Xoshiro256x8::from_entropy().next_u64(), Xoshiro256x8::from_entropy().next_u64());
    EXPECT_EQ(&thread_random(), &thread_random());
}

// Every variant of the eight-stream step, and the source built on the
// features in force, give the words of eight single streams interleaved.
TEST(Xoshiro256x8, EveryVariantInterleavesEightIndependentStreams) {
    std::array<std::array<std::uint64_t, 4>, Xoshiro256x8::lanes> seeds{};
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        seeds[k] = {k + 1, 3 * k + 7, k * k, 0x9E3779B97F4A7C15ULL ^ k};
    }
    seeds[5] = {0, 0, 0, 0};  // replaced like a single stream's all-zero seed
    std::vector<kernels::XoshiroStep> variants = {&kernels::xoshiro_x8_reference, &kernels::xoshiro_x8_portable};
#if OVILA_AVX2_VARIANTS
    if (core::detected_features().avx2) variants.push_back(&kernels::xoshiro_x8_avx2);
#endif
    for (const bool avx2 : {false, true}) {
        const core::Features previous = core::set_features({avx2});
        Xoshiro256x8 source(seeds);
        core::set_features(previous);
        std::vector<std::unique_ptr<Xoshiro256>> single;
        for (const auto& seed : seeds) {
            single.push_back(std::make_unique<Xoshiro256>(seed));
        }
        for (std::size_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(source.next_u64(), single[i % Xoshiro256x8::lanes]->next_u64()) << "word " << i;
        }
    }
    for (const kernels::XoshiroStep step : variants) {
        alignas(32) kernels::XoshiroState state{};
        alignas(32) kernels::XoshiroState expected_state{};
        for (std::size_t k = 0; k < seeds.size(); ++k) {
            for (std::size_t j = 0; j < 4; ++j) {
                state[j * Xoshiro256x8::lanes + k] = usable_seed(seeds[k])[j];
            }
        }
        expected_state = state;
        for (const std::size_t steps : {1U, 3U, 4U}) {
            std::vector<std::uint64_t> out(steps * Xoshiro256x8::lanes);
            std::vector<std::uint64_t> expected(out.size());
            step(state.data(), out.data(), steps);
            kernels::xoshiro_x8_reference(expected_state.data(), expected.data(), steps);
            ASSERT_EQ(out, expected) << steps << " steps";
            ASSERT_EQ(state, expected_state);
        }
    }
}

TEST(RandomSequenceGenerator, UniformPermutations) {
    RandomSequenceGenerator generator;
    ScriptedRandom none({});
    EXPECT_TRUE(generator.generate(none, 0).empty());
    EXPECT_EQ(generator.generate(none, 1), Genes{0});

    Xoshiro256 rng({99, 98, 97, 96});
    Genes sorted = generator.generate(rng, 100);
    std::sort(sorted.begin(), sorted.end());
    Genes expected(100);
    std::iota(expected.begin(), expected.end(), Gene{0});
    EXPECT_EQ(sorted, expected);

    std::map<Genes, int> counts;
    for (int k = 0; k < 60000; ++k) {
        ++counts[generator.generate(rng, 3)];
    }
    ASSERT_EQ(counts.size(), 6U);
    for (const auto& [order, count] : counts) {
        EXPECT_NEAR(count / 60000.0, 1.0 / 6.0, 0.01);
    }

    // Every gene equally likely at every position (two indices per word drawn).
    constexpr std::size_t n = 10;
    std::array<std::array<int, n>, n> at{};
    for (int k = 0; k < 50000; ++k) {
        const Genes order = generator.generate(rng, n);
        for (std::size_t p = 0; p < n; ++p) {
            ++at[p][static_cast<std::size_t>(order[p])];
        }
    }
    for (const auto& position : at) {
        for (const int count : position) {
            EXPECT_NEAR(count / 50000.0, 0.1, 0.006);
        }
    }
}

}  // namespace
}  // namespace ovila::genetic
