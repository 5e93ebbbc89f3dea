#include "lineage.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "error.hpp"
#include "kernels/bits.hpp"
#include "evaluator.hpp"

namespace ovila {

std::vector<double> Population::fitness_values() const {
    std::vector<double> values;
    values.reserve(chromosomes.size());
    for (const Chromosome& chromosome : chromosomes) {
        if (!chromosome.fitness) {
            internal_error("fitness values requested from a chromosome that was never evaluated");
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

void HallOfFame::offer(const Chromosome& chromosome) {
    if (!chromosome.fitness) {
        internal_error("a chromosome without fitness was offered to the hall of fame");
    }
    const double fitness = *chromosome.fitness;

    // Walk up from the worst end; a candidate that cannot beat a full hall
    // costs one comparison.
    std::size_t k = chromosomes.size();
    if (k > capacity) {
        k = static_cast<std::size_t>(capacity);
    }
    while (k > 0) {
        const std::optional<double>& other = chromosomes[k - 1].fitness;
        if (!other) {
            internal_error("a hall of fame entry has no fitness");
        }
        if (!(fitness > *other)) {
            break;
        }
        --k;
    }
    if (k >= capacity) {
        return;
    }
    if (!uniques.insert(chromosome.genes).second) {
        return;
    }
    chromosomes.insert(chromosomes.begin() + static_cast<std::ptrdiff_t>(k), chromosome);
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
        internal_error("the lineage keeps no population: there is no latest generation");
    }
    return generations.front();
}

}  // namespace ovila
