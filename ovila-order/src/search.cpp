#include "ovila/order/search.hpp"

#include <cstring>

namespace ovila::order {

namespace {

// Moves v to place `to`, the items between shifting by one; `pos` follows.
void shift(std::vector<std::int32_t>& order, std::vector<std::int32_t>& pos, std::int32_t v, std::int32_t to) {
    const std::int32_t p = pos[v];
    if (to < p) {
        std::memmove(&order[to + 1], &order[to], sizeof(std::int32_t) * static_cast<std::size_t>(p - to));
        for (std::int32_t i = to + 1; i <= p; ++i) pos[order[i]] = i;
    } else if (to > p) {
        std::memmove(&order[p], &order[p + 1], sizeof(std::int32_t) * static_cast<std::size_t>(to - p));
        for (std::int32_t i = p; i < to; ++i) pos[order[i]] = i;
    }
    order[to] = v;
    pos[v] = to;
}

void place_all(const std::vector<std::int32_t>& order, std::vector<std::int32_t>& pos) {
    for (std::size_t i = 0; i < order.size(); ++i) pos[order[i]] = static_cast<std::int32_t>(i);
}

}  // namespace

template <class Coef>
BasicArrangement<Coef>::BasicArrangement(const Graph& g, std::vector<std::int32_t> order, bool dense)
    : order_(std::move(order)), reach_(std::min(g.n, reach_limit)) {
    constexpr bool weighted = sizeof(Coef) > 1;
    const auto n = static_cast<std::size_t>(g.n);
    pos_.resize(n);
    place_all(order_, pos_);
    cost_ = weighted ? total_weight(g, order_) : feedback(g, order_);
    std::vector<std::int64_t> scratch(n, 0);
    nb_ptr_.assign(n + 1, 0);
    for (std::int32_t v = 0; v < g.n; ++v) {
        for (std::int32_t k = g.needs_ptr[v]; k < g.needs_ptr[v + 1]; ++k) {
            scratch[g.needs[static_cast<std::size_t>(k)]] += weighted ? mark_weight(g, static_cast<std::size_t>(k)) : 1;
        }
        for (std::int32_t i = g.needed_ptr[v]; i < g.needed_ptr[v + 1]; ++i) {
            const auto k = static_cast<std::size_t>(g.needed_mark[static_cast<std::size_t>(i)]);
            scratch[g.needed_by[static_cast<std::size_t>(i)]] -= weighted ? mark_weight(g, k) : 1;
        }
        auto keep = [&](std::int32_t w) {
            if (scratch[w] != 0) {
                nb_.push_back(w);
                coef_.push_back(static_cast<Coef>(scratch[w]));
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

template <class Coef>
typename BasicArrangement<Coef>::Move BasicArrangement<Coef>::best_move(std::int32_t v) {
    const std::int32_t p = pos_[v];
    if (!dense_.empty()) {
        const Coef* row = dense_.data() + static_cast<std::size_t>(v) * order_.size();
        const std::int32_t* order = order_.data();
        Move best{0, p};
        std::int64_t d = 0;
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
    Move best{0, p};
    if constexpr (sizeof(Coef) == 1) {
        keys_.clear();
        for (std::int32_t k = lo; k < hi; ++k) {
            const std::int32_t q = pos_[nb_[k]];
            if (q > p + reach_ || q < p - reach_) continue;
            keys_.push_back(static_cast<std::uint64_t>(q) << 1 | (coef_[k] > 0 ? 1u : 0u));
        }
        std::sort(keys_.begin(), keys_.end());
        const auto split = std::lower_bound(keys_.begin(), keys_.end(), static_cast<std::uint64_t>(p) << 1);
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
    } else {
        pairs_.clear();
        for (std::int32_t k = lo; k < hi; ++k) {
            const std::int32_t q = pos_[nb_[k]];
            if (q > p + reach_ || q < p - reach_) continue;
            pairs_.emplace_back(q, coef_[k]);
        }
        std::sort(pairs_.begin(), pairs_.end());
        const auto split = std::lower_bound(pairs_.begin(), pairs_.end(), std::pair<std::int32_t, std::int64_t>{p, INT64_MIN});
        std::int64_t d = 0;
        for (auto it = split; it != pairs_.begin();) {
            --it;
            d += it->second;
            if (d < best.delta) best = {d, it->first};
        }
        d = 0;
        for (auto it = split; it != pairs_.end(); ++it) {
            d -= it->second;
            if (d < best.delta) best = {d, it->first};
        }
    }
    return best;
}

template <class Coef>
std::int64_t BasicArrangement<Coef>::delta_to(std::int32_t v, std::int32_t to) const {
    const std::int32_t p = pos_[v];
    if (!dense_.empty()) {
        const Coef* row = dense_.data() + static_cast<std::size_t>(v) * order_.size();
        std::int64_t d = 0;
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

template <class Coef>
void BasicArrangement<Coef>::deltas(std::int32_t v, std::int32_t lo, std::int32_t hi, std::vector<std::int64_t>& out) const {
    const std::int32_t p = pos_[v];
    out.assign(static_cast<std::size_t>(hi - lo + 1), 0);
    // Moving v to q passes the items between: their costs add up from p.
    for (std::int32_t k = nb_ptr_[v]; k < nb_ptr_[v + 1]; ++k) {
        const std::int32_t q = pos_[nb_[k]];
        if (q < p && q >= lo) out[static_cast<std::size_t>(q - lo)] += coef_[k];
        else if (q > p && q <= hi) out[static_cast<std::size_t>(q - lo)] -= coef_[k];
    }
    for (std::int32_t q = p - 2; q >= lo; --q) out[static_cast<std::size_t>(q - lo)] += out[static_cast<std::size_t>(q + 1 - lo)];
    for (std::int32_t q = p + 2; q <= hi; ++q) out[static_cast<std::size_t>(q - lo)] += out[static_cast<std::size_t>(q - 1 - lo)];
    out[static_cast<std::size_t>(p - lo)] = 0;
}


template <class Coef>
void BasicArrangement<Coef>::move(std::int32_t v, std::int32_t to, std::int64_t delta) {
    shift(order_, pos_, v, to);
    cost_ += delta;
}

template <class Coef>
void BasicArrangement<Coef>::assign(std::vector<std::int32_t> order, std::int64_t cost) {
    order_ = std::move(order);
    place_all(order_, pos_);
    cost_ = cost;
}

template class BasicArrangement<std::int8_t>;
template class BasicArrangement<std::int32_t>;

DistanceArrangement::DistanceArrangement(const Graph& g, std::vector<std::int32_t> order, bool dense)
    : g_(g), sweep_(g), order_(std::move(order)), reach_(std::min(g.n, 2048)), dense_(dense) {
    const auto n = static_cast<std::size_t>(g.n);
    pos_.resize(n);
    place_all(order_, pos_);
    cost_ = total_distance(g, order_);
    nb_ptr_.assign(n + 1, 0);
    for (std::int32_t v = 0; v < g.n; ++v) {
        nb_.insert(nb_.end(), g.needs_of(v).begin(), g.needs_of(v).end());
        nb_.insert(nb_.end(), g.needed_by_of(v).begin(), g.needed_by_of(v).end());
        nb_ptr_[static_cast<std::size_t>(v) + 1] = static_cast<std::int32_t>(nb_.size());
    }
}

DistanceArrangement::Move DistanceArrangement::best_move(std::int32_t v) {
    const std::int32_t p = pos_[v];
    const std::int32_t lo = std::max(0, p - reach_), hi = std::min(size() - 1, p + reach_);
    sweep_.sweep(order_, pos_, p, lo, hi, scratch_);
    Move best{0, p};
    for (std::int32_t d = 1; p - d >= lo || p + d <= hi; ++d) {  // the nearest first among equals
        for (std::int32_t q : {p - d, p + d}) {
            if (q < lo || q > hi) continue;
            if (scratch_[static_cast<std::size_t>(q - lo)] < best.delta) best = {scratch_[static_cast<std::size_t>(q - lo)], q};
        }
    }
    return best;
}

std::int64_t DistanceArrangement::delta_to(std::int32_t v, std::int32_t to) const {
    return sweep_.delta(order_, pos_, pos_[v], to);
}

void DistanceArrangement::deltas(std::int32_t v, std::int32_t lo, std::int32_t hi, std::vector<std::int64_t>& out) const {
    sweep_.sweep(order_, pos_, pos_[v], lo, hi, out);
}

void DistanceArrangement::move(std::int32_t v, std::int32_t to, std::int64_t delta) {
    shift(order_, pos_, v, to);
    cost_ += delta;
}

void DistanceArrangement::assign(std::vector<std::int32_t> order, std::int64_t cost) {
    order_ = std::move(order);
    place_all(order_, pos_);
    cost_ = cost;
}

namespace {

template <class A>
bool polish_with(const Graph& g, A& a, const Poll& poll) {
    const DistanceSweep sweep(g);
    const std::int32_t n = a.size(), reach = std::min(n, 2048);
    std::vector<std::int64_t> primary, distance, inversions;
    for (bool moved = true; moved;) {
        moved = false;
        for (std::int32_t v = 0; v < n; ++v) {
            if ((v & 63) == 0 && poll && !poll(a.cost())) return false;
            const std::int32_t p = a.position(v);
            const std::int32_t lo = std::max(0, p - reach), hi = std::min(n - 1, p + reach);
            a.deltas(v, lo, hi, primary);
            sweep.sweep(a.order(), a.positions(), p, lo, hi, distance);
            // Pairs out of index order: moving v past an item w adds one
            // when they leave index order, removes one when they enter it.
            inversions.assign(primary.size(), 0);
            for (std::int32_t q = p - 1; q >= lo; --q) {
                inversions[static_cast<std::size_t>(q - lo)] =
                    inversions[static_cast<std::size_t>(q + 1 - lo)] + (v < a.item(q) ? -1 : 1);
            }
            for (std::int32_t q = p + 1; q <= hi; ++q) {
                inversions[static_cast<std::size_t>(q - lo)] =
                    inversions[static_cast<std::size_t>(q - 1 - lo)] + (v > a.item(q) ? -1 : 1);
            }
            // The least score; the nearest place among equals, the earlier one first.
            Score best{0, 0, 0};
            std::int32_t to = p;
            for (std::int32_t d = 1; p - d >= lo || p + d <= hi; ++d) {
                for (std::int32_t q : {p - d, p + d}) {
                    if (q < lo || q > hi) continue;
                    const auto i = static_cast<std::size_t>(q - lo);
                    const Score s{primary[i], distance[i], inversions[i]};
                    if (s < best) best = s, to = q;
                }
            }
            if (to != p) {
                a.move(v, to, best.objective);
                moved = true;
            }
        }
    }
    return true;
}

}  // namespace

bool polish(const Graph& g, Objective objective, std::vector<std::int32_t>& order, const Poll& poll) {
    bool done = false;
    switch (objective) {
        case Objective::marks: {
            Arrangement a(g, order, false);
            done = polish_with(g, a, poll);
            order = a.order();
            break;
        }
        case Objective::weight: {
            WeightArrangement a(g, order, false);
            done = polish_with(g, a, poll);
            order = a.order();
            break;
        }
        case Objective::distance: {
            DistanceArrangement a(g, order, false);
            done = polish_with(g, a, poll);
            order = a.order();
            break;
        }
    }
    return done;
}

namespace {

template <class A>
std::vector<std::int32_t> sift_with(const Graph& g, std::vector<std::int32_t> order) {
    A a(g, std::move(order));
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

}  // namespace

std::vector<std::int32_t> sift(const Graph& g, std::vector<std::int32_t> order) {
    return sift_with<Arrangement>(g, std::move(order));
}

std::vector<std::int32_t> sift_by(const Graph& g, std::vector<std::int32_t> order, Objective objective) {
    switch (objective) {
        case Objective::marks: return sift_with<Arrangement>(g, std::move(order));
        case Objective::weight: return sift_with<WeightArrangement>(g, std::move(order));
        case Objective::distance: return sift_with<DistanceArrangement>(g, std::move(order));
    }
    return order;
}

}  // namespace ovila::order
