#include <algorithm>
#include <string>

#include "order.hpp"

namespace ovila::order {

namespace {

// Fills the reverse rows of a graph whose forward rows are set.
void build_reverse(Graph& g) {
    const auto n = static_cast<std::size_t>(g.n);
    g.needed_ptr.assign(n + 1, 0);
    for (std::int32_t v : g.needs) ++g.needed_ptr[static_cast<std::size_t>(v) + 1];
    for (std::size_t i = 0; i < n; ++i) g.needed_ptr[i + 1] += g.needed_ptr[i];
    g.needed_by.resize(g.needs.size());
    std::vector<std::int32_t> fill(g.needed_ptr.begin(), g.needed_ptr.end() - 1);
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t v : g.needs_of(u)) g.needed_by[static_cast<std::size_t>(fill[v]++)] = u;
    }
}

}  // namespace

Graph Graph::from_rows(std::int32_t n, std::span<const std::int32_t> indptr,
                       std::span<const std::int32_t> indices) {
    if (n < 0) throw InputError("n must not be negative, got " + std::to_string(n));
    if (indptr.size() != static_cast<std::size_t>(n) + 1) {
        throw InputError("indptr must hold n + 1 = " + std::to_string(n + 1) + " values, got " +
                         std::to_string(indptr.size()));
    }
    if (indptr[0] != 0) throw InputError("indptr[0] must be 0, got " + std::to_string(indptr[0]));
    for (std::int32_t u = 0; u < n; ++u) {
        if (indptr[u + 1] < indptr[u]) {
            throw InputError("indptr must not decrease (indptr[" + std::to_string(u + 1) + "] < indptr[" +
                             std::to_string(u) + "])");
        }
    }
    if (static_cast<std::size_t>(indptr[n]) != indices.size()) {
        throw InputError("indptr[n] = " + std::to_string(indptr[n]) + " but indices holds " +
                         std::to_string(indices.size()) + " values");
    }
    Graph g;
    g.n = n;
    g.needs_ptr.assign(static_cast<std::size_t>(n) + 1, 0);
    g.needs.reserve(indices.size());
    std::vector<std::int32_t> seen(static_cast<std::size_t>(n), -1);
    for (std::int32_t u = 0; u < n; ++u) {
        for (std::int32_t k = indptr[u]; k < indptr[u + 1]; ++k) {
            const std::int32_t v = indices[static_cast<std::size_t>(k)];
            if (v < 0 || v >= n) {
                throw InputError("indices[" + std::to_string(k) + "] = " + std::to_string(v) +
                                 " is not an item index in 0.." + std::to_string(n - 1));
            }
            if (v == u || seen[v] == u) continue;
            seen[v] = u;
            g.needs.push_back(v);
        }
        g.needs_ptr[static_cast<std::size_t>(u) + 1] = static_cast<std::int32_t>(g.needs.size());
    }
    build_reverse(g);
    return g;
}

Graph Graph::from_arcs(std::int32_t n, const std::vector<std::pair<std::int32_t, std::int32_t>>& arcs) {
    std::vector<std::int32_t> indptr(static_cast<std::size_t>(n) + 1, 0), indices(arcs.size());
    for (auto [u, v] : arcs) ++indptr[static_cast<std::size_t>(u) + 1];
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) indptr[i + 1] += indptr[i];
    std::vector<std::int32_t> fill(indptr.begin(), indptr.end() - 1);
    for (auto [u, v] : arcs) indices[static_cast<std::size_t>(fill[u]++)] = v;
    return from_rows(n, indptr, indices);
}

void check_order(std::int32_t n, std::span<const std::int32_t> order) {
    if (order.size() != static_cast<std::size_t>(n)) {
        throw InputError("the order must hold n = " + std::to_string(n) + " items, got " +
                         std::to_string(order.size()));
    }
    std::vector<char> seen(static_cast<std::size_t>(n), 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::int32_t v = order[i];
        if (v < 0 || v >= n) {
            throw InputError("order[" + std::to_string(i) + "] = " + std::to_string(v) +
                             " is not an item index in 0.." + std::to_string(n - 1));
        }
        if (seen[v]) throw InputError("the order is not a permutation: item " + std::to_string(v) + " appears twice");
        seen[v] = 1;
    }
}

std::int64_t feedback(const Graph& g, std::span<const std::int32_t> order) {
    std::vector<std::int32_t> pos(static_cast<std::size_t>(g.n));
    for (std::size_t i = 0; i < order.size(); ++i) pos[order[i]] = static_cast<std::int32_t>(i);
    std::int64_t cost = 0;
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t v : g.needs_of(u)) cost += pos[u] < pos[v];
    }
    return cost;
}

}  // namespace ovila::order
