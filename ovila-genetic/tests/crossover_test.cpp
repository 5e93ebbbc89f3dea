#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <optional>
#include <set>
#include <string>

#include "ovila/genetic/crossover.hpp"
#include "ovila/core/error.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

using testing::range_word;
using testing::U;

using Children = std::pair<Genes, Genes>;

Children cross(const Crossover& crossover, std::vector<std::uint64_t> words, const Genes& a, const Genes& b) {
    ScriptedRandom rng(std::move(words));
    return crossover.cross(rng, a, b);
}

TEST(IpxCrossover, KeepsMaskedPositionsAndFillsInTheOtherOrder) {
    const IpxCrossover ipx;
    const Genes a = {0, 1, 2, 3};
    const Genes b = {3, 2, 1, 0};
    EXPECT_EQ(cross(ipx, {0b0101}, a, b), (Children{{0, 3, 2, 1}, {3, 0, 1, 2}}));
    EXPECT_EQ(cross(ipx, {0b1111}, a, b), (Children{a, b}));
    EXPECT_EQ(cross(ipx, {0}, a, b), (Children{b, a}));
    EXPECT_EQ(cross(ipx, {}, {}, {}), Children{});

    // Parents that are not permutations of each other.
    EXPECT_EQ(cross(ipx, {0}, {5, 6, 7}, {5, 5, 5}), (Children{{5, 0, 0}, {5, 6, 7}}));
    EXPECT_EQ(cross(ipx, {0b001}, {0, 1, 2}, {1, 0}), (Children{{0, 1, 0}, {1, 0, 2}}));
    EXPECT_THROW(cross(ipx, {0}, {0, 1}, {2, 3, 4}), core::InternalError);      // no free position left
    EXPECT_THROW(cross(ipx, {0b100}, {0, 1, 2}, {1, 0}), core::InternalError);  // kept beyond the second parent
}

TEST(IpxCrossover, LargeGeneValuesBehaveLikeSmallOnes) {
    // Sparse gene values are tracked in hash sets instead of flat arrays.
    const IpxCrossover ipx;
    auto relabel = [](Genes genes) {
        for (Gene& g : genes) {
            g = g * 0x9E3779B97F4A7C15ULL + (Gene{1} << 62);
        }
        return genes;
    };
    Xoshiro256 rng({12, 34, 56, 78});
    for (int round = 0; round < 100; ++round) {
        const std::size_t n = 2 + static_cast<std::size_t>(rng.below(40));
        Genes a(n);
        std::iota(a.begin(), a.end(), Gene{0});
        Genes b = a;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            std::swap(a[i], a[rng.range(i, n)]);
            std::swap(b[i], b[rng.range(i, n)]);
        }
        const std::uint64_t mask = rng.next_u64();
        const auto [s1, s2] = cross(ipx, {mask}, a, b);
        const auto [l1, l2] = cross(ipx, {mask}, relabel(a), relabel(b));
        ASSERT_EQ(l1, relabel(s1));
        ASSERT_EQ(l2, relabel(s2));
    }
}

// The keep-and-fill crossover written plainly: one bit per position, ordered
// sets for the genes seen. Returns nothing when it fails.
std::optional<Children> ipx_direct(RandomSource& rng, const Genes& a, const Genes& b) {
    Children children{Genes(a.size(), 0), Genes(a.size(), 0)};
    std::vector<bool> keep(a.size(), false);
    std::set<Gene> seen1;
    std::set<Gene> seen2;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (rng.bit()) {
            if (i >= b.size()) {
                return std::nullopt;
            }
            keep[i] = true;
            children.first[i] = a[i];
            children.second[i] = b[i];
            seen1.insert(a[i]);
            seen2.insert(b[i]);
        }
    }
    auto fill = [&](Genes& child, const Genes& donor, std::set<Gene>& seen) {
        std::size_t cursor = 0;
        for (const Gene g : donor) {
            if (!seen.insert(g).second) {
                continue;
            }
            while (cursor < child.size() && keep[cursor]) {
                ++cursor;
            }
            if (cursor == child.size()) {
                return false;
            }
            child[cursor++] = g;
        }
        return true;
    };
    if (!fill(children.first, b, seen1) || !fill(children.second, a, seen2)) {
        return std::nullopt;
    }
    return children;
}

TEST(IpxCrossover, MatchesThePlainAlgorithm) {
    const IpxCrossover ipx;
    Xoshiro256 plan({3, 1, 4, 1});
    Genes old1 = {7, 7, 7};  // reused storage must not leak into the children
    Genes old2;
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = static_cast<std::size_t>(plan.below(round < 2000 ? 20 : 300));
        const std::uint64_t shape = plan.below(4);
        Genes a(n);
        std::iota(a.begin(), a.end(), Gene{0});
        Genes b = a;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            std::swap(a[i], a[plan.range(i, n)]);
            std::swap(b[i], b[plan.range(i, n)]);
        }
        if (shape == 1) {  // repeated and missing genes, values above the length
            for (Gene& g : a) {
                g = plan.below(n + 3);
            }
            for (Gene& g : b) {
                g = plan.below(n + 3);
            }
        } else if (shape >= 2) {  // lengths differ
            const std::size_t cut = static_cast<std::size_t>(plan.below(n + 1));
            (shape == 2 ? a : b).resize(cut);
        }
        // Keep masks from sparse to dense; bulk draws must see the same bits.
        const std::uint64_t density = plan.below(5);
        std::vector<std::uint64_t> words;
        for (int w = 0; w < 8; ++w) {
            std::uint64_t word = plan.next_u64();
            for (std::uint64_t d = 0; d < density; ++d) {
                word = (density < 3) ? (word & plan.next_u64()) : (word | plan.next_u64());
            }
            words.push_back(density == 0 ? 0 : word);
        }
        ScriptedRandom fast_rng(words);
        ScriptedRandom direct_rng(words);
        const std::optional<Children> expected = ipx_direct(direct_rng, a, b);
        if (expected) {
            ipx.cross_into(fast_rng, a, b, old1, old2);
            ASSERT_EQ(old1, expected->first) << "round " << round;
            ASSERT_EQ(old2, expected->second) << "round " << round;
            ASSERT_EQ(cross(ipx, words, a, b), *expected);
        } else {
            // Same failure, same message as with large gene values (tracked in hash sets).
            ++failures;
            std::string message;
            try {
                ipx.cross_into(fast_rng, a, b, old1, old2);
            } catch (const core::InternalError& e) {
                message = e.what();
            }
            Genes large_a = a;
            Genes large_b = b;
            for (Genes* genes : {&large_a, &large_b}) {
                for (Gene& g : *genes) {
                    g += Gene{1} << 62;
                }
            }
            ScriptedRandom sparse_rng(words);
            std::string sparse_message;
            try {
                ipx.cross_into(sparse_rng, large_a, large_b, old1, old2);
            } catch (const core::InternalError& e) {
                sparse_message = e.what();
            }
            ASSERT_FALSE(message.empty()) << "round " << round;
            ASSERT_EQ(message, sparse_message) << "round " << round;
            ASSERT_EQ(sparse_rng.consumed(), direct_rng.consumed()) << "round " << round;
        }
        ASSERT_EQ(fast_rng.consumed(), direct_rng.consumed()) << "round " << round;
    }
    EXPECT_GT(failures, 100);
}

TEST(PointCrossover, CutsOnceBetweenTheEnds) {
    const PointCrossover point;
    EXPECT_EQ(cross(point, {~std::uint64_t{0}}, {0, 1, 2}, {2, 0, 1}), (Children{{0, 0, 1}, {2, 1, 2}}));
    EXPECT_EQ(cross(point, {range_word(2, 1, 3)}, {1, 2, 3, 4, 5}, {6, 7, 8, 9}),
              (Children{{1, 2, 8, 9}, {6, 7, 3, 4, 5}}));
    for (const Genes& short_parent : {Genes{}, Genes{0}, Genes{0, 1}}) {
        EXPECT_THROW(cross(point, {}, short_parent, {0, 1, 2, 3}), core::InternalError);
        EXPECT_THROW(cross(point, {}, {0, 1, 2, 3}, short_parent), core::InternalError);
    }
}

TEST(BlendCrossover, MixesEachPositionAndRefusesOutOfRange) {
    const BlendCrossover blend(0.5);  // gamma = 2u - 0.5
    EXPECT_EQ(cross(blend, {U(0.25), U(0.5), U(0.75)}, {10, 10, 10}, {0, 0, 0}), (Children{{0, 5, 10}, {10, 5, 0}}));
    EXPECT_EQ(cross(blend, {U(0.203125)}, {10}, {0}), (Children{{0}, {10}}));  // 10 * gamma = -0.9375
    for (const double u : {0.0, 0.125, 0.875}) {                               // gamma -0.5, -0.25, 1.25
        EXPECT_THROW(cross(blend, {U(u)}, {10}, {0}), core::InternalError);
    }
    // Draws only up to the shorter length; the rest stays 0.
    EXPECT_EQ(cross(blend, {U(0.5), U(0.5)}, {4, 8, 9, 9}, {2, 4}), (Children{{3, 6, 0, 0}, {3, 6}}));

    const BlendCrossover plain(0.0);
    EXPECT_THROW(cross(plain, {U(0.0)}, {~Gene{0}}, {0}), core::InternalError);  // the double 2^64
    EXPECT_EQ(cross(plain, {U(0.0)}, {Gene{1} << 63}, {7}), (Children{{7}, {Gene{1} << 63}}));
    EXPECT_THROW(cross(BlendCrossover(std::numeric_limits<double>::quiet_NaN()), {U(0.5)}, {1}, {2}), core::InternalError);
}

TEST(SimulatedBinaryCrossover, ContractsBelowHalfAndSpreadsAbove) {
    const SimulatedBinaryCrossover sbx(1.0);                                  // beta = sqrt(base)
    EXPECT_EQ(cross(sbx, {U(0.25)}, {10}, {20}), (Children{{11}, {18}}));     // beta = sqrt(0.5)
    EXPECT_EQ(cross(sbx, {U(0.75)}, {10}, {20}), (Children{{7}, {22}}));      // beta = sqrt(2)
    EXPECT_EQ(cross(sbx, {U(0.5)}, {10, 3}, {20}), (Children{{10, 0}, {20}}));  // beta = 1
    EXPECT_EQ(cross(SimulatedBinaryCrossover(1e6), {U(1.0 - 0x1.0p-20)}, {10}, {20}), (Children{{9}, {20}}));
    EXPECT_THROW(cross(sbx, {U(1.0 - 0x1.0p-20)}, {0}, {10}), core::InternalError);  // beta = 2^9.5
}

// Children are the parents' genes plus 100; no draws of its own.
class TagCrossover final : public Crossover {
public:
    std::pair<Genes, Genes> cross(RandomSource&, std::span<const Gene> a, std::span<const Gene> b) const override {
        return {Genes{a[0] + 100}, Genes{b[0] + 100}};
    }
};

std::vector<Chromosome> parents(std::size_t count) {
    std::vector<Chromosome> result;
    for (std::size_t k = 0; k < count; ++k) {
        result.emplace_back(static_cast<double>(k) + 0.5, Genes{k});
    }
    return result;
}

// First genes of the result, with fitness checked: children have none,
// copies keep their parent's.
std::vector<Gene> bred(ScriptedRandom& rng, std::vector<Chromosome> from, std::optional<std::uint64_t> target,
                       double p) {
    std::vector<const Chromosome*> references;
    for (const Chromosome& c : from) {
        references.push_back(&c);
    }
    const std::vector<Chromosome> result = TagCrossover().crossover_population(rng, references, target, p);
    std::vector<Gene> genes;
    for (const Chromosome& c : result) {
        const Gene g = c.genes.at(0);
        EXPECT_EQ(c.fitness, g >= 100 ? std::nullopt : std::optional<double>(static_cast<double>(g) + 0.5));
        genes.push_back(g);
    }
    return genes;
}

TEST(CrossoverPopulation, PairsNeighboursAndWraps) {
    ScriptedRandom all({U(0.5), U(0.99)});
    EXPECT_EQ(bred(all, parents(4), std::nullopt, 1.0), (std::vector<Gene>{100, 101, 102, 103}));
    EXPECT_EQ(all.consumed(), 2U);
    ScriptedRandom none({U(0x1.0p-53), U(0.5)});
    EXPECT_EQ(bred(none, parents(4), std::nullopt, 0.0), (std::vector<Gene>{0, 1, 2, 3}));
    ScriptedRandom equal({U(0.5), U(0.5 + 0x1.0p-53)});  // u == p crosses
    EXPECT_EQ(bred(equal, parents(4), 4, 0.5), (std::vector<Gene>{100, 101, 2, 3}));

    // Five parents, target 5: pairs (0,1), (2,3), (0,1); parent 4 never used.
    ScriptedRandom five({U(0.875), U(0.125), U(0.125)});
    EXPECT_EQ(bred(five, parents(5), 5, 0.5), (std::vector<Gene>{0, 1, 102, 103, 100, 101}));
    EXPECT_EQ(five.consumed(), 3U);

    ScriptedRandom empty({});
    EXPECT_TRUE(bred(empty, parents(4), 0, 1.0).empty());
    EXPECT_TRUE(bred(empty, parents(0), std::nullopt, 1.0).empty());
    EXPECT_EQ(empty.consumed(), 0U);
    EXPECT_THROW(bred(empty, parents(1), std::nullopt, 1.0), core::InternalError);
    EXPECT_THROW(bred(empty, parents(0), 2, 1.0), core::InternalError);
    EXPECT_THROW(bred(empty, parents(1), 1, 1.0), core::InternalError);
}

TEST(BuildCrossover, BareParametrisedKindsAreRefused) {
    for (const CrossoverKind kind : {CrossoverKind::Blend, CrossoverKind::SimulatedBinary}) {
        try {
            build_crossover(kind);
            ADD_FAILURE() << "accepted";
        } catch (const core::ConfigError& e) {
            EXPECT_STREQ(e.what(), "unrecognized crossover options");
        }
    }
    EXPECT_NE(dynamic_cast<PointCrossover*>(build_crossover(CrossoverKind::Point).get()), nullptr);
}

}  // namespace
}  // namespace ovila::genetic
