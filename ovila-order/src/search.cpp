#include "search.hpp"

#include <cstring>

namespace ovila::order {

Arrangement::Arrangement(const Graph& g, std::vector<std::int32_t> order, bool dense)
    : order_(std::move(order)), reach_(std::min(g.n, reach_limit)) {
    const auto n = static_cast<std::size_t>(g.n);
    pos_.resize(n);
    for (std::size_t i = 0; i < n; ++i) pos_[order_[i]] = static_cast<std::int32_t>(i);
    cost_ = feedback(g, order_);
    std::vector<std::int32_t> scratch(n, 0);
    nb_ptr_.assign(n + 1, 0);
    for (std::int32_t v = 0; v < g.n; ++v) {
        for (std::int32_t w : g.needs_of(v)) scratch[w] += 1;
        for (std::int32_t w : g.needed_by_of(v)) scratch[w] -= 1;
        auto keep = [&](std::int32_t w) {
            if (scratch[w] != 0) {
                nb_.push_back(w);
                coef_.push_back(static_cast<std::int8_t>(scratch[w]));
                scratch[w] = 0;
            }
        };
        for (std::int32_t w : g.needs_of(v)) keep(w);
        for (std::int32_t w : g.needed_by_of(v)) keep(w);
        nb_ptr_[static_cast<std::size_t>(v) + 1] = static_cast<std::int32_t>(nb_.size());
    }
    if (dense && g.n <= dense_limit) {
        dense_.assign(n * n, 0);
        for (std::size_t v = 0; v < n; ++v) {
            for (std::int32_t k = nb_ptr_[v]; k < nb_ptr_[v + 1]; ++k) dense_[v * n + static_cast<std::size_t>(nb_[k])] = coef_[k];
        }
    }
}

Arrangement::Move Arrangement::best_move(std::int32_t v) {
    const std::int32_t p = pos_[v];
    if (!dense_.empty()) {
        const std::int8_t* row = dense_.data() + static_cast<std::size_t>(v) * order_.size();
        const std::int32_t* order = order_.data();
        Move best{0, p};
        std::int32_t d = 0;
        for (std::int32_t q = p - 1; q >= 0; --q) {
            d += row[order[q]];
            if (d < best.delta) best = {d, q};
        }
        d = 0;
        const auto n = static_cast<std::int32_t>(order_.size());
        for (std::int32_t q = p + 1; q < n; ++q) {
            d -= row[order[q]];
            if (d < best.delta) best = {d, q};
        }
        return best;
    }
    const std::int32_t lo = nb_ptr_[v], hi = nb_ptr_[v + 1];
    keys_.clear();
    for (std::int32_t k = lo; k < hi; ++k) {
        const std::int32_t q = pos_[nb_[k]];
        if (q > p + reach_ || q < p - reach_) continue;
        keys_.push_back(static_cast<std::uint64_t>(q) << 1 | (coef_[k] > 0 ? 1u : 0u));
    }
    std::sort(keys_.begin(), keys_.end());
    const auto split = std::lower_bound(keys_.begin(), keys_.end(), static_cast<std::uint64_t>(p) << 1);
    Move best{0, p};
    std::int64_t d = 0;
    for (auto it = split; it != keys_.begin();) {
        --it;
        d += (*it & 1u) ? 1 : -1;
        if (d < best.delta) best = {d, static_cast<std::int32_t>(*it >> 1)};
    }
    d = 0;
    for (auto it = split; it != keys_.end(); ++it) {
        d -= (*it & 1u) ? 1 : -1;
        if (d < best.delta) best = {d, static_cast<std::int32_t>(*it >> 1)};
    }
    return best;
}

std::int64_t Arrangement::delta_to(std::int32_t v, std::int32_t to) const {
    const std::int32_t p = pos_[v];
    if (!dense_.empty()) {
        const std::int8_t* row = dense_.data() + static_cast<std::size_t>(v) * order_.size();
        std::int32_t d = 0;
        if (to < p) {
            for (std::int32_t q = to; q < p; ++q) d += row[order_[q]];
        } else {
            for (std::int32_t q = p + 1; q <= to; ++q) d -= row[order_[q]];
        }
        return d;
    }
    std::int64_t d = 0;
    for (std::int32_t k = nb_ptr_[v]; k < nb_ptr_[v + 1]; ++k) {
        const std::int32_t q = pos_[nb_[k]];
        if (to < p && q >= to && q < p) d += coef_[k];
        else if (to > p && q > p && q <= to) d -= coef_[k];
    }
    return d;
}

void Arrangement::move(std::int32_t v, std::int32_t to, std::int64_t delta) {
    const std::int32_t p = pos_[v];
    if (to < p) {
        std::memmove(&order_[to + 1], &order_[to], sizeof(std::int32_t) * static_cast<std::size_t>(p - to));
        for (std::int32_t i = to + 1; i <= p; ++i) pos_[order_[i]] = i;
    } else if (to > p) {
        std::memmove(&order_[p], &order_[p + 1], sizeof(std::int32_t) * static_cast<std::size_t>(to - p));
        for (std::int32_t i = p; i < to; ++i) pos_[order_[i]] = i;
    }
    order_[to] = v;
    pos_[v] = to;
    cost_ += delta;
}

void Arrangement::assign(std::vector<std::int32_t> order, std::int64_t cost) {
    order_ = std::move(order);
    for (std::size_t i = 0; i < order_.size(); ++i) pos_[order_[i]] = static_cast<std::int32_t>(i);
    cost_ = cost;
}

std::int64_t move_delta(const Graph& g, std::span<const std::int32_t> order, std::span<const std::int32_t> pos,
                        std::int32_t from, std::int32_t to) {
    const std::int32_t v = order[from];
    std::int64_t d = 0;
    const std::int32_t lo = std::min(from, to), hi = std::max(from, to);
    const int sign = to < from ? 1 : -1;
    for (std::int32_t w : g.needs_of(v)) {
        if (pos[w] >= lo && pos[w] <= hi && w != v) d += sign;
    }
    for (std::int32_t w : g.needed_by_of(v)) {
        if (pos[w] >= lo && pos[w] <= hi && w != v) d -= sign;
    }
    return d;
}

std::vector<std::int32_t> sift(const Graph& g, std::vector<std::int32_t> order) {
    Arrangement a(g, std::move(order));
    for (bool moved = true; moved;) {
        moved = false;
        for (std::int32_t v = 0; v < g.n; ++v) {
            const auto m = a.best_move(v);
            if (m.delta < 0) {
                a.move(v, m.to, m.delta);
                moved = true;
            }
        }
    }
    return a.order();
}

}  // namespace ovila::order
