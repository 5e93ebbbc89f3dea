#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ovila/core/error.hpp"
#include "ovila/genetic/selector.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

using testing::index_word;
using testing::population_of;
using testing::U;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Index chosen by one roulette draw of value u.
std::size_t roulette_pick(const Population& population, double u) {
    RouletteSelector selector;
    selector.prepare(population.chromosomes);
    ScriptedRandom rng({U(u)});
    return static_cast<std::size_t>(&selector.select(rng, population.chromosomes) - population.chromosomes.data());
}

TEST(RouletteSelector, FirstRunningSumReachingTheThreshold) {
    const Population weights = population_of({1, 1, 2});  // sums 1, 2, 4
    EXPECT_EQ(roulette_pick(weights, 0.25), 0U);           // t = 1 equals the first sum
    EXPECT_EQ(roulette_pick(weights, 0.25 + 0x1.0p-53), 1U);
    EXPECT_EQ(roulette_pick(weights, 0.75), 2U);
    EXPECT_EQ(roulette_pick(population_of({0, 0, 0}), 0.75), 0U);
    EXPECT_EQ(roulette_pick(population_of({0, 5}), 0.0), 0U);
    EXPECT_EQ(roulette_pick(population_of({0, 5}), 0x1.0p-53), 1U);

    EXPECT_EQ(roulette_pick(population_of({-1, 3}), 0.0), 1U);      // sums -1, 2; t = 0
    EXPECT_EQ(roulette_pick(population_of({2, -3, 4}), 0.5), 0U);   // sums 2, -1, 3; t = 1.5
    EXPECT_EQ(roulette_pick(population_of({1, kNaN, 1}), 0.5), 2U);  // NaN total: none qualifies
    EXPECT_EQ(roulette_pick(population_of({1, kInf, 1}), 0.0), 2U);  // inf * 0 is NaN
    EXPECT_EQ(roulette_pick(population_of({1, kInf, 1}), 0.5), 1U);

    RouletteSelector selector;
    ScriptedRandom rng({U(0.5)});
    selector.prepare(Population().chromosomes);
    EXPECT_THROW(selector.select(rng, {}), core::InternalError);
    Population unevaluated = population_of({1});
    unevaluated.chromosomes.emplace_back(Genes{1});
    EXPECT_THROW(selector.prepare(unevaluated.chromosomes), core::InternalError);
}

// The binary search used on ordered sums must pick what the scan picks.
TEST(RouletteSelector, SearchMatchesScan) {
    Xoshiro256 rng({8, 6, 7, 5});
    const double specials[] = {0.0, -0.0, 1.0, -1.0, kInf, -kInf, kNaN, 1e300};
    int searched = 0;
    for (int round = 0; round < 3000; ++round) {
        Population p;
        const std::uint64_t n = 1 + rng.below(round % 10 == 9 ? 300 : 12);
        for (std::uint64_t k = 0; k < n; ++k) {
            const double f = round % 3 == 0   ? static_cast<double>(rng.below(4))  // ties
                             : round % 3 == 1 ? rng.uniform() * 10.0 - 2.0         // some negative
                                              : (rng.below(5) == 0 ? specials[rng.below(8)] : rng.uniform());
            p.chromosomes.emplace_back(f, Genes{k});
        }
        RouletteSelector selector;
        selector.prepare(p.chromosomes);
        const std::vector<double>& sums = selector.cumulative();
        bool ordered = !std::isnan(sums[0]);
        for (std::size_t j = 1; j < sums.size(); ++j) {
            ordered = ordered && sums[j] >= sums[j - 1];
        }
        for (int draw = 0; draw < 8; ++draw) {
            const double u = draw == 0 ? 0.0 : draw == 1 ? 1.0 - 0x1.0p-53 : rng.uniform();
            const double t = draw == 2 ? sums[rng.below(n)] : sums.back() * u;
            const std::size_t scanned = roulette_scan(sums, t);
            if (ordered) {
                ASSERT_EQ(roulette_search(sums, t), scanned) << "round " << round;
                ++searched;
            }
            if (draw != 2) {
                ScriptedRandom one({U(u)});
                ASSERT_EQ(&selector.select(one, p.chromosomes), &p.chromosomes[scanned]) << "round " << round;
            }
        }
    }
    EXPECT_GT(searched, 10000);
}

TEST(Selectors, SelectReferencesTargetsAndOrder) {
    const Population p = population_of({1, 2, 3}, 7);
    ScriptedRandom none({});
    for (const SelectorKind kind : {SelectorKind::Roulette, SelectorKind::Random}) {
        EXPECT_TRUE(build_selector(kind)->select_references(none, p, 0).empty());
        EXPECT_TRUE(build_selector(kind)->select_references(none, Population(), std::nullopt).empty());
    }
    EXPECT_EQ(none.consumed(), 0U);
    EXPECT_THROW(RandomSelector().select(none, {}), core::InternalError);

    // Sums 1, 3, 6: u = 0.875, 0, 0.375 pick 2, 0, 1, in draw order.
    ScriptedRandom rng({U(0.875), U(0.0), U(0.375), index_word(1, 3)});
    const std::vector<const Chromosome*> drawn = RouletteSelector().select_references(rng, p, std::nullopt);
    EXPECT_EQ(drawn, (std::vector<const Chromosome*>{&p.chromosomes[2], &p.chromosomes[0], &p.chromosomes[1]}));
    EXPECT_EQ(RandomSelector().select_references(rng, p, 1), std::vector<const Chromosome*>{&p.chromosomes[1]});
}

}  // namespace
}  // namespace ovila::genetic
