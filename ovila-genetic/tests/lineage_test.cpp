#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "error.hpp"
#include "evaluator.hpp"
#include "lineage.hpp"
#include "test_support.hpp"

namespace ovila {
namespace {

using testing::population_of;
using testing::with_fitness;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> fitness_of(const HallOfFame& hall) {
    std::vector<double> values;
    for (const Chromosome& c : hall.chromosomes) {
        values.push_back(*c.fitness);
    }
    return values;
}

std::vector<Genes> genes_of(const HallOfFame& hall) {
    std::vector<Genes> genes;
    for (const Chromosome& c : hall.chromosomes) {
        genes.push_back(c.genes);
    }
    return genes;
}

// `uniques` holds exactly the gene sequences of the entries.
void expect_consistent(const HallOfFame& hall) {
    EXPECT_LE(hall.chromosomes.size(), hall.capacity);
    EXPECT_EQ(hall.uniques.size(), hall.chromosomes.size());
    for (const Chromosome& c : hall.chromosomes) {
        EXPECT_TRUE(hall.uniques.contains(c.genes));
    }
}

TEST(Population, FitnessValuesNeedEveryFitness) {
    EXPECT_TRUE(Population().fitness_values().empty());
    EXPECT_EQ(population_of({3.0, -1.0}).fitness_values(), (std::vector<double>{3.0, -1.0}));
    Population partly = population_of({1.0});
    partly.chromosomes.emplace_back(Genes{4});
    EXPECT_THROW(partly.fitness_values(), InternalError);
}

TEST(GenesHash, DependsOnLengthAndOrder) {
    const GenesHash hash;
    EXPECT_EQ(hash({1, 2, 3}), hash({1, 2, 3}));
    EXPECT_NE(hash({1, 2, 3}), hash({3, 2, 1}));
    EXPECT_NE(hash({}), hash({0}));
    EXPECT_NE(hash({0}), hash({0, 0}));
}

TEST(HallOfFame, KeepsTheBestDistinctInAdmissionOrder) {
    HallOfFame hall;
    hall.capacity = 3;
    hall.update(population_of({5, 7, 7, 3, 6}));  // genes {0} .. {4}
    EXPECT_EQ(fitness_of(hall), (std::vector<double>{7, 7, 6}));
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{1}, {2}, {4}}));
    expect_consistent(hall);

    // A tie with the last entry is not strictly better: not admitted.
    hall.offer(with_fitness(6, {9}));
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{1}, {2}, {4}}));
    // A better one goes in front of the equal values and pushes the 6 out.
    hall.offer(with_fitness(8, {10}));
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{10}, {1}, {2}}));
    expect_consistent(hall);
}

TEST(HallOfFame, CapacityZeroAndDefault) {
    HallOfFame none;
    none.capacity = 0;
    none.update(population_of({1, 2, 3}));
    EXPECT_TRUE(none.chromosomes.empty());
    EXPECT_TRUE(none.uniques.empty());

    HallOfFame single;  // capacity 1 by default
    single.update(population_of({2, 9, 4}));
    EXPECT_EQ(genes_of(single), (std::vector<Genes>{{1}}));
    expect_consistent(single);
}

TEST(HallOfFame, GeneSequencesAreAdmittedOnce) {
    HallOfFame hall;
    hall.capacity = 4;
    hall.offer(with_fitness(1, {0, 1}));
    hall.offer(with_fitness(1, {0, 1}));
    hall.offer(with_fitness(9, {0, 1}));  // same genes, better fitness: still refused
    hall.offer(with_fitness(2, {1, 0}));
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{1, 0}, {0, 1}}));
    EXPECT_EQ(fitness_of(hall), (std::vector<double>{2, 1}));
    expect_consistent(hall);

    // A dropped entry's genes may come back later.
    HallOfFame one;
    one.offer(with_fitness(1, {5}));
    one.offer(with_fitness(2, {6}));
    one.offer(with_fitness(3, {5}));
    EXPECT_EQ(genes_of(one), (std::vector<Genes>{{5}}));
    expect_consistent(one);
}

TEST(HallOfFame, NaNEntersOnlyWhileThereIsRoomAndStaysAhead) {
    HallOfFame hall;
    hall.capacity = 3;
    hall.offer(with_fitness(kNaN, {0}));
    hall.offer(with_fitness(5, {1}));
    hall.offer(with_fitness(9, {2}));
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{0}, {2}, {1}}));
    hall.offer(with_fitness(10, {3}));
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{0}, {3}, {2}}));
    hall.offer(with_fitness(kNaN, {4}));  // full: a NaN beats nothing
    EXPECT_EQ(genes_of(hall), (std::vector<Genes>{{0}, {3}, {2}}));
    expect_consistent(hall);
}

TEST(HallOfFame, AbsentFitnessIsAnInternalError) {
    HallOfFame hall;
    EXPECT_THROW(hall.offer(Chromosome(Genes{1})), InternalError);
}

TEST(FitnessStatistics, SummaryOfValues) {
    const FitnessStatisticsRecorder recorder;
    const FitnessStatistics s = recorder.record(population_of({1, 2, 3, 4}));
    EXPECT_EQ(s.size, 4U);
    EXPECT_EQ(s.min, 1.0);
    EXPECT_EQ(s.max, 4.0);
    EXPECT_EQ(s.sum, 10.0);
    EXPECT_EQ(s.mean, 2.5);
    EXPECT_EQ(s.variance, 5.0);  // undivided sum of squares

    const FitnessStatistics one = recorder.record(population_of({7}));
    EXPECT_EQ(one.size, 1U);
    EXPECT_EQ(one.min, 7.0);
    EXPECT_EQ(one.max, 7.0);
    EXPECT_EQ(one.sum, 7.0);
    EXPECT_EQ(one.mean, 7.0);
    EXPECT_EQ(one.variance, 0.0);

    // Summed in population order: 1e16 + 1 rounds back to 1e16.
    EXPECT_EQ(recorder.record(population_of({1e16, 1, -1e16})).sum, 0.0);
    EXPECT_EQ(recorder.record(population_of({1e16, -1e16, 1})).sum, 1.0);
}

TEST(FitnessStatistics, EmptyPopulation) {
    const FitnessStatistics s = FitnessStatisticsRecorder().record(Population());
    EXPECT_EQ(s.size, 0U);
    EXPECT_EQ(s.sum, 0.0);
    EXPECT_TRUE(std::signbit(s.sum));
    for (const double zero : {s.min, s.max, s.mean, s.variance}) {
        EXPECT_EQ(zero, 0.0);
        EXPECT_FALSE(std::signbit(zero));
    }
}

TEST(FitnessStatistics, NaNValues) {
    const FitnessStatisticsRecorder recorder;
    const FitnessStatistics later = recorder.record(population_of({3, kNaN, 1}));
    EXPECT_EQ(later.min, 1.0);
    EXPECT_EQ(later.max, 3.0);
    EXPECT_TRUE(std::isnan(later.sum));
    EXPECT_TRUE(std::isnan(later.mean));
    EXPECT_TRUE(std::isnan(later.variance));

    const FitnessStatistics first = recorder.record(population_of({kNaN, 3, 1}));
    EXPECT_TRUE(std::isnan(first.min));
    EXPECT_TRUE(std::isnan(first.max));

    Population unevaluated;
    unevaluated.chromosomes.emplace_back(Genes{0});
    EXPECT_THROW(recorder.record(unevaluated), InternalError);
}

// A constant evaluator that counts how often it scores.
class CountingEvaluator final : public Evaluator {
public:
    double score(std::span<const Gene>) const override {
        ++calls;
        return 1.0;
    }
    mutable int calls = 0;
};

// Generation g holds g + 1 chromosomes, so records tell their generation.
Population generation(std::uint64_t g) {
    Population p;
    p.generation = g;
    for (std::uint64_t k = 0; k <= g; ++k) {
        p.chromosomes.emplace_back(Genes{g, k});
    }
    return p;
}

TEST(Lineage, KeepsTheNewestWithinItsLimits) {
    const CountingEvaluator evaluator;
    const FitnessStatisticsRecorder recorder;
    const std::uint64_t n = 3;
    Lineage lineage = Lineage::create(generation(0), evaluator, recorder, n, std::nullopt, std::nullopt);
    EXPECT_EQ(lineage.hall_of_fame.capacity, 1U);
    for (std::uint64_t g = 1; g <= n; ++g) {
        lineage.update(generation(g), evaluator, recorder);
        EXPECT_EQ(lineage.latest().generation, g);
    }
    ASSERT_EQ(lineage.generations.size(), 3U);
    EXPECT_EQ(lineage.generations[0].generation, 3U);
    EXPECT_EQ(lineage.generations[2].generation, 1U);
    ASSERT_EQ(lineage.records.size(), 4U);  // no limit on records
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(lineage.records[k].size, 4 - k);
    }
    EXPECT_EQ(evaluator.calls, 1 + 2 + 3 + 4);
    for (const Population& p : lineage.generations) {
        for (const Chromosome& c : p.chromosomes) {
            EXPECT_EQ(c.fitness, 1.0);
        }
    }
}

TEST(Lineage, ZeroLimits) {
    const CountingEvaluator evaluator;
    const FitnessStatisticsRecorder recorder;
    Lineage lineage = Lineage::create(generation(0), evaluator, recorder, 0, 0, 2);
    EXPECT_TRUE(lineage.generations.empty());
    EXPECT_TRUE(lineage.records.empty());
    EXPECT_EQ(lineage.hall_of_fame.chromosomes.size(), 1U);  // still offered
    EXPECT_EQ(lineage.hall_of_fame.capacity, 2U);
    EXPECT_THROW(lineage.latest(), InternalError);

    Lineage kept = Lineage::create(generation(0), evaluator, recorder, std::nullopt, 2, std::nullopt);
    for (std::uint64_t g = 1; g <= 5; ++g) {
        kept.update(generation(g), evaluator, recorder);
    }
    EXPECT_EQ(kept.generations.size(), 6U);
    ASSERT_EQ(kept.records.size(), 2U);
    EXPECT_EQ(kept.records[0].size, 6U);
    EXPECT_EQ(kept.records[1].size, 5U);
}

TEST(Lineage, UpdateKeepsPresentFitness) {
    const CountingEvaluator evaluator;
    const FitnessStatisticsRecorder recorder;
    Population p;
    p.chromosomes.emplace_back(42.0, Genes{0});
    p.chromosomes.emplace_back(Genes{1});
    Lineage lineage = Lineage::create(std::move(p), evaluator, recorder, 1, 1, 1);
    EXPECT_EQ(evaluator.calls, 1);
    EXPECT_EQ(lineage.latest().chromosomes[0].fitness, 42.0);
    EXPECT_EQ(lineage.latest().chromosomes[1].fitness, 1.0);
    EXPECT_EQ(lineage.hall_of_fame.chromosomes[0].genes, Genes{0});
    EXPECT_EQ(lineage.records[0].max, 42.0);
}

}  // namespace
}  // namespace ovila
