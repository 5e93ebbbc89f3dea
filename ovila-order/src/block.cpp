// The shared state of a block: one lock around the best order, atomics for
// what every party reads often (cost, bound, stop), so that a search can
// look at them between moves without waiting.
#include <numeric>

#include "order.hpp"

namespace ovila::order {

Block::Block(Graph graph) : graph_(std::move(graph)), order_(static_cast<std::size_t>(graph_.n)) {
    std::iota(order_.begin(), order_.end(), 0);
    cost_.store(feedback(graph_, order_), std::memory_order_release);
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
    const std::int64_t cost = feedback(graph_, order);
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

}  // namespace ovila::order
