// SequencingSettings and the sequence_sga entry point.
#include "classes.hpp"

namespace ovila::genetic_py {

namespace {

const Signature settings_signature{"SequencingSettings",
                                   "__new__",
                                   {"n_genes", "p_crossover", "p_mutation", "n_chromosomes", "n_generations",
                                    "n_records", "n_hall_of_fame"},
                                   3};
SequencingSettings build_settings(const Arguments& args) {
    SequencingSettings settings;
    settings.n_genes = args.get<std::uint64_t>(0);
    settings.p_crossover = args.get<double>(1);
    settings.p_mutation = args.get<double>(2);
    settings.n_chromosomes = args.get<std::optional<std::uint64_t>>(3);
    settings.n_generations = args.get<std::optional<std::uint64_t>>(4);
    settings.n_records = args.get<std::optional<std::uint64_t>>(5);
    settings.n_hall_of_fame = args.get<std::optional<std::uint64_t>>(6);
    return settings;
}

// Reads attribute `field` of `object` and converts it; a conversion failure
// becomes "failed to extract field <record>.<field>" caused by it.
template <class T>
T read_field(PyObject* object, const char* record, const char* field) {
    Ref value = Ref::owned(PyObject_GetAttrString(object, field));
    try {
        return Convert<T>::from(value.get());
    } catch (const PythonError&) {
        Fetched failure = Fetched::fetch();
        raise_with_cause(PyExc_TypeError, std::string("failed to extract field ") + record + "." + field,
                         failure.value());
    }
}

const Signature run_signature{
    nullptr,
    "sequence_sga",
    {"settings", "generator", "evaluator", "recorder", "selector", "crossover", "mutator", "convergence"},
    8};

// Extracts argument i as a union, with the argument's name on a TypeError.
template <class... Variants>
std::variant<Variants...> union_argument(const Arguments& args, std::size_t i, const UnionSpec& spec) {
    try {
        return extract_union<Variants...>(args.raw(i), spec);
    } catch (const PythonError&) {
        reword_type_error(argument_prefix(run_signature.parameters[i]));
        throw;
    }
}

}  // namespace

SequencingSettings extract_settings(PyObject* object) {
    constexpr const char* record = "SequencingSettings";
    SequencingSettings settings;
    settings.n_genes = read_field<std::uint64_t>(object, record, "n_genes");
    settings.n_chromosomes = read_field<std::optional<std::uint64_t>>(object, record, "n_chromosomes");
    settings.n_generations = read_field<std::optional<std::uint64_t>>(object, record, "n_generations");
    settings.n_records = read_field<std::optional<std::uint64_t>>(object, record, "n_records");
    settings.n_hall_of_fame = read_field<std::optional<std::uint64_t>>(object, record, "n_hall_of_fame");
    settings.p_crossover = read_field<double>(object, record, "p_crossover");
    settings.p_mutation = read_field<double>(object, record, "p_mutation");
    return settings;
}

template <>
ClassSpec& spec_of<SequencingSettings>() {
    using S = SequencingSettings;
    static ClassSpec spec = record_class<S>(
        "SequencingSettings",
        "(n_genes, p_crossover, p_mutation, n_chromosomes=None, n_generations=None, n_records=None, "
        "n_hall_of_fame=None)",
        "Common settings for a simple genetic algorithm.",
        {
            attribute<S, &S::n_genes>("n_genes", "Number of genes in each chromosome to generate if needed."),
            attribute<S, &S::n_chromosomes>("n_chromosomes",
                                            "Number of chromosomes to strive for in each population. (should be even)"),
            attribute<S, &S::n_generations>("n_generations", "Maximum number of generations to evaluate."),
            attribute<S, &S::n_records>("n_records", "Maximum number of generation records to keep."),
            attribute<S, &S::n_hall_of_fame>("n_hall_of_fame", "Number of best performing chromosomes to keep."),
            attribute<S, &S::p_crossover>("p_crossover",
                                          "Probability of crossover happening between each pair of chromosomes."),
            attribute<S, &S::p_mutation>("p_mutation", "Probability of mutation happening for each chromosome."),
        },
        &construct<S, settings_signature, &build_settings>);
    return spec;
}

PyObject* sequence_sga(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments arguments(run_signature, args, kwargs);
        RunOptions options;
        try {
            options.settings = extract_settings(arguments.raw(0));
        } catch (const PythonError&) {
            reword_type_error(argument_prefix("settings"));
            throw;
        }
        union_argument<GeneratorKind>(arguments, 1, generator_union);
        options.evaluator = union_argument<MatrixEvaluatorOptions, ValueEvaluatorOptions>(arguments, 2, evaluator_union);
        options.recorder = union_argument<HdrHistogramOptions, RecorderKind>(arguments, 3, recorder_union);
        options.selector = std::get<0>(union_argument<SelectorKind>(arguments, 4, selector_union));
        options.crossover =
            union_argument<BlendOptions, SimulatedBinaryOptions, CrossoverKind>(arguments, 5, crossover_union);
        options.p_swap = std::get<0>(union_argument<MutatorSwapOptions>(arguments, 6, mutator_union)).p_swap;
        union_argument<ConvergenceKind>(arguments, 7, convergence_union);

        Lineage lineage = genetic::sequence_sga(options);
        return make_instance<Lineage>(std::move(lineage)).release();
    });
}

}  // namespace ovila::genetic_py
