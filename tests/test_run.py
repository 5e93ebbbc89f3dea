"""Whole runs of sequence_sga: results, invariants and refusals."""

import math
import random
import types

import pytest
from hypothesis import HealthCheck, given, settings as hsettings, strategies as st

import ovila_genetic_py as og

import reference
from conftest import (SETTINGS_FIELDS, SGA_PARAMETERS, SMALL3, TASKS13_MATRIX, TASKS13_N,
                      make_settings, namespace_settings, run, sga_arguments)

NO_LIMIT = "with no limit on n_generations and convergence set to never, this would run indefinitely."
NEED_CHROMOSOMES = "n_chromosomes is required: set the number of chromosomes in each population."
ONE_CHROMOSOME = "n_chromosomes must be 0 or at least 2: one chromosome has no partner to breed with."
BAD_EVALUATOR = "unrecognized evaluator options"
BAD_RECORDER = "unrecognized recorder options"
BAD_CROSSOVER = "unrecognized crossover options"

# A 6x6 matrix with ordinary marks, a NaN mark, a -0.0 non-mark, a negative
# mark and marks on the diagonal.
NAN = float("nan")
MATRIX6 = [
    0.0, 1.0, 0.0, 0.0, -0.0, 1.0,
    0.0, 1.0, 0.0, 2.5, 0.0, 0.0,
    1.0, 0.0, 0.0, 0.0, NAN, 0.0,
    0.0, 0.0, 1.0, 0.0, 0.0, -1.0,
    1.0, 0.0, 0.0, 1.0, 0.0, 0.0,
    0.0, 1.0, 0.0, 0.0, 1.0, 1.0,
]


def fitness_check_from(evaluator):
    """A function genes -> expected fitness for an evaluator argument."""
    if isinstance(evaluator, og.EvaluatorValue):
        value = evaluator.value
        return lambda genes: value
    kind = repr(evaluator.kind).split(".")[1]
    matrix, offset = evaluator.matrix, evaluator.offset
    return lambda genes: reference.score(kind, matrix, genes, offset)


def check_lineage(lineage, settings, evaluator, permutations=True):
    """Check everything a finished run must satisfy, whatever its random draws."""
    n_genes = settings.n_genes
    n_chromosomes = settings.n_chromosomes
    G = settings.n_generations
    n_records = settings.n_records
    capacity = 1 if settings.n_hall_of_fame is None else settings.n_hall_of_fame
    expected_fitness = fitness_check_from(evaluator)

    assert type(lineage) is og.Lineage
    assert lineage.n_generations == G
    assert lineage.n_records == n_records

    # kept generations: G down to 1, newest first, each of n_chromosomes
    generations = lineage.generations
    assert [p.generation for p in generations] == list(range(G, 0, -1))
    for population in generations:
        assert len(population.chromosomes) == n_chromosomes
        for c in population.chromosomes:
            assert len(c.genes) == n_genes
            if permutations:
                assert sorted(c.genes) == list(range(n_genes))
            else:
                assert all(0 <= g for g in c.genes)
            assert c.fitness is not None
            assert reference.same_float(c.fitness, expected_fitness(c.genes)), (c.genes, c.fitness)

    # records: one per evaluated generation (G + 1), newest first, cut to n_records
    records = lineage.records
    kept = G + 1 if n_records is None else min(G + 1, n_records)
    assert len(records) == kept
    for record, population in zip(records, generations):
        expected = reference.statistics([c.fitness for c in population.chromosomes])
        assert reference.same_record(record, expected), (reference.record_tuple(record), expected)
    for record in records:
        assert record.size == n_chromosomes

    # hall of fame: bounded, best first, distinct, uniques matching
    hof = lineage.hall_of_fame
    entries = hof.chromosomes
    assert hof.capacity == capacity
    assert len(entries) <= capacity
    genes_list = [tuple(c.genes) for c in entries]
    assert len(set(genes_list)) == len(genes_list)
    assert hof.uniques == set(genes_list)
    fitnesses = [c.fitness for c in entries]
    assert all(f is not None for f in fitnesses)
    for c in entries:
        assert reference.same_float(c.fitness, expected_fitness(c.genes))
        if permutations:
            assert sorted(c.genes) == list(range(n_genes))
    if not any(math.isnan(f) for f in fitnesses):
        assert all(a >= b for a, b in zip(fitnesses, fitnesses[1:])), fitnesses

    # the hall of fame has seen every kept chromosome
    seen = {}
    for population in generations:
        for c in population.chromosomes:
            seen[tuple(c.genes)] = c.fitness
    assert len(entries) >= min(capacity, len(seen))
    if entries and not any(math.isnan(f) for f in list(seen.values()) + fitnesses):
        best = fitnesses[0]
        assert all(best >= f for f in seen.values())
        for record in records:
            assert best >= record.max
        if len(records) == G + 1 and n_chromosomes:
            # every evaluated generation was recorded: the best is the best of all
            assert best == max(r.max for r in records)
        worst = fitnesses[-1]
        for genes, f in seen.items():
            if len(entries) < capacity or f > worst:
                assert genes in hof.uniques, (genes, f)
    if capacity and n_chromosomes and not entries:
        pytest.fail("the hall of fame stayed empty")


def run_and_check(settings, permutations=True, **overrides):
    arguments = sga_arguments(settings, **overrides)
    lineage = og.sequence_sga(**arguments)
    check_lineage(lineage, settings, arguments["evaluator"], permutations)
    return lineage


# ---------------------------------------------------------------------------
# Successful runs
# ---------------------------------------------------------------------------


def test_example_call():
    s = og.SequencingSettings(5, 0.9, 0.1, n_chromosomes=4, n_generations=2)
    lineage = og.sequence_sga(s, og.GeneratorKinds.RandomSequence, og.EvaluatorValue(1.0),
                              og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Random,
                              og.CrossoverKinds.IPX, og.MutatorSwap(0.1), og.ConvergenceKinds.Never)
    assert isinstance(lineage, og.Lineage)
    check_lineage(lineage, s, og.EvaluatorValue(1.0))
    assert [r.size for r in lineage.records] == [4, 4, 4]
    assert all((r.min, r.max, r.sum, r.mean, r.variance) == (1.0, 1.0, 4.0, 1.0, 0.0)
               for r in lineage.records)


def test_keyword_arguments_in_any_order():
    arguments = sga_arguments(make_settings(n_generations=2))
    names = list(SGA_PARAMETERS)
    rng = random.Random(1234)
    for _ in range(5):
        rng.shuffle(names)
        lineage = og.sequence_sga(**{name: arguments[name] for name in names})
        check_lineage(lineage, arguments["settings"], arguments["evaluator"])
    lineage = og.sequence_sga(arguments["settings"], arguments["generator"],
                              **{n: arguments[n] for n in reversed(SGA_PARAMETERS[2:])})
    check_lineage(lineage, arguments["settings"], arguments["evaluator"])


def test_members_made_by_constructors_are_accepted():
    s = make_settings()
    run_and_check(s, recorder=og.RecorderKinds(), selector=og.SelectorKinds(),
                  crossover=og.CrossoverKinds(), convergence=og.ConvergenceKinds())


SETTING_COMBOS = [
    # n_genes, n_chromosomes, n_generations, n_records, n_hall_of_fame, p_crossover, p_mutation
    (6, 6, 1, None, None, 0.9, 0.2),
    (6, 6, 3, 2, None, 0.9, 0.2),
    (6, 6, 3, 10, 4, 0.9, 0.2),
    (6, 5, 4, None, 3, 0.9, 0.2),
    (6, 7, 2, 1, 2, 0.5, 0.5),
    (6, 4, 5, 0, 10, 0.9, 0.2),
    (6, 0, 3, None, 5, 0.9, 0.2),
    (6, 8, 10, 20, 1000, 0.7, 0.3),
    (6, 6, 3, None, 0, 0.9, 0.2),
    (6, 6, 3, None, None, 0.0, 0.0),
    (6, 6, 3, None, None, 1.0, 1.0),
    (6, 6, 3, None, None, 1.5, -0.2),
    (6, 2, 6, None, 2, 1.0, 0.0),
    (2, 4, 3, None, 2, 0.9, 0.2),
    (9, 10, 4, 3, 6, 0.9, 0.2),
]


@pytest.mark.parametrize("combo", SETTING_COMBOS, ids=[str(c) for c in SETTING_COMBOS])
@pytest.mark.parametrize("selector", [og.SelectorKinds.Roulette, og.SelectorKinds.Random], ids=repr)
def test_runs_keep_their_invariants(combo, selector):
    n_genes = combo[0]
    s = make_settings(*combo[:1], p_crossover=combo[5], p_mutation=combo[6], n_chromosomes=combo[1],
                      n_generations=combo[2], n_records=combo[3], n_hall_of_fame=combo[4])
    matrix = MATRIX6 if n_genes == 6 else [float((r * 7 + c * 3) % 4 == 0) for r in range(n_genes)
                                           for c in range(n_genes)]
    for kind in (og.EvaluatorKinds.FeedbackMarks, og.EvaluatorKinds.FeedbackDistance,
                 og.EvaluatorKinds.LowerLeftDistance):
        evaluator = og.EvaluatorMatrix(kind, matrix)
        run_and_check(s, evaluator=evaluator, selector=selector)
    run_and_check(s, evaluator=og.EvaluatorValue(2.5), selector=selector)


def test_one_generation_keeps_generation_one_and_two_records():
    s = make_settings(n_generations=1)
    lineage = run_and_check(s, evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    assert [p.generation for p in lineage.generations] == [1]
    assert len(lineage.records) == 2


def test_three_generations_with_two_records():
    s = make_settings(n_generations=3, n_records=2)
    lineage = run_and_check(s, evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    assert [p.generation for p in lineage.generations] == [3, 2, 1]
    assert len(lineage.records) == 2


@pytest.mark.parametrize("n_records, kept", [(None, 1), (0, 0), (5, 1)])
@pytest.mark.parametrize("n_hall_of_fame", [None, 3])
def test_zero_generations_records_generation_zero_only(n_records, kept, n_hall_of_fame):
    s = make_settings(n_generations=0, n_records=n_records, n_hall_of_fame=n_hall_of_fame)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackDistance, MATRIX6)
    lineage = run_and_check(s, evaluator=evaluator)
    assert lineage.generations == []
    assert len(lineage.records) == kept
    capacity = 1 if n_hall_of_fame is None else n_hall_of_fame
    assert 1 <= len(lineage.hall_of_fame.chromosomes) <= capacity
    if kept:
        assert lineage.records[0].size == 6
        assert lineage.hall_of_fame.chromosomes[0].fitness == lineage.records[0].max


def test_odd_population_size_is_kept():
    s = make_settings(n_chromosomes=5, n_generations=6)
    lineage = run_and_check(s)
    assert all(len(p.chromosomes) == 5 for p in lineage.generations)


def test_empty_populations():
    s = make_settings(n_chromosomes=0, n_generations=4, n_hall_of_fame=3)
    lineage = run_and_check(s, evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    assert [p.generation for p in lineage.generations] == [4, 3, 2, 1]
    assert all(p.chromosomes == [] for p in lineage.generations)
    assert len(lineage.records) == 5
    for record in lineage.records:
        assert reference.same_record(record, (0, 0.0, 0.0, -0.0, 0.0, 0.0))
        assert math.copysign(1.0, record.sum) == -1.0
    assert lineage.hall_of_fame.chromosomes == [] and lineage.hall_of_fame.uniques == set()


def test_hall_of_fame_defaults_to_the_single_best():
    s = make_settings(n_chromosomes=8, n_generations=5, n_hall_of_fame=None)
    lineage = run_and_check(s, evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    assert len(lineage.hall_of_fame.chromosomes) == 1
    assert lineage.hall_of_fame.capacity == 1
    assert lineage.hall_of_fame.chromosomes[0].fitness == max(r.max for r in lineage.records)


def test_hall_of_fame_capacity_zero_admits_nothing():
    s = make_settings(n_hall_of_fame=0)
    lineage = run_and_check(s, evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    assert lineage.hall_of_fame.chromosomes == []
    assert lineage.hall_of_fame.uniques == set()


def test_without_crossover_or_mutation_only_initial_orders_exist():
    # Generation 0 is not kept, but a large hall of fame remembers every
    # distinct order ever evaluated: with neither crossover nor mutation the
    # runs can only copy the n_chromosomes initial orders.
    s = make_settings(n_genes=8, n_chromosomes=6, n_generations=6, n_hall_of_fame=1000,
                      p_crossover=0.0, p_mutation=0.0)
    for selector in (og.SelectorKinds.Roulette, og.SelectorKinds.Random):
        lineage = run_and_check(s, selector=selector, mutator=og.MutatorSwap(1.0),
                                evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks,
                                                             [1.0] * 64))
        hof = lineage.hall_of_fame
        assert len(hof.chromosomes) <= 6
        for p in lineage.generations:
            for c in p.chromosomes:
                assert tuple(c.genes) in hof.uniques


@pytest.mark.parametrize("p_swap", [float("nan"), -1.0, 0.0])
def test_mutator_that_never_swaps(p_swap):
    # every chromosome is chosen for mutation, but the swap never starts, so
    # the orders stay those of generation 0 (and one-gene orders never fail)
    s = make_settings(n_genes=8, n_chromosomes=6, n_generations=6, n_hall_of_fame=1000,
                      p_crossover=0.0, p_mutation=1.0)
    lineage = run_and_check(s, mutator=og.MutatorSwap(p_swap),
                            evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.LowerLeftDistance,
                                                         [1.0] * 64))
    assert len(lineage.hall_of_fame.chromosomes) <= 6
    s = make_settings(n_genes=1, n_chromosomes=4, n_generations=5, p_crossover=1.0, p_mutation=1.0)
    lineage = run_and_check(s, mutator=og.MutatorSwap(p_swap),
                            evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0]))
    assert all(c.genes == [0] and c.fitness == 1.0 for p in lineage.generations for c in p.chromosomes)


def test_mutation_every_time_makes_new_orders():
    s = make_settings(n_genes=8, n_chromosomes=6, n_generations=6, n_hall_of_fame=1000,
                      p_crossover=0.0, p_mutation=1.0)
    lineage = run_and_check(s, mutator=og.MutatorSwap(0.5),
                            evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0] * 64))
    assert len(lineage.hall_of_fame.chromosomes) > 6


@pytest.mark.parametrize("value", [1.0, float("nan")])
def test_hall_of_fame_keeps_the_first_of_equal_or_nan_candidates(value):
    # All fitness values are equal (or NaN), so once generation 0 has filled
    # the hall of fame no later order is strictly better: none may enter.
    # Every later order is a fully swapped one, new with near certainty.
    s = make_settings(n_genes=10, n_chromosomes=4, n_generations=8, n_hall_of_fame=4,
                      p_crossover=0.0, p_mutation=1.0)
    lineage = run_and_check(s, evaluator=og.EvaluatorValue(value), mutator=og.MutatorSwap(1.0))
    hof = lineage.hall_of_fame
    assert len(hof.chromosomes) == 4
    later = {tuple(c.genes) for p in lineage.generations for c in p.chromosomes}
    assert not (hof.uniques & later)


@pytest.mark.parametrize("n_chromosomes", [3, 5, 7])
def test_an_odd_last_parent_is_never_paired(n_chromosomes):
    # Without crossover or mutation the new generation is the parents of the
    # pairs (0, 1), (2, 3), ... taken again from the first pair: the last
    # chromosome is a copy of the first parent.
    s = make_settings(n_genes=8, n_chromosomes=n_chromosomes, n_generations=6,
                      p_crossover=0.0, p_mutation=0.0)
    lineage = run_and_check(s, selector=og.SelectorKinds.Random,
                            evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0] * 64))
    for p in lineage.generations:
        first, last = p.chromosomes[0], p.chromosomes[-1]
        assert last.genes == first.genes and last.fitness == first.fitness


def test_point_crossover_keeps_every_gene_at_its_position():
    # one-point splicing never moves a gene to another position
    s = make_settings(n_genes=7, n_chromosomes=10, n_generations=8, n_records=None,
                      p_crossover=1.0, p_mutation=0.0)
    lineage = run_and_check(s, permutations=False, crossover=og.CrossoverKinds.Point,
                            selector=og.SelectorKinds.Random,
                            evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0] * 49))
    generations = lineage.generations
    for newer, older in zip(generations, generations[1:]):
        for i in range(7):
            assert {c.genes[i] for c in newer.chromosomes} <= {c.genes[i] for c in older.chromosomes}


def test_roulette_over_zero_fitness_always_picks_the_first():
    s = make_settings(n_genes=7, n_chromosomes=6, n_generations=3, n_hall_of_fame=10,
                      p_crossover=0.0, p_mutation=0.0)
    lineage = run_and_check(s, selector=og.SelectorKinds.Roulette, evaluator=og.EvaluatorValue(0.0))
    first = lineage.generations[-1].chromosomes[0].genes
    for p in lineage.generations:
        assert all(c.genes == first for c in p.chromosomes)
    assert tuple(first) in lineage.hall_of_fame.uniques


@pytest.mark.parametrize("value", [float("nan"), -3.0, 0.0, float("inf"), 1e308])
@pytest.mark.parametrize("selector", [og.SelectorKinds.Roulette, og.SelectorKinds.Random], ids=repr)
def test_value_evaluator_runs_with_unusual_values(value, selector):
    s = make_settings(n_chromosomes=6, n_generations=3, n_hall_of_fame=3)
    lineage = run_and_check(s, selector=selector, evaluator=og.EvaluatorValue(value))
    assert len(lineage.hall_of_fame.chromosomes) == 3
    for record in lineage.records:
        if math.isnan(value):
            assert all(math.isnan(x) for x in (record.min, record.max, record.sum, record.mean,
                                                record.variance))


def test_value_evaluator_ignores_its_kind():
    evaluator = og.EvaluatorValue(2.5)
    evaluator.kind = og.EvaluatorKinds.FeedbackMarks
    lineage = run(make_settings(), evaluator=evaluator)
    assert all(c.fitness == 2.5 for p in lineage.generations for c in p.chromosomes)


@pytest.mark.parametrize("crossover, permutations", [
    (og.CrossoverKinds.IPX, True),
    (og.CrossoverKinds.Point, False),
    (og.CrossoverBlend(0.0), False),
    (og.CrossoverSimulatedBinary(1e6), False),
], ids=["IPX", "Point", "Blend", "SimulatedBinary"])
@pytest.mark.parametrize("kind", ["FeedbackMarks", "FeedbackDistance", "LowerLeftDistance", "Value"])
def test_every_crossover_completes_and_scores_correctly(crossover, permutations, kind):
    # Blend with alpha 0 and SimulatedBinary with a huge eta keep every gene
    # between the parents' genes, so the matrix evaluators can score them.
    evaluator = (og.EvaluatorValue(1.5) if kind == "Value"
                 else og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), MATRIX6, 3))
    s = make_settings(n_chromosomes=8, n_generations=8, n_hall_of_fame=5, p_crossover=1.0)
    lineage = run_and_check(s, permutations=permutations, crossover=crossover, evaluator=evaluator)
    for p in lineage.generations:
        assert all(max(c.genes) < 6 for c in p.chromosomes)


def test_point_crossover_can_repeat_genes():
    # two-point splicing of permutations repeats genes sooner or later
    s = make_settings(n_genes=6, n_chromosomes=20, n_generations=10, p_crossover=1.0, p_mutation=0.0)
    lineage = run_and_check(s, permutations=False, crossover=og.CrossoverKinds.Point,
                            evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    assert any(len(set(c.genes)) < 6 for p in lineage.generations for c in p.chromosomes)


def test_initial_orders_are_uniformly_random():
    # Generation 1 is a uniform resample of generation 0 (no crossover, no
    # mutation), so each of the 3! orders should appear about 1/6 of the time.
    n = 60_000
    s = make_settings(n_genes=3, n_chromosomes=n, n_generations=1, p_crossover=0.0, p_mutation=0.0)
    lineage = run(s, selector=og.SelectorKinds.Random)
    counts = {}
    for c in lineage.generations[0].chromosomes:
        counts[tuple(c.genes)] = counts.get(tuple(c.genes), 0) + 1
    assert sorted(counts) == [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]
    for order, count in counts.items():
        assert abs(count - n / 6) < 700, (order, count)


def test_settings_from_a_plain_namespace():
    ns = namespace_settings(n_genes=5, n_chromosomes=4, n_generations=3, n_records=2,
                            n_hall_of_fame=2)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6[:25])
    lineage = og.sequence_sga(**sga_arguments(ns, evaluator=evaluator))
    check_lineage(lineage, ns, evaluator)


def test_settings_are_read_once_each_in_field_order():
    reads = []

    class Logged:
        def __getattribute__(self, name):
            reads.append(name)
            return getattr(namespace_settings(), name)

    run(Logged())
    assert reads == list(SETTINGS_FIELDS)


def test_matrix_evaluators_on_a_3x3_example():
    # marks at (0, 1) and (1, 2); each run scores whichever orders it makes
    s = make_settings(n_genes=3, n_chromosomes=6, n_generations=4, n_hall_of_fame=6)
    expected = {
        "FeedbackMarks": {(0, 1, 2): 2.0, (2, 1, 0): 4.0},
        "FeedbackDistance": {(0, 1, 2): 3.0, (2, 1, 0): 5.0},
        "LowerLeftDistance": {(0, 1, 2): 7.0, (2, 1, 0): 3.0},
    }
    for kind, table in expected.items():
        for genes, value in table.items():
            assert reference.score(kind, SMALL3, genes) == value
        evaluator = og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), SMALL3)
        lineage = run_and_check(s, evaluator=evaluator)
        for p in lineage.generations:
            for c in p.chromosomes:
                if tuple(c.genes) in table:
                    assert c.fitness == table[tuple(c.genes)]


@pytest.mark.parametrize("kind", ["FeedbackMarks", "FeedbackDistance", "LowerLeftDistance"])
@pytest.mark.parametrize("offset", [None, 0, 5, 2**63, 2**64 - 1])
def test_offsets_use_unsigned_wrapping_arithmetic(kind, offset):
    # 5x5 matrix scored on orders of only 3 genes: the dimension term uses 5
    matrix = [1.0] * 25
    s = make_settings(n_genes=3, n_chromosomes=6, n_generations=3, n_hall_of_fame=6)
    evaluator = og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), matrix, offset)
    run_and_check(s, evaluator=evaluator)


@pytest.mark.parametrize("kind", ["FeedbackMarks", "FeedbackDistance", "LowerLeftDistance"])
def test_empty_orders_end_the_feedback_scores_and_score_the_offset_otherwise(kind):
    # n_genes 0 makes empty orders: the feedback scores have no place for
    # them (an internal error); LowerLeftDistance scores the offset.
    s = make_settings(n_genes=0, n_chromosomes=4, n_generations=3, n_hall_of_fame=3)
    evaluator = og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), [], 4)
    if kind != "LowerLeftDistance":
        with pytest.raises(BaseException) as excinfo:
            run(s, evaluator=evaluator)
        assert_panic(excinfo.value)
        working_run()
        return
    lineage = run_and_check(s, evaluator=evaluator)
    assert all(c.genes == [] and c.fitness == 4.0 for p in lineage.generations for c in p.chromosomes)
    # a single distinct (empty) order: the hall of fame holds it once
    assert [c.genes for c in lineage.hall_of_fame.chromosomes] == [[]]
    assert lineage.hall_of_fame.uniques == {()}


def test_one_gene_orders():
    s = make_settings(n_genes=1, n_chromosomes=4, n_generations=3, p_mutation=0.0)
    for kind, expected in [("FeedbackMarks", 1.0), ("FeedbackDistance", 1.0),
                           ("LowerLeftDistance", 1.0)]:
        evaluator = og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), [1.0])
        lineage = run_and_check(s, evaluator=evaluator)
        assert all(c.fitness == expected for p in lineage.generations for c in p.chromosomes)


def test_later_changes_to_arguments_do_not_reach_the_result():
    s = make_settings(n_chromosomes=4, n_generations=3, n_records=None, n_hall_of_fame=2)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6)
    blend = og.CrossoverBlend(0.0)
    lineage = og.sequence_sga(**sga_arguments(s, evaluator=evaluator, crossover=blend))

    def picture(lin):
        return ([[(tuple(c.genes), c.fitness) for c in p.chromosomes] + [p.generation]
                 for p in lin.generations],
                [reference.record_tuple(r) for r in lin.records],
                [(tuple(c.genes), c.fitness) for c in lin.hall_of_fame.chromosomes],
                lin.hall_of_fame.uniques, lin.hall_of_fame.capacity,
                lin.n_generations, lin.n_records)

    before = picture(lineage)
    # the run changed none of its arguments; the default offset stays implicit
    assert (s.n_genes, s.n_chromosomes, s.n_generations, s.n_records, s.n_hall_of_fame,
            s.p_crossover, s.p_mutation) == (6, 4, 3, None, 2, 0.9, 0.2)
    assert evaluator.offset is None
    assert evaluator.kind == og.EvaluatorKinds.FeedbackMarks
    assert all(reference.same_float(a, b) for a, b in zip(evaluator.matrix, MATRIX6))
    assert blend.alpha == 0.0 and blend.kind == og.CrossoverKinds.Blend
    s.n_genes = 2
    s.n_generations = 10
    s.n_records = 1
    s.n_hall_of_fame = 7
    evaluator.matrix = [0.0]
    evaluator.offset = 100
    blend.alpha = 5.0
    assert picture(lineage) == before
    check_lineage(lineage, make_settings(n_chromosomes=4, n_generations=3, n_hall_of_fame=2),
                  og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6), permutations=False)


def test_thirteen_task_process_matrix():
    labels_order = list(range(TASKS13_N))
    assert reference.score("FeedbackMarks", TASKS13_MATRIX, labels_order) == 59.0
    s = og.SequencingSettings(TASKS13_N, 0.9, 0.3, n_chromosomes=60, n_generations=150,
                              n_hall_of_fame=5)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, TASKS13_MATRIX)
    lineage = run_and_check(s, evaluator=evaluator, mutator=og.MutatorSwap(0.1),
                            selector=og.SelectorKinds.Roulette)
    best = lineage.hall_of_fame.chromosomes[0]
    assert sorted(best.genes) == labels_order
    assert 59.0 <= best.fitness <= 69.0  # 69 = 1 + 78 - 10 is the optimum


@hsettings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_random_configurations(data):
    n = data.draw(st.integers(1, 6), label="n")
    matrix = data.draw(st.lists(st.sampled_from([0.0, -0.0, 1.0, 2.0, -1.0, NAN]),
                                min_size=n * n, max_size=n * n), label="matrix")
    kind = data.draw(st.sampled_from(["FeedbackMarks", "FeedbackDistance", "LowerLeftDistance"]))
    offset = data.draw(st.sampled_from([None, 0, 1, 7, 2**53 - 5, 2**54 + 1, 2**63, 2**64 - 1]),
                       label="offset")
    n_genes = data.draw(st.integers(1, n), label="n_genes")
    s = make_settings(
        n_genes=n_genes,
        n_chromosomes=data.draw(st.sampled_from([0, 2, 3, 4, 7]), label="n_chromosomes"),
        n_generations=data.draw(st.integers(0, 4), label="n_generations"),
        n_records=data.draw(st.sampled_from([None, 0, 1, 2, 9]), label="n_records"),
        n_hall_of_fame=data.draw(st.sampled_from([None, 0, 1, 3, 100]), label="n_hall_of_fame"),
        p_crossover=data.draw(st.sampled_from([0.0, 0.5, 1.0]), label="p_crossover"),
        p_mutation=data.draw(st.sampled_from([0.0, 0.5, 1.0]), label="p_mutation"),
    )
    crossovers = [og.CrossoverKinds.IPX, og.CrossoverBlend(0.0)]
    if n_genes >= 3:
        crossovers.append(og.CrossoverKinds.Point)
    crossover = data.draw(st.sampled_from(crossovers), label="crossover")
    permutations = isinstance(crossover, og.CrossoverKinds) and crossover == og.CrossoverKinds.IPX
    selector = data.draw(st.sampled_from([og.SelectorKinds.Roulette, og.SelectorKinds.Random]))
    # one-gene orders must never start a swap
    mutator = og.MutatorSwap(data.draw(st.sampled_from([0.0, 0.3, 1.0])) if n_genes > 1 else -1.0)
    evaluator = og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), matrix, offset)
    run_and_check(s, permutations=permutations, evaluator=evaluator, crossover=crossover,
                  selector=selector, mutator=mutator)


# ---------------------------------------------------------------------------
# Refusals and their order
# ---------------------------------------------------------------------------


def value_kind_matrix(length=36):
    m = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0] * length)
    m.kind = og.EvaluatorKinds.Value
    return m


REFUSALS = [
    # (settings overrides, argument overrides, message)
    (dict(n_generations=None), {}, NO_LIMIT),
    (dict(n_generations=None, n_chromosomes=None),
     dict(evaluator=value_kind_matrix(), recorder=og.RecorderKinds.HdrHistogram,
          crossover=og.CrossoverKinds.Blend), NO_LIMIT),
    (dict(n_generations=None), dict(recorder=og.RecorderHdrHistogram(3)), NO_LIMIT),
    (dict(n_generations=None),
     dict(evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0] * 10)), NO_LIMIT),
    ({}, dict(evaluator=value_kind_matrix()), BAD_EVALUATOR),
    ({}, dict(evaluator=value_kind_matrix(10)), BAD_EVALUATOR),
    (dict(n_chromosomes=None),
     dict(evaluator=value_kind_matrix(), recorder=og.RecorderKinds.HdrHistogram,
          crossover=og.CrossoverKinds.SimulatedBinary), BAD_EVALUATOR),
    ({}, dict(evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0] * 10)),
     "Vector should be of size dimensions^2. 3*3 != 10"),
    ({}, dict(evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.LowerLeftDistance, [0.0] * 10),
              recorder=og.RecorderKinds.HdrHistogram),
     "Vector should be of size dimensions^2. 3*3 != 10"),
    ({}, dict(recorder=og.RecorderKinds.HdrHistogram), BAD_RECORDER),
    ({}, dict(recorder=og.RecorderHdrHistogram(3)), BAD_RECORDER),
    ({}, dict(recorder=og.RecorderHdrHistogram(0), crossover=og.CrossoverKinds.Blend), BAD_RECORDER),
    (dict(n_chromosomes=None), dict(recorder=og.RecorderKinds.HdrHistogram), BAD_RECORDER),
    (dict(n_chromosomes=1), dict(recorder=og.RecorderHdrHistogram(255)), BAD_RECORDER),
    ({}, dict(crossover=og.CrossoverKinds.Blend), BAD_CROSSOVER),
    ({}, dict(crossover=og.CrossoverKinds.SimulatedBinary), BAD_CROSSOVER),
    ({}, dict(crossover=og.CrossoverBlend(0.5).kind), BAD_CROSSOVER),
    (dict(n_chromosomes=None), dict(crossover=og.CrossoverKinds.Blend), BAD_CROSSOVER),
    (dict(n_chromosomes=1), dict(crossover=og.CrossoverKinds.SimulatedBinary), BAD_CROSSOVER),
    (dict(n_chromosomes=None), {}, NEED_CHROMOSOMES),
    (dict(n_chromosomes=None, n_genes=0, n_generations=0), {}, NEED_CHROMOSOMES),
    (dict(n_chromosomes=1), {}, ONE_CHROMOSOME),
    (dict(n_chromosomes=1, n_generations=0), {}, ONE_CHROMOSOME),
]


@pytest.mark.parametrize("setting_changes, argument_changes, message", REFUSALS,
                         ids=[f"{i}-{m[:25]}" for i, (_, _, m) in enumerate(REFUSALS)])
def test_run_refusals_and_their_precedence(setting_changes, argument_changes, message):
    values = dict(n_genes=6, n_chromosomes=6, n_generations=3)
    values.update(setting_changes)
    s = make_settings(**values)
    with pytest.raises(ValueError) as excinfo:
        run(s, **argument_changes)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message


@pytest.mark.parametrize("length", [2, 3, 5, 8, 10, 15, 24, 26, 99, 101])
def test_matrix_length_must_be_a_square(length):
    d = math.isqrt(length)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackDistance, [0.0] * length)
    with pytest.raises(ValueError) as excinfo:
        run(evaluator=evaluator)
    assert str(excinfo.value) == f"Vector should be of size dimensions^2. {d}*{d} != {length}"


@pytest.mark.parametrize("argument, value", [
    ("generator", og.MutatorKinds.Swap),
    ("evaluator", og.EvaluatorKinds.FeedbackMarks),
    ("selector", None),
    ("mutator", og.MutatorKinds.Swap),
    ("convergence", og.ConvergenceKinds),
])
def test_argument_type_errors_come_before_run_refusals(argument, value):
    s = make_settings(n_generations=None, n_chromosomes=None)
    with pytest.raises(TypeError, match=f"^argument '{argument}': failed to extract enum "):
        run(s, recorder=og.RecorderKinds.HdrHistogram, crossover=og.CrossoverKinds.Blend,
            **{argument: value})


def test_settings_errors_come_before_union_errors():
    ns = namespace_settings()
    del ns.n_genes
    with pytest.raises(AttributeError):
        run(ns, generator=5)
    ns = namespace_settings(n_records="x")
    with pytest.raises(TypeError, match="^argument 'settings': "):
        run(ns, generator=5, evaluator=5)


FIELD_ERRORS = [(field, bad, cause) for field in SETTINGS_FIELDS
                for bad, cause in [("10", TypeError), (-1, OverflowError), (1.5, TypeError),
                                   ([], TypeError)]
                if not (field.startswith("p_") and bad in (-1, 1.5))]


@pytest.mark.parametrize("field, bad, cause", FIELD_ERRORS)
def test_settings_field_conversion_errors(field, bad, cause):
    with pytest.raises(TypeError) as excinfo:
        run(namespace_settings(**{field: bad}))
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"argument 'settings': failed to extract field SequencingSettings.{field}"
    assert type(excinfo.value.__cause__) is cause


@pytest.mark.parametrize("field", ["n_genes", "p_crossover", "p_mutation"])
def test_required_settings_fields_refuse_none(field):
    with pytest.raises(TypeError) as excinfo:
        run(namespace_settings(**{field: None}))
    assert str(excinfo.value) == f"argument 'settings': failed to extract field SequencingSettings.{field}"
    assert isinstance(excinfo.value.__cause__, TypeError)


@pytest.mark.parametrize("missing", SETTINGS_FIELDS)
def test_missing_settings_attribute_raises_attribute_error(missing):
    ns = namespace_settings()
    delattr(ns, missing)
    with pytest.raises(AttributeError) as excinfo:
        run(ns)
    assert type(excinfo.value) is AttributeError
    assert missing in str(excinfo.value)


def test_settings_extraction_stops_at_the_first_failure():
    # n_genes is read (and refused) before the missing n_records is looked for
    ns = namespace_settings(n_genes="10")
    del ns.n_records
    with pytest.raises(TypeError, match="SequencingSettings.n_genes$"):
        run(ns)
    ns = namespace_settings(n_hall_of_fame="x")
    del ns.n_records
    with pytest.raises(AttributeError, match="n_records"):
        run(ns)
    ns = namespace_settings(n_records=-5)
    del ns.p_mutation
    with pytest.raises(TypeError, match="SequencingSettings.n_records$"):
        run(ns)


def test_settings_attribute_errors_other_than_type_errors_pass_unchanged():
    class Broken:
        def __getattr__(self, name):
            raise KeyError(name)

    with pytest.raises(KeyError):
        run(Broken())


def test_namespace_values_convert_like_the_class():
    class Idx:
        def __index__(self):
            return 4

    ns = namespace_settings(n_genes=Idx(), n_chromosomes=4, n_generations=Idx(),
                            p_crossover=1, p_mutation=Idx())
    lineage = run(ns)
    assert len(lineage.generations) == 4
    assert all(len(c.genes) == 4 for p in lineage.generations for c in p.chromosomes)


# ---------------------------------------------------------------------------
# Internal errors
# ---------------------------------------------------------------------------


def assert_panic(excinfo_value):
    cls = type(excinfo_value)
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException)
    assert not issubclass(cls, Exception)
    return cls


def working_run():
    lineage = run(make_settings(n_generations=2),
                  evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))
    check_lineage(lineage, make_settings(n_generations=2),
                  og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX6))


def test_gene_outside_the_matrix_raises_panic_exception(capfd):
    s = make_settings(n_genes=5, n_chromosomes=4, n_generations=2)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0, 1.0, 1.0, 0.0])
    caught = None
    try:
        run(s, evaluator=evaluator)
    except Exception:  # noqa: BLE001 - must not be caught here
        pytest.fail("an internal error was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert caught is not None
    cls = assert_panic(caught)
    assert caught.args == ("Matrix index out of bounds.",)
    assert str(caught) == "Matrix index out of bounds."
    assert "Matrix index out of bounds." in capfd.readouterr().err
    # the module stays usable, and the exception class is created only once
    working_run()
    with pytest.raises(BaseException) as excinfo:
        run(s, evaluator=evaluator)
    assert type(excinfo.value) is cls
    working_run()


INTERNAL_ERRORS = [
    # a one-gene order starts a swap: no other position to swap with
    (dict(n_genes=1, p_mutation=1.0), dict(mutator=og.MutatorSwap(1.0))),
    # one-point crossover needs at least three genes
    (dict(n_genes=2, p_crossover=1.0), dict(crossover=og.CrossoverKinds.Point)),
    # a wide blend leaves the range of gene values
    (dict(n_genes=8, p_crossover=1.0, n_generations=10), dict(crossover=og.CrossoverBlend(1e6))),
    # gene index at the matrix dimension, LowerLeftDistance too
    (dict(n_genes=3), dict(evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.LowerLeftDistance,
                                                        [1.0] * 4))),
]


@pytest.mark.parametrize("setting_changes, argument_changes", INTERNAL_ERRORS,
                         ids=["swap-one-gene", "point-two-genes", "blend-out-of-range",
                              "lower-left-index"])
def test_internal_errors_end_the_run_with_panic_exception(setting_changes, argument_changes, capfd):
    values = dict(n_chromosomes=4, n_generations=3)
    values.update(setting_changes)
    with pytest.raises(BaseException) as excinfo:
        run(make_settings(**values), **argument_changes)
    assert_panic(excinfo.value)
    assert len(excinfo.value.args) == 1 and isinstance(excinfo.value.args[0], str)
    assert excinfo.value.args[0] in capfd.readouterr().err
    working_run()
