#include <algorithm>
#include <limits>
#include <string>

#include "ovila/order/order.hpp"

namespace ovila::order {

namespace {

// Fills the reverse rows of a graph whose forward rows are set.
void build_reverse(Graph& g) {
    const auto n = static_cast<std::size_t>(g.n);
    g.needed_ptr.assign(n + 1, 0);
    for (std::int32_t v : g.needs) ++g.needed_ptr[static_cast<std::size_t>(v) + 1];
    for (std::size_t i = 0; i < n; ++i) g.needed_ptr[i + 1] += g.needed_ptr[i];
    g.needed_by.resize(g.needs.size());
    g.needed_mark.resize(g.needs.size());
    std::vector<std::int32_t> fill(g.needed_ptr.begin(), g.needed_ptr.end() - 1);
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
            const auto at = static_cast<std::size_t>(fill[g.needs[static_cast<std::size_t>(k)]]++);
            g.needed_by[at] = u;
            g.needed_mark[at] = k;
        }
    }
}

// The pairs grouped by row, each row sorted by column: the index of the
// pair at each place. A counting sort by column, then a stable one by row
// (`row_ptr` holds the rows' starts).
std::vector<std::int32_t> sorted_by_row(std::size_t n, std::span<const std::int32_t> rows,
                                        std::span<const std::int32_t> cols, const std::vector<std::int32_t>& row_ptr) {
    std::vector<std::int32_t> count(n + 1, 0), by_col(rows.size());
    for (std::int32_t c : cols) ++count[static_cast<std::size_t>(c) + 1];
    for (std::size_t i = 0; i < n; ++i) count[i + 1] += count[i];
    for (std::size_t k = 0; k < rows.size(); ++k) {
        by_col[static_cast<std::size_t>(count[static_cast<std::size_t>(cols[k])]++)] = static_cast<std::int32_t>(k);
    }
    std::vector<std::int32_t> at(rows.size()), fill(row_ptr.begin(), row_ptr.end() - 1);
    for (std::int32_t k : by_col) {
        const auto r = static_cast<std::size_t>(rows[static_cast<std::size_t>(k)]);
        at[static_cast<std::size_t>(fill[r]++)] = k;
    }
    return at;
}

void check_item(std::int32_t n, std::int32_t v, const char* what, std::size_t k) {
    if (v < 0 || v >= n) {
        throw InputError(std::string(what) + "[" + std::to_string(k) + "] = " + std::to_string(v) +
                         " is not an item index in 0.." + std::to_string(n - 1));
    }
}

}  // namespace

Graph Graph::from_rows(std::int32_t n, std::span<const std::int32_t> indptr,
                       std::span<const std::int32_t> indices, std::span<const std::int64_t> weights) {
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
    std::vector<std::int32_t> rows(indices.size());
    for (std::int32_t u = 0; u < n; ++u) {
        for (std::int32_t k = indptr[u]; k < indptr[u + 1]; ++k) rows[static_cast<std::size_t>(k)] = u;
    }
    for (std::size_t k = 0; k < indices.size(); ++k) check_item(n, indices[k], "indices", k);
    return from_pairs(n, rows, indices, weights);
}

Graph Graph::from_pairs(std::int32_t n, std::span<const std::int32_t> rows, std::span<const std::int32_t> cols,
                        std::span<const std::int64_t> weights) {
    if (n < 0) throw InputError("n must not be negative, got " + std::to_string(n));
    if (rows.size() != cols.size() || (!weights.empty() && weights.size() != rows.size())) {
        throw InputError("rows, cols and weights must hold as many values, got " + std::to_string(rows.size()) +
                         ", " + std::to_string(cols.size()) + " and " + std::to_string(weights.size()));
    }
    if (rows.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw InputError("too many marks for one matrix: " + std::to_string(rows.size()));
    }
    const auto un = static_cast<std::size_t>(n);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        check_item(n, rows[k], "rows", k);
        check_item(n, cols[k], "cols", k);
        if (!weights.empty() && weights[k] <= 0) {
            throw InputError("weights[" + std::to_string(k) + "] = " + std::to_string(weights[k]) + " is not positive");
        }
    }
    Graph g;
    g.n = n;
    g.needs_ptr.assign(un + 1, 0);
    for (std::int32_t r : rows) ++g.needs_ptr[static_cast<std::size_t>(r) + 1];
    for (std::size_t i = 0; i < un; ++i) g.needs_ptr[i + 1] += g.needs_ptr[i];
    bool sorted_already = true;  // as compressed rows and np.nonzero give them
    for (std::size_t k = 1; k < rows.size() && sorted_already; ++k) {
        sorted_already = rows[k - 1] < rows[k] || (rows[k - 1] == rows[k] && cols[k - 1] <= cols[k]);
    }
    std::vector<std::int32_t> at;  // the pair at each place, when sorted here and weighed
    if (sorted_already) {
        g.needs.assign(cols.begin(), cols.end());
    } else {
        at = sorted_by_row(un, rows, cols, g.needs_ptr);
        g.needs.resize(rows.size());
        for (std::size_t i = 0; i < at.size(); ++i) g.needs[i] = cols[static_cast<std::size_t>(at[i])];
    }
    if (!weights.empty()) {
        g.weight.resize(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) g.weight[i] = weights[at.empty() ? i : static_cast<std::size_t>(at[i])];
    }
    // Repeats and self-marks out, in place (a repeat's weight added).
    std::size_t kept = 0;
    for (std::int32_t u = 0; u < n; ++u) {
        const std::size_t begin = static_cast<std::size_t>(g.needs_ptr[u]), end = static_cast<std::size_t>(g.needs_ptr[u + 1]);
        g.needs_ptr[u] = static_cast<std::int32_t>(kept);
        for (std::size_t k = begin; k < end; ++k) {
            const std::int32_t v = g.needs[k];
            if (v == u) continue;
            if (k > begin && v == g.needs[k - 1] && kept > static_cast<std::size_t>(g.needs_ptr[u])) {
                if (!g.weight.empty()) g.weight[kept - 1] += g.weight[k];
                continue;
            }
            if (!g.weight.empty()) g.weight[kept] = g.weight[k];
            g.needs[kept++] = v;
        }
    }
    g.needs_ptr[un] = static_cast<std::int32_t>(kept);
    g.needs.resize(kept);
    g.needs.shrink_to_fit();
    if (!g.weight.empty()) {
        g.weight.resize(kept);
        g.weight.shrink_to_fit();
    }
    build_reverse(g);
    return g;
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
