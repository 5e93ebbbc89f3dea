#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ovila/core/error.hpp"
#include "ovila/genetic/simple.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

using testing::range_word;
using testing::U;

Genes mutated(double p_swap, Genes genes, std::vector<std::uint64_t> words, std::size_t draws) {
    ScriptedRandom rng(std::move(words));
    SwapMutator(p_swap).mutate(rng, genes);
    EXPECT_EQ(rng.consumed(), draws);
    return genes;
}

TEST(SwapMutator, ScriptedSwaps) {
    // j = 1 draws k = 1 and skips itself to 2; j = 2 draws k = 0; swaps see earlier ones.
    EXPECT_EQ(mutated(0.5, {10, 11, 12, 13}, {U(0.75), U(0.5), range_word(1, 0, 3), U(0.25), range_word(0, 0, 3), U(0.875)}, 6),
              (Genes{11, 12, 10, 13}));
    EXPECT_EQ(mutated(1.0, {}, {}, 0), Genes{});
    EXPECT_EQ(mutated(0.5, {4}, {U(0.75)}, 1), Genes{4});
    EXPECT_THROW(mutated(1.0, {4}, {U(0.0), 0}, 1), core::InternalError);  // no partner for a lone gene
    EXPECT_EQ(mutated(1.0, {1, 2}, {U(0.5), 0, U(0.5), 0}, 4), (Genes{1, 2}));  // swaps there and back
    for (const double p : {std::numeric_limits<double>::quiet_NaN(), -1.0}) {
        EXPECT_EQ(mutated(p, {0, 1, 2}, {U(0.0), U(0.0), U(0.0)}, 3), (Genes{0, 1, 2}));
    }
}

Population numbered(std::size_t count) {
    Population p;
    p.generation = 9;
    for (std::size_t k = 0; k < count; ++k) {
        p.chromosomes.emplace_back(static_cast<double>(k), Genes{k, k + 10});
    }
    return p;
}

// The integer test must agree with uniform() <= p for every draw.
TEST(SwapMutator, IntegerLimitMatchesTheUniformTest) {
    Xoshiro256 rng({4, 4, 2, 1});
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> probabilities = {0.0, -0.0, 1.0, -1.0, 0.5, 0.05, 0x1.0p-53, 0x1.8p-53, 0x1.0p-60,
                                         1.0 - 0x1.0p-53, 1.5, inf, -inf, std::numeric_limits<double>::quiet_NaN()};
    for (int k = 0; k < 200; ++k) {
        probabilities.push_back(rng.uniform());
        probabilities.push_back(std::ldexp(rng.uniform(), -static_cast<int>(rng.below(80))));
    }
    for (const double p : probabilities) {
        const std::uint64_t limit = swap_limit(p);
        std::vector<std::uint64_t> draws = {0, 1, (std::uint64_t{1} << 53) - 1};
        for (std::uint64_t d = 0; d < 4; ++d) {
            draws.push_back(limit + d >= 2 ? limit + d - 2 : d);
            draws.push_back(rng.next_u64() >> 11);
        }
        for (const std::uint64_t k : draws) {
            if (k >= (std::uint64_t{1} << 53)) {
                continue;
            }
            ScriptedRandom one({k << 11});
            ASSERT_EQ(k < limit, one.uniform() <= p) << "p=" << p << " k=" << k;
        }
    }
}

TEST(MutatePopulation, TargetsWrappingAndFitness) {
    const SwapMutator swap(1.0);
    ScriptedRandom none({});
    EXPECT_TRUE(mutate_population(swap, none, numbered(3), 0, 1.0).chromosomes.empty());
    EXPECT_TRUE(mutate_population(swap, none, numbered(0), std::nullopt, 1.0).chromosomes.empty());
    EXPECT_EQ(none.consumed(), 0U);
    EXPECT_THROW(mutate_population(swap, none, numbered(0), 3, 1.0), core::InternalError);

    ScriptedRandom five({U(0.5), U(0.5), U(0.5), U(0.5), U(0.5)});
    const Population wrapped = mutate_population(swap, five, numbered(2), 5, 0.0);
    EXPECT_EQ(wrapped.generation, 0U);
    ASSERT_EQ(wrapped.chromosomes.size(), 5U);
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(wrapped.chromosomes[k].genes, (Genes{k % 2, k % 2 + 10}));
        EXPECT_EQ(wrapped.chromosomes[k].fitness, static_cast<double>(k % 2));
    }

    // Chromosome 0: u, then its two cancelling swaps; u == p_mutation spares chromosome 1.
    ScriptedRandom rng({U(0.25), U(0.0), 0, U(0.0), 0, U(0.5)});
    const Population result = mutate_population(swap, rng, numbered(3), 2, 0.5);
    EXPECT_EQ(rng.consumed(), 6U);
    ASSERT_EQ(result.chromosomes.size(), 2U);
    EXPECT_FALSE(result.chromosomes[0].fitness.has_value());
    EXPECT_EQ(result.chromosomes[0].genes, (Genes{0, 10}));
    EXPECT_EQ(result.chromosomes[1].fitness, 1.0);
}

}  // namespace
}  // namespace ovila::genetic
