#include "ovila/genetic/simple.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include <unistd.h>

#include "ovila/core/error.hpp"

namespace ovila::genetic {

namespace {

// Bytes of physical memory, or 0 when unknown.
std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// A run keeps up to n_generations populations and a pass holds about three
// more (the parents, the offspring and the mutated one). Sizes that cannot
// fit in physical memory are refused before anything is allocated, instead
// of running the machine into swap or the out-of-memory killer hours later.
// Every kept population also costs its own record and a statistics record,
// even when it holds no chromosome. The hall of fame holds up to
// min(n_hall_of_fame, chromosomes the run makes) orders, each stored once.
void check_working_set(const SequencingSettings& settings) {
    std::uint64_t populations = 0;
    const bool too_many = __builtin_add_overflow(*settings.n_generations, std::uint64_t{3}, &populations);
    constexpr std::uint64_t chromosome_overhead = sizeof(Chromosome);
    constexpr std::uint64_t population_overhead = sizeof(Population) + sizeof(FitnessStatistics);
    const std::uint64_t n_chromosomes = *settings.n_chromosomes;
    std::uint64_t per_chromosome = 0;
    std::uint64_t total = 0;
    // Populations without chromosomes need no gene memory, however long an order would be.
    const bool overflow =
        too_many ||
        (n_chromosomes != 0 &&
         __builtin_mul_overflow(settings.n_genes, std::uint64_t{sizeof(Gene)}, &per_chromosome)) ||
        __builtin_add_overflow(per_chromosome, chromosome_overhead, &per_chromosome) ||
        __builtin_mul_overflow(per_chromosome, n_chromosomes, &total) ||
        __builtin_add_overflow(total, population_overhead, &total) ||
        __builtin_mul_overflow(total, populations, &total);
    std::uint64_t made = 0;
    if (__builtin_mul_overflow(n_chromosomes, *settings.n_generations, &made) ||
        __builtin_add_overflow(made, n_chromosomes, &made)) {
        made = ~std::uint64_t{0};
    }
    const std::uint64_t hall_entries = std::min(settings.n_hall_of_fame.value_or(1), made);
    std::uint64_t hall = 0;
    const bool hall_overflow =
        __builtin_mul_overflow(per_chromosome + HallOfFame::entry_overhead, hall_entries, &hall) ||
        __builtin_add_overflow(total, hall, &total);
    const std::uint64_t available = physical_memory();
    if (overflow || hall_overflow || (available != 0 && total > available)) {
        throw core::MemoryRefusal("a run of " + std::to_string(*settings.n_chromosomes) + " chromosomes of " +
                            std::to_string(settings.n_genes) + " genes keeping up to " +
                            std::to_string(*settings.n_generations) +
                            " generations needs more memory than this machine has");
    }
}

}  // namespace

Population mutate_population(const SwapMutator& mutator, RandomSource& rng, Population population,
                             std::optional<std::uint64_t> target, double p_mutation) {
    std::vector<Chromosome>& source = population.chromosomes;
    const std::uint64_t size = source.size();
    const std::uint64_t count = target.value_or(size);
    Population result;
    if (count == 0) {
        return result;
    }
    if (size == 0) {
        core::internal_error("mutation has no chromosome to copy towards a non-empty population");
    }
    if (count < result.chromosomes.max_size()) {
        result.chromosomes.reserve(static_cast<std::size_t>(count));
    }
    for (std::uint64_t k = 0; k < count; ++k) {
        Chromosome& original = source[static_cast<std::size_t>(k % size)];
        // The input is ours: its last visit may take the chromosome instead of copying it.
        const bool last_visit = count - k <= size;
        Chromosome copy = last_visit ? std::move(original) : original;
        if (rng.uniform() < p_mutation) {
            mutator.mutate(rng, copy.genes);
            copy.fitness.reset();
        }
        result.chromosomes.push_back(std::move(copy));
    }
    return result;
}

Lineage run_sga(const SequencingSettings& settings, const Evaluator& evaluator, const Recorder& recorder,
                Selector& selector, const Crossover& crossover, const SwapMutator& mutator, RandomSource& rng) {
    if (!settings.n_generations) {
        core::internal_error("a run needs a limit on n_generations");
    }
    if (!settings.n_chromosomes) {
        core::internal_error("a run needs n_chromosomes");
    }
    const std::uint64_t n_chromosomes = *settings.n_chromosomes;
    const std::uint64_t limit = *settings.n_generations;

    RandomSequenceGenerator generator;
    std::vector<Chromosome> initial;
    if (n_chromosomes < initial.max_size()) {
        initial.reserve(static_cast<std::size_t>(n_chromosomes));
    }
    for (std::uint64_t k = 0; k < n_chromosomes; ++k) {
        initial.emplace_back(generator.generate(rng, settings.n_genes));
    }
    Lineage lineage = Lineage::create(Population(std::move(initial), 0), evaluator, recorder, settings.n_generations,
                                      settings.n_records, settings.n_hall_of_fame);

    // With a limit of 0 the lineage keeps no population; generation 0 is
    // already evaluated, offered to the hall of fame and recorded.
    if (limit == 0) {
        return lineage;
    }
    for (;;) {
        const Population& newest = lineage.latest();
        if (newest.generation >= limit) {
            break;
        }
        const std::uint64_t next_generation = newest.generation + 1;
        // Parents stay where they are: crossed pairs are read in place and only
        // uncrossed ones are copied into the next generation.
        const std::vector<const Chromosome*> parents = selector.select_references(rng, newest, settings.n_chromosomes);
        std::vector<Chromosome> offspring =
            crossover.crossover_population(rng, parents, settings.n_chromosomes, settings.p_crossover);
        Population mutated = mutate_population(mutator, rng, Population(std::move(offspring), 0),
                                               settings.n_chromosomes, settings.p_mutation);
        mutated.generation = next_generation;
        lineage.update(std::move(mutated), evaluator, recorder);
    }
    return lineage;
}

Lineage sequence_sga(const RunOptions& options) {
    const SequencingSettings& settings = options.settings;
    if (!settings.n_generations) {
        throw core::ConfigError("with no limit on n_generations and convergence set to never, this would run indefinitely.");
    }
    const std::unique_ptr<Evaluator> evaluator = build_evaluator(options.evaluator);

    const auto* recorder_kind = std::get_if<RecorderKind>(&options.recorder);
    if (recorder_kind == nullptr || *recorder_kind != RecorderKind::FitnessStatistics) {
        throw core::ConfigError("unrecognized recorder options");
    }
    const FitnessStatisticsRecorder recorder;

    const std::unique_ptr<Selector> selector = build_selector(options.selector);
    const std::unique_ptr<Crossover> crossover = build_crossover(options.crossover);
    const SwapMutator mutator(options.p_swap);
    RandomSource& rng = thread_random();

    if (!settings.n_chromosomes) {
        throw core::ConfigError("n_chromosomes is required: set the number of chromosomes in each population.");
    }
    if (*settings.n_chromosomes == 1) {
        throw core::ConfigError("n_chromosomes must be 0 or at least 2: one chromosome has no partner to breed with.");
    }
    check_working_set(settings);
    return run_sga(settings, *evaluator, recorder, *selector, *crossover, mutator, rng);
}

}  // namespace ovila::genetic
