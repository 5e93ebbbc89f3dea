"""The Python record and parameter classes, one by one."""

import math

import pytest
from hypothesis import given, strategies as st

import ovila_genetic_py as og

from reference import same_float

# ---------------------------------------------------------------------------
# Chromosome and Population
# ---------------------------------------------------------------------------


def test_chromosome_fitness_absent_by_default_and_float_when_given():
    c = og.Chromosome([2, 0, 1])
    assert c.genes == [2, 0, 1]
    assert c.fitness is None
    c = og.Chromosome([2, 0, 1], 3)
    assert c.fitness == 3.0 and type(c.fitness) is float
    c.fitness = None
    assert c.fitness is None
    c.fitness = 7
    assert c.fitness == 7.0 and type(c.fitness) is float
    assert og.Chromosome([2, 0, 1], None).fitness is None


def test_chromosome_accepts_any_genes_without_checking_them():
    # repeated genes, gaps and an empty sequence are all just stored
    assert og.Chromosome([5, 5, 9]).genes == [5, 5, 9]
    assert og.Chromosome([]).genes == []
    assert og.Chromosome((3, 1)).genes == [3, 1]


def test_chromosomes_with_equal_content_are_distinct_objects():
    a = og.Chromosome([1, 0], 1.0)
    b = og.Chromosome([1, 0], 1.0)
    assert a != b
    assert not (a == b)


def test_population_accepts_empty_and_ragged_content():
    assert og.Population([], 0).chromosomes == []
    p = og.Population([og.Chromosome([1]), og.Chromosome([0, 1, 2], 2.0)], 12345)
    assert p.generation == 12345
    assert [(c.genes, c.fitness) for c in p.chromosomes] == [([1], None), ([0, 1, 2], 2.0)]
    assert all(type(c) is og.Chromosome for c in p.chromosomes)


def test_population_keeps_chromosome_order_and_duplicates():
    a, b = og.Chromosome([0], 1.0), og.Chromosome([1], 2.0)
    p = og.Population([b, a, b], 1)
    assert [c.genes for c in p.chromosomes] == [[1], [0], [1]]


# ---------------------------------------------------------------------------
# FitnessStatistics
# ---------------------------------------------------------------------------


def test_fitness_statistics_fields_and_types():
    f = og.FitnessStatistics(4, 1, 4, 10, 2.5, 5)
    assert (f.size, f.min, f.max, f.sum, f.mean, f.variance) == (4, 1.0, 4.0, 10.0, 2.5, 5.0)
    assert type(f.size) is int
    assert all(type(getattr(f, a)) is float for a in ("min", "max", "sum", "mean", "variance"))


def test_fitness_statistics_checks_nothing_across_fields_and_keeps_special_floats():
    f = og.FitnessStatistics(0, 9.0, -9.0, -0.0, float("nan"), float("inf"))
    assert f.size == 0
    assert (f.min, f.max) == (9.0, -9.0)
    assert same_float(f.sum, -0.0)
    assert math.isnan(f.mean)
    assert f.variance == float("inf")
    f.sum = 0.0
    assert same_float(f.sum, 0.0)
    f.size = 2**64 - 1
    assert f.size == 2**64 - 1


@given(st.lists(st.floats(), min_size=5, max_size=5), st.integers(0, 2**64 - 1))
def test_fitness_statistics_round_trip(values, size):
    f = og.FitnessStatistics(size, *values)
    got = [f.min, f.max, f.sum, f.mean, f.variance]
    assert f.size == size
    assert all(same_float(a, b) for a, b in zip(got, values))


# ---------------------------------------------------------------------------
# HallOfFame and Lineage
# ---------------------------------------------------------------------------


def test_hall_of_fame_uniques_read_as_a_set_of_int_tuples_and_are_accepted_back():
    h = og.HallOfFame([og.Chromosome([1, 2], 3.0)], {(1, 2), (0,), ()}, 5)
    uniques = h.uniques
    assert type(uniques) is set
    assert uniques == {(1, 2), (0,), ()}
    assert all(type(u) is tuple and all(type(g) is int for g in u) for u in uniques)
    h.uniques = uniques
    assert h.uniques == uniques
    again = og.HallOfFame(h.chromosomes, h.uniques, h.capacity)
    assert again.uniques == uniques
    h.uniques = frozenset({(2**64 - 1, 0)})
    assert h.uniques == {(2**64 - 1, 0)}
    h.uniques = set()
    assert h.uniques == set()


def test_hall_of_fame_is_stored_exactly_as_given():
    # not sorted, over capacity and not matching uniques: all kept unchanged
    entries = [og.Chromosome([0], 1.0), og.Chromosome([1], 5.0), og.Chromosome([0], None)]
    h = og.HallOfFame(entries, {(7, 7)}, 1)
    assert [(c.genes, c.fitness) for c in h.chromosomes] == [([0], 1.0), ([1], 5.0), ([0], None)]
    assert h.uniques == {(7, 7)}
    assert h.capacity == 1


def test_lineage_defaults_and_hand_built_content_kept_unchanged():
    h = og.HallOfFame([og.Chromosome([1], 1.0), og.Chromosome([0], 9.0)], set(), 0)
    lineage = og.Lineage([], [], h)
    assert lineage.n_generations is None and lineage.n_records is None
    assert lineage.generations == [] and lineage.records == []
    assert [c.fitness for c in lineage.hall_of_fame.chromosomes] == [1.0, 9.0]

    gens = [og.Population([], g) for g in (1, 5, 3)]
    recs = [og.FitnessStatistics(i, 0, 0, 0, 0, 0) for i in range(4)]
    lineage = og.Lineage(gens, recs, h, 1, 2)
    assert [p.generation for p in lineage.generations] == [1, 5, 3]
    assert [r.size for r in lineage.records] == [0, 1, 2, 3]
    assert (lineage.n_generations, lineage.n_records) == (1, 2)
    lineage.n_generations = None
    lineage.n_records = 0
    assert (lineage.n_generations, lineage.n_records) == (None, 0)
    assert len(lineage.generations) == 3 and len(lineage.records) == 4


def test_lineage_assignment_replaces_whole_fields():
    lineage = og.Lineage([og.Population([], 1)], [], og.HallOfFame([], set(), 1))
    lineage.generations = [og.Population([og.Chromosome([3])], 8)]
    lineage.records = [og.FitnessStatistics(1, 2, 3, 4, 5, 6)]
    lineage.hall_of_fame = og.HallOfFame([og.Chromosome([3], 1.0)], {(3,)}, 4)
    assert [p.generation for p in lineage.generations] == [8]
    assert lineage.generations[0].chromosomes[0].genes == [3]
    assert lineage.records[0].variance == 6.0
    assert lineage.hall_of_fame.capacity == 4
    assert lineage.hall_of_fame.uniques == {(3,)}


# ---------------------------------------------------------------------------
# SequencingSettings
# ---------------------------------------------------------------------------

OPTIONAL = ("n_chromosomes", "n_generations", "n_records", "n_hall_of_fame")


def test_settings_optional_fields_default_to_none():
    s = og.SequencingSettings(10, 0.9, 0.1)
    assert (s.n_genes, s.p_crossover, s.p_mutation) == (10, 0.9, 0.1)
    for name in OPTIONAL:
        assert getattr(s, name) is None


def test_settings_store_probabilities_as_floats_unchecked():
    s = og.SequencingSettings(n_genes=10, p_crossover=1, p_mutation=0)
    assert (s.p_crossover, s.p_mutation) == (1.0, 0.0)
    assert type(s.p_crossover) is float and type(s.p_mutation) is float
    s = og.SequencingSettings(10, 1.5, -0.2)
    assert (s.p_crossover, s.p_mutation) == (1.5, -0.2)
    s = og.SequencingSettings(0, float("nan"), float("inf"), 3)
    assert s.n_genes == 0 and math.isnan(s.p_crossover) and s.p_mutation == float("inf")
    assert s.n_chromosomes == 3  # odd counts are stored as given


def test_settings_positional_parameter_order():
    s = og.SequencingSettings(1, 0.25, 0.5, 2, 3, 4, 5)
    assert [s.n_genes, s.p_crossover, s.p_mutation, s.n_chromosomes, s.n_generations,
            s.n_records, s.n_hall_of_fame] == [1, 0.25, 0.5, 2, 3, 4, 5]


@pytest.mark.parametrize("name", OPTIONAL)
def test_settings_optional_fields_can_be_set_and_cleared(name):
    s = og.SequencingSettings(10, 0.5, 0.5, 1, 2, 3, 4)
    setattr(s, name, None)
    assert getattr(s, name) is None
    setattr(s, name, 42)
    assert getattr(s, name) == 42


def test_settings_constructor_errors():
    with pytest.raises(OverflowError) as excinfo:
        og.SequencingSettings(-1, 0.5, 0.5)
    assert not str(excinfo.value).startswith("argument '")
    with pytest.raises(TypeError, match="^argument 'n_genes': "):
        og.SequencingSettings(10.0, 0.5, 0.5)
    with pytest.raises(TypeError, match="^argument 'n_chromosomes': "):
        og.SequencingSettings(10, 0.5, 0.5, 3.5)


def test_settings_deleting_keeps_value():
    s = og.SequencingSettings(10, 0.5, 0.5)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del s.n_genes
    assert s.n_genes == 10


# ---------------------------------------------------------------------------
# Evaluator parameter classes
# ---------------------------------------------------------------------------

MATRIX_KINDS = [og.EvaluatorKinds.FeedbackDistance, og.EvaluatorKinds.FeedbackMarks,
                og.EvaluatorKinds.LowerLeftDistance]
WRONG_KIND = "wrong evaluator kind, only those in the EvaluatorMatrix.kinds() set are valid."


@pytest.mark.parametrize("kind", MATRIX_KINDS, ids=repr)
@pytest.mark.parametrize("matrix", [[], [1.0], [1, 0, 1], list(range(10)), [0.0] * 16])
def test_evaluator_matrix_accepts_matrix_kinds_whatever_the_length(kind, matrix):
    m = og.EvaluatorMatrix(kind, matrix)
    assert m.kind == kind
    assert m.matrix == [float(x) for x in matrix]
    assert m.offset is None


@pytest.mark.parametrize("args", [([],), ([1.0, 2.0], 3), (range(9), None), ((0.0,) * 4, 2**64 - 1)])
def test_evaluator_matrix_refuses_the_value_kind(args):
    with pytest.raises(ValueError) as excinfo:
        og.EvaluatorMatrix(og.EvaluatorKinds.Value, *args)
    assert str(excinfo.value) == WRONG_KIND
    with pytest.raises(ValueError, match="^wrong evaluator kind"):
        og.EvaluatorMatrix(kind=og.EvaluatorKinds.Value, matrix=args[0])


def test_evaluator_matrix_setters_do_not_check_kind_or_length():
    m = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0], 7)
    assert m.offset == 7 and type(m.offset) is int
    m.kind = og.EvaluatorKinds.Value
    assert m.kind == og.EvaluatorKinds.Value
    m.matrix = [1, 2, 3]
    assert m.matrix == [1.0, 2.0, 3.0]
    m.offset = None
    assert m.offset is None


def test_evaluator_matrix_kinds_is_a_new_set_every_call():
    expected = {"FeedbackDistance", "FeedbackMarks", "LowerLeftDistance"}
    a = og.EvaluatorMatrix.kinds()
    b = og.EvaluatorMatrix.kinds()
    assert type(a) is set
    assert a == b == expected
    assert a is not b
    a.add("Value")
    a.discard("FeedbackMarks")
    assert og.EvaluatorMatrix.kinds() == expected
    instance = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [])
    assert instance.kinds() == expected
    with pytest.raises(TypeError):
        og.EvaluatorMatrix.kinds(1)


def test_evaluator_value_fields():
    v = og.EvaluatorValue(2.5)
    assert v.value == 2.5 and type(v.value) is float
    assert v.kind == og.EvaluatorKinds.Value
    v.kind = og.EvaluatorKinds.FeedbackMarks
    assert v.kind == og.EvaluatorKinds.FeedbackMarks
    v.value = 3
    assert v.value == 3.0 and type(v.value) is float
    assert math.isnan(og.EvaluatorValue(float("nan")).value)


# ---------------------------------------------------------------------------
# Crossover, mutator and recorder parameter classes
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("cls, field, kind", [
    (og.CrossoverBlend, "alpha", og.CrossoverKinds.Blend),
    (og.CrossoverSimulatedBinary, "eta", og.CrossoverKinds.SimulatedBinary),
])
def test_crossover_parameter_records(cls, field, kind):
    obj = cls(1)
    assert getattr(obj, field) == 1.0 and type(getattr(obj, field)) is float
    assert obj.kind == kind
    assert obj.kind is not kind
    for value in (-5.0, 0.0, 1e300, float("inf")):  # no range is enforced
        setattr(obj, field, value)
        assert getattr(obj, field) == value
    assert cls(-3.0) is not None
    obj.kind = og.CrossoverKinds.IPX
    assert obj.kind == og.CrossoverKinds.IPX


@pytest.mark.parametrize("p_swap", [0.1, 0, -1.0, 2.5, float("nan"), True])
def test_mutator_swap_exposes_no_fields(p_swap):
    m = og.MutatorSwap(p_swap)
    assert not hasattr(m, "p_swap")
    with pytest.raises(AttributeError):
        m.p_swap = 0.5
    assert [a for a in dir(m) if not a.startswith("__")] == []


def test_recorder_hdr_histogram_exposes_no_fields():
    r = og.RecorderHdrHistogram(3)
    assert not hasattr(r, "sigfig")
    assert [a for a in dir(r) if not a.startswith("__")] == []


def test_recorder_kinds_default_member():
    assert og.RecorderKinds() == og.RecorderKinds.FitnessStatistics
    assert og.ConvergenceKinds() == og.ConvergenceKinds.Never
    assert int(og.ConvergenceKinds()) == 0
    assert og.SelectorKinds() == og.SelectorKinds.Roulette
    assert og.CrossoverKinds() == og.CrossoverKinds.IPX
    assert og.EvaluatorKinds() == og.EvaluatorKinds.FeedbackDistance
