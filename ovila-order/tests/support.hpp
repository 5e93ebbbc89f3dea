// Helpers shared by the ordering engine's tests: random graphs and orders,
// and brute force for small graphs.
#pragma once

#include <algorithm>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "ovila/order/order.hpp"
#include "ovila/order/search.hpp"

namespace ovila::order::testing {

// The graph of the marks "u needs v" for the pairs (u, v).
inline Graph graph_of(std::int32_t n, const std::vector<std::pair<std::int32_t, std::int32_t>>& arcs) {
    std::vector<std::int32_t> rows, cols;
    for (const auto& [u, v] : arcs) {
        rows.push_back(u);
        cols.push_back(v);
    }
    return Graph::from_pairs(n, rows, cols);
}

// The item that needs, for every mark.
inline std::vector<std::int32_t> mark_rows(const Graph& g) {
    std::vector<std::int32_t> out(g.needs.size());
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) out[static_cast<std::size_t>(k)] = u;
    }
    return out;
}

// Cost change of moving the item at position `from` to position `to` (the
// others keep their relative order), from the item's marks alone.
inline std::int64_t move_delta(const Graph& g, std::span<const std::int32_t> order, std::span<const std::int32_t> pos,
                               std::int32_t from, std::int32_t to) {
    const std::int32_t v = order[from];
    std::int64_t d = 0;
    const std::int32_t lo = std::min(from, to), hi = std::max(from, to);
    const int sign = to < from ? 1 : -1;
    for (std::int32_t w : g.needs_of(v)) {
        if (pos[w] >= lo && pos[w] <= hi && w != v) d += sign;
    }
    for (std::int32_t w : g.needed_by_of(v)) {
        if (pos[w] >= lo && pos[w] <= hi && w != v) d -= sign;
    }
    return d;
}

inline Graph random_graph(std::int32_t n, double density, std::uint64_t seed) {
    Random rng(seed);
    std::vector<std::pair<std::int32_t, std::int32_t>> arcs;
    for (std::int32_t u = 0; u < n; ++u) {
        for (std::int32_t v = 0; v < n; ++v) {
            if (u != v && static_cast<double>(rng.next() >> 11) * 0x1.0p-53 < density) arcs.emplace_back(u, v);
        }
    }
    return graph_of(n, arcs);
}

inline std::vector<std::int32_t> shuffled(std::int32_t n, std::uint64_t seed) {
    std::vector<std::int32_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    Random rng(seed);
    for (std::int32_t i = n - 1; i > 0; --i) std::swap(order[i], order[rng.below(static_cast<std::uint32_t>(i + 1))]);
    return order;
}

inline std::int64_t brute_force_optimum(const Graph& g) {
    std::vector<std::int32_t> order(static_cast<std::size_t>(g.n));
    std::iota(order.begin(), order.end(), 0);
    std::int64_t best = g.marks();
    do best = std::min(best, feedback(g, order));
    while (std::next_permutation(order.begin(), order.end()));
    return best;
}

inline bool is_permutation_of(const std::vector<std::int32_t>& order, std::int32_t n) {
    try {
        check_order(n, order);
        return true;
    } catch (const InputError&) {
        return false;
    }
}

// Random graphs of a few sizes and densities, small enough for brute force.
struct Case {
    std::int32_t n;
    double density;
};
inline constexpr Case small_cases[] = {{1, 0.5}, {2, 0.9}, {4, 0.5}, {6, 0.3}, {7, 0.5}, {8, 0.2}, {8, 0.4}, {8, 0.7}};

inline bool always(std::int64_t) { return true; }

}  // namespace ovila::order::testing
