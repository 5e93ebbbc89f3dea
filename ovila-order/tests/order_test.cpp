#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "ovila/order/objective.hpp"
#include "support.hpp"

namespace ovila::order {
namespace {

using namespace testing;

TEST(Graph, SelfMarksAndDuplicatesAreDroppedAndBadRowsRefused) {
    const std::vector<std::int32_t> indptr{0, 4, 4, 5}, indices{1, 1, 0, 2, 0};
    const Graph g = Graph::from_rows(3, indptr, indices);
    EXPECT_EQ(g.marks(), 3);
    EXPECT_EQ(std::vector<std::int32_t>(g.needed_by_of(0).begin(), g.needed_by_of(0).end()), std::vector<std::int32_t>{2});

    const std::vector<std::int32_t> short_ptr{0, 1}, decreasing{0, 2, 1, 2}, out_of_range{3, 0};
    EXPECT_THROW(Graph::from_rows(3, short_ptr, indices), InputError);
    EXPECT_THROW(Graph::from_rows(3, decreasing, std::vector<std::int32_t>{1, 2}), InputError);
    EXPECT_THROW(Graph::from_rows(2, std::vector<std::int32_t>{0, 1, 2}, out_of_range), InputError);
    EXPECT_THROW(Graph::from_rows(1, std::vector<std::int32_t>{0, 2}, indices), InputError);
    EXPECT_THROW(check_order(3, std::vector<std::int32_t>{0, 1, 1}), InputError);
    EXPECT_THROW(check_order(3, std::vector<std::int32_t>{0, 1}), InputError);
    EXPECT_THROW(check_order(2, std::vector<std::int32_t>{0, 2}), InputError);
}

TEST(Condense, MatchesMutualReachabilityAndPutsNeedsFirst) {
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        const std::int32_t n = 1 + static_cast<std::int32_t>(seed % 23);
        const Graph g = random_graph(n, 0.03 + 0.01 * static_cast<double>(seed % 9), seed);
        std::vector<std::vector<char>> reach(n, std::vector<char>(n, 0));
        for (std::int32_t u = 0; u < n; ++u) {
            reach[u][u] = 1;
            for (std::int32_t v : g.needs_of(u)) reach[u][v] = 1;
        }
        for (std::int32_t k = 0; k < n; ++k)
            for (std::int32_t i = 0; i < n; ++i)
                for (std::int32_t j = 0; j < n; ++j)
                    if (reach[i][k] && reach[k][j]) reach[i][j] = 1;
        const Blocks b = condense(g);
        for (std::int32_t u = 0; u < n; ++u) {
            ASSERT_GE(b.block_of[u], 0);
            ASSERT_LT(b.block_of[u], b.count);
            for (std::int32_t v = 0; v < n; ++v) {
                EXPECT_EQ(b.block_of[u] == b.block_of[v], reach[u][v] && reach[v][u]) << "seed " << seed;
            }
            for (std::int32_t v : g.needs_of(u)) EXPECT_LE(b.block_of[v], b.block_of[u]);
        }
    }
}

TEST(Condense, DeepChainAndLongCycleNeedNoRecursion) {
    const std::int32_t n = 300000;
    std::vector<std::pair<std::int32_t, std::int32_t>> arcs;
    for (std::int32_t u = 0; u + 1 < n; ++u) arcs.emplace_back(u, u + 1);
    EXPECT_EQ(condense(graph_of(n, arcs)).count, n);
    arcs.emplace_back(n - 1, 0);
    const Graph cycle = graph_of(n, arcs);
    EXPECT_EQ(condense(cycle).count, 1);
    EXPECT_EQ(cycle_bound(cycle), 1);
}

TEST(Greedy, GivesAPermutationAndNoFeedbackWithoutCycles) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const Graph g = random_graph(30, 0.15, seed);
        EXPECT_TRUE(is_permutation_of(greedy(g), g.n));
        // Keep only marks from a higher to a lower index: no cycle is left.
        std::vector<std::pair<std::int32_t, std::int32_t>> arcs;
        for (std::int32_t u = 0; u < g.n; ++u)
            for (std::int32_t v : g.needs_of(u))
                if (v < u) arcs.emplace_back(u, v);
        const Graph acyclic = graph_of(g.n, arcs);
        EXPECT_EQ(feedback(acyclic, greedy(acyclic)), 0);
    }
}

TEST(Moves, IncrementalCostMatchesFullRecount) {
    for (bool dense : {true, false}) {
        for (std::uint64_t seed = 0; seed < 10; ++seed) {
            const Graph g = random_graph(25, 0.25, seed);
            Arrangement a(g, shuffled(g.n, seed), dense);
            Random rng(seed + 100);
            for (int step = 0; step < 200; ++step) {
                const auto v = static_cast<std::int32_t>(rng.below(static_cast<std::uint32_t>(g.n)));
                const auto to = static_cast<std::int32_t>(rng.below(static_cast<std::uint32_t>(g.n)));
                std::vector<std::int32_t> pos(static_cast<std::size_t>(g.n));
                for (std::int32_t i = 0; i < g.n; ++i) pos[a.item(i)] = i;
                const std::int64_t d = a.delta_to(v, to);
                ASSERT_EQ(d, move_delta(g, a.order(), pos, a.position(v), to));
                // The best move is the best of all positions.
                const auto best = a.best_move(v);
                std::int64_t lowest = 0;
                for (std::int32_t q = 0; q < g.n; ++q) lowest = std::min(lowest, a.delta_to(v, q));
                ASSERT_EQ(best.delta, lowest);
                ASSERT_EQ(a.delta_to(v, best.to), best.delta);
                a.move(v, to, d);
                ASSERT_EQ(a.cost(), feedback(g, a.order())) << (dense ? "dense" : "sparse") << " seed " << seed;
            }
        }
    }
}

TEST(Exact, MatchesBruteForce) {
    std::uint64_t seed = 0;
    for (const Case c : small_cases) {
        for (int k = 0; k < 4; ++k, ++seed) {
            const Graph g = random_graph(c.n, c.density, seed);
            const auto result = exact(g, [](std::int64_t) { return true; });
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(result->cost, brute_force_optimum(g));
            EXPECT_TRUE(is_permutation_of(result->order, g.n));
            EXPECT_EQ(feedback(g, result->order), result->cost);
        }
    }
    EXPECT_EQ(exact(random_graph(12, 0.3, 1), [](std::int64_t) { return false; }), std::nullopt);
    EXPECT_THROW(exact(random_graph(exact_limit + 1, 0.1, 1), [](std::int64_t) { return true; }), InputError);
}

TEST(CycleBound, NeverExceedsTheOptimum) {
    std::uint64_t seed = 0;
    for (const Case c : small_cases) {
        for (int k = 0; k < 4; ++k, ++seed) {
            const Graph g = random_graph(c.n, c.density, seed);
            EXPECT_LE(cycle_bound(g), brute_force_optimum(g)) << "seed " << seed;
        }
    }
    for (std::uint64_t s = 0; s < 10; ++s) {
        const Graph g = random_graph(16, 0.2, s);
        EXPECT_LE(cycle_bound(g), exact(g, [](std::int64_t) { return true; })->cost);
    }
    // Disjoint 2-cycles and triangles: the bound is their number.
    const Graph g = graph_of(8, {{0, 1}, {1, 0}, {2, 3}, {3, 2}, {4, 5}, {5, 6}, {6, 4}, {7, 4}});
    EXPECT_EQ(cycle_bound(g), 3);
}

TEST(Search, NeverWorseThanItsStartAndReproducible) {
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        const std::int32_t n = 10 + static_cast<std::int32_t>(seed * 7);
        const Graph g = random_graph(n, 0.1 + 0.02 * static_cast<double>(seed % 4), seed);
        const auto start = shuffled(n, seed);
        const auto sifted = sift(g, start);
        EXPECT_TRUE(is_permutation_of(sifted, n));
        EXPECT_LE(feedback(g, sifted), feedback(g, start));
        for (std::int32_t v = 0; v < n; ++v) {  // a local optimum
            EXPECT_EQ(Arrangement(g, sifted).best_move(v).delta, 0);
        }
        ImproveOptions options;
        options.seed = seed;
        options.max_stale = 3;
        options.sweeps = 50;
        for (bool anneal : {true, false}) {
            options.anneal = anneal;
            std::vector<std::vector<std::int32_t>> orders;
            for (int run = 0; run < 2; ++run) {
                Block block(g, Objective::marks);
                block.offer(sifted);
                const Ended ended = improve(block, options, always).ended;
                const auto [order, cost] = block.best();
                EXPECT_TRUE(is_permutation_of(order, n));
                EXPECT_EQ(cost, feedback(g, order));
                EXPECT_LE(cost, feedback(g, sifted));
                EXPECT_NE(ended, Ended::stopped);
                orders.push_back(order);
            }
            EXPECT_EQ(orders[0], orders[1]);
        }
        // Stopped at once: it says so unless the first descent already met
        // the bound, and keeps an order no worse than its start.
        Block block(g, Objective::marks);
        block.offer(start);
        const Ended ended = improve(block, options, [](std::int64_t) { return false; }).ended;
        EXPECT_TRUE(ended == Ended::stopped || block.cost() == 0);
        EXPECT_LE(block.cost(), feedback(g, start));
    }
}

TEST(Search, EndsAtOnceWhenTheBlockMeetsItsBound) {
    for (std::uint64_t seed = 0; seed < 10; ++seed) {
        const Graph g = random_graph(14, 0.25, seed);
        const auto best = exact(g, always);
        ImproveOptions options;
        options.seed = seed;
        options.max_stale = 1000000;
        for (bool anneal : {true, false}) {
            options.anneal = anneal;
            // The search alone reaches a known optimum given as the bound.
            Block block(g, Objective::marks);
            block.raise_bound(best->cost);
            EXPECT_EQ(improve(block, options, always).ended, Ended::bound);
            EXPECT_EQ(block.cost(), best->cost);
            // Adopting, another party's optimal order ends it after at most
            // a round: the poll hands the order over once the search started.
            Block shared(g, Objective::marks);
            shared.raise_bound(best->cost);
            int polls = 0;
            ImproveOptions adopting = options;
            adopting.adopt = true;
            const Improved found = improve(shared, adopting, [&](std::int64_t) {
                if (++polls == 1) shared.offer(best->order);
                return polls < 1000000;
            });
            EXPECT_EQ(found.ended, Ended::bound);
            EXPECT_EQ(found.cost, best->cost);
            EXPECT_EQ(shared.cost(), best->cost);
        }
    }
}

}  // namespace
}  // namespace ovila::order
