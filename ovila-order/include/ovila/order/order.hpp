// Ordering the items of a dependency graph with as few feedback marks as
// possible (a mark "u needs v" is a feedback mark when u comes before v).
//
// Every routine takes a Graph: the "needs" relation in both directions as
// compressed rows, self-marks dropped and duplicates collapsed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "ovila/core/error.hpp"

namespace ovila::order {

// A refused input (bad sizes, indices out of range, not a permutation): a
// refusal of the caller's input like any other (ValueError in Python).
class InputError : public core::ConfigError {
public:
    using core::ConfigError::ConfigError;
};

// Marks are numbered by their place in `needs` (row by row, each row sorted):
// mark k is "u needs needs[k]" for the row u holding k.
struct Graph {
    std::int32_t n = 0;
    std::vector<std::int32_t> needs_ptr, needs;          // row u: the items u needs
    std::vector<std::int32_t> needed_ptr, needed_by;     // row v: the items that need v
    std::vector<std::int32_t> needed_mark;               // the mark number of each needed_by entry
    std::vector<std::int64_t> weight;                    // of each mark (empty: every mark weighs 1)

    std::int64_t marks() const { return static_cast<std::int64_t>(needs.size()); }
    std::span<const std::int32_t> needs_of(std::int32_t u) const {
        return {needs.data() + needs_ptr[u], needs.data() + needs_ptr[u + 1]};
    }
    std::span<const std::int32_t> needed_by_of(std::int32_t v) const {
        return {needed_by.data() + needed_ptr[v], needed_by.data() + needed_ptr[v + 1]};
    }

    // From compressed rows (row u lists what u needs) with their weights
    // (none: every mark weighs 1); validates the arrays.
    static Graph from_rows(std::int32_t n, std::span<const std::int32_t> indptr,
                           std::span<const std::int32_t> indices, std::span<const std::int64_t> weights = {});
    // From marks "rows[k] needs cols[k]" in any order, with their weights
    // (none: every mark weighs 1); self-marks dropped, the weights of a
    // repeated mark added up. Linear time: two counting passes.
    static Graph from_pairs(std::int32_t n, std::span<const std::int32_t> rows, std::span<const std::int32_t> cols,
                            std::span<const std::int64_t> weights = {});
};

// Throws InputError unless `order` is a permutation of 0..n-1.
void check_order(std::int32_t n, std::span<const std::int32_t> order);

// Number of feedback marks of an order.
std::int64_t feedback(const Graph& g, std::span<const std::int32_t> order);

// Strongly connected blocks, numbered so that a mark "u needs v" between two
// blocks has block_of[v] < block_of[u]. Iterative, linear time.
struct Blocks {
    std::vector<std::int32_t> block_of;
    std::int32_t count = 0;
};
Blocks condense(const Graph& g);

// The blocks in the order a sequencing lists them: a block comes after every
// block it needs, and among the blocks free to come next the one holding the
// earliest item goes first (so an acyclic matrix already in a good order
// keeps it). Items of a block are listed in increasing index order.
// `graphs` holds the marks inside each block of more than one item, its
// items renumbered in the order listed.
struct Split {
    std::vector<std::int32_t> items;   // every item, block by block
    std::vector<std::int32_t> starts;  // block k: items[starts[k]] .. items[starts[k + 1] - 1]
    std::vector<std::int32_t> block_of;
    std::vector<std::pair<std::int32_t, Graph>> graphs;  // (block number, its marks)
};
Split split(const Graph& g);

// Called now and then with the best cost so far (-1 when there is none);
// returning false stops.
using Poll = std::function<bool(std::int64_t best)>;

// Eades, Lin & Smyth greedy order, O(n + m). When `poll` (asked after every
// few thousand items) stops it, the items not placed yet go in the middle.
std::vector<std::int32_t> greedy(const Graph& g, const Poll& poll = {});

// Plain insertion local search: every item in turn goes to its best position
// while some move lowers the count.
std::vector<std::int32_t> sift(const Graph& g, std::vector<std::int32_t> order);

// Optimal order by dynamic programming over subsets (n <= 25); nullopt when
// `poll` stopped it. For the objectives and the tie-break, see exact_by.
struct Exact {
    std::vector<std::int32_t> order;
    std::int64_t cost = 0;
};
inline constexpr std::int32_t exact_limit = 25;
std::optional<Exact> exact(const Graph& g, const Poll& poll);

// Lower bound: a greedy packing of arc-disjoint cycles, short ones first
// (`weighted`: a bound on the total weight of the feedback marks, each
// cycle taking its lightest mark's weight). When `poll` stops it, the
// cycles packed so far (still a valid bound); `poll` is asked after every
// few thousand marks looked at.
std::int64_t cycle_bound(const Graph& g, bool weighted = false, const Poll& poll = {});

enum class Objective;

// A block of a sequencing shared by the parties that work on it (searches
// on several threads, a proof): its graph and objective, the best order any
// of them found with its cost, the best lower bound proven, and a stop
// flag. Every member is safe to call from any thread.
//
// One search leads: the orders it reaches, round by round, are kept, so
// that a proof can read "the lead's best order as of round r" at points of
// its own work, the same whatever the threads' timing (it waits when the
// lead has not come that far yet).
class Block {
public:
    explicit Block(Graph graph, Objective objective);
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    const Graph& graph() const { return graph_; }
    Objective objective() const { return objective_; }
    std::int64_t cost() const { return cost_.load(std::memory_order_acquire); }
    std::int64_t bound() const { return bound_.load(std::memory_order_acquire); }
    bool stopped() const { return stop_.load(std::memory_order_acquire); }
    // Nothing more to do: stopped, or the best order meets the bound.
    bool done() const { return stopped() || bound() >= cost(); }
    // Bumped by every new best order.
    std::uint64_t version() const { return version_.load(std::memory_order_acquire); }

    void stop();
    // Keeps the larger of the bound held and `bound`; true when it rose.
    bool raise_bound(std::int64_t bound);
    // Keeps `order` when its cost is below the best's (it is checked and
    // counted here); true when kept.
    bool offer(std::vector<std::int32_t> order);
    // The same for an order whose cost the engine counted itself.
    bool offer_counted(std::vector<std::int32_t> order, std::int64_t cost);
    // The best order and its cost, read together.
    std::pair<std::vector<std::int32_t>, std::int64_t> best() const;
    // Makes `order` the block's order when it costs no more than the best
    // (the tie-break's choice among equals); true when it did.
    bool settle(std::vector<std::int32_t> order);

    // The lead search: `lead_start` with its start order, `lead_round` after
    // every round with the best it holds (kept only when it improved), and
    // `lead_end` when it stops for good.
    void lead_start(std::vector<std::int32_t> order, std::int64_t cost);
    void lead_round(std::int64_t round, const std::vector<std::int32_t>& order, std::int64_t cost);
    void lead_end();
    // The lead's best order and its cost as of `round` (its last one when it
    // ended earlier); waits for the lead to get there. nullopt when the
    // block was stopped first or the lead never started. Rounds are read in
    // increasing order: the orders before the answer are let go.
    std::optional<std::pair<std::vector<std::int32_t>, std::int64_t>> lead_at(std::int64_t round);
    // How many of the lead's orders are held for reading.
    std::size_t lead_kept() const;

private:
    Graph graph_;
    Objective objective_;
    mutable std::mutex mutex_;  // guards order_ and, with it, the writes of cost_; and the lead's record
    std::condition_variable lead_moved_;
    std::vector<std::int32_t> order_;
    std::atomic<std::int64_t> cost_{0}, bound_{0};
    std::atomic<std::uint64_t> version_{0};
    std::atomic<bool> stop_{false};
    struct Reached {
        std::int64_t round, cost;
        std::vector<std::int32_t> order;
    };
    std::vector<Reached> lead_;  // the lead's best orders, by the round reached
    std::int64_t lead_rounds_ = -1;  // rounds the lead finished (-1: not started)
    bool lead_ended_ = false;
};

// The strong search on `block` for its objective, from `start` (or the
// block's best order when empty): rounds of simulated annealing on
// insertion moves, each followed by a descent to a local optimum (for more
// than the dense table's items, an iterated local search with small random
// perturbations instead). Its best order goes to the block as it improves;
// with `adopt`, a better order another party gave the block is taken up at
// the next round (the search then depends on the threads' timing); with
// `lead`, it is the block's lead search (see Block). Ends when its best
// meets the block's bound, when the block is stopped, after `max_stale`
// rounds without a new best, or when `poll` says so.
struct ImproveOptions {
    std::uint64_t seed = 0;
    std::int64_t max_stale = 1000;
    double sweeps = 2000;                  // proposals per item and round
    double t_start = 0.6, t_end = 0.1;     // temperatures of a round, in units of a typical move
    std::int32_t window = 0;               // farthest move (0: from the density)
    bool anneal = true;                    // false: the iterated local search
    bool adopt = false;                    // take up better orders given to the block
    bool lead = false;                     // the block's lead search
    std::int64_t first_round = 0;          // the lead's rounds counted on from here
    std::vector<std::int32_t> start;       // empty: the block's best order
};
enum class Ended { bound, stale, stopped };
struct Improved {
    Ended ended = Ended::stale;
    std::int64_t rounds = 0;               // rounds done (first_round included)
    std::vector<std::int32_t> order;       // this search's best
    std::int64_t cost = 0;
};
Improved improve(Block& block, const ImproveOptions& options, const Poll& poll);

// Cycles of marks (each a list of mark numbers) for the cycle constraints
// of a proof: every order leaves at least one mark of each cycle as a
// feedback mark.
using Cycle = std::vector<std::int32_t>;

// Shortest cycles (fewest marks) of the marks with kept[k] != 0: for every
// kept mark on a cycle of kept marks, one shortest such cycle through it,
// each cycle once; at most `limit`. Breadth-first search from every item a
// kept mark points to. `poll` is asked between sources.
std::vector<Cycle> short_cycles(const Graph& g, std::span<const std::uint8_t> kept, std::size_t limit,
                                const Poll& poll = {});

// Cycles whose weights sum to less than 1 - tolerance: the cycle
// constraints a fractional solution violates (weight[k] of mark k, negative
// weights taken as 0). Dijkstra's search from every item, cut off at weight
// 1; for each source, the closing marks give their cycles, lightest first.
// At most `limit` cycles, each once.
std::vector<Cycle> light_cycles(const Graph& g, std::span<const double> weight, std::size_t limit,
                                double tolerance = 1e-6);

// An order that leaves as few as it can of the marks with kept[k] != 0 as
// feedback marks: the blocks of the kept marks, needed first, then a plain
// insertion descent on all marks for `objective`. Used to turn a solution
// of a proof's partial model into an order.
std::vector<std::int32_t> order_keeping(const Graph& g, std::span<const std::uint8_t> kept, Objective objective);

// Plain insertion local search for `objective`: every item in turn goes to
// its best position while some move lowers the cost.
std::vector<std::int32_t> sift_by(const Graph& g, std::vector<std::int32_t> order, Objective objective);

}  // namespace ovila::order
