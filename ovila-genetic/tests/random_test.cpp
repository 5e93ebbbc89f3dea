#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <thread>

#include "error.hpp"
#include "generator.hpp"
#include "random.hpp"
#include "test_support.hpp"

namespace ovila {
namespace {

using testing::index_word;
using testing::U;

TEST(RandomSource, EmptyRangesAreInternalErrors) {
    ScriptedRandom rng({1, 2, 3});
    EXPECT_THROW(rng.range(3, 3), InternalError);
    EXPECT_THROW(rng.range(5, 2), InternalError);
    EXPECT_THROW(rng.range(0, 0), InternalError);
    EXPECT_THROW(rng.below(0), InternalError);
    EXPECT_EQ(rng.consumed(), 0U);
}

TEST(RandomSource, RangeMapsWordsOntoTheInterval) {
    ScriptedRandom rng({index_word(0, 10), ~std::uint64_t{0}, index_word(4, 7), 12345});
    EXPECT_EQ(rng.range(10, 20), 10U);
    EXPECT_EQ(rng.range(10, 20), 19U);
    EXPECT_EQ(rng.range(100, 107), 104U);
    EXPECT_EQ(rng.range(5, 6), 5U);  // a single value still takes its word
    EXPECT_EQ(rng.consumed(), 4U);
}

TEST(RandomSource, BelowRejectsTheBiasedLowZone) {
    // 2^64 mod 3 == 1: the zero word lands in the rejected zone for n = 3.
    ScriptedRandom rng({0, index_word(2, 3)});
    EXPECT_EQ(rng.below(3), 2U);
    EXPECT_EQ(rng.consumed(), 2U);

    // Powers of two never reject.
    ScriptedRandom pow2({0});
    EXPECT_EQ(pow2.below(8), 0U);
    EXPECT_EQ(pow2.consumed(), 1U);
}

TEST(RandomSource, BelowIsUniform) {
    Xoshiro256 rng({11, 22, 33, 44});
    std::array<int, 6> counts{};
    const int draws = 60000;
    for (int k = 0; k < draws; ++k) {
        ++counts[static_cast<std::size_t>(rng.below(6))];
    }
    for (const int c : counts) {
        EXPECT_NEAR(c / static_cast<double>(draws), 1.0 / 6.0, 0.01);
    }
}

TEST(RandomSource, UniformUsesTheTop53Bits) {
    ScriptedRandom rng({U(0.5), U(0.0), ~std::uint64_t{0}, (std::uint64_t{1} << 11) - 1, std::uint64_t{1} << 11});
    EXPECT_EQ(rng.uniform(), 0.5);
    EXPECT_EQ(rng.uniform(), 0.0);
    EXPECT_EQ(rng.uniform(), 1.0 - 0x1.0p-53);
    EXPECT_EQ(rng.uniform(), 0.0);  // the low 11 bits are ignored
    EXPECT_EQ(rng.uniform(), 0x1.0p-53);
    EXPECT_EQ(ScriptedRandom::word_for_uniform(0.75) >> 11, std::uint64_t{3} << 51);
    EXPECT_THROW(ScriptedRandom::word_for_uniform(1.0), InternalError);
    EXPECT_THROW(ScriptedRandom::word_for_uniform(-0.5), InternalError);
}

TEST(RandomSource, BitsComeLowestFirstSixtyFourPerWord) {
    ScriptedRandom rng({0b101, 1});
    EXPECT_TRUE(rng.bit());
    EXPECT_FALSE(rng.bit());
    EXPECT_TRUE(rng.bit());
    for (int k = 3; k < 64; ++k) {
        EXPECT_FALSE(rng.bit());
    }
    EXPECT_EQ(rng.consumed(), 1U);
    EXPECT_TRUE(rng.bit());
    EXPECT_EQ(rng.consumed(), 2U);
}

TEST(RandomSource, ScriptRunsOutWithAnInternalError) {
    ScriptedRandom rng({7, 8});
    EXPECT_EQ(rng.next_u64(), 7U);
    EXPECT_EQ(rng.consumed(), 1U);
    EXPECT_EQ(rng.next_u64(), 8U);
    EXPECT_THROW(rng.next_u64(), InternalError);
    EXPECT_THROW(rng.uniform(), InternalError);
}

TEST(Xoshiro256, KnownOutputsAndSeeding) {
    // xoshiro256++ from {1, 2, 3, 4}: rotl(1 + 4, 23) + 1, then the reference's second word.
    Xoshiro256 rng({1, 2, 3, 4});
    EXPECT_EQ(rng.next_u64(), 41943041U);
    EXPECT_EQ(rng.next_u64(), 58720359U);

    Xoshiro256 a({5, 6, 7, 8});
    Xoshiro256 b({5, 6, 7, 8});
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(a.next_u64(), b.next_u64());
    }

    // The all-zero state would only ever produce zeros.
    Xoshiro256 zero({0, 0, 0, 0});
    std::uint64_t any = 0;
    for (int k = 0; k < 4; ++k) {
        any |= zero.next_u64();
    }
    EXPECT_NE(any, 0U);

    Xoshiro256 e1 = Xoshiro256::from_entropy();
    Xoshiro256 e2 = Xoshiro256::from_entropy();
    EXPECT_NE(e1.next_u64(), e2.next_u64());
}

TEST(Xoshiro256, ThreadRandomIsPerThread) {
    RandomSource* here = &thread_random();
    EXPECT_EQ(here, &thread_random());
    RandomSource* there = nullptr;
    std::thread worker([&] { there = &thread_random(); });
    worker.join();
    EXPECT_NE(here, there);
}

TEST(RandomSequenceGenerator, SmallLengths) {
    RandomSequenceGenerator generator;
    ScriptedRandom none({});
    EXPECT_TRUE(generator.generate(none, 0).empty());
    EXPECT_EQ(generator.generate(none, 1), Genes{0});

    Xoshiro256 rng({1, 1, 2, 3});
    for (const std::uint64_t n : {2U, 7U, 100U}) {
        Genes genes = generator.generate(rng, n);
        std::sort(genes.begin(), genes.end());
        Genes expected(n);
        std::iota(expected.begin(), expected.end(), Gene{0});
        EXPECT_EQ(genes, expected);
    }
}

TEST(RandomSequenceGenerator, EveryOrderOfThreeIsEquallyLikely) {
    RandomSequenceGenerator generator;
    Xoshiro256 rng({99, 98, 97, 96});
    std::map<Genes, int> counts;
    const int draws = 60000;
    for (int k = 0; k < draws; ++k) {
        ++counts[generator.generate(rng, 3)];
    }
    ASSERT_EQ(counts.size(), 6U);
    for (const auto& [order, count] : counts) {
        EXPECT_NEAR(count / static_cast<double>(draws), 1.0 / 6.0, 0.01);
    }
}

}  // namespace
}  // namespace ovila
