"""Module identity: registry, __all__, class identity, docstrings, signatures."""

import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import ovila_genetic_py as og

REGISTRY = [
    # (name, text signature, docstring or None, has constructor)
    ("Chromosome", "(genes, fitness=None)",
     "A chromosome represented by a vector of genes and a fitness value.", True),
    ("Population", "(chromosomes, generation)",
     "A population consisting of multiple chromosomes and a generation number.", True),
    ("FitnessStatistics", "(size, min, max, sum, mean, variance)",
     "Fitness statistics record.", True),
    ("HallOfFame", "(chromosomes, uniques, capacity)",
     "A Hall Of Fame contains the fittest unique chromosomes.", True),
    ("Lineage", "(generations, records, hall_of_fame, n_generations=None, n_records=None)",
     None, True),
    ("ConvergenceKinds", "()", None, True),
    ("CrossoverKinds", "()", None, True),
    ("CrossoverBlend", "(alpha)", None, True),
    ("CrossoverSimulatedBinary", "(eta)", None, True),
    ("EvaluatorKinds", "()", None, True),
    ("EvaluatorMatrix", "(kind, matrix, offset=None)", None, True),
    ("EvaluatorValue", "(value)", None, True),
    ("GeneratorKinds", None,
     "Generator kinds. Primary use is for generators without further parameters.", False),
    ("MutatorKinds", None, None, False),
    ("MutatorSwap", "(p_swap)", None, True),
    ("RecorderKinds", "()", None, True),
    ("RecorderHdrHistogram", "(sigfig)", None, True),
    ("SelectorKinds", "()", None, True),
    ("SequencingSettings",
     "(n_genes, p_crossover, p_mutation, n_chromosomes=None, n_generations=None, "
     "n_records=None, n_hall_of_fame=None)",
     "Common settings for a simple genetic algorithm.", True),
]
CLASS_NAMES = [entry[0] for entry in REGISTRY]

SGA_SIGNATURE = "(settings, generator, evaluator, recorder, selector, crossover, mutator, convergence)"


def test_all_lists_classes_in_registry_order_then_the_function():
    assert og.__all__ == CLASS_NAMES + ["sequence_sga"]
    assert type(og.__all__) is list
    for name in og.__all__:
        assert hasattr(og, name), name


def test_module_exposes_nothing_unexpected():
    public = {name for name in vars(og) if not name.startswith("_")}
    assert public == set(og.__all__)
    assert og.__name__ == "ovila_genetic_py"
    assert "PanicException" not in vars(og)


def test_module_has_a_docstring():
    assert isinstance(og.__doc__, str) and og.__doc__.strip()


@pytest.mark.parametrize("name, signature, doc, has_constructor", REGISTRY, ids=CLASS_NAMES)
def test_class_identity(name, signature, doc, has_constructor):
    cls = getattr(og, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == signature
    if doc is None:
        # No docstring of its own: nothing (or nothing but the signature) to show.
        assert cls.__doc__ in (None, "")
    else:
        assert cls.__doc__ == doc
    assert cls.__base__ is object


def test_no_docstring_and_no_signature_means_no_doc():
    assert og.MutatorKinds.__doc__ is None
    assert og.MutatorKinds.__text_signature__ is None


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_final(name):
    cls = getattr(og, name)
    with pytest.raises(TypeError, match="acceptable base type"):
        type("Derived", (cls,), {})


def test_class_statement_with_registered_base_fails():
    with pytest.raises(TypeError):
        class Derived(og.Chromosome):  # noqa: F841
            pass


@pytest.mark.parametrize("name", ["GeneratorKinds", "MutatorKinds"])
def test_classes_without_constructor(name):
    cls = getattr(og, name)
    with pytest.raises(TypeError) as excinfo:
        cls()
    assert str(excinfo.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls(1, x=2)


def sample_instances():
    chromosome = og.Chromosome([0, 1])
    stats = og.FitnessStatistics(1, 1.0, 1.0, 1.0, 1.0, 0.0)
    hof = og.HallOfFame([chromosome], {(0, 1)}, 1)
    return {
        "Chromosome": chromosome,
        "Population": og.Population([chromosome], 0),
        "FitnessStatistics": stats,
        "HallOfFame": hof,
        "Lineage": og.Lineage([], [stats], hof),
        "ConvergenceKinds": og.ConvergenceKinds.Never,
        "CrossoverKinds": og.CrossoverKinds.IPX,
        "CrossoverBlend": og.CrossoverBlend(0.5),
        "CrossoverSimulatedBinary": og.CrossoverSimulatedBinary(2.0),
        "EvaluatorKinds": og.EvaluatorKinds.FeedbackMarks,
        "EvaluatorMatrix": og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0]),
        "EvaluatorValue": og.EvaluatorValue(1.0),
        "GeneratorKinds": og.GeneratorKinds.RandomSequence,
        "MutatorKinds": og.MutatorKinds.Swap,
        "MutatorSwap": og.MutatorSwap(0.1),
        "RecorderKinds": og.RecorderKinds.FitnessStatistics,
        "RecorderHdrHistogram": og.RecorderHdrHistogram(3),
        "SelectorKinds": og.SelectorKinds.Random,
        "SequencingSettings": og.SequencingSettings(3, 0.5, 0.5),
    }


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_have_no_dict_and_no_weakrefs(name):
    instance = sample_instances()[name]
    assert type(instance) is getattr(og, name)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.not_an_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("name", ["Chromosome", "Population", "FitnessStatistics", "HallOfFame",
                                  "Lineage", "CrossoverBlend", "CrossoverSimulatedBinary",
                                  "EvaluatorMatrix", "EvaluatorValue", "MutatorSwap",
                                  "RecorderHdrHistogram", "SequencingSettings"])
def test_plain_records_use_identity_semantics(name):
    a = sample_instances()[name]
    b = sample_instances()[name]
    assert a == a
    assert a != b
    assert hash(a) == hash(a)
    assert repr(a).startswith(f"<builtins.{name} object at ")
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_sequence_sga_identity():
    f = og.sequence_sga
    assert f.__name__ == "sequence_sga"
    assert f.__doc__ is None
    assert f.__text_signature__ == SGA_SIGNATURE
    assert f.__module__ == "ovila_genetic_py"
    assert f.__self__ is og
    assert list(inspect.signature(f).parameters) == [
        "settings", "generator", "evaluator", "recorder", "selector", "crossover",
        "mutator", "convergence"]


@pytest.mark.parametrize("name, signature",
                         [(entry[0], entry[1]) for entry in REGISTRY if entry[1] is not None])
def test_constructor_signatures_are_introspectable(name, signature):
    assert str(inspect.signature(getattr(og, name))) == signature


ATTRIBUTE_DOCS = [
    ("Chromosome", "genes", "The genes of this chromosome."),
    ("Chromosome", "fitness", "The fitness of this chromosome."),
    ("Population", "chromosomes", "Chromosomes of this population."),
    ("Population", "generation", "Generation index."),
    ("HallOfFame", "chromosomes", "Chromosomes in the Hall Of Fame. From best to worst."),
    ("HallOfFame", "uniques", "Unique gene sequences (Chromosomes) in the Hall Of Fame."),
    ("HallOfFame", "capacity",
     "Maximum Hall Of Fame capacity. Defaults to 1 (the single best chromosome)."),
    ("Lineage", "generations", "Past generations. Up to `n_generations` are kept."),
    ("Lineage", "records", "Records of past generations. Up to `n_records` are kept."),
    ("Lineage", "hall_of_fame", "Hall of Fame of best performing chromosomes."),
    ("Lineage", "n_generations", "Optional capacity for the generations VecDeque."),
    ("Lineage", "n_records", "Optional capacity for the records VecDeque."),
    ("SequencingSettings", "n_genes", "Number of genes in each chromosome to generate if needed."),
    ("SequencingSettings", "n_chromosomes",
     "Number of chromosomes to strive for in each population. (should be even)"),
    ("SequencingSettings", "n_generations", "Maximum number of generations to evaluate."),
    ("SequencingSettings", "n_records", "Maximum number of generation records to keep."),
    ("SequencingSettings", "n_hall_of_fame", "Number of best performing chromosomes to keep."),
    ("SequencingSettings", "p_crossover",
     "Probability of crossover happening between each pair of chromosomes."),
    ("SequencingSettings", "p_mutation", "Probability of mutation happening for each chromosome."),
]


@pytest.mark.parametrize("cls, attr, doc", ATTRIBUTE_DOCS,
                         ids=[f"{c}.{a}" for c, a, _ in ATTRIBUTE_DOCS])
def test_attribute_docstrings(cls, attr, doc):
    assert getattr(og, cls).__dict__[attr].__doc__ == doc


@pytest.mark.parametrize("attr", ["size", "min", "max", "sum", "mean", "variance"])
def test_fitness_statistics_attributes_have_no_docstring(attr):
    assert og.FitnessStatistics.__dict__[attr].__doc__ in (None, "")


def test_static_kinds_method_identity():
    kinds = og.EvaluatorMatrix.kinds
    assert kinds.__text_signature__ == "()"
    assert kinds.__doc__ in (None, "")


def test_second_initialisation_is_refused_and_first_module_survives():
    # Calling the initialisation entry again in the same process must be refused
    # with ImportError, and the already imported module must keep working.
    script = textwrap.dedent("""
        import ctypes
        import ovila_genetic_py as og
        lib = ctypes.PyDLL(og.__file__)
        init = lib.PyInit_ovila_genetic_py
        init.restype = ctypes.py_object
        try:
            init()
        except ImportError as e:
            print("ImportError", bool(str(e)))
        else:
            print("no error")
        import ovila_genetic_py as again
        assert again is og
        assert og.__all__[-1] == "sequence_sga" and len(og.__all__) == 20
        s = og.SequencingSettings(4, 0.9, 0.1, n_chromosomes=4, n_generations=2)
        lineage = og.sequence_sga(s, og.GeneratorKinds.RandomSequence, og.EvaluatorValue(1.0),
                                  og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Random,
                                  og.CrossoverKinds.IPX, og.MutatorSwap(0.1),
                                  og.ConvergenceKinds.Never)
        assert len(lineage.generations) == 2
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "True", "ok"]


def test_loading_the_extension_file_again_through_importlib_is_refused():
    # A second load of the same file through the import machinery, under the
    # module's own name (which reaches the initialisation entry again) and under
    # another name, raises ImportError; the imported module keeps working.
    import importlib.machinery
    import importlib.util

    for name in ("ovila_genetic_py", "ovila_genetic_py_again"):
        loader = importlib.machinery.ExtensionFileLoader(name, og.__file__)
        spec = importlib.util.spec_from_file_location(name, og.__file__, loader=loader)
        with pytest.raises(ImportError) as excinfo:
            importlib.util.module_from_spec(spec)
        assert str(excinfo.value)
        if name == "ovila_genetic_py":
            assert "only be initialized once" in str(excinfo.value)
        assert name not in sys.modules or sys.modules[name] is og
    assert sys.modules["ovila_genetic_py"] is og
    s = og.SequencingSettings(4, 0.9, 0.1, n_chromosomes=4, n_generations=2)
    lineage = og.sequence_sga(s, og.GeneratorKinds.RandomSequence, og.EvaluatorValue(1.0),
                              og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Random,
                              og.CrossoverKinds.IPX, og.MutatorSwap(0.1), og.ConvergenceKinds.Never)
    assert [p.generation for p in lineage.generations] == [2, 1]
