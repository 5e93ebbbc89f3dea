#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "ovila/order/objective.hpp"
#include "support.hpp"

namespace ovila::order {
namespace {

using namespace testing;

std::vector<std::pair<std::int32_t, std::int32_t>> marks_of(const Graph& g) {
    std::vector<std::pair<std::int32_t, std::int32_t>> out;
    for (std::int32_t u = 0; u < g.n; ++u)
        for (std::int32_t v : g.needs_of(u)) out.emplace_back(u, v);
    return out;
}

TEST(Graph, FromPairsSortsRowsAndDropsRepeatsAndSelfMarks) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const Graph reference = random_graph(1 + static_cast<std::int32_t>(seed), 0.3, seed);
        // The same marks shuffled, some twice, with self-marks added.
        std::vector<std::pair<std::int32_t, std::int32_t>> arcs = marks_of(reference);
        const auto extra = arcs;
        arcs.insert(arcs.end(), extra.begin(), extra.begin() + static_cast<std::ptrdiff_t>(extra.size() / 2));
        for (std::int32_t u = 0; u < reference.n; u += 3) arcs.emplace_back(u, u);
        Random rng(seed);
        for (std::size_t i = arcs.size(); i > 1; --i) std::swap(arcs[i - 1], arcs[rng.below(static_cast<std::uint32_t>(i))]);
        std::vector<std::int32_t> rows, cols;
        for (auto [u, v] : arcs) {
            rows.push_back(u);
            cols.push_back(v);
        }
        const Graph g = Graph::from_pairs(reference.n, rows, cols);
        EXPECT_EQ(g.needs_ptr, reference.needs_ptr);
        EXPECT_EQ(g.needs, reference.needs);
        EXPECT_EQ(g.needed_by, reference.needed_by);
        for (std::int32_t u = 0; u < g.n; ++u) EXPECT_TRUE(std::is_sorted(g.needs_of(u).begin(), g.needs_of(u).end()));
        // The reverse rows name each mark's number.
        const auto rows_of = mark_rows(g);
        for (std::size_t i = 0; i < g.needed_by.size(); ++i) {
            EXPECT_EQ(rows_of[static_cast<std::size_t>(g.needed_mark[i])], g.needed_by[i]);
        }
    }
    EXPECT_THROW(Graph::from_pairs(2, std::vector<std::int32_t>{0}, std::vector<std::int32_t>{2}), InputError);
    EXPECT_THROW(Graph::from_pairs(2, std::vector<std::int32_t>{0, 1}, std::vector<std::int32_t>{1}), InputError);
}

TEST(Split, BlocksAfterWhatTheyNeedEarliestItemFirstAndTheirMarks) {
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const std::int32_t n = 1 + static_cast<std::int32_t>(seed % 41);
        const Graph g = random_graph(n, 0.01 + 0.01 * static_cast<double>(seed % 9), seed);
        const Split s = split(g);
        ASSERT_TRUE(is_permutation_of(s.items, n));
        const Blocks reference = condense(g);
        std::vector<std::int32_t> position(static_cast<std::size_t>(n));
        for (std::int32_t i = 0; i < n; ++i) position[s.items[i]] = i;
        for (std::size_t k = 0; k + 1 < s.starts.size(); ++k) {
            // One block of the reference, its items in increasing order.
            for (std::int32_t i = s.starts[k]; i < s.starts[k + 1]; ++i) {
                EXPECT_EQ(s.block_of[s.items[i]], static_cast<std::int32_t>(k));
                EXPECT_EQ(reference.block_of[s.items[i]], reference.block_of[s.items[s.starts[k]]]);
                if (i > s.starts[k]) {
                    EXPECT_LT(s.items[i - 1], s.items[i]);
                }
            }
        }
        EXPECT_EQ(static_cast<std::int32_t>(s.starts.size()) - 1, reference.count);
        // No feedback mark between blocks.
        for (auto [u, v] : marks_of(g)) {
            if (s.block_of[u] != s.block_of[v]) {
                EXPECT_LT(position[v], position[u]);
            }
        }
        // Each next block is the free one (all it needs placed) with the
        // earliest first item.
        std::vector<char> placed(static_cast<std::size_t>(s.starts.size()), 0);
        for (std::size_t k = 0; k + 1 < s.starts.size(); ++k) {
            std::int32_t earliest = n;
            for (std::size_t c = 0; c + 1 < s.starts.size(); ++c) {
                if (placed[c]) continue;
                bool free = true;
                for (std::int32_t i = s.starts[c]; i < s.starts[c + 1] && free; ++i) {
                    for (std::int32_t v : g.needs_of(s.items[i])) {
                        const auto b = static_cast<std::size_t>(s.block_of[v]);
                        if (b != c && !placed[b]) free = false;
                    }
                }
                if (free) earliest = std::min(earliest, s.items[s.starts[c]]);
            }
            EXPECT_EQ(s.items[s.starts[k]], earliest) << "seed " << seed;
            placed[k] = 1;
        }
        // Each block of more than one item with its own marks, renumbered.
        std::size_t big = 0;
        for (std::size_t k = 0; k + 1 < s.starts.size(); ++k) big += s.starts[k + 1] - s.starts[k] > 1;
        ASSERT_EQ(s.graphs.size(), big);
        for (const auto& [k, sub] : s.graphs) {
            const std::int32_t begin = s.starts[k];
            std::set<std::pair<std::int32_t, std::int32_t>> inside, listed;
            for (auto [u, v] : marks_of(g)) {
                if (s.block_of[u] == k && s.block_of[v] == k) inside.emplace(u, v);
            }
            for (auto [u, v] : marks_of(sub)) listed.emplace(s.items[begin + u], s.items[begin + v]);
            EXPECT_EQ(inside, listed);
        }
    }
}

TEST(Block, KeepsTheBestOrderAndTheHighestBoundAcrossThreads) {
    const Graph g = random_graph(60, 0.1, 7);
    Block block(g, Objective::marks);
    EXPECT_EQ(block.cost(), feedback(g, block.best().first));
    EXPECT_THROW(block.offer({0, 1}), InputError);
    EXPECT_FALSE(block.raise_bound(-1));
    std::vector<std::thread> threads;
    for (std::uint64_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint64_t k = 0; k < 50; ++k) {
                block.offer(shuffled(g.n, 100 * t + k));
                block.raise_bound(static_cast<std::int64_t>(k % 7));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::int64_t lowest = feedback(g, block.best().first);
    for (std::uint64_t t = 0; t < 4; ++t)
        for (std::uint64_t k = 0; k < 50; ++k) lowest = std::min(lowest, feedback(g, shuffled(g.n, 100 * t + k)));
    const auto [order, cost] = block.best();
    EXPECT_EQ(cost, lowest);
    EXPECT_EQ(feedback(g, order), cost);
    EXPECT_EQ(block.bound(), 6);
    EXPECT_FALSE(block.done());
    block.stop();
    EXPECT_TRUE(block.done());
}

// The marks of a cycle, as a set, and whether they close a cycle.
bool closes_a_cycle(const Graph& g, const Cycle& cycle) {
    const auto rows = mark_rows(g);
    std::vector<std::int32_t> next(static_cast<std::size_t>(g.n), -1);
    for (std::int32_t k : cycle) {
        if (next[rows[k]] != -1) return false;  // simple: one mark out of each item
        next[rows[k]] = g.needs[k];
    }
    std::int32_t x = rows[cycle[0]];
    for (std::size_t step = 0; step < cycle.size(); ++step) {
        x = next[x];
        if (x < 0) return false;
    }
    return x == rows[cycle[0]];
}

// Whether the marks with kept != 0 hold a cycle through mark k.
bool on_kept_cycle(const Graph& g, const std::vector<std::uint8_t>& kept, std::int32_t k) {
    const auto rows = mark_rows(g);
    std::vector<char> seen(static_cast<std::size_t>(g.n), 0);
    std::vector<std::int32_t> stack{g.needs[k]};
    while (!stack.empty()) {
        const std::int32_t u = stack.back();
        stack.pop_back();
        if (u == rows[k]) return true;
        if (seen[u]) continue;
        seen[u] = 1;
        for (std::int32_t j = g.needs_ptr[u]; j < g.needs_ptr[u + 1]; ++j)
            if (kept[j]) stack.push_back(g.needs[j]);
    }
    return false;
}

TEST(Cycles, ShortCyclesCoverEveryKeptMarkOnACycle) {
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        const Graph g = random_graph(12 + static_cast<std::int32_t>(seed % 10), 0.2, seed);
        Random rng(seed);
        std::vector<std::uint8_t> kept(g.needs.size());
        for (auto& k : kept) k = rng.below(4) != 0;
        const auto cycles = short_cycles(g, kept, 1 << 20);
        std::set<std::int32_t> covered;
        std::set<Cycle> distinct;
        for (const Cycle& c : cycles) {
            ASSERT_TRUE(closes_a_cycle(g, c));
            for (std::int32_t k : c) {
                EXPECT_TRUE(kept[k]);
                covered.insert(k);
            }
            Cycle key = c;
            std::sort(key.begin(), key.end());
            EXPECT_TRUE(distinct.insert(key).second);
        }
        for (std::int32_t k = 0; k < g.marks(); ++k) {
            EXPECT_EQ(covered.count(k) == 1, kept[k] && on_kept_cycle(g, kept, k)) << "seed " << seed << " mark " << k;
        }
        EXPECT_LE(short_cycles(g, kept, 2).size(), 2u);
    }
}

TEST(Cycles, LightCyclesAreViolatedAndFoundWhenAnyIs) {
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        const Graph g = random_graph(10 + static_cast<std::int32_t>(seed % 8), 0.25, seed);
        Random rng(seed);
        std::vector<double> weight(g.needs.size());
        for (auto& w : weight) w = static_cast<double>(rng.below(5)) / 8.0;  // 0 .. 0.5
        const auto cycles = light_cycles(g, weight, 1 << 20);
        for (const Cycle& c : cycles) {
            ASSERT_TRUE(closes_a_cycle(g, c));
            double total = 0;
            for (std::int32_t k : c) total += weight[k];
            EXPECT_LT(total, 1.0);
        }
        // Marks of weight 0 alone: a light cycle exists when they hold a cycle.
        std::vector<std::uint8_t> zero(g.needs.size());
        for (std::size_t k = 0; k < zero.size(); ++k) zero[k] = weight[k] == 0.0;
        if (!short_cycles(g, zero, 1).empty()) {
            EXPECT_FALSE(cycles.empty());
        }
        // Weights of 1 everywhere: nothing is violated.
        EXPECT_TRUE(light_cycles(g, std::vector<double>(g.needs.size(), 1.0), 100).empty());
    }
}

TEST(Cycles, OrderKeepingLeavesOnlyMarksNotKeptWhenTheKeptAreAcyclic) {
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        const Graph g = random_graph(15, 0.2, seed);
        // Keep the marks that an order leaves satisfied: they have no cycle.
        const auto order = shuffled(g.n, seed);
        std::vector<std::int32_t> pos(static_cast<std::size_t>(g.n));
        for (std::int32_t i = 0; i < g.n; ++i) pos[order[i]] = i;
        const auto rows = mark_rows(g);
        std::vector<std::uint8_t> kept(g.needs.size());
        for (std::size_t k = 0; k < kept.size(); ++k) kept[k] = pos[g.needs[k]] < pos[rows[k]];
        const auto keeping = order_keeping(g, kept, Objective::marks);
        ASSERT_TRUE(is_permutation_of(keeping, g.n));
        EXPECT_LE(feedback(g, keeping), feedback(g, order));
    }
}

}  // namespace
}  // namespace ovila::order
