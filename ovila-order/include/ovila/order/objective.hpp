// What an order costs: the number of feedback marks, their total weight, or
// their total distance from the diagonal (a feedback mark "u needs v" with u
// before v lies pos(v) - pos(u) places above it). Ties of the objective are
// broken toward the flow: the least total distance, then the fewest pairs
// out of their index order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ovila/order/order.hpp"

namespace ovila::order {

enum class Objective { marks, weight, distance };

// The three numbers of an order, compared in this order (for the distance
// objective the first two are the same).
struct Score {
    std::int64_t objective = 0;
    std::int64_t distance = 0;
    std::int64_t inversions = 0;  // pairs of items out of their index order
    auto operator<=>(const Score&) const = default;
};

// The weight of mark k (1 when the graph has none).
inline std::int64_t mark_weight(const Graph& g, std::size_t k) { return g.weight.empty() ? 1 : g.weight[k]; }

// The objective's value of an order.
std::int64_t cost_of(const Graph& g, std::span<const std::int32_t> order, Objective objective);
// Total weight and total distance of the feedback marks of an order.
std::int64_t total_weight(const Graph& g, std::span<const std::int32_t> order);
std::int64_t total_distance(const Graph& g, std::span<const std::int32_t> order);
Score score_of(const Graph& g, std::span<const std::int32_t> order, Objective objective);

// An optimal order for `objective` by dynamic programming over subsets
// (n <= exact_by_limit). With `tie_break`, the order is the one with the
// least score (objective, then total distance, then inversions): one exact
// order; without, the first optimal one met. nullopt when `poll` stopped it.
inline constexpr std::int32_t exact_by_limit = 22;
struct ExactScore {
    std::vector<std::int32_t> order;
    Score score;
};
std::optional<ExactScore> exact_by(const Graph& g, Objective objective, bool tie_break, const Poll& poll);

// Changes of the total distance when one item moves. `sweep` fills out[q]
// with the change of moving the item at position p to position q, for every
// q in [lo, hi] (p inside), reading only the marks of the items it passes
// and of the item itself: time in proportion to their marks.
class DistanceSweep {
public:
    explicit DistanceSweep(const Graph& g) : g_(g) {}
    void sweep(std::span<const std::int32_t> order, std::span<const std::int32_t> pos, std::int32_t p,
               std::int32_t lo, std::int32_t hi, std::vector<std::int64_t>& out) const;
    std::int64_t delta(std::span<const std::int32_t> order, std::span<const std::int32_t> pos, std::int32_t p,
                       std::int32_t q) const;

private:
    // Toward larger positions from p (direction +1) or smaller ones (-1).
    void half(std::span<const std::int32_t> order, std::span<const std::int32_t> pos, std::int32_t p,
              std::int32_t end, int direction, std::vector<std::int64_t>& out, std::int32_t lo) const;
    const Graph& g_;
};

}  // namespace ovila::order
