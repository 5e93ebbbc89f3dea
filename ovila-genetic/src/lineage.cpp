#include "ovila/genetic/lineage.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>

#include "ovila/core/error.hpp"
#include "ovila/genetic/kernels/bits.hpp"
#include "ovila/genetic/evaluator.hpp"

namespace ovila::genetic {

std::vector<double> Population::fitness_values() const {
    std::vector<double> values;
    values.reserve(chromosomes.size());
    for (const Chromosome& chromosome : chromosomes) {
        if (!chromosome.fitness) {
            core::internal_error("fitness values requested from a chromosome that was never evaluated");
        }
        values.push_back(*chromosome.fitness);
    }
    return values;
}

std::size_t GenesHash::operator()(const Genes& genes) const noexcept {
    using kernels::u128;
    constexpr std::uint64_t k0 = 0xA0761D6478BD642FULL;
    constexpr std::uint64_t k1 = 0xE7037ED1A0B428DBULL;
    // Multiply-fold mixing of the length and every gene in order.
    auto mix = [](std::uint64_t a, std::uint64_t b) {
        const u128 product = static_cast<u128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    std::uint64_t h = mix(genes.size() ^ k0, k1);
    for (const Gene gene : genes) {
        h = mix(h ^ gene ^ k0, k1);
    }
    return static_cast<std::size_t>(mix(h ^ k1, k0));
}

void HallOfFame::update(const Population& population) {
    for (const Chromosome& chromosome : population.chromosomes) {
        offer(chromosome);
    }
}

namespace {

bool closes_band(const Chromosome& chromosome) { return !chromosome.fitness || std::isnan(*chromosome.fitness); }

double entry_fitness(const HallEntry& entry) {
    if (!entry.fitness) {
        core::internal_error("a hall of fame entry has no fitness");
    }
    return *entry.fitness;
}

}  // namespace

HallEntries::HallEntries(std::vector<Chromosome> entries) {
    std::uint64_t band = 0;
    const Chromosome* previous = nullptr;
    for (Chromosome& entry : entries) {
        if (previous != nullptr &&
            (closes_band(*previous) || (!closes_band(entry) && *entry.fitness > *previous->fitness))) {
            ++band;
        }
        const bool closes = closes_band(entry);
        const Rank rank{band, closes, closes ? 0.0 : *entry.fitness, admitted_++};
        tree_.emplace_hint(tree_.end(), rank,
                           Entry{entry.fitness, std::make_shared<const Genes>(std::move(entry.genes))});
        previous = &entry;
    }
}

HallEntry HallEntries::operator[](std::size_t i) const {
    if (i >= tree_.size()) {
        core::internal_error("hall of fame entry index out of range");
    }
    if (i <= tree_.size() / 2) {
        return *const_iterator(std::next(tree_.begin(), static_cast<std::ptrdiff_t>(i)));
    }
    return *const_iterator(std::prev(tree_.end(), static_cast<std::ptrdiff_t>(tree_.size() - i)));
}

std::uint64_t HallEntries::open_band() const {
    if (tree_.empty()) {
        return 0;
    }
    const Rank& last = std::prev(tree_.end())->first;
    return last.closes ? last.band + 1 : last.band;
}

void HallEntries::admit(double fitness, SharedGenes genes) {
    std::uint64_t band = open_band();
    if (std::isnan(fitness)) {
        tree_.emplace_hint(tree_.end(), Rank{band, true, 0.0, admitted_++}, Entry{fitness, std::move(genes)});
        return;
    }
    // Within a band the rank order is the walk's stopping place; the walk
    // goes on into the band before only when it beats this band's best
    // entry and that band ended where the fitness rose, not at a NaN.
    for (;;) {
        const auto best = tree_.lower_bound(Rank{band, false, std::numeric_limits<double>::infinity(), 0});
        const bool in_band = best != tree_.end() && best->first.band == band && !best->first.closes;
        if ((in_band && !(fitness > best->first.fitness)) || best == tree_.begin()) {
            break;
        }
        const auto before = std::prev(best);
        if (before->first.closes) {
            if (!before->second.fitness) {
                core::internal_error("a hall of fame entry has no fitness");
            }
            break;
        }
        band = before->first.band;
    }
    tree_.emplace(Rank{band, false, fitness, admitted_++}, Entry{fitness, std::move(genes)});
}

HallUniques::HallUniques(const GenesSet& given) {
    for (const Genes& genes : given) {
        set_.insert(std::make_shared<const Genes>(genes));
    }
}

void HallOfFame::offer(const Chromosome& chromosome) {
    if (!chromosome.fitness) {
        core::internal_error("a chromosome without fitness was offered to the hall of fame");
    }
    // The engine's hall never holds more than its capacity; one lowered
    // below its size first sheds the entries beyond it.
    while (chromosomes.size() > capacity) {
        uniques.erase(chromosomes.back().genes);
        chromosomes.pop_back();
    }
    // A full hall admits only a candidate that beats its last entry.
    if (capacity == 0 ||
        (chromosomes.size() == capacity && !(*chromosome.fitness > entry_fitness(chromosomes.back())))) {
        return;
    }
    if (uniques.contains(chromosome.genes)) {
        return;
    }
    // The one stored copy of the order, shared by the entry and `uniques`.
    auto genes = std::make_shared<const Genes>(chromosome.genes);
    uniques.insert(genes);
    chromosomes.admit(*chromosome.fitness, std::move(genes));
    while (chromosomes.size() > capacity) {
        uniques.erase(chromosomes.back().genes);
        chromosomes.pop_back();
    }
}

FitnessStatistics FitnessStatisticsRecorder::record(const Population& population) const {
    FitnessStatistics stats;
    if (population.chromosomes.empty()) {
        stats.sum = -0.0;
        return stats;
    }
    const std::vector<double> values = population.fitness_values();
    const auto n = static_cast<double>(values.size());

    double sum = -0.0;
    double min = values.front();
    double max = values.front();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        sum += x;
        if (i > 0) {
            if (x < min) {
                min = x;
            }
            if (x > max) {
                max = x;
            }
        }
    }
    const double mean = sum / n;
    double variance = 0.0;
    for (const double x : values) {
        const double d = mean - x;
        variance += d * d;
    }

    stats.size = values.size();
    stats.min = min;
    stats.max = max;
    stats.sum = sum;
    stats.mean = mean;
    stats.variance = variance;
    return stats;
}

Lineage Lineage::create(Population initial, const Evaluator& evaluator, const Recorder& recorder,
                        std::optional<std::uint64_t> n_generations, std::optional<std::uint64_t> n_records,
                        std::optional<std::uint64_t> n_hall_of_fame) {
    Lineage lineage;
    lineage.n_generations = n_generations;
    lineage.n_records = n_records;
    lineage.hall_of_fame.capacity = n_hall_of_fame.value_or(1);
    lineage.update(std::move(initial), evaluator, recorder);
    return lineage;
}

void Lineage::update(Population population, const Evaluator& evaluator, const Recorder& recorder) {
    evaluator.evaluate_population(population.chromosomes);
    hall_of_fame.update(population);
    records.push_front(recorder.record(population));
    if (n_records) {
        while (records.size() > *n_records) {
            records.pop_back();
        }
    }
    generations.push_front(std::move(population));
    if (n_generations) {
        while (generations.size() > *n_generations) {
            generations.pop_back();
        }
    }
}

const Population& Lineage::latest() const {
    if (generations.empty()) {
        core::internal_error("the lineage keeps no population: there is no latest generation");
    }
    return generations.front();
}

}  // namespace ovila::genetic
