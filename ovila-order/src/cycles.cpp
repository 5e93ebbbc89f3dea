// Cycles for the cycle constraints of a proof, and orders from a proof's
// solutions. A mark k is "u needs v" with v = needs[k]; a cycle of marks
// u1 needs u2 needs ... needs u1 leaves at least one feedback mark in every
// order. Searches start from the item v a mark points to and look for a way
// back to u along marks, so the closing mark is found through the reverse
// rows (needed_by, needed_mark).
#include <algorithm>
#include <queue>
#include <set>

#include "ovila/order/objective.hpp"
#include "ovila/order/order.hpp"
#include "ovila/order/search.hpp"

namespace ovila::order {

namespace {

// Each cycle once, whatever mark it was found through.
class CycleSet {
public:
    explicit CycleSet(std::size_t limit) : limit_(limit) {}
    bool full() const { return cycles_.size() >= limit_; }
    void add(Cycle cycle) {
        Cycle key = cycle;
        std::sort(key.begin(), key.end());
        if (seen_.insert(std::move(key)).second) cycles_.push_back(std::move(cycle));
    }
    std::vector<Cycle> take() { return std::move(cycles_); }

private:
    std::size_t limit_;
    std::set<Cycle> seen_;
    std::vector<Cycle> cycles_;
};

}  // namespace

std::vector<Cycle> short_cycles(const Graph& g, std::span<const std::uint8_t> kept, std::size_t limit,
                                const Poll& poll) {
    if (kept.size() != g.needs.size()) {
        throw InputError("kept must hold one value per mark (" + std::to_string(g.needs.size()) + "), got " +
                         std::to_string(kept.size()));
    }
    const auto n = static_cast<std::size_t>(g.n);
    CycleSet found(limit);
    std::vector<std::int32_t> via(n, -1), from(n, -1), stamp(n, -1), queue;
    queue.reserve(n);
    for (std::int32_t s = 0; s < g.n && !found.full(); ++s) {
        // Only sources some kept mark points to.
        bool pointed = false;
        for (std::int32_t i = g.needed_ptr[s]; i < g.needed_ptr[s + 1] && !pointed; ++i) {
            pointed = kept[static_cast<std::size_t>(g.needed_mark[static_cast<std::size_t>(i)])] != 0;
        }
        if (!pointed) continue;
        if (poll && !poll(-1)) break;
        queue.assign(1, s);
        stamp[static_cast<std::size_t>(s)] = s;
        via[static_cast<std::size_t>(s)] = -1;
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const std::int32_t u = queue[head];
            for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
                const std::int32_t w = g.needs[static_cast<std::size_t>(k)];
                if (!kept[static_cast<std::size_t>(k)] || stamp[static_cast<std::size_t>(w)] == s) continue;
                stamp[static_cast<std::size_t>(w)] = s;
                via[static_cast<std::size_t>(w)] = k;
                from[static_cast<std::size_t>(w)] = u;
                queue.push_back(w);
            }
        }
        // Every kept mark "u needs s" with u reached closes a shortest cycle.
        for (std::int32_t i = g.needed_ptr[s]; i < g.needed_ptr[s + 1] && !found.full(); ++i) {
            const std::int32_t u = g.needed_by[static_cast<std::size_t>(i)];
            const std::int32_t closing = g.needed_mark[static_cast<std::size_t>(i)];
            if (!kept[static_cast<std::size_t>(closing)] || stamp[static_cast<std::size_t>(u)] != s) continue;
            Cycle cycle{closing};
            for (std::int32_t x = u; x != s; x = from[static_cast<std::size_t>(x)]) {
                cycle.push_back(via[static_cast<std::size_t>(x)]);
            }
            found.add(std::move(cycle));
        }
    }
    return found.take();
}

std::vector<Cycle> light_cycles(const Graph& g, std::span<const double> weight, std::size_t limit,
                                double tolerance) {
    if (weight.size() != g.needs.size()) {
        throw InputError("weight must hold one value per mark (" + std::to_string(g.needs.size()) + "), got " +
                         std::to_string(weight.size()));
    }
    const auto n = static_cast<std::size_t>(g.n);
    const double cut = 1.0 - tolerance;
    CycleSet found(limit);
    std::vector<double> dist(n, 0.0);
    std::vector<std::int32_t> via(n, -1), stamp(n, -1), from(n, -1);
    std::vector<char> settled(n, 0);
    std::vector<std::int32_t> touched;
    using Entry = std::pair<double, std::int32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
    std::vector<std::pair<double, std::int32_t>> closing;  // (cycle weight, needed_by entry)
    const auto w = [&](std::int32_t k) { return std::max(0.0, weight[static_cast<std::size_t>(k)]); };
    for (std::int32_t s = 0; s < g.n && !found.full(); ++s) {
        // Only worth a search when some mark into s is light enough.
        bool light = false;
        for (std::int32_t i = g.needed_ptr[s]; i < g.needed_ptr[s + 1] && !light; ++i) {
            light = w(g.needed_mark[static_cast<std::size_t>(i)]) < cut;
        }
        if (!light) continue;
        for (std::int32_t v : touched) settled[static_cast<std::size_t>(v)] = 0;
        touched.clear();
        heap.push({0.0, s});
        stamp[static_cast<std::size_t>(s)] = s;
        dist[static_cast<std::size_t>(s)] = 0.0;
        via[static_cast<std::size_t>(s)] = -1;
        touched.push_back(s);
        while (!heap.empty()) {
            const auto [d, u] = heap.top();
            heap.pop();
            if (settled[static_cast<std::size_t>(u)] || d > dist[static_cast<std::size_t>(u)]) continue;
            if (d >= cut) break;
            settled[static_cast<std::size_t>(u)] = 1;
            for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
                const std::int32_t x = g.needs[static_cast<std::size_t>(k)];
                const double nd = d + w(k);
                if (nd >= cut) continue;
                const auto ux = static_cast<std::size_t>(x);
                if (stamp[ux] != s || nd < dist[ux]) {
                    if (stamp[ux] != s) touched.push_back(x);
                    stamp[ux] = s;
                    dist[ux] = nd;
                    via[ux] = k;
                    from[ux] = u;
                    heap.push({nd, x});
                }
            }
        }
        while (!heap.empty()) heap.pop();
        closing.clear();
        for (std::int32_t i = g.needed_ptr[s]; i < g.needed_ptr[s + 1]; ++i) {
            const std::int32_t u = g.needed_by[static_cast<std::size_t>(i)];
            if (stamp[static_cast<std::size_t>(u)] != s || !settled[static_cast<std::size_t>(u)]) continue;
            const double total = dist[static_cast<std::size_t>(u)] + w(g.needed_mark[static_cast<std::size_t>(i)]);
            if (total < cut) closing.emplace_back(total, i);
        }
        std::sort(closing.begin(), closing.end());
        for (const auto& [total, i] : closing) {
            if (found.full()) break;
            Cycle cycle{g.needed_mark[static_cast<std::size_t>(i)]};
            for (std::int32_t x = g.needed_by[static_cast<std::size_t>(i)]; x != s; x = from[static_cast<std::size_t>(x)]) {
                cycle.push_back(via[static_cast<std::size_t>(x)]);
            }
            found.add(std::move(cycle));
        }
    }
    return found.take();
}

std::vector<std::int32_t> order_keeping(const Graph& g, std::span<const std::uint8_t> kept, Objective objective) {
    if (kept.size() != g.needs.size()) {
        throw InputError("kept must hold one value per mark (" + std::to_string(g.needs.size()) + "), got " +
                         std::to_string(kept.size()));
    }
    std::vector<std::int32_t> rows, cols;
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
            if (kept[static_cast<std::size_t>(k)]) {
                rows.push_back(u);
                cols.push_back(g.needs[static_cast<std::size_t>(k)]);
            }
        }
    }
    const Split parts = split(Graph::from_pairs(g.n, rows, cols));
    return sift_by(g, parts.items, objective);
}

}  // namespace ovila::order
