// The records behind every exposed class, with their kind tables and unions,
// and the registry of the module's classes.
#pragma once

#include "binding/binding.hpp"
#include "records.hpp"
#include "crossover.hpp"
#include "evaluator.hpp"
#include "lineage.hpp"
#include "selector.hpp"
#include "simple.hpp"

namespace ovila::py {

// Kinds that exist only on the Python side.
enum class GeneratorKind : std::uint8_t { RandomSequence = 0 };
enum class MutatorKind : std::uint8_t { Swap = 0 };
enum class ConvergenceKind : std::uint8_t { Never = 0 };

// MutatorSwap holds p_swap and exposes no attribute.
struct MutatorSwapOptions {
    double p_swap = 0.0;
};

template <>
struct KindTable<GeneratorKind> {
    static constexpr const char* name = "GeneratorKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"RandomSequence", 0}});
    static constexpr bool constructible = false;
};
template <>
struct KindTable<EvaluatorKind> {
    static constexpr const char* name = "EvaluatorKinds";
    static constexpr std::array members = std::to_array<KindMember>(
        {{"FeedbackDistance", 0}, {"FeedbackMarks", 1}, {"LowerLeftDistance", 2}, {"Value", 3}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<SelectorKind> {
    static constexpr const char* name = "SelectorKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"Roulette", 0}, {"Random", 1}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<CrossoverKind> {
    static constexpr const char* name = "CrossoverKinds";
    static constexpr std::array members =
        std::to_array<KindMember>({{"IPX", 0}, {"Point", 1}, {"Blend", 2}, {"SimulatedBinary", 3}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<MutatorKind> {
    static constexpr const char* name = "MutatorKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"Swap", 0}});
    static constexpr bool constructible = false;
};
template <>
struct KindTable<ConvergenceKind> {
    static constexpr const char* name = "ConvergenceKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"Never", 0}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<RecorderKind> {
    static constexpr const char* name = "RecorderKinds";
    static constexpr std::array members =
        std::to_array<KindMember>({{"FitnessStatistics", 0}, {"HdrHistogram", 1}});
    static constexpr bool constructible = true;
};

// The registry of the module's classes, in the order they are added to the
// module and listed in __all__. A new class is one line here and its
// description (ClassOf<Record>::spec) in the unit of its operator.
#define OVILA_GENETIC_CLASSES(X) \
    X(Chromosome)                \
    X(Population)                \
    X(FitnessStatistics)         \
    X(HallOfFame)                \
    X(Lineage)                   \
    X(ConvergenceKind)           \
    X(CrossoverKind)             \
    X(BlendOptions)              \
    X(SimulatedBinaryOptions)    \
    X(EvaluatorKind)             \
    X(MatrixEvaluatorOptions)    \
    X(ValueEvaluatorOptions)     \
    X(GeneratorKind)             \
    X(MutatorKind)               \
    X(MutatorSwapOptions)        \
    X(RecorderKind)              \
    X(HdrHistogramOptions)       \
    X(SelectorKind)              \
    X(SequencingSettings)

#define OVILA_EXPOSE(Record)      \
    template <>                   \
    struct ClassOf<Record> {      \
        static ClassSpec& spec(); \
    };
OVILA_GENETIC_CLASSES(OVILA_EXPOSE)
#undef OVILA_EXPOSE

// Argument unions of sequence_sga, variants in the order they are tried.
extern const UnionSpec generator_union;
extern const UnionSpec evaluator_union;
extern const UnionSpec recorder_union;
extern const UnionSpec selector_union;
extern const UnionSpec crossover_union;
extern const UnionSpec mutator_union;
extern const UnionSpec convergence_union;

// The engine settings record read attribute by attribute from any object.
SequencingSettings extract_settings(PyObject* object);

// The module function.
PyObject* sequence_sga(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace ovila::py
