// The simple generational genetic algorithm.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "ovila/genetic/crossover.hpp"
#include "ovila/genetic/evaluator.hpp"
#include "ovila/genetic/generator.hpp"
#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/mutator.hpp"
#include "ovila/genetic/random.hpp"
#include "ovila/genetic/selector.hpp"

namespace ovila::genetic {

struct SequencingSettings {
    std::uint64_t n_genes = 0;
    std::optional<std::uint64_t> n_chromosomes;
    std::optional<std::uint64_t> n_generations;
    std::optional<std::uint64_t> n_records;
    std::optional<std::uint64_t> n_hall_of_fame;
    double p_crossover = 0.0;
    double p_mutation = 0.0;
};

enum class RecorderKind : std::uint8_t { FitnessStatistics = 0, HdrHistogram = 1 };
struct HdrHistogramOptions {
    std::uint8_t sigfig = 0;
};
using RecorderOptions = std::variant<HdrHistogramOptions, RecorderKind>;

// What a caller chooses for one run, already converted from the binding.
struct RunOptions {
    SequencingSettings settings;
    EvaluatorOptions evaluator;
    RecorderOptions recorder;
    SelectorKind selector = SelectorKind::Roulette;
    CrossoverOptions crossover;
    double p_swap = 0.0;
};

// Copies each chromosome (wrapping around) until `target` (or the input's
// size) is reached, mutating each copy with probability p_mutation.
Population mutate_population(const SwapMutator& mutator, RandomSource& rng, Population population,
                             std::optional<std::uint64_t> target, double p_mutation);

// The generational loop over built operators.
Lineage run_sga(const SequencingSettings& settings, const Evaluator& evaluator, const Recorder& recorder,
                Selector& selector, const Crossover& crossover, const SwapMutator& mutator, RandomSource& rng);

// Preparation (refusals as core::ConfigError, in order) and then the loop, using
// the calling thread's random source.
Lineage sequence_sga(const RunOptions& options);

}  // namespace ovila::genetic
