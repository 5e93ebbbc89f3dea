// Plain records of a run (chromosomes, populations, statistics, hall of fame,
// lineage) and the fitness statistics recorder.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "gene_storage.hpp"

namespace ovila {

struct Chromosome {
    std::optional<double> fitness;
    Genes genes;

    Chromosome() = default;
    explicit Chromosome(Genes g) : genes(std::move(g)) {}
    Chromosome(std::optional<double> f, Genes g) : fitness(f), genes(std::move(g)) {}
};

struct Population {
    std::vector<Chromosome> chromosomes;
    std::uint64_t generation = 0;

    Population() = default;
    Population(std::vector<Chromosome> c, std::uint64_t g) : chromosomes(std::move(c)), generation(g) {}

    // The fitness of every chromosome in order; an absent fitness is an internal error.
    std::vector<double> fitness_values() const;
};

struct FitnessStatistics {
    std::uint64_t size = 0;
    double min = 0.0;
    double max = 0.0;
    double sum = 0.0;
    double mean = 0.0;
    double variance = 0.0;
};

struct GenesHash {
    std::size_t operator()(const Genes& genes) const noexcept;
};
using GenesSet = std::unordered_set<Genes, GenesHash>;

struct HallOfFame {
    std::vector<Chromosome> chromosomes;  // best first
    GenesSet uniques;
    std::uint64_t capacity = 1;

    // Offers every chromosome of the population, in order.
    void update(const Population& population);
    void offer(const Chromosome& chromosome);
};

class Evaluator;

// Recorder interface: one record per evaluated population.
class Recorder {
public:
    virtual ~Recorder() = default;
    virtual FitnessStatistics record(const Population& population) const = 0;
};

class FitnessStatisticsRecorder final : public Recorder {
public:
    FitnessStatistics record(const Population& population) const override;
};

struct Lineage {
    std::optional<std::uint64_t> n_generations;
    std::optional<std::uint64_t> n_records;
    std::deque<Population> generations;   // newest first
    std::deque<FitnessStatistics> records;  // newest first
    HallOfFame hall_of_fame;

    // An empty lineage that then performs `update` with the initial population.
    static Lineage create(Population initial, const Evaluator& evaluator, const Recorder& recorder,
                          std::optional<std::uint64_t> n_generations, std::optional<std::uint64_t> n_records,
                          std::optional<std::uint64_t> n_hall_of_fame);

    // Evaluate, offer to the hall of fame, record, push both at the front, trim the backs.
    void update(Population population, const Evaluator& evaluator, const Recorder& recorder);

    // The newest population; an empty `generations` is an internal error.
    const Population& latest() const;
};

}  // namespace ovila
