"""Shared rules of the Python boundary: argument parsing, conversions, error
wording, attribute access, copies and the kind enumerations."""

import math
import operator
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st

import ovila_genetic_py as og

from conftest import SGA_PARAMETERS, run, sga_arguments

U64_MAX = 2**64 - 1

# ---------------------------------------------------------------------------
# Argument parsing
# ---------------------------------------------------------------------------

GOOD_SGA = tuple(sga_arguments()[name] for name in SGA_PARAMETERS)

PARSING_ERRORS = [
    # missing arguments: singular, "and", Oxford comma lists
    (og.Chromosome, (), {},
     "Chromosome.__new__() missing 1 required positional argument: 'genes'"),
    (og.Population, (), {},
     "Population.__new__() missing 2 required positional arguments: 'chromosomes' and 'generation'"),
    (og.Population, ([],), {},
     "Population.__new__() missing 1 required positional argument: 'generation'"),
    (og.Population, (), {"generation": 0},
     "Population.__new__() missing 1 required positional argument: 'chromosomes'"),
    (og.FitnessStatistics, (), {},
     "FitnessStatistics.__new__() missing 6 required positional arguments: "
     "'size', 'min', 'max', 'sum', 'mean', and 'variance'"),
    (og.FitnessStatistics, (1,), {"sum": 1.0},
     "FitnessStatistics.__new__() missing 4 required positional arguments: "
     "'min', 'max', 'mean', and 'variance'"),
    (og.HallOfFame, ([],), {},
     "HallOfFame.__new__() missing 2 required positional arguments: 'uniques' and 'capacity'"),
    (og.HallOfFame, (), {},
     "HallOfFame.__new__() missing 3 required positional arguments: "
     "'chromosomes', 'uniques', and 'capacity'"),
    (og.Lineage, (), {"n_records": 1},
     "Lineage.__new__() missing 3 required positional arguments: "
     "'generations', 'records', and 'hall_of_fame'"),
    (og.MutatorSwap, (), {},
     "MutatorSwap.__new__() missing 1 required positional argument: 'p_swap'"),
    (og.EvaluatorMatrix, (), {"offset": 1},
     "EvaluatorMatrix.__new__() missing 2 required positional arguments: 'kind' and 'matrix'"),
    (og.SequencingSettings, (10,), {},
     "SequencingSettings.__new__() missing 2 required positional arguments: "
     "'p_crossover' and 'p_mutation'"),
    (og.sequence_sga, (), {},
     "sequence_sga() missing 8 required positional arguments: 'settings', 'generator', "
     "'evaluator', 'recorder', 'selector', 'crossover', 'mutator', and 'convergence'"),
    (og.sequence_sga, GOOD_SGA[:7], {},
     "sequence_sga() missing 1 required positional argument: 'convergence'"),
    (og.sequence_sga, GOOD_SGA[:6], {},
     "sequence_sga() missing 2 required positional arguments: 'mutator' and 'convergence'"),
    (og.sequence_sga, GOOD_SGA[1:], {},
     "sequence_sga() missing 1 required positional argument: 'convergence'"),
    # too many positional arguments: "takes n" / "takes from r to n", was/were
    (og.Chromosome, ([1], None, 3), {},
     "Chromosome.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (og.Population, ([], 0, 1), {},
     "Population.__new__() takes 2 positional arguments but 3 were given"),
    (og.EvaluatorValue, (1.0, 2.0), {},
     "EvaluatorValue.__new__() takes 1 positional arguments but 2 were given"),
    (og.Lineage, ([], [], None, None, None, None), {},
     "Lineage.__new__() takes from 3 to 5 positional arguments but 6 were given"),
    (og.EvaluatorMatrix, (1, 2, 3, 4), {},
     "EvaluatorMatrix.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    (og.SequencingSettings, (1, 2, 3, 4, 5, 6, 7, 8), {},
     "SequencingSettings.__new__() takes from 3 to 7 positional arguments but 8 were given"),
    (og.ConvergenceKinds, (1,), {},
     "ConvergenceKinds.__new__() takes 0 positional arguments but 1 was given"),
    (og.CrossoverKinds, (1, 2), {},
     "CrossoverKinds.__new__() takes 0 positional arguments but 2 were given"),
    (og.sequence_sga, GOOD_SGA + (None,), {},
     "sequence_sga() takes 8 positional arguments but 9 were given"),
    # keywords
    (og.SelectorKinds, (), {"kind": 1},
     "SelectorKinds.__new__() got an unexpected keyword argument 'kind'"),
    (og.RecorderHdrHistogram, (), {"sig": 3},
     "RecorderHdrHistogram.__new__() got an unexpected keyword argument 'sig'"),
    (og.Chromosome, ([1],), {"genes": [2]},
     "Chromosome.__new__() got multiple values for argument 'genes'"),
    (og.EvaluatorMatrix, (og.EvaluatorKinds.FeedbackMarks, [], None), {"offset": 1},
     "EvaluatorMatrix.__new__() got multiple values for argument 'offset'"),
    (og.SequencingSettings, (10, 0.5, 0.5), {"n_genes": 3},
     "SequencingSettings.__new__() got multiple values for argument 'n_genes'"),
    (og.SequencingSettings, (10, 0.5), {"p_mutation": 0.1, "n_chromosome": 2},
     "SequencingSettings.__new__() got an unexpected keyword argument 'n_chromosome'"),
    (og.sequence_sga, GOOD_SGA[:1], {"settings": GOOD_SGA[0]},
     "sequence_sga() got multiple values for argument 'settings'"),
    (og.sequence_sga, (), {"setting": 1},
     "sequence_sga() got an unexpected keyword argument 'setting'"),
    # order of the checks: surplus positionals first, then keywords in
    # dictionary order, then missing parameters; conversion only afterwards
    (og.Population, ([], 0, 5), {"foo": 1},
     "Population.__new__() takes 2 positional arguments but 3 were given"),
    (og.Chromosome, ([1],), {"foo": 1, "genes": 2},
     "Chromosome.__new__() got an unexpected keyword argument 'foo'"),
    (og.Chromosome, ([1],), {"genes": 2, "foo": 1},
     "Chromosome.__new__() got multiple values for argument 'genes'"),
    (og.Population, (), {"foo": 1},
     "Population.__new__() got an unexpected keyword argument 'foo'"),
    (og.Chromosome, ("abc",), {"foo": 1},
     "Chromosome.__new__() got an unexpected keyword argument 'foo'"),
    (og.sequence_sga, (1, 2, 3), {},
     "sequence_sga() missing 5 required positional arguments: "
     "'recorder', 'selector', 'crossover', 'mutator', and 'convergence'"),
]


@pytest.mark.parametrize("func, args, kwargs, message", PARSING_ERRORS,
                         ids=[m.split("(")[0] + ":" + m.split(") ")[1][:40]
                              for _, _, _, m in PARSING_ERRORS])
def test_argument_parsing_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        func(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


def test_all_parameters_accept_keywords():
    c = og.Chromosome(fitness=2, genes=[1, 0])
    assert c.genes == [1, 0] and c.fitness == 2.0
    p = og.Population(generation=4, chromosomes=[c])
    assert p.generation == 4 and p.chromosomes[0].genes == [1, 0]
    f = og.FitnessStatistics(variance=6.0, mean=5.0, sum=4.0, max=3.0, min=2.0, size=1)
    assert (f.size, f.min, f.max, f.sum, f.mean, f.variance) == (1, 2.0, 3.0, 4.0, 5.0, 6.0)
    h = og.HallOfFame(capacity=2, uniques=frozenset(), chromosomes=[])
    assert h.capacity == 2
    lineage = og.Lineage(n_records=2, hall_of_fame=h, records=[], generations=[], n_generations=1)
    assert (lineage.n_generations, lineage.n_records) == (1, 2)
    m = og.EvaluatorMatrix(offset=3, matrix=[1], kind=og.EvaluatorKinds.LowerLeftDistance)
    assert m.offset == 3
    assert og.EvaluatorValue(value=2).value == 2.0
    assert og.CrossoverBlend(alpha=1).alpha == 1.0
    assert og.CrossoverSimulatedBinary(eta=2).eta == 2.0
    og.MutatorSwap(p_swap=0.5)
    og.RecorderHdrHistogram(sigfig=3)
    s = og.SequencingSettings(n_hall_of_fame=4, p_mutation=0, n_genes=10, p_crossover=1)
    assert (s.n_genes, s.p_crossover, s.p_mutation, s.n_hall_of_fame) == (10, 1.0, 0.0, 4)


# ---------------------------------------------------------------------------
# Conversions and their errors
# ---------------------------------------------------------------------------

def hof():
    return og.HallOfFame([], set(), 1)


CONVERSION_TYPE_ERRORS = [
    # (callable, args, exact message or prefix ending with ": ")
    (og.Chromosome, ("abc",), "argument 'genes': Can't extract `str` to `Vec`"),
    (og.Chromosome, (5,), "argument 'genes': 'int' object cannot be converted to 'Sequence'"),
    (og.Chromosome, ({1, 2},), "argument 'genes': 'set' object cannot be converted to 'Sequence'"),
    (og.Chromosome, (1.5,), "argument 'genes': 'float' object cannot be converted to 'Sequence'"),
    (og.Chromosome, ([1, 1.5],), "argument 'genes': "),
    (og.Chromosome, ([1, "2"],), "argument 'genes': "),
    (og.Chromosome, ([1], "x"), "argument 'fitness': "),
    (og.Chromosome, ([1], [1.0]), "argument 'fitness': "),
    (og.Population, ("ab", 0), "argument 'chromosomes': Can't extract `str` to `Vec`"),
    (og.Population, (5, 0),
     "argument 'chromosomes': 'int' object cannot be converted to 'Sequence'"),
    (og.Population, ({}, 0),
     "argument 'chromosomes': 'dict' object cannot be converted to 'Sequence'"),
    (og.Population, ([og.Chromosome([1]), 3], 0),
     "argument 'chromosomes': 'int' object cannot be converted to 'Chromosome'"),
    (og.Population, ([og.Population([], 0)], 0),
     "argument 'chromosomes': 'Population' object cannot be converted to 'Chromosome'"),
    (og.Population, ([], 1.0), "argument 'generation': "),
    (og.Population, ([], None), "argument 'generation': "),
    (og.FitnessStatistics, (1.0, 1, 1, 1, 1, 1), "argument 'size': "),
    (og.FitnessStatistics, (1, 1, 1, 1, 1, "v"), "argument 'variance': "),
    (og.FitnessStatistics, (1, "a", 1, 1, 1, "v"), "argument 'min': "),
    (og.HallOfFame, ([], [], 1), "argument 'uniques': 'list' object cannot be converted to 'PySet'"),
    (og.HallOfFame, ([], {}, 1), "argument 'uniques': 'dict' object cannot be converted to 'PySet'"),
    (og.HallOfFame, ([], {"ab"}, 1), "argument 'uniques': Can't extract `str` to `Vec`"),
    (og.HallOfFame, ([], {5}, 1), "argument 'uniques': 'int' object cannot be converted to 'Sequence'"),
    (og.HallOfFame, ([5], set(), 1),
     "argument 'chromosomes': 'int' object cannot be converted to 'Chromosome'"),
    (og.HallOfFame, ([], set(), 1.5), "argument 'capacity': "),
    (og.Lineage, ([], [], 5), "argument 'hall_of_fame': 'int' object cannot be converted to 'HallOfFame'"),
    (og.Lineage, ([1], [], None),
     "argument 'generations': 'int' object cannot be converted to 'Population'"),
    (og.Lineage, ("ab", [], None), "argument 'generations': Can't extract `str` to `Vec`"),
    (og.Lineage, ([], [og.Chromosome([])], None),
     "argument 'records': 'Chromosome' object cannot be converted to 'FitnessStatistics'"),
    (og.EvaluatorMatrix, ("k", "abc"),
     "argument 'kind': 'str' object cannot be converted to 'EvaluatorKinds'"),
    (og.EvaluatorMatrix, (og.CrossoverKinds.IPX, []),
     "argument 'kind': 'CrossoverKinds' object cannot be converted to 'EvaluatorKinds'"),
    (og.EvaluatorMatrix, (og.EvaluatorKinds.Value, "abc"),
     "argument 'matrix': Can't extract `str` to `Vec`"),
    (og.EvaluatorMatrix, (og.EvaluatorKinds.FeedbackMarks, [1.0, "x"]), "argument 'matrix': "),
    (og.EvaluatorMatrix, (og.EvaluatorKinds.Value, [1.0], 1.5), "argument 'offset': "),
    (og.EvaluatorValue, ("x",), "argument 'value': "),
    (og.CrossoverBlend, ("x",), "argument 'alpha': "),
    (og.CrossoverSimulatedBinary, (None,), "argument 'eta': "),
    (og.MutatorSwap, ([1],), "argument 'p_swap': "),
    (og.RecorderHdrHistogram, (1.5,), "argument 'sigfig': "),
    (og.RecorderHdrHistogram, ("3",), "argument 'sigfig': "),
    (og.SequencingSettings, (10.0, 0.5, 0.5), "argument 'n_genes': "),
    (og.SequencingSettings, (10.0, "x", "y"), "argument 'n_genes': "),
    (og.SequencingSettings, (10, "x", "y"), "argument 'p_crossover': "),
    (og.SequencingSettings, (10, 0.5, "y", 1.5), "argument 'p_mutation': "),
    (og.SequencingSettings, (10, 0.5, 0.5, 3.5), "argument 'n_chromosomes': "),
    (og.SequencingSettings, (10, 0.5, 0.5, None, "2"), "argument 'n_generations': "),
]


@pytest.mark.parametrize("func, args, expected", CONVERSION_TYPE_ERRORS,
                         ids=[f"{f.__name__}-{i}" for i, (f, _, _) in enumerate(CONVERSION_TYPE_ERRORS)])
def test_conversion_type_errors_name_the_argument(func, args, expected):
    with pytest.raises(TypeError) as excinfo:
        func(*args)
    message = str(excinfo.value)
    assert type(excinfo.value) is TypeError
    if expected.endswith(": "):
        assert message.startswith(expected)
        assert len(message) > len(expected)
        assert not message[len(expected):].startswith("argument '")
    else:
        assert message == expected
    # the re-worded error keeps the cause of the conversion error (none here)
    assert excinfo.value.__cause__ is None


def test_keyword_order_does_not_change_conversion_order():
    with pytest.raises(TypeError, match="^argument 'n_generations': "):
        og.SequencingSettings(10, 0.5, 0.5, n_hall_of_fame=1.5, n_generations=2.5)
    with pytest.raises(TypeError, match="^argument 'kind': "):
        og.EvaluatorMatrix(offset=1.5, matrix="abc", kind=1)


OVERFLOWS = [
    (og.Chromosome, ([1, -1],)),
    (og.Chromosome, ([2**64],)),
    (og.Population, ([], -1)),
    (og.Population, ([], 2**64)),
    (og.FitnessStatistics, (-1, 0, 0, 0, 0, 0)),
    (og.HallOfFame, ([], {(1, -1)}, 1)),
    (og.HallOfFame, ([], set(), -1)),
    (og.Lineage, ([], [], og.HallOfFame([], set(), 1), -1)),
    (og.Lineage, ([], [], og.HallOfFame([], set(), 1), None, 2**64)),
    (og.EvaluatorMatrix, (og.EvaluatorKinds.Value, [1.0], -1)),
    (og.RecorderHdrHistogram, (2**63,)),
    (og.RecorderHdrHistogram, (2**64,)),
    (og.RecorderHdrHistogram, (-2**63 - 1,)),
    (og.SequencingSettings, (-1, 0.5, 0.5)),
    (og.SequencingSettings, (-1, "x", 0.5)),
    (og.SequencingSettings, (1, 0.5, 0.5, None, None, 2**64)),
]


@pytest.mark.parametrize("func, args", OVERFLOWS,
                         ids=[f"{f.__name__}-{i}" for i, (f, _) in enumerate(OVERFLOWS)])
def test_out_of_range_integers_raise_overflow_error_unchanged(func, args):
    with pytest.raises(OverflowError) as excinfo:
        func(*args)
    assert type(excinfo.value) is OverflowError
    assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize("value", [256, 1000, -1, -255, 2**62])
def test_u8_out_of_range_message(value):
    with pytest.raises(OverflowError) as excinfo:
        og.RecorderHdrHistogram(value)
    assert str(excinfo.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [0, 1, 3, 255, True])
def test_u8_in_range_accepted(value):
    og.RecorderHdrHistogram(value)
    og.RecorderHdrHistogram(sigfig=value)


def test_extremes_of_unsigned_64_bit_fields_round_trip():
    c = og.Chromosome([0, U64_MAX])
    assert c.genes == [0, U64_MAX]
    assert og.Population([], U64_MAX).generation == U64_MAX
    assert og.HallOfFame([], set(), U64_MAX).capacity == U64_MAX
    s = og.SequencingSettings(U64_MAX, 0.5, 0.5, U64_MAX, U64_MAX, U64_MAX, U64_MAX)
    assert [s.n_genes, s.n_chromosomes, s.n_generations, s.n_records, s.n_hall_of_fame] == [U64_MAX] * 5


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.25


def test_integer_fields_accept_bool_and_index_objects_but_not_floats():
    c = og.Chromosome([True, False, Index(7)])
    assert c.genes == [1, 0, 7]
    assert all(type(g) is int for g in c.genes)
    assert og.Population([], Index(3)).generation == 3
    assert og.SequencingSettings(Index(4), 0.5, 0.5, True).n_chromosomes == 1
    with pytest.raises(TypeError):
        og.Population([], 3.0)


def test_float_fields_accept_int_float_and_conversion_objects():
    assert og.Chromosome([], 3).fitness == 3.0
    assert type(og.Chromosome([], 3).fitness) is float
    assert og.Chromosome([], Floaty()).fitness == 2.25
    assert og.Chromosome([], Index(5)).fitness == 5.0
    assert og.EvaluatorValue(True).value == 1.0
    m = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1, True, Floaty()])
    assert m.matrix == [1.0, 1.0, 2.25]
    assert all(type(x) is float for x in m.matrix)


@pytest.mark.parametrize("make", [tuple, lambda xs: range(len(xs)), list],
                         ids=["tuple", "range", "list"])
def test_array_fields_accept_any_sequence(make):
    values = [0, 1, 2]
    c = og.Chromosome(make(values))
    assert c.genes == values
    assert type(c.genes) is list
    m = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, make(values))
    assert m.matrix == [0.0, 1.0, 2.0]
    assert type(m.matrix) is list


def test_class_valued_arrays_accept_tuples_and_hashable_sequences_in_sets():
    c = og.Chromosome([0, 1, 2])
    p = og.Population((c, c, c), 0)
    assert [x.genes for x in p.chromosomes] == [[0, 1, 2]] * 3
    h = og.HallOfFame((c,), {range(3), (5, 4)}, 1)
    assert h.uniques == {(0, 1, 2), (5, 4)}
    lineage = og.Lineage((p,), (og.FitnessStatistics(0, 0, 0, 0, 0, 0),), h)
    assert len(lineage.generations) == 1 and len(lineage.records) == 1


def test_sequence_items_are_taken_by_iteration():
    class Seq:
        """A sequence whose length hint is wrong: only the iteration counts."""

        def __len__(self):
            return 100

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return 10 + i

    assert og.Chromosome(Seq()).genes == [10, 11, 12]


def test_set_fields_accept_set_frozenset_and_subclasses():
    class MySet(set):
        pass

    class MyFrozen(frozenset):
        pass

    for make in (set, frozenset, MySet, MyFrozen):
        h = og.HallOfFame([], make({(1, 2), (3,)}), 2)
        assert h.uniques == {(1, 2), (3,)}
        assert type(h.uniques) is set


# ---------------------------------------------------------------------------
# Attributes: read copies, write conversions, deletion
# ---------------------------------------------------------------------------

def all_attributes():
    chromosome = og.Chromosome([2, 0, 1], 4.5)
    stats = og.FitnessStatistics(2, 1.0, 3.0, 4.0, 2.0, 2.0)
    h = og.HallOfFame([chromosome], {(2, 0, 1)}, 3)
    return [
        (chromosome, "genes"), (chromosome, "fitness"),
        (og.Population([chromosome], 7), "chromosomes"), (og.Population([chromosome], 7), "generation"),
        (stats, "size"), (stats, "min"), (stats, "max"), (stats, "sum"), (stats, "mean"),
        (stats, "variance"),
        (h, "chromosomes"), (h, "uniques"), (h, "capacity"),
        (og.Lineage([og.Population([], 1)], [stats], h, 4, 5), "generations"),
        (og.Lineage([og.Population([], 1)], [stats], h, 4, 5), "records"),
        (og.Lineage([og.Population([], 1)], [stats], h, 4, 5), "hall_of_fame"),
        (og.Lineage([og.Population([], 1)], [stats], h, 4, 5), "n_generations"),
        (og.Lineage([og.Population([], 1)], [stats], h, 4, 5), "n_records"),
        (og.CrossoverBlend(0.5), "alpha"), (og.CrossoverBlend(0.5), "kind"),
        (og.CrossoverSimulatedBinary(2.0), "eta"), (og.CrossoverSimulatedBinary(2.0), "kind"),
        (og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0], 2), "kind"),
        (og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0], 2), "matrix"),
        (og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0], 2), "offset"),
        (og.EvaluatorValue(1.5), "value"), (og.EvaluatorValue(1.5), "kind"),
    ] + [(og.SequencingSettings(10, 0.9, 0.1, 4, 5, 6, 7), name)
         for name in ("n_genes", "n_chromosomes", "n_generations", "n_records",
                      "n_hall_of_fame", "p_crossover", "p_mutation")]


def snapshot(value):
    """A plain-Python picture of an attribute value, for before/after comparisons."""
    if isinstance(value, list):
        return [snapshot(v) for v in value]
    if isinstance(value, (set, frozenset)):
        return frozenset(value)
    if isinstance(value, og.Chromosome):
        return ("C", snapshot(value.genes), value.fitness)
    if isinstance(value, og.Population):
        return ("P", snapshot(value.chromosomes), value.generation)
    if isinstance(value, og.FitnessStatistics):
        return ("F", value.size, value.min, value.max, value.sum, value.mean, value.variance)
    if isinstance(value, og.HallOfFame):
        return ("H", snapshot(value.chromosomes), snapshot(value.uniques), value.capacity)
    if type(value).__name__.endswith("Kinds"):
        return ("K", repr(value))
    return value


ATTRIBUTES = all_attributes()
ATTRIBUTE_IDS = [f"{type(o).__name__}.{a}" for o, a in ATTRIBUTES]


@pytest.mark.parametrize("obj, attr", ATTRIBUTES, ids=ATTRIBUTE_IDS)
def test_deleting_an_attribute_is_refused_and_keeps_the_value(obj, attr):
    before = snapshot(getattr(obj, attr))
    with pytest.raises(AttributeError) as excinfo:
        delattr(obj, attr)
    assert str(excinfo.value) == "can't delete attribute"
    assert snapshot(getattr(obj, attr)) == before


@pytest.mark.parametrize("obj, attr", ATTRIBUTES, ids=ATTRIBUTE_IDS)
def test_reading_back_what_was_read_round_trips(obj, attr):
    before = snapshot(getattr(obj, attr))
    setattr(obj, attr, getattr(obj, attr))
    assert snapshot(getattr(obj, attr)) == before


NEW_OBJECT_ATTRIBUTES = [(o, a) for o, a in ATTRIBUTES
                         if a in ("genes", "chromosomes", "uniques", "generations", "records",
                                  "hall_of_fame", "matrix", "kind")]


@pytest.mark.parametrize("obj, attr", NEW_OBJECT_ATTRIBUTES,
                         ids=[f"{type(o).__name__}.{a}" for o, a in NEW_OBJECT_ATTRIBUTES])
def test_every_read_is_a_new_object(obj, attr):
    assert getattr(obj, attr) is not getattr(obj, attr)


SETTER_ERRORS = [
    (og.Chromosome([1]), "genes", "abc", TypeError, "argument 'genes': Can't extract `str` to `Vec`"),
    (og.Chromosome([1]), "genes", 5, TypeError,
     "argument 'genes': 'int' object cannot be converted to 'Sequence'"),
    (og.Chromosome([1]), "genes", [1, -1], OverflowError, None),
    (og.Chromosome([1]), "fitness", "x", TypeError, "argument 'fitness': "),
    (og.Population([], 3), "generation", -1, OverflowError, None),
    (og.Population([], 3), "generation", 1.0, TypeError, "argument 'generation': "),
    (og.Population([], 3), "chromosomes", [1], TypeError,
     "argument 'chromosomes': 'int' object cannot be converted to 'Chromosome'"),
    (og.FitnessStatistics(1, 1, 1, 1, 1, 1), "size", -1, OverflowError, None),
    (og.FitnessStatistics(1, 1, 1, 1, 1, 1), "mean", "x", TypeError, "argument 'mean': "),
    (og.HallOfFame([], set(), 1), "uniques", [(1,)], TypeError,
     "argument 'uniques': 'list' object cannot be converted to 'PySet'"),
    (og.HallOfFame([], set(), 1), "uniques", {"ab"}, TypeError,
     "argument 'uniques': Can't extract `str` to `Vec`"),
    (og.HallOfFame([], set(), 1), "capacity", 1.5, TypeError, "argument 'capacity': "),
    (og.Lineage([], [], og.HallOfFame([], set(), 1)), "hall_of_fame", 1, TypeError,
     "argument 'hall_of_fame': 'int' object cannot be converted to 'HallOfFame'"),
    (og.Lineage([], [], og.HallOfFame([], set(), 1)), "records", [None], TypeError,
     "argument 'records': 'NoneType' object cannot be converted to 'FitnessStatistics'"),
    (og.Lineage([], [], og.HallOfFame([], set(), 1)), "n_generations", -1, OverflowError, None),
    (og.SequencingSettings(10, 0.5, 0.5), "n_genes", 1.5, TypeError, "argument 'n_genes': "),
    (og.SequencingSettings(10, 0.5, 0.5), "n_genes", None, TypeError, "argument 'n_genes': "),
    (og.SequencingSettings(10, 0.5, 0.5), "n_records", -1, OverflowError, None),
    (og.SequencingSettings(10, 0.5, 0.5), "p_mutation", "x", TypeError, "argument 'p_mutation': "),
    (og.SequencingSettings(10, 0.5, 0.5), "p_crossover", None, TypeError, "argument 'p_crossover': "),
    (og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, []), "kind", 1, TypeError,
     "argument 'kind': 'int' object cannot be converted to 'EvaluatorKinds'"),
    (og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, []), "matrix", "abc", TypeError,
     "argument 'matrix': Can't extract `str` to `Vec`"),
    (og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, []), "offset", -1, OverflowError, None),
    (og.EvaluatorValue(1.0), "kind", og.CrossoverKinds.IPX, TypeError,
     "argument 'kind': 'CrossoverKinds' object cannot be converted to 'EvaluatorKinds'"),
    (og.EvaluatorValue(1.0), "value", "x", TypeError, "argument 'value': "),
    (og.CrossoverBlend(0.5), "kind", og.EvaluatorKinds.Value, TypeError,
     "argument 'kind': 'EvaluatorKinds' object cannot be converted to 'CrossoverKinds'"),
    (og.CrossoverBlend(0.5), "alpha", "x", TypeError, "argument 'alpha': "),
    (og.CrossoverSimulatedBinary(0.5), "eta", [], TypeError, "argument 'eta': "),
    (og.CrossoverSimulatedBinary(0.5), "kind", 3, TypeError,
     "argument 'kind': 'int' object cannot be converted to 'CrossoverKinds'"),
]


@pytest.mark.parametrize("obj, attr, value, exc, message", SETTER_ERRORS,
                         ids=[f"{type(o).__name__}.{a}-{i}"
                              for i, (o, a, _, _, _) in enumerate(SETTER_ERRORS)])
def test_failed_assignment_names_the_attribute_and_keeps_the_value(obj, attr, value, exc, message):
    before = snapshot(getattr(obj, attr))
    with pytest.raises(exc) as excinfo:
        setattr(obj, attr, value)
    assert type(excinfo.value) is exc
    text = str(excinfo.value)
    if message is None:
        assert not text.startswith("argument")
    elif message.endswith(": "):
        assert text.startswith(message) and len(text) > len(message)
    else:
        assert text == message
    assert snapshot(getattr(obj, attr)) == before


def test_list_reads_are_copies_and_assignment_replaces():
    c = og.Chromosome([2, 0, 1])
    genes = c.genes
    genes.append(3)
    assert c.genes == [2, 0, 1]
    c.genes = genes
    assert c.genes == [2, 0, 1, 3]
    genes.append(4)
    assert c.genes == [2, 0, 1, 3]


def test_constructor_arguments_are_copied():
    genes = [2, 0, 1]
    c = og.Chromosome(genes, 1.0)
    genes.append(7)
    p = og.Population([c], 0)
    c.genes = [9]
    c.fitness = 5.0
    assert p.chromosomes[0].genes == [2, 0, 1]
    assert p.chromosomes[0].fitness == 1.0
    matrix = [1.0, 0.0, 0.0, 1.0]
    m = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, matrix)
    matrix[0] = 5.0
    assert m.matrix == [1.0, 0.0, 0.0, 1.0]
    h = og.HallOfFame([c], {(9,)}, 1)
    lineage = og.Lineage([p], [], h)
    h.capacity = 10
    p.generation = 3
    assert lineage.hall_of_fame.capacity == 1
    assert lineage.generations[0].generation == 0


def test_nested_reads_are_copies():
    c = og.Chromosome([1, 0], 2.0)
    p = og.Population([c, c], 5)
    items = p.chromosomes
    items[0].fitness = 9.0
    items[0].genes = [5]
    assert [(x.genes, x.fitness) for x in p.chromosomes] == [([1, 0], 2.0), ([1, 0], 2.0)]
    p.chromosomes = [og.Chromosome([7])]
    assert [(x.genes, x.fitness) for x in p.chromosomes] == [([7], None)]

    stats = og.FitnessStatistics(1, 2.0, 2.0, 2.0, 2.0, 0.0)
    h = og.HallOfFame([c], {(1, 0)}, 1)
    lineage = og.Lineage([p], [stats], h, 3, 4)
    lineage.hall_of_fame.capacity = 10
    lineage.hall_of_fame.chromosomes[0].fitness = 1.0
    lineage.generations[0].generation = 99
    lineage.records[0].size = 42
    uniques = lineage.hall_of_fame.uniques
    uniques.add((3, 3))
    assert lineage.hall_of_fame.capacity == 1
    assert lineage.hall_of_fame.chromosomes[0].fitness == 2.0
    assert lineage.hall_of_fame.uniques == {(1, 0)}
    assert lineage.generations[0].generation == 5
    assert lineage.records[0].size == 1


def test_kind_fields_read_as_new_member_objects():
    m = og.EvaluatorMatrix(og.EvaluatorKinds.LowerLeftDistance, [])
    assert m.kind == og.EvaluatorKinds.LowerLeftDistance
    assert m.kind is not og.EvaluatorKinds.LowerLeftDistance
    assert type(m.kind) is og.EvaluatorKinds
    assert repr(m.kind) == "EvaluatorKinds.LowerLeftDistance"


# ---------------------------------------------------------------------------
# Kind enumerations
# ---------------------------------------------------------------------------

KINDS = {
    "GeneratorKinds": ["RandomSequence"],
    "EvaluatorKinds": ["FeedbackDistance", "FeedbackMarks", "LowerLeftDistance", "Value"],
    "SelectorKinds": ["Roulette", "Random"],
    "CrossoverKinds": ["IPX", "Point", "Blend", "SimulatedBinary"],
    "MutatorKinds": ["Swap"],
    "ConvergenceKinds": ["Never"],
    "RecorderKinds": ["FitnessStatistics", "HdrHistogram"],
}
MEMBERS = [(cls, name, value) for cls, names in KINDS.items() for value, name in enumerate(names)]
MEMBER_IDS = [f"{c}.{n}" for c, n, _ in MEMBERS]
CONSTRUCTIBLE = ["EvaluatorKinds", "SelectorKinds", "CrossoverKinds", "ConvergenceKinds",
                 "RecorderKinds"]


@pytest.mark.parametrize("cls_name, name, value", MEMBERS, ids=MEMBER_IDS)
def test_member_repr_int_and_identity(cls_name, name, value):
    cls = getattr(og, cls_name)
    member = getattr(cls, name)
    assert type(member) is cls
    assert repr(member) == f"{cls_name}.{name}"
    assert str(member) == f"{cls_name}.{name}"
    assert int(member) == value
    assert type(int(member)) is int
    assert member is getattr(cls, name)  # created once, stored on the class


@pytest.mark.parametrize("cls_name, name, value", MEMBERS, ids=MEMBER_IDS)
def test_member_equality_rules(cls_name, name, value):
    cls = getattr(og, cls_name)
    member = getattr(cls, name)
    # same class: same member only
    for other_value, other_name in enumerate(KINDS[cls_name]):
        other = getattr(cls, other_name)
        assert (member == other) is (other_value == value)
        assert (member != other) is (other_value != value)
    # integers, bools and __index__ objects compare by value, both ways round
    assert member == value and value == member
    assert not (member != value)
    assert member != value + 1 and not (member == value + 1)
    assert member != -1
    assert (member == bool(value)) is (value in (0, 1))
    assert member == Index(value)
    assert member != Index(value + 1)
    # no conversion to a signed 64-bit integer: identity fallback
    assert not (member == float(value)) and member != float(value)
    assert member != str(value) and member != name and member != repr(member)
    assert not (member == 2**64 + value) and member != 2**64 + value
    assert member != None  # noqa: E711
    # never equal to a member of another enumeration, even with the same value
    for other_cls_name, names in KINDS.items():
        if other_cls_name == cls_name or value >= len(names):
            continue
        other = getattr(getattr(og, other_cls_name), names[value])
        assert not (member == other) and member != other


def test_member_comparison_lets_interrupts_and_memory_errors_through():
    class Raises:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    member = og.SelectorKinds.Random
    for error in (KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError):
        with pytest.raises(error):
            member == Raises(error())  # noqa: B015
    # ordinary conversion failures still make the comparison not implemented
    for error in (TypeError, ValueError, OverflowError, ArithmeticError, LookupError):
        assert member != Raises(error()) and not (member == Raises(error()))


def test_keyword_names_are_read_as_text_without_running_code():
    # A str subclass's __str__ once named the keyword and could free the
    # value being parsed (a crash): run in a child process.
    script = textwrap.dedent("""
        import gc
        import ovila_genetic_py as og

        class Name(str):
            def __str__(self):
                for referrer in gc.get_referrers(self):
                    if isinstance(referrer, dict):
                        referrer.clear()
                raise KeyboardInterrupt

        assert og.Chromosome(**{Name("genes"): [7, 8, 9]}).genes == [7, 8, 9]
        matrix = og.EvaluatorMatrix(**{Name("kind"): og.EvaluatorKinds.FeedbackMarks,
                                       Name("matrix"): [float(i) for i in range(4)]})
        assert matrix.matrix == [0.0, 1.0, 2.0, 3.0]
        try:
            og.Chromosome([1], **{Name("fitnes"): 1.0})
        except TypeError as error:
            assert str(error) == "Chromosome.__new__() got an unexpected keyword argument 'fitnes'", error
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [og.SelectorKinds.Random, og.SelectorKinds.Roulette, 1, 0.5])
def test_members_have_no_ordering(op, other):
    with pytest.raises(TypeError):
        op(og.SelectorKinds.Roulette, other)


@pytest.mark.parametrize("cls_name, name, value", MEMBERS, ids=MEMBER_IDS)
def test_members_are_not_hashable_nor_indexes(cls_name, name, value):
    member = getattr(getattr(og, cls_name), name)
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}  # noqa: B018
    with pytest.raises(TypeError):
        {member: 1}  # noqa: B018
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [0, 1, 2, 3][member]  # noqa: B018
    assert not hasattr(member, "name")
    assert not hasattr(member, "value")


@pytest.mark.parametrize("cls_name", list(KINDS))
def test_enumeration_classes_are_not_iterable_enums(cls_name):
    cls = getattr(og, cls_name)
    with pytest.raises(TypeError):
        iter(cls)
    with pytest.raises(TypeError):
        len(cls)
    assert not hasattr(cls, "__members__")


@pytest.mark.parametrize("cls_name", CONSTRUCTIBLE)
def test_constructor_returns_a_new_first_member(cls_name):
    cls = getattr(og, cls_name)
    first = getattr(cls, KINDS[cls_name][0])
    made = cls()
    assert type(made) is cls
    assert made == first
    assert made is not first
    assert made is not cls()
    assert int(made) == 0
    assert repr(made) == f"{cls_name}.{KINDS[cls_name][0]}"
    for other in KINDS[cls_name][1:]:
        assert made != getattr(cls, other)


def test_enumeration_examples():
    assert og.SelectorKinds.Random == 1
    assert og.SelectorKinds.Random == True  # noqa: E712
    assert og.SelectorKinds.Random == og.SelectorKinds.Random
    assert not (og.SelectorKinds.Random == 1.0)
    assert og.SelectorKinds.Random != "Random"
    assert not (og.SelectorKinds.Random == og.CrossoverKinds.Point)
    assert repr(og.EvaluatorKinds.LowerLeftDistance) == "EvaluatorKinds.LowerLeftDistance"
    assert int(og.EvaluatorKinds.LowerLeftDistance) == 2
    assert og.GeneratorKinds.RandomSequence == og.GeneratorKinds.RandomSequence


@given(st.integers(min_value=-(2**70), max_value=2**70))
def test_member_compares_equal_to_exactly_its_integer(k):
    member = og.CrossoverKinds.SimulatedBinary
    assert (member == k) is (k == 3)
    assert (member != k) is (k != 3)


# ---------------------------------------------------------------------------
# Union arguments of sequence_sga
# ---------------------------------------------------------------------------

UNIONS = {
    "generator": ("Generator", [("Kind", "GeneratorKinds")]),
    "evaluator": ("Evaluator", [("Matrix", "EvaluatorMatrix"), ("Value", "EvaluatorValue")]),
    "recorder": ("Recorder", [("HdrHistogram", "RecorderHdrHistogram"), ("Kind", "RecorderKinds")]),
    "selector": ("Selector", [("Kind", "SelectorKinds")]),
    "crossover": ("Crossover", [("Blend", "CrossoverBlend"),
                                ("SimulatedBinary", "CrossoverSimulatedBinary"),
                                ("Kind", "CrossoverKinds")]),
    "mutator": ("Mutator", [("Swap", "MutatorSwap")]),
    "convergence": ("Convergence", [("Kind", "ConvergenceKinds")]),
}


def union_message(parameter, given_type):
    union, variants = UNIONS[parameter]
    text = (f"argument '{parameter}': failed to extract enum {union} "
            f"('{' | '.join(v for v, _ in variants)}')")
    for variant, cls in variants:
        text += (f"\n- variant {variant} ({variant}): TypeError: failed to extract field "
                 f"{union}::{variant}.0, caused by TypeError: '{given_type}' object cannot be "
                 f"converted to '{cls}'")
    return text


def test_crossover_union_message_literal():
    expected = (
        "argument 'crossover': failed to extract enum Crossover ('Blend | SimulatedBinary | Kind')\n"
        "- variant Blend (Blend): TypeError: failed to extract field Crossover::Blend.0, "
        "caused by TypeError: 'int' object cannot be converted to 'CrossoverBlend'\n"
        "- variant SimulatedBinary (SimulatedBinary): TypeError: failed to extract field "
        "Crossover::SimulatedBinary.0, caused by TypeError: 'int' object cannot be converted "
        "to 'CrossoverSimulatedBinary'\n"
        "- variant Kind (Kind): TypeError: failed to extract field Crossover::Kind.0, "
        "caused by TypeError: 'int' object cannot be converted to 'CrossoverKinds'")
    with pytest.raises(TypeError) as excinfo:
        run(crossover=5)
    assert str(excinfo.value) == expected
    assert union_message("crossover", "int") == expected


WRONG_UNION_VALUES = [
    ("generator", 0, "int"),
    ("generator", og.MutatorKinds.Swap, "MutatorKinds"),
    ("evaluator", og.EvaluatorKinds.FeedbackMarks, "EvaluatorKinds"),
    ("evaluator", None, "NoneType"),
    ("recorder", og.EvaluatorValue(1.0), "EvaluatorValue"),
    ("recorder", 0, "int"),
    ("selector", og.CrossoverKinds.IPX, "CrossoverKinds"),
    ("selector", "Roulette", "str"),
    ("crossover", og.SelectorKinds.Random, "SelectorKinds"),
    ("crossover", 5, "int"),
    ("mutator", og.MutatorKinds.Swap, "MutatorKinds"),
    ("mutator", 0.1, "float"),
    ("convergence", 0, "int"),
    ("convergence", og.GeneratorKinds.RandomSequence, "GeneratorKinds"),
]


@pytest.mark.parametrize("parameter, value, type_name", WRONG_UNION_VALUES,
                         ids=[f"{p}-{t}" for p, _, t in WRONG_UNION_VALUES])
def test_union_extraction_error_messages(parameter, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        run(**{parameter: value})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == union_message(parameter, type_name)


def test_mutator_kind_is_not_a_mutator():
    with pytest.raises(TypeError) as excinfo:
        run(mutator=og.MutatorKinds.Swap)
    assert str(excinfo.value).startswith(
        "argument 'mutator': failed to extract enum Mutator ('Swap')")


def test_union_arguments_are_extracted_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'evaluator': "):
        run(evaluator=1, recorder=1, selector=1, crossover=1, mutator=1, convergence=1)
    with pytest.raises(TypeError, match="^argument 'generator': "):
        run(generator=1, convergence=1)
    with pytest.raises(TypeError, match="^argument 'convergence': "):
        run(convergence=og.SelectorKinds.Roulette)


def test_integer_equal_to_a_member_is_not_a_member():
    # equality with an int does not make the int acceptable where a member is needed
    assert og.SelectorKinds.Roulette == 0
    with pytest.raises(TypeError, match="^argument 'selector': failed to extract enum Selector"):
        run(selector=0)


@given(st.lists(st.integers(min_value=0, max_value=U64_MAX), max_size=30),
       st.one_of(st.none(), st.floats(allow_nan=False)))
def test_chromosome_round_trip(genes, fitness):
    c = og.Chromosome(genes, fitness)
    assert c.genes == genes
    assert c.fitness == fitness
    c2 = og.Chromosome([])
    c2.genes = tuple(genes)
    c2.fitness = fitness
    assert c2.genes == genes and c2.fitness == fitness


def test_nan_and_infinite_fitness_round_trip():
    assert math.isnan(og.Chromosome([], float("nan")).fitness)
    assert og.Chromosome([], float("-inf")).fitness == float("-inf")
