// Strongly connected blocks by Tarjan's algorithm with an explicit stack.
// A block is completed only after every block it needs, so numbering blocks
// in order of completion puts what an item needs in a lower block.
#include "order.hpp"

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
