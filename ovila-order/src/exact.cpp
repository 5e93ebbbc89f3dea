// Dynamic programming over subsets: best[S] is the fewest feedback marks
// among the items of S when S comes first; appending v after S adds the
// marks "u needs v" with u in S. The order is read back from the table.
#include <bit>
#include <limits>
#include <string>

#include "order.hpp"

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
