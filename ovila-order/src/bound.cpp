// A lower bound from a packing of cycles: every order breaks each cycle at
// least once, so a set of cycles sharing no mark needs that many feedback
// marks. With weights, a cycle takes the weight of its lightest mark from
// each of its marks and adds it to the bound; a mark takes part in cycles
// until its weight is used up (counting marks, every weight is 1: the
// cycles share no mark). Two items needing each other are taken first, then
// shortest cycles found by breadth-first search, with a growing length
// limit. Only marks inside a strongly connected block can lie on a cycle.
#include <algorithm>

#include "ovila/order/objective.hpp"
#include "ovila/order/order.hpp"

namespace ovila::order {

std::int64_t cycle_bound(const Graph& g, bool weighted, const Poll& poll) {
    const std::int32_t n = g.n;
    const auto un = static_cast<std::size_t>(n);
    const Blocks blocks = condense(g);
    // Marks inside blocks (rows sorted, as in the graph) with the weight
    // each has left.
    std::vector<std::int32_t> ptr(un + 1, 0), head;
    std::vector<std::int64_t> alive;
    for (std::int32_t u = 0; u < n; ++u) {
        for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
            const std::int32_t v = g.needs[static_cast<std::size_t>(k)];
            if (blocks.block_of[u] == blocks.block_of[v]) {
                head.push_back(v);
                alive.push_back(weighted ? mark_weight(g, static_cast<std::size_t>(k)) : 1);
            }
        }
        ptr[static_cast<std::size_t>(u) + 1] = static_cast<std::int32_t>(head.size());
    }
    auto find = [&](std::int32_t u, std::int32_t v) -> std::int32_t {
        const auto first = head.begin() + ptr[u], last = head.begin() + ptr[u + 1];
        const auto it = std::lower_bound(first, last, v);
        return it != last && *it == v ? static_cast<std::int32_t>(it - head.begin()) : -1;
    };
    std::int64_t cycles = 0;
    for (std::int32_t u = 0; u < n; ++u) {
        for (std::int32_t k = ptr[u]; k < ptr[u + 1]; ++k) {
            const std::int32_t v = head[k];
            if (v < u) continue;
            const std::int32_t back = find(v, u);
            if (back >= 0) {
                const std::int64_t taken = std::min(alive[k], alive[back]);
                alive[k] -= taken;
                alive[back] -= taken;
                cycles += taken;
            }
        }
    }
    // Breadth-first search from s along live marks for a path back to s of
    // at most `limit` marks; kills the marks of the cycle found.
    std::vector<std::int32_t> stamp(un, -1), via(un, -1), parent(un, -1), depth(un, 0), queue;
    std::vector<char> done(un, 0);  // on no cycle of live marks any more
    std::int32_t visit = 0;
    // The poll is asked after every `every` marks looked at.
    constexpr std::int64_t every = 1 << 16;
    std::int64_t work = 0;
    bool stopped = false;
    auto tick = [&](std::int64_t amount) {
        work += amount;
        if (work >= every) {
            work = 0;
            if (poll && !poll(-1)) stopped = true;
        }
        return stopped;
    };
    auto take_cycle = [&](std::int32_t s, std::int32_t limit) -> bool {
        ++visit;
        queue.clear();
        queue.push_back(s);
        stamp[s] = visit;
        depth[s] = 0;
        bool limited = false;
        for (std::size_t qi = 0; qi < queue.size(); ++qi) {
            const std::int32_t u = queue[qi];
            if (depth[u] + 1 > limit || tick(ptr[u + 1] - ptr[u] + 1)) {
                limited = true;
                break;
            }
            for (std::int32_t k = ptr[u]; k < ptr[u + 1]; ++k) {
                if (!alive[k]) continue;
                const std::int32_t v = head[k];
                if (v == s) {
                    std::int64_t taken = alive[k];
                    for (std::int32_t w = u; w != s; w = parent[w]) taken = std::min(taken, alive[via[w]]);
                    alive[k] -= taken;
                    for (std::int32_t w = u; w != s; w = parent[w]) alive[via[w]] -= taken;
                    cycles += taken;
                    return true;
                }
                if (stamp[v] == visit || done[v]) continue;
                stamp[v] = visit;
                via[v] = k;
                parent[v] = u;
                depth[v] = depth[u] + 1;
                queue.push_back(v);
            }
        }
        if (!limited) done[s] = 1;
        return false;
    };
    std::vector<std::int32_t> cyclic;
    for (std::int32_t u = 0; u < n; ++u) {
        if (ptr[u + 1] > ptr[u]) cyclic.push_back(u);
    }
    for (std::int32_t limit : {3, 4, 6, 10, n}) {
        for (std::int32_t s : cyclic) {
            while (!done[s] && take_cycle(s, limit)) {
            }
            if (stopped) return cycles;
        }
    }
    return cycles;
}

}  // namespace ovila::order
