// Ordering the items of a dependency graph with as few feedback marks as
// possible (a mark "u needs v" is a feedback mark when u comes before v).
//
// Every routine takes a Graph: the "needs" relation in both directions as
// compressed rows, self-marks dropped and duplicates collapsed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace ovila::order {

// A refused input (bad sizes, indices out of range, not a permutation).
class InputError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct Graph {
    std::int32_t n = 0;
    std::vector<std::int32_t> needs_ptr, needs;          // row u: the items u needs
    std::vector<std::int32_t> needed_ptr, needed_by;     // row v: the items that need v

    std::int64_t marks() const { return static_cast<std::int64_t>(needs.size()); }
    std::span<const std::int32_t> needs_of(std::int32_t u) const {
        return {needs.data() + needs_ptr[u], needs.data() + needs_ptr[u + 1]};
    }
    std::span<const std::int32_t> needed_by_of(std::int32_t v) const {
        return {needed_by.data() + needed_ptr[v], needed_by.data() + needed_ptr[v + 1]};
    }

    // From compressed rows (row u lists what u needs); validates the arrays.
    static Graph from_rows(std::int32_t n, std::span<const std::int32_t> indptr,
                           std::span<const std::int32_t> indices);
    static Graph from_arcs(std::int32_t n, const std::vector<std::pair<std::int32_t, std::int32_t>>& arcs);
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

// Eades, Lin & Smyth greedy order, O(n + m).
std::vector<std::int32_t> greedy(const Graph& g);

// Plain insertion local search: every item in turn goes to its best position
// while some move lowers the count.
std::vector<std::int32_t> sift(const Graph& g, std::vector<std::int32_t> order);

// Called now and then with the best cost so far; returning false stops.
using Poll = std::function<bool(std::int64_t best)>;

// Optimal order by dynamic programming over subsets (n <= 25); nullopt when
// `poll` stopped it.
struct Exact {
    std::vector<std::int32_t> order;
    std::int64_t cost = 0;
};
inline constexpr std::int32_t exact_limit = 25;
std::optional<Exact> exact(const Graph& g, const Poll& poll);

// Lower bound: a greedy packing of arc-disjoint cycles, short ones first.
// When `poll` stops it, the cycles packed so far (still a valid bound).
std::int64_t cycle_bound(const Graph& g, const Poll& poll = {});

// The strong search from `start`: rounds of simulated annealing on insertion
// moves, each followed by a descent to a local optimum (for more than
// 4096 items, whose position costs are not kept in a dense table: an
// iterated local search with small random perturbations instead). Ends at
// `lower_bound`, after `max_stale` rounds without a new best, or when
// `poll` says so; the best order met is returned.
struct ImproveOptions {
    std::uint64_t seed = 0;
    std::int64_t lower_bound = 0;
    std::int64_t max_stale = 1000;
    double sweeps = 2000;                  // proposals per item and round
    double t_start = 0.6, t_end = 0.1;     // temperatures of a round
    std::int32_t window = 0;               // farthest move (0: from the density)
    bool anneal = true;                    // false: the iterated local search
};
struct Improved {
    std::vector<std::int32_t> order;
    std::int64_t cost = 0;
    bool stopped = false;  // ended by `poll`
};
Improved improve(const Graph& g, std::vector<std::int32_t> start, const ImproveOptions& options,
                 const Poll& poll);

// Cost change of moving the item at position `from` to position `to` (the
// others keep their relative order), from the item's marks alone.
std::int64_t move_delta(const Graph& g, std::span<const std::int32_t> order,
                        std::span<const std::int32_t> pos, std::int32_t from, std::int32_t to);

}  // namespace ovila::order
