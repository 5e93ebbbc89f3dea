#include "ovila/order/objective.hpp"

#include <algorithm>

namespace ovila::order {

namespace {

std::vector<std::int32_t> positions(std::int32_t n, std::span<const std::int32_t> order) {
    std::vector<std::int32_t> pos(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < order.size(); ++i) pos[static_cast<std::size_t>(order[i])] = static_cast<std::int32_t>(i);
    return pos;
}

// Pairs out of index order, by merge sort.
std::int64_t inversions(std::vector<std::int32_t> values) {
    std::vector<std::int32_t> scratch(values.size());
    std::int64_t count = 0;
    for (std::size_t width = 1; width < values.size(); width *= 2) {
        for (std::size_t lo = 0; lo < values.size(); lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, values.size()), hi = std::min(lo + 2 * width, values.size());
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (values[j] < values[i]) {
                    count += static_cast<std::int64_t>(mid - i);
                    scratch[k++] = values[j++];
                } else {
                    scratch[k++] = values[i++];
                }
            }
            while (i < mid) scratch[k++] = values[i++];
            while (j < hi) scratch[k++] = values[j++];
        }
        values.swap(scratch);
    }
    return count;
}

}  // namespace

std::int64_t total_weight(const Graph& g, std::span<const std::int32_t> order) {
    const auto pos = positions(g.n, order);
    std::int64_t total = 0;
    for (std::int32_t u = 0; u < g.n; ++u) {
        for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
            const auto v = static_cast<std::size_t>(g.needs[static_cast<std::size_t>(k)]);
            if (pos[static_cast<std::size_t>(u)] < pos[v]) total += mark_weight(g, static_cast<std::size_t>(k));
        }
    }
    return total;
}

std::int64_t total_distance(const Graph& g, std::span<const std::int32_t> order) {
    const auto pos = positions(g.n, order);
    std::int64_t total = 0;
    for (std::int32_t u = 0; u < g.n; ++u) {
        const std::int32_t pu = pos[static_cast<std::size_t>(u)];
        for (std::int32_t v : g.needs_of(u)) total += std::max(0, pos[static_cast<std::size_t>(v)] - pu);
    }
    return total;
}

std::int64_t cost_of(const Graph& g, std::span<const std::int32_t> order, Objective objective) {
    switch (objective) {
        case Objective::marks: return feedback(g, order);
        case Objective::weight: return total_weight(g, order);
        case Objective::distance: return total_distance(g, order);
    }
    return 0;
}

Score score_of(const Graph& g, std::span<const std::int32_t> order, Objective objective) {
    return {cost_of(g, order, objective), total_distance(g, order),
            inversions(std::vector<std::int32_t>(order.begin(), order.end()))};
}

void DistanceSweep::half(std::span<const std::int32_t> order, std::span<const std::int32_t> pos, std::int32_t p,
                         std::int32_t end, int direction, std::vector<std::int64_t>& out, std::int32_t lo) const {
    // Moving x from p to q: the items passed shift one place toward p. A
    // feedback mark between two other items changes length only when one
    // of its ends is passed and the other is not; x's own marks are summed
    // as counts and position sums of the items on either side of it.
    const std::int32_t x = order[static_cast<std::size_t>(p)];
    std::int64_t before_count = 0, before_sum = 0, after_count = 0, after_sum = 0;
    for (std::int32_t w : g_.needed_by_of(x)) {
        const std::int32_t pw = pos[static_cast<std::size_t>(w)];
        if (pw < p) ++before_count, before_sum += pw;
    }
    for (std::int32_t w : g_.needs_of(x)) {
        const std::int32_t pw = pos[static_cast<std::size_t>(w)];
        if (pw > p) ++after_count, after_sum += pw;
    }
    const auto own = [&](std::int64_t q) { return (after_sum - after_count * q) + (before_count * q - before_sum); };
    const std::int64_t old = own(p);
    std::int64_t others = 0;
    for (std::int32_t q = p + direction; direction > 0 ? q <= end : q >= end; q += direction) {
        const std::int32_t y = order[static_cast<std::size_t>(q)];
        std::int64_t out_after = 0, in_before = 0;
        bool y_needs_x = false, x_needs_y = false;
        for (std::int32_t b : g_.needs_of(y)) {
            if (b == x) y_needs_x = true;
            else if (pos[static_cast<std::size_t>(b)] > q) ++out_after;
        }
        for (std::int32_t a : g_.needed_by_of(y)) {
            if (a == x) x_needs_y = true;
            else if (pos[static_cast<std::size_t>(a)] < q) ++in_before;
        }
        others += direction * (out_after - in_before);
        if (direction > 0) {  // y now lies before x, one place earlier than it was
            if (x_needs_y) --after_count, after_sum -= q;
            if (y_needs_x) ++before_count, before_sum += q - 1;
        } else {  // y now lies after x, one place later than it was
            if (y_needs_x) --before_count, before_sum -= q;
            if (x_needs_y) ++after_count, after_sum += q + 1;
        }
        out[static_cast<std::size_t>(q - lo)] = others + own(q) - old;
    }
}

void DistanceSweep::sweep(std::span<const std::int32_t> order, std::span<const std::int32_t> pos, std::int32_t p,
                          std::int32_t lo, std::int32_t hi, std::vector<std::int64_t>& out) const {
    out.assign(static_cast<std::size_t>(hi - lo + 1), 0);
    half(order, pos, p, hi, +1, out, lo);
    half(order, pos, p, lo, -1, out, lo);
}

std::int64_t DistanceSweep::delta(std::span<const std::int32_t> order, std::span<const std::int32_t> pos,
                                  std::int32_t p, std::int32_t q) const {
    if (q == p) return 0;
    std::vector<std::int64_t> out(static_cast<std::size_t>(std::abs(q - p)) + 1);
    const std::int32_t lo = std::min(p, q);
    half(order, pos, p, q, q > p ? +1 : -1, out, lo);
    return out[static_cast<std::size_t>(q - lo)];
}

}  // namespace ovila::order
