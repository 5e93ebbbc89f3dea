// Insertion moves on an order with position arrays, shared by the plain
// local search and the iterated search.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "ovila/core/xoshiro.hpp"
#include "ovila/order/objective.hpp"
#include "ovila/order/order.hpp"

namespace ovila::order {

// Deterministic generator: the engine's xoshiro256++ step, seeded through splitmix64.
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : s_) word = core::splitmix64(seed);
    }
    std::uint64_t next() { return core::xoshiro_next(s_); }
    // Uniform in [0, bound), bound > 0.
    std::uint32_t below(std::uint32_t bound) {
        return static_cast<std::uint32_t>(((next() >> 32) * bound) >> 32);
    }

private:
    std::array<std::uint64_t, 4> s_;
};

// An order with its positions and cost, and each item's neighbours with the
// cost of passing them: c(v, w) = w(v needs w) - w(w needs v), so moving v
// from after w to before w changes the cost by c (w: the mark's weight, 1
// when counting marks). Two items needing each other equally cost the same
// in every order and are left out. `Coef` holds c: int8 when counting marks,
// int32 for weights.
template <class Coef>
class BasicArrangement {
public:
    // `dense`: keep the position costs in a table when there are at most
    // dense_limit items. `weighted`: costs are the marks' weights.
    BasicArrangement(const Graph& g, std::vector<std::int32_t> order, bool dense = true);

    std::int32_t size() const { return static_cast<std::int32_t>(order_.size()); }
    std::int64_t cost() const { return cost_; }
    const std::vector<std::int32_t>& order() const { return order_; }
    std::int32_t position(std::int32_t v) const { return pos_[v]; }
    std::int32_t item(std::int32_t p) const { return order_[p]; }
    // Whether position costs come from a dense table (up to dense_limit items).
    bool dense() const { return !dense_.empty(); }

    struct Move {
        std::int64_t delta;
        std::int32_t to;
    };
    // The best position for item v within `reach()` places of its own (the
    // nearest one among equals); delta 0 and its own position when no move
    // lowers the cost.
    Move best_move(std::int32_t v);
    // How far a move of best_move may go: every place up to reach_limit
    // items; beyond, moving an item costs time in proportion to the places
    // it passes, so moves stay within reach_limit places.
    std::int32_t reach() const { return reach_; }
    static constexpr std::int32_t reach_limit = 1 << 16;
    // Cost change of moving item v to position `to`.
    std::int64_t delta_to(std::int32_t v, std::int32_t to) const;
    // The cost change of moving item v to every position in [lo, hi].
    void deltas(std::int32_t v, std::int32_t lo, std::int32_t hi, std::vector<std::int64_t>& out) const;
    // Moves item v to position `to`, `delta` being the cost change.
    void move(std::int32_t v, std::int32_t to, std::int64_t delta);
    // Takes another order of the same items, `cost` being its cost.
    void assign(std::vector<std::int32_t> order, std::int64_t cost);

    // Up to this many items the position costs are kept in a dense table.
    static constexpr std::int32_t dense_limit = sizeof(Coef) == 1 ? 8192 : 4096;

    // Number of (item, neighbour) entries.
    std::int64_t neighbour_entries() const { return static_cast<std::int64_t>(nb_.size()); }
    // Neighbours of v and their passing costs.
    const std::int32_t* neighbours_begin(std::int32_t v) const { return nb_.data() + nb_ptr_[v]; }
    const std::int32_t* neighbours_end(std::int32_t v) const { return nb_.data() + nb_ptr_[v + 1]; }
    const std::vector<std::int32_t>& positions() const { return pos_; }

private:
    std::vector<std::int32_t> order_, pos_;
    std::vector<std::int32_t> nb_ptr_, nb_;
    std::vector<Coef> coef_;
    // Up to dense_limit items: c(v, w) at dense_[v * n + w].
    std::vector<Coef> dense_;
    std::vector<std::uint64_t> keys_;
    std::vector<std::pair<std::int32_t, std::int64_t>> pairs_;
    std::int64_t cost_ = 0;
    std::int32_t reach_ = 0;
};

using Arrangement = BasicArrangement<std::int8_t>;
using WeightArrangement = BasicArrangement<std::int32_t>;

// The same moves for the total distance of the feedback marks: a move of an
// item changes the length of the marks it passes too, so a move's cost is
// counted by a sweep over the items it passes (time in proportion to their
// marks), and every item's neighbours are the items it shares a mark with.
class DistanceArrangement {
public:
    DistanceArrangement(const Graph& g, std::vector<std::int32_t> order, bool dense = true);

    std::int32_t size() const { return static_cast<std::int32_t>(order_.size()); }
    std::int64_t cost() const { return cost_; }
    const std::vector<std::int32_t>& order() const { return order_; }
    std::int32_t position(std::int32_t v) const { return pos_[v]; }
    std::int32_t item(std::int32_t p) const { return order_[p]; }
    bool dense() const { return dense_; }
    using Move = Arrangement::Move;
    Move best_move(std::int32_t v);
    std::int32_t reach() const { return reach_; }
    std::int64_t delta_to(std::int32_t v, std::int32_t to) const;
    void deltas(std::int32_t v, std::int32_t lo, std::int32_t hi, std::vector<std::int64_t>& out) const;
    void move(std::int32_t v, std::int32_t to, std::int64_t delta);
    void assign(std::vector<std::int32_t> order, std::int64_t cost);
    std::int64_t neighbour_entries() const { return static_cast<std::int64_t>(nb_.size()); }
    const std::int32_t* neighbours_begin(std::int32_t v) const { return nb_.data() + nb_ptr_[v]; }
    const std::int32_t* neighbours_end(std::int32_t v) const { return nb_.data() + nb_ptr_[v + 1]; }
    const std::vector<std::int32_t>& positions() const { return pos_; }

private:
    const Graph& g_;
    DistanceSweep sweep_;
    std::vector<std::int32_t> order_, pos_, nb_ptr_, nb_;
    mutable std::vector<std::int64_t> scratch_;
    std::int64_t cost_ = 0;
    std::int32_t reach_ = 0;
    bool dense_ = true;
};

// Moves `order` (in place) while some move lowers its score: the objective
// first, then the total distance, then the pairs out of index order; each
// item in turn goes to the position of least score within reach. Stops
// when `poll` says so. Returns whether it ran to a local optimum.
bool polish(const Graph& g, Objective objective, std::vector<std::int32_t>& order, const Poll& poll = {});

}  // namespace ovila::order
