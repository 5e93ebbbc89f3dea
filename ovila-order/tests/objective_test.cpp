#include <gtest/gtest.h>

#include <thread>

#include "ovila/order/objective.hpp"
#include "support.hpp"

namespace ovila::order {
namespace {

using namespace testing;

// The same marks with random weights from 1 to 9.
Graph weighted(const Graph& g, std::uint64_t seed) {
    Random rng(seed);
    std::vector<std::int32_t> rows, cols;
    std::vector<std::int64_t> weights;
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t v : g.needs_of(u)) {
            rows.push_back(u);
            cols.push_back(v);
            weights.push_back(1 + rng.below(9));
        }
    }
    return Graph::from_pairs(g.n, rows, cols, weights);
}

std::vector<std::int32_t> moved(std::vector<std::int32_t> order, std::int32_t p, std::int32_t q) {
    const std::int32_t v = order[p];
    order.erase(order.begin() + p);
    order.insert(order.begin() + q, v);
    return order;
}

Score brute_force_score(const Graph& g, Objective objective) {
    std::vector<std::int32_t> order(static_cast<std::size_t>(g.n));
    std::iota(order.begin(), order.end(), 0);
    Score best = score_of(g, order, objective);
    while (std::next_permutation(order.begin(), order.end())) best = std::min(best, score_of(g, order, objective));
    return best;
}

TEST(Distance, SweepMatchesRecountForEveryMove) {
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        const Graph g = random_graph(3 + static_cast<std::int32_t>(seed % 12), 0.3, seed);
        const auto order = shuffled(g.n, seed + 7);
        std::vector<std::int32_t> pos(static_cast<std::size_t>(g.n));
        for (std::int32_t i = 0; i < g.n; ++i) pos[order[i]] = i;
        const DistanceSweep sweep(g);
        const std::int64_t before = total_distance(g, order);
        std::vector<std::int64_t> out;
        for (std::int32_t p = 0; p < g.n; ++p) {
            sweep.sweep(order, pos, p, 0, g.n - 1, out);
            for (std::int32_t q = 0; q < g.n; ++q) {
                const std::int64_t expected = total_distance(g, moved(order, p, q)) - before;
                ASSERT_EQ(out[q], expected) << "seed " << seed << " p " << p << " q " << q;
                ASSERT_EQ(sweep.delta(order, pos, p, q), expected);
            }
        }
    }
}

TEST(Weights, RepeatsAddUpAndMovesMatchRecount) {
    const Graph twice = Graph::from_pairs(3, std::vector<std::int32_t>{0, 0, 1, 2}, std::vector<std::int32_t>{1, 1, 2, 2},
                                          std::vector<std::int64_t>{2, 3, 4, 9});
    EXPECT_EQ(twice.weight, (std::vector<std::int64_t>{5, 4}));
    EXPECT_THROW(Graph::from_pairs(2, std::vector<std::int32_t>{0}, std::vector<std::int32_t>{1}, std::vector<std::int64_t>{0}),
                 InputError);
    for (bool dense : {true, false}) {
        for (std::uint64_t seed = 0; seed < 8; ++seed) {
            const Graph g = weighted(random_graph(20, 0.25, seed), seed);
            WeightArrangement a(g, shuffled(g.n, seed), dense);
            Random rng(seed + 50);
            std::vector<std::int64_t> all;
            for (int step = 0; step < 100; ++step) {
                const auto v = static_cast<std::int32_t>(rng.below(static_cast<std::uint32_t>(g.n)));
                const auto to = static_cast<std::int32_t>(rng.below(static_cast<std::uint32_t>(g.n)));
                const std::int64_t d = a.delta_to(v, to);
                ASSERT_EQ(d, total_weight(g, moved(a.order(), a.position(v), to)) - a.cost());
                a.deltas(v, 0, g.n - 1, all);
                ASSERT_EQ(all[to], d);
                const auto best = a.best_move(v);
                ASSERT_EQ(best.delta, std::min<std::int64_t>(0, *std::min_element(all.begin(), all.end())));
                a.move(v, to, d);
                ASSERT_EQ(a.cost(), total_weight(g, a.order()));
            }
        }
    }
}

TEST(ExactByScore, MatchesBruteForceForEveryObjective) {
    std::uint64_t seed = 0;
    for (const Case c : small_cases) {
        for (int k = 0; k < 3; ++k, ++seed) {
            const Graph plain = random_graph(c.n, c.density, seed);
            const Graph heavy = weighted(plain, seed);
            for (Objective objective : {Objective::marks, Objective::weight, Objective::distance}) {
                const Graph& g = objective == Objective::weight ? heavy : plain;
                const Score best = brute_force_score(g, objective);
                const auto broken = exact_by(g, objective, true, always);
                ASSERT_TRUE(broken.has_value());
                EXPECT_TRUE(is_permutation_of(broken->order, g.n));
                EXPECT_EQ(score_of(g, broken->order, objective), best) << "seed " << seed;
                EXPECT_EQ(broken->score, best);
                const auto plain_found = exact_by(g, objective, false, always);
                EXPECT_EQ(cost_of(g, plain_found->order, objective), best.objective);
            }
        }
    }
    EXPECT_EQ(exact_by(random_graph(12, 0.3, 1), Objective::marks, true, [](std::int64_t) { return false; }), std::nullopt);
}

TEST(Polish, NeverWorseAndNoSingleMoveImprovesItsScore) {
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        const Graph plain = random_graph(14, 0.2, seed);
        const Graph heavy = weighted(plain, seed);
        for (Objective objective : {Objective::marks, Objective::weight, Objective::distance}) {
            const Graph& g = objective == Objective::weight ? heavy : plain;
            auto order = shuffled(g.n, seed);
            const Score before = score_of(g, order, objective);
            ASSERT_TRUE(polish(g, objective, order));
            const Score after = score_of(g, order, objective);
            EXPECT_LE(after, before);
            for (std::int32_t p = 0; p < g.n; ++p)
                for (std::int32_t q = 0; q < g.n; ++q) ASSERT_GE(score_of(g, moved(order, p, q), objective), after);
        }
    }
}

TEST(Search, EveryObjectiveReachesAKnownOptimumGivenAsBound) {
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
        const Graph plain = random_graph(14, 0.25, seed);
        const Graph heavy = weighted(plain, seed);
        for (Objective objective : {Objective::weight, Objective::distance}) {
            const Graph& g = objective == Objective::weight ? heavy : plain;
            const auto best = exact_by(g, objective, false, always);
            Block block(g, objective);
            block.raise_bound(cost_of(g, best->order, objective));
            ImproveOptions options;
            options.seed = seed;
            options.max_stale = 1000000;
            const Improved found = improve(block, options, always);
            EXPECT_EQ(found.ended, Ended::bound);
            EXPECT_EQ(found.cost, cost_of(g, found.order, objective));
            EXPECT_EQ(block.cost(), found.cost);
        }
    }
}

TEST(CycleBound, WeightedNeverExceedsTheLeastWeight) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const Graph g = weighted(random_graph(7, 0.4, seed), seed);
        EXPECT_LE(cycle_bound(g, true), brute_force_score(g, Objective::weight).objective);
    }
}

TEST(Lead, ReadsTheSameOrderWhateverTheTimingAndEndsWhenStopped) {
    const Graph g = random_graph(40, 0.15, 3);
    std::vector<std::vector<std::int32_t>> read;
    for (int run = 0; run < 2; ++run) {
        Block block(g, Objective::marks);
        ImproveOptions options;
        options.seed = 5;
        options.max_stale = 20;
        options.lead = true;
        // The reader asks for rounds far apart in time on the two runs.
        std::vector<std::int32_t> seen;
        std::thread reader([&] {
            if (run == 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const auto at = block.lead_at(3);
            ASSERT_TRUE(at.has_value());
            seen = at->first;
        });
        const Improved found = improve(block, options, always);
        block.lead_end();
        reader.join();
        EXPECT_GE(found.rounds, 1);
        read.push_back(seen);
    }
    EXPECT_EQ(read[0], read[1]);
    // What a reader has passed is let go: the lead's record does not grow
    // with the rounds read.
    Block record(g, Objective::marks);
    record.lead_start(shuffled(g.n, 1), 100);
    for (std::int64_t round = 1; round <= 50; ++round) record.lead_round(round, shuffled(g.n, static_cast<std::uint64_t>(round)), 100 - round);
    EXPECT_EQ(record.lead_kept(), 51u);
    const auto at = record.lead_at(30);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(at->second, 70);
    EXPECT_EQ(at->first, shuffled(g.n, 30));
    EXPECT_EQ(record.lead_kept(), 21u);
    EXPECT_EQ(record.lead_at(30)->second, 70);  // asked again: the same answer
    EXPECT_EQ(record.lead_at(49)->second, 51);
    EXPECT_EQ(record.lead_kept(), 2u);
    // A reader waiting for rounds that never come is let go by stop().
    Block idle(g, Objective::marks);
    idle.lead_start(shuffled(g.n, 1), 0);
    std::thread waiter([&] { EXPECT_EQ(idle.lead_at(10), std::nullopt); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    idle.stop();
    waiter.join();
}

}  // namespace
}  // namespace ovila::order
