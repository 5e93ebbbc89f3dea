#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "ovila/core/error.hpp"
#include "ovila/genetic/simple.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

// A constant fitness that counts the sequences it scores.
class CountingEvaluator final : public Evaluator {
public:
    double score(std::span<const Gene>) const override {
        ++calls;
        return 1.0;
    }
    mutable std::uint64_t calls = 0;
};

SequencingSettings settings(std::uint64_t n_chromosomes, std::uint64_t n_generations) {
    SequencingSettings s;
    s.n_genes = 6;
    s.n_chromosomes = n_chromosomes;
    s.n_generations = n_generations;
    s.p_crossover = 0.9;
    s.p_mutation = 0.2;
    return s;
}

std::vector<double> random_matrix(std::uint64_t n, std::uint64_t seed) {
    Xoshiro256 rng({seed, 1, 2, 3});
    std::vector<double> cells(n * n);
    for (double& cell : cells) {
        cell = rng.bit() ? 1.0 : 0.0;
    }
    return cells;
}

struct Operators {
    std::unique_ptr<Evaluator> evaluator =
        build_evaluator(MatrixEvaluatorOptions{std::nullopt, random_matrix(6, 77), EvaluatorKind::FeedbackMarks});
    FitnessStatisticsRecorder recorder;
    RouletteSelector selector;
    IpxCrossover crossover;
    SwapMutator mutator{0.3};
    Xoshiro256 rng{{42, 43, 44, 45}};

    Lineage run(const SequencingSettings& s, const Evaluator* other = nullptr) {
        return run_sga(s, other ? *other : *evaluator, recorder, selector, crossover, mutator, rng);
    }
};

TEST(RunSga, KeepsTheNewestGenerationsAndRecords) {
    Operators ops;
    SequencingSettings s = settings(4, 3);
    s.n_records = 2;
    const Lineage lineage = ops.run(s);
    ASSERT_EQ(lineage.generations.size(), 3U);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(lineage.generations[k].generation, 3 - k);
        ASSERT_EQ(lineage.generations[k].chromosomes.size(), 4U);
        for (const Chromosome& c : lineage.generations[k].chromosomes) {
            Genes sorted = c.genes;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(sorted, (Genes{0, 1, 2, 3, 4, 5}));
            EXPECT_TRUE(c.fitness.has_value());
        }
    }
    ASSERT_EQ(lineage.records.size(), 2U);
    EXPECT_EQ(lineage.records[0].size, 4U);

    const Lineage one = ops.run(settings(4, 1));
    ASSERT_EQ(one.generations.size(), 1U);
    EXPECT_EQ(one.generations[0].generation, 1U);
    EXPECT_EQ(one.records.size(), 2U);
}

TEST(RunSga, HallOfFameHoldsTheBestOfTheWholeRun) {
    Operators ops;
    SequencingSettings s = settings(6, 8);
    const Lineage best = ops.run(s);
    ASSERT_EQ(best.records.size(), 9U);
    double top = best.records[0].max;
    for (const FitnessStatistics& r : best.records) {
        top = std::max(top, r.max);
    }
    ASSERT_EQ(best.hall_of_fame.chromosomes.size(), 1U);
    EXPECT_EQ(*best.hall_of_fame.chromosomes[0].fitness, top);

    s.n_hall_of_fame = 4;
    const auto entries = ops.run(s).hall_of_fame.chromosomes;
    ASSERT_EQ(entries.size(), 4U);
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(),
                               [](const Chromosome& a, const Chromosome& b) { return *a.fitness > *b.fitness; }));
}

TEST(RunSga, PopulationSizesAndInternalChecks) {
    Operators ops;
    const Lineage empty = ops.run(settings(0, 3));
    ASSERT_EQ(empty.generations.size(), 3U);
    EXPECT_EQ(empty.generations[0].generation, 3U);
    EXPECT_TRUE(empty.generations[0].chromosomes.empty());
    EXPECT_EQ(empty.records.size(), 4U);
    EXPECT_TRUE(empty.hall_of_fame.chromosomes.empty());

    for (const Population& p : ops.run(settings(5, 4)).generations) {
        EXPECT_EQ(p.chromosomes.size(), 5U);
    }

    SequencingSettings s = settings(4, 2);
    s.n_generations.reset();
    EXPECT_THROW(ops.run(s), core::InternalError);
    EXPECT_THROW(ops.run(settings(1, 2)), core::InternalError);  // one parent cannot be paired
}

TEST(RunSga, OnlyNewGenesAreEvaluated) {
    Operators ops;
    auto evaluations = [&](double p_crossover, double p_mutation) {
        CountingEvaluator counting;
        SequencingSettings s = settings(6, 4);
        s.p_crossover = p_crossover;
        s.p_mutation = p_mutation;
        ops.run(s, &counting);
        return counting.calls;
    };
    EXPECT_EQ(evaluations(0.0, 0.0), 6U);       // generation 0 only: copies keep their fitness
    EXPECT_EQ(evaluations(1.0, 0.0), 6U * 5U);  // every pair crossed, children scored
    EXPECT_EQ(evaluations(0.0, 1.0), 6U * 5U);  // every copy mutated and scored again
}

// The generational loop with every step spelled out.
Lineage spelled_out(const SequencingSettings& s, Operators& ops) {
    RandomSequenceGenerator generator;
    std::vector<Chromosome> initial;
    for (std::uint64_t k = 0; k < *s.n_chromosomes; ++k) {
        initial.emplace_back(generator.generate(ops.rng, s.n_genes));
    }
    Lineage lineage = Lineage::create(Population(std::move(initial), 0), *ops.evaluator, ops.recorder,
                                      s.n_generations, s.n_records, s.n_hall_of_fame);
    for (std::uint64_t g = 1; g <= *s.n_generations; ++g) {
        const std::vector<const Chromosome*> parents =
            ops.selector.select_references(ops.rng, lineage.latest(), s.n_chromosomes);
        std::vector<Chromosome> offspring =
            ops.crossover.crossover_population(ops.rng, parents, s.n_chromosomes, s.p_crossover);
        Population next = mutate_population(ops.mutator, ops.rng, Population(std::move(offspring), 0),
                                            s.n_chromosomes, s.p_mutation);
        next.generation = g;
        lineage.update(std::move(next), *ops.evaluator, ops.recorder);
    }
    return lineage;
}

TEST(RunSga, DrawsLikeTheLoopSpelledOut) {
    for (const std::uint64_t n_chromosomes : {5U, 8U}) {  // an odd size wraps around the pairs
        SequencingSettings s = settings(n_chromosomes, 12);
        s.n_genes = 40;
        s.n_hall_of_fame = 3;
        Operators fast;
        fast.evaluator = build_evaluator(
            MatrixEvaluatorOptions{std::nullopt, random_matrix(40, 9), EvaluatorKind::FeedbackMarks});
        Operators plain;
        plain.evaluator = build_evaluator(
            MatrixEvaluatorOptions{std::nullopt, random_matrix(40, 9), EvaluatorKind::FeedbackMarks});
        const Lineage a = fast.run(s);
        const Lineage b = spelled_out(s, plain);
        ASSERT_EQ(a.generations.size(), b.generations.size());
        for (std::size_t k = 0; k < a.generations.size(); ++k) {
            EXPECT_EQ(a.generations[k].generation, b.generations[k].generation);
            ASSERT_EQ(a.generations[k].chromosomes.size(), b.generations[k].chromosomes.size());
            for (std::size_t c = 0; c < a.generations[k].chromosomes.size(); ++c) {
                EXPECT_EQ(a.generations[k].chromosomes[c].genes, b.generations[k].chromosomes[c].genes);
                EXPECT_EQ(a.generations[k].chromosomes[c].fitness, b.generations[k].chromosomes[c].fitness);
            }
        }
        ASSERT_EQ(a.records.size(), b.records.size());
        for (std::size_t k = 0; k < a.records.size(); ++k) {
            EXPECT_EQ(a.records[k].sum, b.records[k].sum);
            EXPECT_EQ(a.records[k].variance, b.records[k].variance);
        }
        ASSERT_EQ(a.hall_of_fame.chromosomes.size(), 3U);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(a.hall_of_fame.chromosomes[k].genes, b.hall_of_fame.chromosomes[k].genes);
        }
    }
}

RunOptions options() {
    RunOptions o;
    o.settings = settings(4, 2);
    o.evaluator = MatrixEvaluatorOptions{std::nullopt, random_matrix(6, 5), EvaluatorKind::FeedbackDistance};
    o.recorder = RecorderKind::FitnessStatistics;
    o.selector = SelectorKind::Random;
    o.crossover = CrossoverKind::IPX;
    o.p_swap = 0.1;
    return o;
}

std::string refusal(const RunOptions& o) {
    try {
        sequence_sga(o);
    } catch (const core::ConfigError& e) {
        return e.what();
    }
    return "(ran)";
}

TEST(SequenceSga, RefusalsInOrder) {
    // Each refusal wins over every one checked after it.
    RunOptions o = options();
    EXPECT_EQ(refusal(o), "(ran)");
    o.settings.n_chromosomes.reset();
    EXPECT_EQ(refusal(o), "n_chromosomes is required: set the number of chromosomes in each population.");
    o.settings.n_chromosomes = 1;
    EXPECT_EQ(refusal(o), "n_chromosomes must be 0 or at least 2: one chromosome has no partner to breed with.");
    o.crossover = CrossoverKind::SimulatedBinary;
    EXPECT_EQ(refusal(o), "unrecognized crossover options");
    o.recorder = HdrHistogramOptions{3};
    EXPECT_EQ(refusal(o), "unrecognized recorder options");
    o.recorder = RecorderKind::HdrHistogram;
    EXPECT_EQ(refusal(o), "unrecognized recorder options");
    o.evaluator = MatrixEvaluatorOptions{std::nullopt, std::vector<double>(10), EvaluatorKind::LowerLeftDistance};
    EXPECT_EQ(refusal(o), "Vector should be of size dimensions^2. 3*3 != 10");
    o.evaluator = MatrixEvaluatorOptions{std::nullopt, std::vector<double>(10), EvaluatorKind::Value};
    EXPECT_EQ(refusal(o), "unrecognized evaluator options");
    o.settings.n_generations.reset();
    EXPECT_EQ(refusal(o), "with no limit on n_generations and convergence set to never, this would run indefinitely.");
}

TEST(SequenceSga, ZeroGenerationsRecordsTheInitialPopulation) {
    RunOptions o = options();
    o.settings.n_generations = 0;
    const Lineage lineage = sequence_sga(o);
    EXPECT_TRUE(lineage.generations.empty());
    ASSERT_EQ(lineage.records.size(), 1U);
    EXPECT_EQ(lineage.records[0].size, 4U);
    ASSERT_EQ(lineage.hall_of_fame.chromosomes.size(), 1U);
    EXPECT_EQ(*lineage.hall_of_fame.chromosomes[0].fitness, lineage.records[0].max);
}

TEST(SequenceSga, SizesBeyondMemoryAreRefusedBeforeRunning) {
    // Too many genes or chromosomes, and too many generations even of empty
    // populations (each kept population and its record still cost memory):
    // refused with bad_alloc at once instead of running out of memory later.
    RunOptions o = options();
    o.settings.n_genes = std::uint64_t{1} << 50;
    EXPECT_THROW(sequence_sga(o), std::bad_alloc);
    o.settings = settings(std::uint64_t{1} << 50, 2);
    EXPECT_THROW(sequence_sga(o), std::bad_alloc);
    for (const std::uint64_t chromosomes : {std::uint64_t{0}, std::uint64_t{2}}) {
        o.settings = settings(chromosomes, std::uint64_t{1} << 50);
        EXPECT_THROW(sequence_sga(o), std::bad_alloc) << chromosomes;
        o.settings.n_genes = 0;
        EXPECT_THROW(sequence_sga(o), std::bad_alloc) << chromosomes;
    }
    o.settings = settings(0, ~std::uint64_t{0});
    EXPECT_THROW(sequence_sga(o), std::bad_alloc);
    // Small empty runs still complete.
    o.settings = settings(0, 3);
    EXPECT_EQ(sequence_sga(o).records.size(), 4U);
}

TEST(SequenceSga, RunsWithOtherOperators) {
    RunOptions o = options();
    o.crossover = CrossoverKind::Point;
    o.selector = SelectorKind::Roulette;
    o.settings.n_generations = 5;
    const Lineage lineage = sequence_sga(o);
    EXPECT_EQ(lineage.generations.front().generation, 5U);
    EXPECT_EQ(lineage.records.size(), 6U);

    o.evaluator = ValueEvaluatorOptions{2.5};
    o.crossover = BlendOptions{0.0};
    EXPECT_EQ(sequence_sga(o).records.front().mean, 2.5);
}

}  // namespace
}  // namespace ovila::genetic
