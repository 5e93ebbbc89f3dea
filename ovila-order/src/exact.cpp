// Dynamic programming over subsets: best[S] is the fewest feedback marks
// among the items of S when S comes first; appending v after S adds the
// marks "u needs v" with u in S. The order is read back from the table.
#include <bit>
#include <limits>
#include <string>

#include "ovila/order/objective.hpp"
#include "ovila/order/order.hpp"

namespace ovila::order {

std::optional<Exact> exact(const Graph& g, const Poll& poll) {
    const std::int32_t n = g.n;
    if (n > exact_limit) {
        throw InputError("exact search takes at most " + std::to_string(exact_limit) + " items, got " +
                         std::to_string(n));
    }
    std::vector<std::uint32_t> needers(static_cast<std::size_t>(n), 0);
    for (std::int32_t v = 0; v < n; ++v) {
        for (std::int32_t u : g.needed_by_of(v)) needers[v] |= 1u << u;
    }
    const std::uint32_t full = n == 0 ? 0u : (n == 32 ? ~0u : (1u << n) - 1u);
    std::vector<std::uint16_t> best(static_cast<std::size_t>(full) + 1);
    best[0] = 0;
    for (std::uint32_t set = 1; set <= full && set != 0; ++set) {
        if (((set - 1) & 0xFFFFu) == 0 && !poll(-1)) return std::nullopt;
        std::uint32_t lowest = std::numeric_limits<std::uint16_t>::max();
        for (std::uint32_t rest = set; rest != 0; rest &= rest - 1) {
            const int v = std::countr_zero(rest);
            const std::uint32_t before = set & ~(1u << v);
            const std::uint32_t c = best[before] + static_cast<std::uint32_t>(std::popcount(needers[v] & before));
            if (c < lowest) lowest = c;
        }
        best[set] = static_cast<std::uint16_t>(lowest);
    }
    Exact out;
    out.cost = best[full];
    out.order.resize(static_cast<std::size_t>(n));
    std::uint32_t set = full;
    for (std::int32_t place = n - 1; place >= 0; --place) {
        for (std::uint32_t rest = set; rest != 0; rest &= rest - 1) {
            const int v = std::countr_zero(rest);
            const std::uint32_t before = set & ~(1u << v);
            if (best[before] + std::popcount(needers[v] & before) == best[set]) {
                out.order[place] = v;
                set = before;
                break;
            }
        }
    }
    return out;
}

}  // namespace ovila::order

namespace ovila::order {

std::optional<ExactScore> exact_by(const Graph& g, Objective objective, bool tie_break, const Poll& poll) {
    const std::int32_t n = g.n;
    if (n > exact_by_limit) {
        throw InputError("exact search by score takes at most " + std::to_string(exact_by_limit) + " items, got " +
                         std::to_string(n));
    }
    // needers[v]: the items u with "u needs v"; needed[v]: the items v needs.
    std::vector<std::uint32_t> needers(static_cast<std::size_t>(n), 0), needed(static_cast<std::size_t>(n), 0);
    std::vector<std::int64_t> weight(static_cast<std::size_t>(n) * static_cast<std::size_t>(std::max(n, 1)), 0);
    for (std::int32_t u = 0; u < n; ++u) {
        for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
            const std::int32_t v = g.needs[static_cast<std::size_t>(k)];
            needers[v] |= 1u << u;
            needed[u] |= 1u << v;
            weight[static_cast<std::size_t>(v) * static_cast<std::size_t>(n) + static_cast<std::size_t>(u)] =
                mark_weight(g, static_cast<std::size_t>(k));
        }
    }
    const std::uint32_t full = n == 0 ? 0u : (1u << n) - 1u;
    // Placing v after the items of `before`: the feedback marks "u needs v".
    const auto step = [&](std::int32_t v, std::uint32_t before) -> std::int64_t {
        const std::uint32_t back = needers[v] & before;
        if (objective != Objective::weight || g.weight.empty()) return std::popcount(back);
        std::int64_t total = 0;
        for (std::uint32_t rest = back; rest != 0; rest &= rest - 1) {
            total += weight[static_cast<std::size_t>(v) * static_cast<std::size_t>(n) + static_cast<std::size_t>(std::countr_zero(rest))];
        }
        return total;
    };
    // cut[S]: the marks from S to the items after it, which the gap after S
    // (as the first |S| items) adds to the total distance.
    std::vector<std::int32_t> cut(static_cast<std::size_t>(full) + 1, 0);
    std::vector<Score> best(static_cast<std::size_t>(full) + 1);
    const auto better = [&](const Score& a, const Score& b) {
        return tie_break ? a < b : a.objective < b.objective;
    };
    for (std::uint32_t set = 1; set <= full && set != 0; ++set) {
        if (((set - 1) & 0xFFFFu) == 0 && poll && !poll(-1)) return std::nullopt;
        const int low = std::countr_zero(set);
        const std::uint32_t rest_of = set & ~(1u << low);
        cut[set] = cut[rest_of] + std::popcount(needed[low] & ~set) - std::popcount(needers[low] & rest_of);
        const std::int64_t gap = set == full ? 0 : cut[set];
        Score lowest;
        bool first = true;
        for (std::uint32_t rest = set; rest != 0; rest &= rest - 1) {
            const int v = std::countr_zero(rest);
            const std::uint32_t before = set & ~(1u << v);
            Score s = best[before];
            s.objective += objective == Objective::distance ? 0 : step(v, before);
            s.inversions += std::popcount(before >> (v + 1));
            if (first || better(s, lowest)) lowest = s, first = false;
        }
        lowest.distance += gap;
        if (objective == Objective::distance) lowest.objective += gap;
        best[set] = lowest;
    }
    ExactScore out;
    out.score = best[full];
    out.order.resize(static_cast<std::size_t>(n));
    std::uint32_t set = full;
    for (std::int32_t place = n - 1; place >= 0; --place) {
        const std::int64_t gap = set == full ? 0 : cut[set];
        for (std::uint32_t rest = set; rest != 0; rest &= rest - 1) {
            const int v = std::countr_zero(rest);
            const std::uint32_t before = set & ~(1u << v);
            Score s = best[before];
            s.objective += objective == Objective::distance ? gap : step(v, before);
            s.distance += gap;
            s.inversions += std::popcount(before >> (v + 1));
            if (tie_break ? s == best[set] : s.objective == best[set].objective) {
                out.order[static_cast<std::size_t>(place)] = v;
                set = before;
                break;
            }
        }
    }
    return out;
}

}  // namespace ovila::order
