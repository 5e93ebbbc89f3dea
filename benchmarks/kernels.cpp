// Engine-only benchmarks: the score of one permutation for each matrix
// evaluator against the reference cell-by-cell walk, one whole generation step
// with a breakdown of where its time goes, the "floor" of a generation
// (copying the genes once and scoring the changed chromosomes), and whole
// runs with an exact count of scorings.
//
//   build/bench/benchmarks/ovila_kernels --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "ovila/genetic/crossover.hpp"
#include "ovila/genetic/evaluator.hpp"
#include "ovila/genetic/kernels/feedback.hpp"
#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/mutator.hpp"
#include "ovila/genetic/random.hpp"
#include "ovila/genetic/selector.hpp"
#include "ovila/genetic/simple.hpp"

namespace {

using namespace ovila::genetic;

constexpr double kDensity = 0.1;
constexpr double kPCrossover = 0.9;
constexpr double kPMutation = 0.2;
constexpr double kPSwap = 0.05;
constexpr std::uint64_t kPop = 100;

// Random 0/1 matrix of density 0.1 with an empty diagonal, from a fixed seed.
std::vector<double> random_matrix(std::uint64_t n) {
    std::mt19937_64 engine(20240611 + n);
    std::bernoulli_distribution mark(kDensity);
    std::vector<double> cells(n * n, 0.0);
    for (std::uint64_t r = 0; r < n; ++r) {
        for (std::uint64_t c = 0; c < n; ++c) {
            if (r != c && mark(engine)) {
                cells[r * n + c] = 1.0;
            }
        }
    }
    return cells;
}

Genes random_permutation(std::uint64_t n, std::mt19937_64& engine) {
    Genes genes(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        genes[i] = i;
    }
    std::shuffle(genes.begin(), genes.end(), engine);
    return genes;
}

std::unique_ptr<Evaluator> make_evaluator(EvaluatorKind kind, const std::vector<double>& cells) {
    return build_evaluator(MatrixEvaluatorOptions{std::nullopt, cells, kind});
}

// ---------------------------------------------------------------------------
// Score of one permutation: engine kernel vs the direct walk
// ---------------------------------------------------------------------------

template <EvaluatorKind Kind>
void BM_Score(benchmark::State& state) {
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const std::vector<double> cells = random_matrix(n);
    const auto evaluator = make_evaluator(Kind, cells);
    std::mt19937_64 engine(7);
    const Genes genes = random_permutation(n, engine);
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluator->score(genes));
    }
    state.counters["scores/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

template <EvaluatorKind Kind>
void BM_ScoreDirect(benchmark::State& state) {
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const std::vector<double> cells = random_matrix(n);
    const kernels::BitMatrix bits(cells, n);
    std::mt19937_64 engine(7);
    const Genes genes = random_permutation(n, engine);
    for (auto _ : state) {
        std::uint64_t sum = 0;
        if constexpr (Kind == EvaluatorKind::LowerLeftDistance) {
            sum = kernels::lower_left_walk(bits, genes);
        } else {
            sum = kernels::feedback_walk(bits, genes, Kind == EvaluatorKind::FeedbackDistance);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["scores/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

#define OVILA_SCORE_BENCH(KIND)                                                                  \
    BENCHMARK(BM_Score<EvaluatorKind::KIND>)->Name("Score/" #KIND)->Arg(100)->Arg(300)->Arg(1000)->Arg(5000); \
    BENCHMARK(BM_ScoreDirect<EvaluatorKind::KIND>)                                              \
        ->Name("ScoreDirect/" #KIND)                                                            \
        ->Arg(100)                                                                              \
        ->Arg(1000)                                                                             \
        ->Arg(5000)                                                                             \
        ->Unit(benchmark::kMicrosecond);

OVILA_SCORE_BENCH(FeedbackMarks)
OVILA_SCORE_BENCH(FeedbackDistance)
OVILA_SCORE_BENCH(LowerLeftDistance)

// ---------------------------------------------------------------------------
// One generation step, with its breakdown
// ---------------------------------------------------------------------------

Population initial_population(const Evaluator& evaluator, std::uint64_t n) {
    std::mt19937_64 engine(11);
    std::vector<Chromosome> chromosomes;
    for (std::uint64_t k = 0; k < kPop; ++k) {
        chromosomes.emplace_back(random_permutation(n, engine));
    }
    Population population(std::move(chromosomes), 0);
    evaluator.evaluate_population(population.chromosomes);
    return population;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point& mark) {
    const Clock::time_point now = Clock::now();
    const double s = std::chrono::duration<double>(now - mark).count();
    mark = now;
    return s;
}

// select_references, crossover_population, mutate_population and
// evaluate_population, as the generational loop chains them; the result is
// the next iteration's population. Counters give the time of each step per
// generation (microseconds) and the scorings per generation.
void BM_Generation(benchmark::State& state) {
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const auto evaluator = make_evaluator(EvaluatorKind::FeedbackMarks, random_matrix(n));
    RouletteSelector selector;
    IpxCrossover crossover;
    const SwapMutator mutator(kPSwap);
    RandomSource& rng = thread_random();
    Population population = initial_population(*evaluator, n);
    double t_select = 0, t_cross = 0, t_mutate = 0, t_eval = 0, scored = 0;
    for (auto _ : state) {
        Clock::time_point mark = Clock::now();
        const std::vector<const Chromosome*> parents = selector.select_references(rng, population, kPop);
        t_select += seconds_since(mark);
        std::vector<Chromosome> offspring = crossover.crossover_population(rng, parents, kPop, kPCrossover);
        t_cross += seconds_since(mark);
        Population mutated = mutate_population(mutator, rng, Population(std::move(offspring), 0), kPop, kPMutation);
        t_mutate += seconds_since(mark);
        for (const Chromosome& c : mutated.chromosomes) {
            scored += c.fitness ? 0.0 : 1.0;
        }
        evaluator->evaluate_population(mutated.chromosomes);
        t_eval += seconds_since(mark);
        population = std::move(mutated);
    }
    const auto per_gen = [&](double total) {
        return benchmark::Counter(total * 1e6, benchmark::Counter::kAvgIterations);
    };
    state.counters["select_us"] = per_gen(t_select);
    state.counters["cross_us"] = per_gen(t_cross);
    state.counters["mutate_us"] = per_gen(t_mutate);
    state.counters["eval_us"] = per_gen(t_eval);
    state.counters["scored"] = benchmark::Counter(scored, benchmark::Counter::kAvgIterations);
    state.counters["evals/s"] = benchmark::Counter(scored, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Generation)->Name("Generation")->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The floor of a generation: copy the population's genes once and score the
// chromosomes a generation changes on average (92 of 100 with p_crossover
// 0.9 and p_mutation 0.2) with the fastest kernel.
void BM_Floor(benchmark::State& state) {
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const auto evaluator = make_evaluator(EvaluatorKind::FeedbackMarks, random_matrix(n));
    const Population population = initial_population(*evaluator, n);
    const double p_scored = 1.0 - (1.0 - kPCrossover) * (1.0 - kPMutation);
    const auto changed = static_cast<std::size_t>(p_scored * static_cast<double>(kPop) + 0.5);
    for (auto _ : state) {
        std::vector<Chromosome> copy = population.chromosomes;
        double sum = 0.0;
        for (std::size_t k = 0; k < changed; ++k) {
            sum += evaluator->score(copy[k].genes);
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["scored"] = static_cast<double>(changed);
}
BENCHMARK(BM_Floor)->Name("Floor")->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Whole runs, counting the scorings exactly
// ---------------------------------------------------------------------------

class CountingEvaluator final : public Evaluator {
public:
    explicit CountingEvaluator(std::unique_ptr<Evaluator> inner) : inner_(std::move(inner)) {}
    double score(std::span<const Gene> genes) const override {
        ++count_;
        return inner_->score(genes);
    }
    std::uint64_t count() const { return count_; }

private:
    std::unique_ptr<Evaluator> inner_;
    mutable std::uint64_t count_ = 0;
};

// run_sga with the compare.py workloads (args: n, generations); all
// generations are kept, as sequence_sga keeps them by default.
void BM_RunSga(benchmark::State& state) {
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const auto generations = static_cast<std::uint64_t>(state.range(1));
    const CountingEvaluator evaluator(make_evaluator(EvaluatorKind::FeedbackMarks, random_matrix(n)));
    const FitnessStatisticsRecorder recorder;
    RouletteSelector selector;
    IpxCrossover crossover;
    const SwapMutator mutator(kPSwap);
    SequencingSettings settings;
    settings.n_genes = n;
    settings.n_chromosomes = kPop;
    settings.n_generations = generations;
    settings.n_hall_of_fame = 1;
    settings.p_crossover = kPCrossover;
    settings.p_mutation = kPMutation;
    for (auto _ : state) {
        Lineage lineage = run_sga(settings, evaluator, recorder, selector, crossover, mutator, thread_random());
        benchmark::DoNotOptimize(lineage.generations.size());
    }
    const double p_scored = 1.0 - (1.0 - kPCrossover) * (1.0 - kPMutation);
    const auto count = static_cast<double>(evaluator.count());
    state.counters["evals/run"] = benchmark::Counter(count, benchmark::Counter::kAvgIterations);
    state.counters["expected"] = static_cast<double>(kPop) * (1.0 + static_cast<double>(generations) * p_scored);
    state.counters["evals/s"] = benchmark::Counter(count, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RunSga)
    ->Name("RunSga")
    ->Args({100, 100})
    ->Args({300, 20})
    ->Args({1000, 5})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
