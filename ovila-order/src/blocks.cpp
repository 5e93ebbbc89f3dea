// Strongly connected blocks by Tarjan's algorithm with an explicit stack.
// A block is completed only after every block it needs, so numbering blocks
// in order of completion puts what an item needs in a lower block.
#include <algorithm>
#include <functional>
#include <queue>

#include "ovila/order/order.hpp"

namespace ovila::order {

Blocks condense(const Graph& g) {
    const auto n = static_cast<std::size_t>(g.n);
    constexpr std::int32_t unvisited = -1;
    std::vector<std::int32_t> index(n, unvisited), low(n, 0), edge(n, 0);
    std::vector<std::int32_t> stack, call;
    std::vector<char> on_stack(n, 0);
    Blocks out;
    out.block_of.assign(n, -1);
    stack.reserve(n);
    std::int32_t next = 0;
    for (std::int32_t root = 0; root < g.n; ++root) {
        if (index[root] != unvisited) continue;
        call.push_back(root);
        index[root] = low[root] = next++;
        edge[root] = g.needs_ptr[root];
        stack.push_back(root);
        on_stack[root] = 1;
        while (!call.empty()) {
            const std::int32_t u = call.back();
            if (edge[u] < g.needs_ptr[u + 1]) {
                const std::int32_t v = g.needs[static_cast<std::size_t>(edge[u]++)];
                if (index[v] == unvisited) {
                    index[v] = low[v] = next++;
                    edge[v] = g.needs_ptr[v];
                    stack.push_back(v);
                    on_stack[v] = 1;
                    call.push_back(v);
                } else if (on_stack[v] && index[v] < low[u]) {
                    low[u] = index[v];
                }
                continue;
            }
            call.pop_back();
            if (!call.empty()) {
                const std::int32_t parent = call.back();
                if (low[u] < low[parent]) low[parent] = low[u];
            }
            if (low[u] == index[u]) {
                std::int32_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    on_stack[w] = 0;
                    out.block_of[w] = out.count;
                } while (w != u);
                ++out.count;
            }
        }
    }
    return out;
}

}  // namespace ovila::order

namespace ovila::order {

Split split(const Graph& g) {
    const auto n = static_cast<std::size_t>(g.n);
    const Blocks blocks = condense(g);
    const auto count = static_cast<std::size_t>(blocks.count);
    Split out;
    out.block_of.assign(n, -1);
    // Kahn's order of the blocks, the block holding the earliest item first
    // among those whose needs are all placed.
    std::vector<std::int32_t> first(count, g.n), pending(count, 0), size(count, 0);
    for (std::int32_t u = 0; u < g.n; ++u) {
        const auto b = static_cast<std::size_t>(blocks.block_of[u]);
        first[b] = std::min(first[b], u);
        ++size[b];
        for (std::int32_t v : g.needs_of(u)) pending[b] += blocks.block_of[v] != blocks.block_of[u];
    }
    // The items of each block, and the marks into each block from outside.
    std::vector<std::int32_t> member_ptr(count + 1, 0);
    for (std::size_t b = 0; b < count; ++b) member_ptr[b + 1] = member_ptr[b] + size[b];
    std::vector<std::int32_t> members(n), fill(member_ptr.begin(), member_ptr.end() - 1);
    for (std::int32_t u = 0; u < g.n; ++u) members[static_cast<std::size_t>(fill[blocks.block_of[u]]++)] = u;
    // The free block with the earliest first item comes next. Blocks are
    // scanned in the order of their first items; a block that becomes free
    // behind the scan waits in a heap (few do when the matrix is given in a
    // good order), so a mostly ordered matrix costs linear time.
    std::vector<std::int32_t> by_first;  // blocks in the order of their first items
    by_first.reserve(count);
    for (std::int32_t u = 0; u < g.n; ++u) {
        const auto b = static_cast<std::size_t>(blocks.block_of[u]);
        if (first[b] == u) by_first.push_back(static_cast<std::int32_t>(b));
    }
    using Entry = std::pair<std::int32_t, std::int32_t>;  // (first item, block)
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> behind;
    std::vector<char> placed(count, 0);
    std::size_t scan = 0;  // blocks before by_first[scan] were free and placed, or wait in `behind`
    std::vector<std::int32_t> place(count, -1);
    out.items.reserve(n);
    out.starts.reserve(count + 1);
    for (std::size_t step = 0; step < count; ++step) {
        while (scan < count && (placed[static_cast<std::size_t>(by_first[scan])] ||
                                pending[static_cast<std::size_t>(by_first[scan])] != 0)) {
            ++scan;
        }
        std::size_t b;
        if (!behind.empty() && (scan == count || behind.top().first < first[static_cast<std::size_t>(by_first[scan])])) {
            b = static_cast<std::size_t>(behind.top().second);
            behind.pop();
        } else {
            b = static_cast<std::size_t>(by_first[scan]);
        }
        placed[b] = 1;
        place[b] = static_cast<std::int32_t>(out.starts.size());
        out.starts.push_back(static_cast<std::int32_t>(out.items.size()));
        for (std::int32_t k = member_ptr[b]; k < member_ptr[b + 1]; ++k) {
            const std::int32_t v = members[static_cast<std::size_t>(k)];
            out.items.push_back(v);
            out.block_of[static_cast<std::size_t>(v)] = place[b];
            for (std::int32_t u : g.needed_by_of(v)) {
                const auto c = static_cast<std::size_t>(blocks.block_of[u]);
                if (c == b || --pending[c] != 0) continue;
                // Free now: found by the scan if it lies ahead, else it waits.
                const bool ahead = scan < count && first[c] >= first[static_cast<std::size_t>(by_first[scan])];
                if (!ahead) behind.emplace(first[c], static_cast<std::int32_t>(c));
            }
        }
    }
    out.starts.push_back(static_cast<std::int32_t>(out.items.size()));
    // The marks inside each block of more than one item, renumbered.
    std::vector<std::int32_t> local(n, -1), rows, cols;
    std::vector<std::int64_t> weights;
    for (std::size_t k = 0; k + 1 < out.starts.size(); ++k) {
        const std::int32_t begin = out.starts[k], end = out.starts[k + 1];
        if (end - begin < 2) continue;
        for (std::int32_t i = begin; i < end; ++i) local[static_cast<std::size_t>(out.items[static_cast<std::size_t>(i)])] = i - begin;
        rows.clear();
        cols.clear();
        weights.clear();
        for (std::int32_t i = begin; i < end; ++i) {
            const std::int32_t u = out.items[static_cast<std::size_t>(i)];
            for (std::int32_t j = g.needs_ptr[u]; j < g.needs_ptr[u + 1]; ++j) {
                const std::int32_t v = g.needs[static_cast<std::size_t>(j)];
                if (out.block_of[static_cast<std::size_t>(v)] == static_cast<std::int32_t>(k)) {
                    rows.push_back(i - begin);
                    cols.push_back(local[static_cast<std::size_t>(v)]);
                    if (!g.weight.empty()) weights.push_back(g.weight[static_cast<std::size_t>(j)]);
                }
            }
        }
        out.graphs.emplace_back(static_cast<std::int32_t>(k), Graph::from_pairs(end - begin, rows, cols, weights));
    }
    return out;
}

}  // namespace ovila::order
