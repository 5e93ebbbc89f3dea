// Eades, Lin & Smyth (1993): repeatedly place an item that needs nothing
// left at the front, an item that nothing left needs at the back, and
// otherwise the item with the largest (needed by) - (needs) at the front.
// Items wait in buckets of doubly linked lists, so a run is O(n + m).
#include "ovila/order/order.hpp"

namespace ovila::order {

std::vector<std::int32_t> greedy(const Graph& g, const Poll& poll) {
    const std::int32_t n = g.n;
    const auto un = static_cast<std::size_t>(n);
    if (n == 0) return {};
    // Buckets 0..2n-2 hold difference + n - 1; then the front and back buckets.
    const std::int32_t front = 2 * n - 1, back = 2 * n, n_buckets = 2 * n + 1;
    std::vector<std::int32_t> head(static_cast<std::size_t>(n_buckets), -1), next(un, -1), prev(un, -1),
        bucket(un, -1);
    std::vector<std::int32_t> out_left(un), in_left(un);
    std::vector<char> placed(un, 0);
    std::int32_t top = -1;  // no non-empty difference bucket above this one

    auto unlink = [&](std::int32_t v) {
        const std::int32_t b = bucket[v];
        if (prev[v] >= 0) next[prev[v]] = next[v]; else head[b] = next[v];
        if (next[v] >= 0) prev[next[v]] = prev[v];
    };
    auto link = [&](std::int32_t v) {
        std::int32_t b;
        if (out_left[v] == 0) b = front;
        else if (in_left[v] == 0) b = back;
        else {
            b = in_left[v] - out_left[v] + n - 1;
            if (b > top) top = b;
        }
        bucket[v] = b;
        prev[v] = -1;
        next[v] = head[b];
        if (head[b] >= 0) prev[head[b]] = v;
        head[b] = v;
    };
    for (std::int32_t v = 0; v < n; ++v) {
        out_left[v] = static_cast<std::int32_t>(g.needs_of(v).size());
        in_left[v] = static_cast<std::int32_t>(g.needed_by_of(v).size());
        link(v);
    }
    std::vector<std::int32_t> first, last;
    first.reserve(un);
    auto take = [&](std::int32_t v) {
        unlink(v);
        placed[v] = 1;
        for (std::int32_t u : g.needed_by_of(v)) {
            if (placed[u]) continue;
            unlink(u);
            --out_left[u];
            link(u);
        }
        for (std::int32_t w : g.needs_of(v)) {
            if (placed[w]) continue;
            unlink(w);
            --in_left[w];
            link(w);
        }
    };
    std::int32_t left = n;
    while (left > 0) {
        if (poll && (left & 4095) == 0 && !poll(-1)) {
            // Stopped: the items not placed yet go in the middle, in index order.
            for (std::int32_t v = 0; v < n; ++v) {
                if (!placed[v]) first.push_back(v);
            }
            break;
        }
        if (head[front] >= 0) {
            const std::int32_t v = head[front];
            take(v);
            first.push_back(v);
        } else if (head[back] >= 0) {
            const std::int32_t v = head[back];
            take(v);
            last.push_back(v);
        } else {
            while (head[top] < 0) --top;
            const std::int32_t v = head[top];
            take(v);
            first.push_back(v);
        }
        --left;
    }
    first.insert(first.end(), last.rbegin(), last.rend());
    return first;
}

}  // namespace ovila::order
