// The shared state of a block: one lock around the best order and the lead
// search's record, atomics for what every party reads often (cost, bound,
// stop), so that a search can look at them between moves without waiting.
#include <numeric>

#include "ovila/order/objective.hpp"
#include "ovila/order/order.hpp"

namespace ovila::order {

Block::Block(Graph graph, Objective objective)
    : graph_(std::move(graph)), objective_(objective), order_(static_cast<std::size_t>(graph_.n)) {
    std::iota(order_.begin(), order_.end(), 0);
    cost_.store(cost_of(graph_, order_, objective_), std::memory_order_release);
}

void Block::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true, std::memory_order_release);
    }
    lead_moved_.notify_all();
}

bool Block::raise_bound(std::int64_t bound) {
    std::int64_t held = bound_.load(std::memory_order_acquire);
    while (bound > held) {
        if (bound_.compare_exchange_weak(held, bound, std::memory_order_acq_rel)) return true;
    }
    return false;
}

bool Block::offer(std::vector<std::int32_t> order) {
    check_order(graph_.n, order);
    const std::int64_t cost = cost_of(graph_, order, objective_);
    return offer_counted(std::move(order), cost);
}

bool Block::offer_counted(std::vector<std::int32_t> order, std::int64_t cost) {
    if (cost >= this->cost()) return false;
    std::lock_guard lock(mutex_);
    if (cost >= cost_.load(std::memory_order_relaxed)) return false;
    order_ = std::move(order);
    cost_.store(cost, std::memory_order_release);
    version_.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

std::pair<std::vector<std::int32_t>, std::int64_t> Block::best() const {
    std::lock_guard lock(mutex_);
    return {order_, cost_.load(std::memory_order_relaxed)};
}

bool Block::settle(std::vector<std::int32_t> order) {
    check_order(graph_.n, order);
    const std::int64_t cost = cost_of(graph_, order, objective_);
    std::lock_guard lock(mutex_);
    if (cost > cost_.load(std::memory_order_relaxed)) return false;
    order_ = std::move(order);
    cost_.store(cost, std::memory_order_release);
    version_.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

void Block::lead_start(std::vector<std::int32_t> order, std::int64_t cost) {
    {
        std::lock_guard lock(mutex_);
        if (lead_rounds_ < 0) {
            lead_.push_back({0, cost, std::move(order)});
            lead_rounds_ = 0;
        }
    }
    lead_moved_.notify_all();
}

void Block::lead_round(std::int64_t round, const std::vector<std::int32_t>& order, std::int64_t cost) {
    {
        std::lock_guard lock(mutex_);
        if (lead_.empty() || cost < lead_.back().cost) lead_.push_back({round, cost, order});
        lead_rounds_ = std::max(lead_rounds_, round);
    }
    lead_moved_.notify_all();
}

std::size_t Block::lead_kept() const {
    std::lock_guard lock(mutex_);
    return lead_.size();
}

void Block::lead_end() {
    {
        std::lock_guard lock(mutex_);
        lead_ended_ = true;
    }
    lead_moved_.notify_all();
}

std::optional<std::pair<std::vector<std::int32_t>, std::int64_t>> Block::lead_at(std::int64_t round) {
    std::unique_lock lock(mutex_);
    lead_moved_.wait(lock, [&] { return stopped() || lead_ended_ || lead_rounds_ >= round; });
    if (lead_.empty() || (stopped() && !lead_ended_ && lead_rounds_ < round)) return std::nullopt;
    // The last order reached at or before `round`.
    auto it = std::upper_bound(lead_.begin(), lead_.end(), round,
                               [](std::int64_t r, const Reached& reached) { return r < reached.round; });
    if (it == lead_.begin()) return std::nullopt;
    --it;
    auto found = std::make_pair(it->order, it->cost);
    // The reader only asks for later rounds from here on: what came before
    // this answer is never read again (a large block's orders would
    // otherwise pile up, one per improving round).
    lead_.erase(lead_.begin(), it);
    return found;
}

}  // namespace ovila::order
