#include "ovila/genetic/selector.hpp"

#include <algorithm>
#include <cmath>

#include "ovila/core/error.hpp"

namespace ovila::genetic {

std::vector<const Chromosome*> Selector::select_references(RandomSource& rng, const Population& population,
                                                           std::optional<std::uint64_t> target) {
    const std::span<const Chromosome> chromosomes(population.chromosomes);
    const std::uint64_t count = target.value_or(chromosomes.size());
    prepare(chromosomes);
    std::vector<const Chromosome*> chosen;
    if (count == 0) {
        return chosen;
    }
    if (count <= chosen.max_size()) {
        chosen.reserve(static_cast<std::size_t>(count));
    }
    for (std::uint64_t k = 0; k < count; ++k) {
        chosen.push_back(&select(rng, chromosomes));
    }
    return chosen;
}

void RouletteSelector::prepare(std::span<const Chromosome> chromosomes) {
    cumulative_.clear();
    cumulative_.reserve(chromosomes.size());
    double total = 0.0;
    bool sorted = true;
    for (const Chromosome& chromosome : chromosomes) {
        if (!chromosome.fitness) {
            core::internal_error("roulette selection over a chromosome that was never evaluated");
        }
        total = total + *chromosome.fitness;
        // A NaN sum or a decrease breaks the ordering the binary search needs.
        const bool in_order = cumulative_.empty() ? !std::isnan(total) : total >= cumulative_.back();
        sorted = sorted && in_order;
        cumulative_.push_back(total);
    }
    sorted_ = sorted;
}

const Chromosome& RouletteSelector::select(RandomSource& rng, std::span<const Chromosome> chromosomes) const {
    if (cumulative_.empty()) {
        core::internal_error("roulette selection from an empty population");
    }
    const double t = cumulative_.back() * rng.uniform();
    const std::size_t j = sorted_ ? roulette_search(cumulative_, t) : roulette_scan(cumulative_, t);
    if (j >= chromosomes.size()) {
        core::internal_error("roulette weights do not match the population they select from");
    }
    return chromosomes[j];
}

std::size_t roulette_scan(std::span<const double> cumulative, double t) {
    if (cumulative.empty()) {
        core::internal_error("roulette scan over no weights");
    }
    for (std::size_t j = 0; j < cumulative.size(); ++j) {
        if (cumulative[j] >= t) {
            return j;
        }
    }
    return cumulative.size() - 1;
}

std::size_t roulette_search(std::span<const double> cumulative, double t) {
    if (cumulative.empty()) {
        core::internal_error("roulette search over no weights");
    }
    // A NaN threshold (infinite total times a zero draw) compares false with
    // every entry: the scan falls through to the last one.
    if (std::isnan(t)) {
        return cumulative.size() - 1;
    }
    // On NaN-free, non-decreasing sums the first entry not below t is the
    // first entry >= t.
    // Branch-free halving (draws land anywhere, so branches would mispredict):
    // the answer stays within [first, first + len].
    const double* first = cumulative.data();
    std::size_t len = cumulative.size();
    while (len > 1) {
        const std::size_t half = len / 2;
        const std::size_t below = first[half - 1] < t ? 1U : 0U;
        first += half & (std::size_t{0} - below);
        len -= half;
    }
    const auto found = static_cast<std::size_t>(first - cumulative.data()) + (*first < t ? 1U : 0U);
    return found == cumulative.size() ? cumulative.size() - 1 : found;
}

const Chromosome& RandomSelector::select(RandomSource& rng, std::span<const Chromosome> chromosomes) const {
    if (chromosomes.empty()) {
        core::internal_error("random selection from an empty population");
    }
    return chromosomes[static_cast<std::size_t>(rng.below(chromosomes.size()))];
}

std::unique_ptr<Selector> build_selector(SelectorKind kind) {
    switch (kind) {
        case SelectorKind::Roulette:
            return std::make_unique<RouletteSelector>();
        case SelectorKind::Random:
            return std::make_unique<RandomSelector>();
    }
    core::internal_error("unknown selector kind");
}

}  // namespace ovila::genetic
