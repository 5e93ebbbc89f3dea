// The records behind every exposed class, with their kind tables and unions,
// and the registry of the module's classes.
//
// The module's own code lives in ovila::genetic_py, which sees the binding
// and the genetic engine. What the binding asks of a record is specialised in
// ovila::binding: its KindTable, and its ClassOf, which hands over to the
// record's `spec_of` here.
#pragma once

#include "ovila/binding/binding.hpp"
#include "ovila/genetic/crossover.hpp"
#include "ovila/genetic/evaluator.hpp"
#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/selector.hpp"
#include "ovila/genetic/simple.hpp"
#include "records.hpp"

namespace ovila::genetic_py {

using namespace binding;
using namespace genetic;

// Kinds that exist only on the Python side.
enum class GeneratorKind : std::uint8_t { RandomSequence = 0 };
enum class MutatorKind : std::uint8_t { Swap = 0 };
enum class ConvergenceKind : std::uint8_t { Never = 0 };

// MutatorSwap holds p_swap and exposes no attribute.
struct MutatorSwapOptions {
    double p_swap = 0.0;
};

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

// The description of an exposed record's class, defined in the unit of its
// operator.
template <class Record>
ClassSpec& spec_of();

// The registry of the module's classes, in the order they are added to the
// module and listed in __all__. A new class is one line here and its
// description (spec_of<Record>) in the unit of its operator.
#define OVILA_GENETIC_CLASSES(X)             \
    X(genetic::Chromosome)                   \
    X(genetic::Population)                   \
    X(genetic::FitnessStatistics)            \
    X(genetic::HallOfFame)                   \
    X(genetic::Lineage)                      \
    X(genetic_py::ConvergenceKind)           \
    X(genetic::CrossoverKind)                \
    X(genetic::BlendOptions)                 \
    X(genetic::SimulatedBinaryOptions)       \
    X(genetic::EvaluatorKind)                \
    X(genetic::MatrixEvaluatorOptions)       \
    X(genetic::ValueEvaluatorOptions)        \
    X(genetic_py::GeneratorKind)             \
    X(genetic_py::MutatorKind)               \
    X(genetic_py::MutatorSwapOptions)        \
    X(genetic::RecorderKind)                 \
    X(genetic::HdrHistogramOptions)          \
    X(genetic::SelectorKind)                 \
    X(genetic::SequencingSettings)

#define OVILA_DECLARE_SPEC(Record) \
    template <>                    \
    ClassSpec& spec_of<Record>();
OVILA_GENETIC_CLASSES(OVILA_DECLARE_SPEC)
#undef OVILA_DECLARE_SPEC

}  // namespace ovila::genetic_py

namespace ovila::binding {

template <>
struct KindTable<genetic_py::GeneratorKind> {
    static constexpr const char* name = "GeneratorKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"RandomSequence", 0}});
    static constexpr bool constructible = false;
};
template <>
struct KindTable<genetic::EvaluatorKind> {
    static constexpr const char* name = "EvaluatorKinds";
    static constexpr std::array members = std::to_array<KindMember>(
        {{"FeedbackDistance", 0}, {"FeedbackMarks", 1}, {"LowerLeftDistance", 2}, {"Value", 3}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<genetic::SelectorKind> {
    static constexpr const char* name = "SelectorKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"Roulette", 0}, {"Random", 1}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<genetic::CrossoverKind> {
    static constexpr const char* name = "CrossoverKinds";
    static constexpr std::array members =
        std::to_array<KindMember>({{"IPX", 0}, {"Point", 1}, {"Blend", 2}, {"SimulatedBinary", 3}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<genetic_py::MutatorKind> {
    static constexpr const char* name = "MutatorKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"Swap", 0}});
    static constexpr bool constructible = false;
};
template <>
struct KindTable<genetic_py::ConvergenceKind> {
    static constexpr const char* name = "ConvergenceKinds";
    static constexpr std::array members = std::to_array<KindMember>({{"Never", 0}});
    static constexpr bool constructible = true;
};
template <>
struct KindTable<genetic::RecorderKind> {
    static constexpr const char* name = "RecorderKinds";
    static constexpr std::array members =
        std::to_array<KindMember>({{"FitnessStatistics", 0}, {"HdrHistogram", 1}});
    static constexpr bool constructible = true;
};

#define OVILA_EXPOSE(Record)                                            \
    template <>                                                         \
    struct ClassOf<Record> {                                            \
        static ClassSpec& spec() { return genetic_py::spec_of<Record>(); } \
    };
OVILA_GENETIC_CLASSES(OVILA_EXPOSE)
#undef OVILA_EXPOSE

}  // namespace ovila::binding
