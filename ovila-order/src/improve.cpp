// The strong search. Its local search works from a queue: moving an item
// changes the best move of its neighbours only, so only they are looked at
// again. A round either anneals (random insertions within a window, worse
// ones accepted with probability exp(-delta / t), t falling geometrically)
// and then descends, or, without the dense table, perturbs the order with a
// few random insertions near the items' places, descends again and keeps
// the result unless it is worse (the round's moves are then undone). All
// decisions come from the seeded generator, so a run that ends by the bound
// or by stagnation is the same on every machine.
#include <algorithm>
#include <cmath>

#include "ovila/order/search.hpp"

namespace ovila::order {

namespace {

template <class A>
class Search {
public:
    Search(const Graph& g, std::vector<std::int32_t> start, std::uint64_t seed)
        : a_(g, std::move(start)), rng_(seed), queued_(static_cast<std::size_t>(g.n), 0) {
        ring_.resize(static_cast<std::size_t>(g.n) + 1);
    }

    A& arrangement() { return a_; }
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
        log_.push_back({v, a_.position(v), delta});
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
            if ((++steps & 1023u) == 0 && stop()) {
                clear_queue();
                return false;
            }
        }
        return true;
    }

private:
    void clear_queue() {
        while (head_ != tail_) {
            queued_[ring_[head_]] = 0;
            head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
        }
    }

    struct Logged {
        std::int32_t v, from;
        std::int64_t delta;
    };
    A a_;
    Random rng_;
    std::vector<char> queued_;
    std::vector<std::int32_t> ring_;
    std::size_t head_ = 0, tail_ = 0;
    std::vector<Logged> log_;
};

// exp(-y) for y >= 0 from +, *, / and square roots only, which IEEE
// arithmetic rounds the same way everywhere (a library exp may differ in the
// last bit between machines, and with it an acceptance decision).
double exp_minus(double y) {
    double x = y / 1024.0, term = 1.0, sum = 1.0;
    for (int k = 1; k <= 12; ++k) {
        term *= -x / k;
        sum += term;
    }
    for (int k = 0; k < 10; ++k) sum *= sum;
    return sum;
}

// A random position other than p within `window` of it.
std::int32_t near(Random& rng, std::int32_t p, std::int32_t window, std::int32_t n) {
    const std::int32_t lo = std::max(0, p - window), hi = std::min(n - 1, p + window);
    std::int32_t to = lo + static_cast<std::int32_t>(rng.below(static_cast<std::uint32_t>(hi - lo)));
    return to >= p ? to + 1 : to;
}

// One search on a block: its own best order, handed to the block as it
// improves (and, when it leads, recorded round by round), a better order
// from the block taken up between rounds when it adopts, and the test that
// ends it (the poll, the block stopped, its best meeting the bound).
template <class A>
class Run {
public:
    Run(Block& block, const ImproveOptions& options, const Poll& poll)
        : block_(block), options_(options), poll_(poll), start_(start_of(block, options)),
          search_(block.graph(), start_.first, options.seed), best_cost_(start_.second), rounds_(options.first_round) {
        best_ = std::move(start_.first);
        seen_ = block.version();
        if (options_.lead) block_.lead_start(best_, best_cost_);
    }

    Search<A>& search() { return search_; }
    A& arrangement() { return search_.arrangement(); }
    std::int64_t best_cost() const { return best_cost_; }
    bool stopped() const { return stopped_; }
    bool at_bound() const { return best_cost_ <= block_.bound(); }

    // Asked every few thousand moves: true from then on once the poll or
    // the block says to end.
    bool stop() {
        if (!stopped_ && options_.adopt && block_.done()) adopt();  // another party's order ends it
        if (!stopped_ && (block_.stopped() || at_bound() || (options_.adopt && block_.done()) || !poll_(best_cost_))) {
            stopped_ = true;
        }
        // Now and then the current order goes to the block when it beats the
        // block's best, so that a long descent (a large graph) shows progress.
        if ((++polls_ & 255u) == 0 && arrangement().cost() < block_.cost()) {
            block_.offer_counted(arrangement().order(), arrangement().cost());
        }
        return stopped_;
    }

    // Keeps the current order when it beats this search's best.
    bool keep_if_better() {
        A& a = arrangement();
        if (a.cost() >= best_cost_) return false;
        best_ = a.order();
        best_cost_ = a.cost();
        current_is_best_ = false;
        return true;
    }
    // The same when the current order is known to be this search's best
    // (the iterated search never keeps a worse one): only the cost is noted,
    // the order is copied when handed over.
    void note_current() {
        if (arrangement().cost() < best_cost_) {
            best_cost_ = arrangement().cost();
            current_is_best_ = true;
        }
    }
    const std::vector<std::int32_t>& best_order() {
        if (current_is_best_) {
            best_ = arrangement().order();
            current_is_best_ = false;
        }
        return best_;
    }

    // Hands this search's best order to the block when it beats the block's.
    void publish() {
        if (best_cost_ >= block_.cost()) return;
        block_.offer_counted(best_order(), best_cost_);
    }

    // A round is over: the block hears of it, and a leading search records it.
    void end_round() {
        ++rounds_;
        publish();
        if (options_.lead) block_.lead_round(rounds_, best_order(), best_cost_);
    }

    // Takes up the block's best order when another party made a better one.
    bool adopt() {
        if (!options_.adopt || block_.version() == seen_) return false;
        seen_ = block_.version();
        auto [order, cost] = block_.best();
        if (cost >= best_cost_) return false;
        best_ = order;
        best_cost_ = cost;
        current_is_best_ = false;
        arrangement().assign(std::move(order), cost);
        return true;
    }

    Improved ended() {
        publish();
        Improved out;
        out.ended = at_bound() ? Ended::bound : stopped_ ? Ended::stopped : Ended::stale;
        out.rounds = rounds_;
        out.order = best_order();
        out.cost = best_cost_;
        return out;
    }

private:
    static std::pair<std::vector<std::int32_t>, std::int64_t> start_of(Block& block, const ImproveOptions& options) {
        if (options.start.empty()) return block.best();
        check_order(block.graph().n, options.start);
        return {options.start, cost_of(block.graph(), options.start, block.objective())};
    }

    Block& block_;
    const ImproveOptions& options_;
    const Poll& poll_;
    std::pair<std::vector<std::int32_t>, std::int64_t> start_;
    Search<A> search_;
    std::vector<std::int32_t> best_;
    std::int64_t best_cost_;
    std::int64_t rounds_;
    std::uint64_t seen_ = 0;
    std::uint32_t polls_ = 0;
    bool stopped_ = false, current_is_best_ = false;
};

// Descends from every item; false when stopped on the way.
template <class A>
bool descend_all(Run<A>& run) {
    Search<A>& s = run.search();
    for (std::int32_t v = 0; v < run.arrangement().size(); ++v) s.push(v);
    s.begin_round();
    return s.descend([&] { return run.stop(); });
}

// The size of a typical cost change: 1 when counting marks; else the
// median of the rises among a sample of random moves (drawn from the
// search's own generator, so it is the same on every machine).
template <class A>
std::int64_t unit_of(A& a, Random& rng, std::int32_t window, bool counting) {
    if (counting) return 1;
    const std::int32_t n = a.size();
    std::vector<std::int64_t> rises;
    for (int k = 0; k < 256; ++k) {
        const auto v = static_cast<std::int32_t>(rng.below(static_cast<std::uint32_t>(n)));
        const std::int32_t to = near(rng, a.position(v), window, n);
        const std::int64_t d = a.delta_to(v, to);
        if (d > 0) rises.push_back(d);
    }
    if (rises.empty()) return 1;
    std::nth_element(rises.begin(), rises.begin() + static_cast<std::ptrdiff_t>(rises.size() / 2), rises.end());
    return std::max<std::int64_t>(1, rises[rises.size() / 2]);
}

// Rounds of annealing: random insertions within `window` of an item's place,
// a worse one (by d) accepted with probability exp(-d / (t unit)), t falling
// geometrically over the round from t_start to t_end; then a descent.
template <class A>
Improved anneal(Run<A>& run, const ImproveOptions& options, std::int32_t window, std::int64_t unit) {
    A& a = run.arrangement();
    Search<A>& s = run.search();
    const std::int32_t n = a.size();
    const auto steps = std::max<std::int64_t>(1, static_cast<std::int64_t>(options.sweeps * n));
    constexpr int stages = 64;
    const std::int64_t stage = steps / stages + 1;
    double cooling = options.t_end / options.t_start;  // its 64th root: six square roots
    for (int k = 0; k < 6; ++k) cooling = std::sqrt(cooling);
    constexpr int max_worse = 8;  // in units: a rise beyond is never taken
    std::uint32_t accept[max_worse];  // when the unit is 1: the chance of each rise
    std::int64_t stale = 0;
    while (stale < options.max_stale && !run.stop() && !run.at_bound()) {
        bool improved = run.adopt();
        double t = options.t_start;
        for (std::int64_t step = 0; step < steps; ++step) {
            if (step % stage == 0) {
                for (int d = 0; d < max_worse; ++d) {
                    accept[d] = static_cast<std::uint32_t>(exp_minus((d + 1) / t) * 4294967295.0);
                }
                t *= cooling;
            }
            if ((step & 8191) == 8191 && run.stop()) break;
            const auto v = static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(n)));
            const std::int32_t to = near(s.rng(), a.position(v), window, n);
            const std::int64_t d = a.delta_to(v, to);
            if (d > 0) {
                if (d > max_worse * unit) continue;
                const auto draw = static_cast<std::uint32_t>(s.rng().next() >> 32);
                const std::uint32_t chance =
                    unit == 1 ? accept[d - 1]
                              : static_cast<std::uint32_t>(exp_minus(static_cast<double>(d) / (static_cast<double>(unit) * t / cooling)) * 4294967295.0);
                if (draw >= chance) continue;
            }
            a.move(v, to, d);
            if (d < 0 && run.keep_if_better()) {
                improved = true;
                if (run.at_bound()) break;
            }
        }
        if (run.stopped() || run.at_bound()) break;
        descend_all(run);
        improved = run.keep_if_better() || improved;
        run.end_round();
        stale = improved ? 0 : stale + 1;
    }
    return run.ended();
}

// Rounds of a few random insertions near the items' places, a descent, and
// the round undone when it left the order worse.
template <class A>
Improved iterated_local_search(Run<A>& run, const ImproveOptions& options) {
    A& a = run.arrangement();
    Search<A>& s = run.search();
    const std::int32_t n = a.size();
    constexpr std::int32_t kicks = 3, kick_window = 20;
    // A round touches a few items only: on a large graph many rounds pass
    // before one of them lands where it helps.
    const std::int64_t max_stale = std::max<std::int64_t>(options.max_stale, n / 16);
    std::int64_t stale = 0;
    std::uint32_t rounds = 0;
    while (!run.at_bound() && stale < max_stale && !run.stop()) {
        if ((++rounds & 63u) == 0) {
            run.end_round();
            run.adopt();
        }
        s.begin_round();
        const std::int64_t before = a.cost();
        const std::int32_t count = 1 + static_cast<std::int32_t>(s.rng().below(kicks));
        for (std::int32_t k = 0; k < count; ++k) {
            const auto v = static_cast<std::int32_t>(s.rng().below(static_cast<std::uint32_t>(n)));
            const std::int32_t to = near(s.rng(), a.position(v), std::min(kick_window, n - 1), n);
            s.apply(v, to, a.delta_to(v, to));
            s.push(v);
            s.push_neighbours(v);
        }
        const bool finished = s.descend([&] { return run.stop(); });
        const std::int64_t best = run.best_cost();
        if (a.cost() > before) s.undo_round();  // also when stopped inside the descent
        run.note_current();
        if (!finished) break;
        stale = run.best_cost() < best ? 0 : stale + 1;
    }
    return run.ended();
}

template <class A>
Improved improve_with(Block& block, const ImproveOptions& options, const Poll& poll) {
    Run<A> run(block, options, poll);
    A& a = run.arrangement();
    const std::int32_t n = a.size();
    if (n < 2 || run.at_bound()) return run.ended();
    if (!descend_all(run)) {
        run.keep_if_better();
        return run.ended();
    }
    run.keep_if_better();
    run.publish();
    if (run.at_bound()) return run.ended();

    // By default a move passes about 15 neighbours on average: long moves in
    // sparse graphs, short ones in dense graphs.
    std::int32_t window = n - 1;
    if (options.window > 0) {
        window = std::min(options.window, n - 1);
    } else if (a.neighbour_entries() > 0) {
        const double share = static_cast<double>(a.neighbour_entries()) / (static_cast<double>(n) * (n - 1));
        window = static_cast<std::int32_t>(std::min<double>(n - 1, std::max(30.0, 15.0 / share)));
    }
    if (!(a.dense() && options.anneal)) return iterated_local_search(run, options);
    const std::int64_t unit = unit_of(a, run.search().rng(), window, block.objective() == Objective::marks);
    return anneal(run, options, window, unit);
}

}  // namespace

Improved improve(Block& block, const ImproveOptions& options, const Poll& poll) {
    switch (block.objective()) {
        case Objective::marks: return improve_with<Arrangement>(block, options, poll);
        case Objective::weight: return improve_with<WeightArrangement>(block, options, poll);
        case Objective::distance: return improve_with<DistanceArrangement>(block, options, poll);
    }
    return {};
}

}  // namespace ovila::order
