// Iterated local search on insertion moves. Local search works from a queue:
// moving an item changes the best move of its neighbours only, so only they
// are looked at again. A round perturbs the current order with a few random
// insertions near the items' places, descends again, and keeps the result
// when it is not worse (the moves of a worse round are undone). All
// decisions come from the seeded generator, so a run that ends by the bound
// or by stagnation is the same on every machine.
#include <cmath>

#include "search.hpp"

namespace ovila::order {

namespace {

class Search {
public:
    Search(const Graph& g, std::vector<std::int32_t> start, std::uint64_t seed)
        : a_(g, std::move(start)), rng_(seed), queued_(static_cast<std::size_t>(g.n), 0) {
        ring_.resize(static_cast<std::size_t>(g.n) + 1);
    }

    Arrangement& arrangement() { return a_; }
    Random& rng() { return rng_; }

    void push(std::int32_t v) {
        if (queued_[v]) return;
        queued_[v] = 1;
        ring_[tail_] = v;
        tail_ = tail_ + 1 == ring_.size() ? 0 : tail_ + 1;
    }

    void push_neighbours(std::int32_t v) {
        for (auto it = a_.neighbours_begin(v); it != a_.neighbours_end(v); ++it) push(*it);
    }

    // Applies a move and records it so that the round can be undone.
    void apply(std::int32_t v, std::int32_t to, std::int64_t delta) {
        log_.push_back({v, a_.position(v), to, delta});
        a_.move(v, to, delta);
    }

    void begin_round() { log_.clear(); }
    void undo_round() {
        for (auto it = log_.rbegin(); it != log_.rend(); ++it) a_.move(it->v, it->from, -it->delta);
        log_.clear();
    }

    // Descends until no queued item has a lowering move; false when `stop`
    // asked to end (checked every few thousand evaluations).
    template <class Stop>
    bool descend(Stop&& stop) {
        std::uint32_t steps = 0;
        while (head_ != tail_) {
            const std::int32_t v = ring_[head_];
            head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
            queued_[v] = 0;
            const auto m = a_.best_move(v);
            if (m.delta < 0) {
                apply(v, m.to, m.delta);
                push_neighbours(v);
            }
            if ((++steps & 4095u) == 0 && stop()) return false;
        }
        return true;
    }

    void clear_queue() {
        while (head_ != tail_) {
            queued_[ring_[head_]] = 0;
            head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
        }
    }

private:
    struct Logged {
        std::int32_t v, from, to;
        std::int64_t delta;
    };
    Arrangement a_;
    Random rng_;
    std::vector<char> queued_;
    std::vector<std::int32_t> ring_;
    std::size_t head_ = 0, tail_ = 0;
    std::vector<Logged> log_;
};

}  // namespace

Improved improve(const Graph& g, std::vector<std::int32_t> start, const ImproveOptions& options,
                 const Poll& poll) {
    check_order(g.n, start);
    Search s(g, std::move(start), options.seed);
    Arrangement& a = s.arrangement();
    Improved best{a.order(), a.cost(), false};
    const std::int32_t n = g.n;
    if (n < 2 || best.cost <= options.lower_bound) return best;

    bool stopped = false;
    auto stop = [&] {
        if (!stopped && !poll(best.cost)) stopped = true;
        return stopped;
    };

    // First descent, items taken in a random order.
    std::vector<std::int32_t> items(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) items[i] = i;
    for (std::int32_t i = n - 1; i > 0; --i) std::swap(items[i], items[s.rng().below(static_cast<std::uint32_t>(i + 1))]);
    for (std::int32_t v : items) s.push(v);
    s.begin_round();
    const bool finished = s.descend(stop);
    if (a.cost() < best.cost) {
        best.order = a.order();
        best.cost = a.cost();
    }
    if (!finished) {
        best.stopped = true;
        return best;
    }

    if (options.sweeps > 0) {
        const std::int32_t w = options.anneal_window > 0 ? std::min(options.anneal_window, n - 1) : n - 1;
        const auto steps = static_cast<std::int64_t>(options.sweeps * n);
        std::int64_t stale = 0;
        std::uint32_t accept[8];
        while (best.cost > options.lower_bound && stale < options.max_stale && !stop()) {
            bool improved = false;
            double t = options.t_start;
            const double factor = std::pow(options.t_end / options.t_start, 1.0 / 64);
            const std::int64_t chunk = steps / 64 + 1;
            for (std::int64_t step = 0; step < steps; ++step) {
                if (step % chunk == 0) {
                    for (int d = 0; d < 8; ++d) accept[d] = static_cast<std::uint32_t>(std::exp(-(d + 1) / t) * 4294967295.0);
                    t *= factor;
                    if (stop()) break;
                }
                const auto v = static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(n)));
                const std::int32_t p = a.position(v);
                const std::int32_t lo = std::max(0, p - w), hi = std::min(n - 1, p + w);
                std::int32_t to = lo + static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(hi - lo)));
                if (to >= p) ++to;
                const std::int64_t d = a.delta_to(v, to);
                if (d > 0 && (d > 8 || static_cast<std::uint32_t>(s.rng().next() >> 32) >= accept[d - 1])) continue;
                a.move(v, to, d);
                if (a.cost() < best.cost) {
                    best.order = a.order();
                    best.cost = a.cost();
                    improved = true;
                }
            }
            for (std::int32_t v : items) s.push(v);
            s.begin_round();
            s.descend(stop);
            if (a.cost() < best.cost) {
                best.order = a.order();
                best.cost = a.cost();
                improved = true;
            }
            stale = improved ? 0 : stale + 1;
        }
        best.stopped = stopped;
        return best;
    }

    const std::int32_t window = std::max<std::int32_t>(2, std::min<std::int32_t>(n - 1, options.window));
    std::int64_t stale = 0;
    while (best.cost > options.lower_bound && stale < options.max_stale) {
        if (stop()) break;
        s.begin_round();
        const std::int64_t before = a.cost();
        const std::int32_t kicks = 1 + static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(options.kicks)));
        for (std::int32_t k = 0; k < kicks; ++k) {
            const auto v = static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(n)));
            const std::int32_t p = a.position(v);
            const std::int32_t lo = std::max(0, p - window), hi = std::min(n - 1, p + window);
            std::int32_t to = lo + static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(hi - lo)));
            if (to >= p) ++to;
            s.apply(v, to, a.delta_to(v, to));
            s.push(v);
            s.push_neighbours(v);
        }
        if (!s.descend(stop)) {
            s.clear_queue();
            if (a.cost() < best.cost) {
                best.order = a.order();
                best.cost = a.cost();
            }
            break;
        }
        if (a.cost() < best.cost) {
            best.order = a.order();
            best.cost = a.cost();
            stale = 0;
        } else {
            ++stale;
        }
        if (a.cost() > before) s.undo_round();
    }
    best.stopped = stopped;
    return best;
}

}  // namespace ovila::order
