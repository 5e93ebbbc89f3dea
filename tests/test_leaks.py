"""Repeated use keeps the process's memory and reference counts flat.

Each loop runs long enough that a leak of one small buffer per iteration would
show up as tens of megabytes; the payloads are sized so that a leaked copy is
never small.
"""

import os
import sys

import pytest

import ovila_genetic_py as og

from conftest import make_settings, namespace_settings, run

PAGE = os.sysconf("SC_PAGE_SIZE")
LIMIT = 20 * 1024 * 1024


def rss():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * PAGE


def assert_flat(body, count, warmup):
    for _ in range(warmup):
        body()
    before = rss()
    for _ in range(count):
        body()
    growth = rss() - before
    assert growth < LIMIT, f"memory grew by {growth / 2**20:.1f} MiB over {count} iterations"


GENES = list(range(1000, 1064))
MATRIX = [float(i % 3) for i in range(64)]
CHROMOSOME = og.Chromosome(GENES, 1.5)
POPULATION = og.Population([CHROMOSOME] * 4, 3)
STATS = og.FitnessStatistics(4, 1.0, 2.0, 6.0, 1.5, 1.0)
UNIQUES = {tuple(GENES), tuple(GENES[::-1])}
HOF = og.HallOfFame([CHROMOSOME, CHROMOSOME], UNIQUES, 2)


def every_class_once():
    c = og.Chromosome(GENES, 2.0)
    c.genes = c.genes
    c.fitness = c.fitness
    c.fitness = None
    p = og.Population([c, CHROMOSOME], 7)
    p.chromosomes = p.chromosomes
    p.generation = p.generation
    f = og.FitnessStatistics(1, 2.0, 3.0, 4.0, 5.0, 6.0)
    f.size = f.size
    f.min, f.max, f.sum, f.mean, f.variance = f.min, f.max, f.sum, f.mean, f.variance
    h = og.HallOfFame([c], UNIQUES, 3)
    h.chromosomes = h.chromosomes
    h.uniques = h.uniques
    h.capacity = h.capacity
    lineage = og.Lineage([p, POPULATION], [f, STATS], h, 5, None)
    lineage.generations = lineage.generations
    lineage.records = lineage.records
    lineage.hall_of_fame = lineage.hall_of_fame
    lineage.n_generations = lineage.n_generations
    lineage.n_records = lineage.n_records
    og.ConvergenceKinds()
    og.CrossoverKinds()
    b = og.CrossoverBlend(0.5)
    b.alpha = b.alpha
    b.kind = b.kind
    sb = og.CrossoverSimulatedBinary(2.0)
    sb.eta = sb.eta
    sb.kind = sb.kind
    og.EvaluatorKinds()
    m = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, MATRIX, 3)
    m.kind = m.kind
    m.matrix = m.matrix
    m.offset = m.offset
    m.kinds()
    v = og.EvaluatorValue(1.0)
    v.value = v.value
    v.kind = v.kind
    og.MutatorSwap(0.1)
    og.RecorderKinds()
    og.RecorderHdrHistogram(3)
    og.SelectorKinds()
    s = og.SequencingSettings(10, 0.9, 0.1, 4, 5, 6, 7)
    s.n_genes, s.n_chromosomes, s.n_generations = s.n_genes, s.n_chromosomes, s.n_generations
    s.n_records, s.n_hall_of_fame = s.n_records, s.n_hall_of_fame
    s.p_crossover, s.p_mutation = s.p_crossover, s.p_mutation
    repr(og.SelectorKinds.Random)
    int(og.CrossoverKinds.Point)
    og.SelectorKinds.Random == 1  # noqa: B015
    og.SelectorKinds.Random != og.SelectorKinds.Roulette  # noqa: B015


def failing_calls_once():
    for call in (
        lambda: og.Chromosome("abc"),
        lambda: og.Chromosome(GENES + [-1]),
        lambda: og.Chromosome(GENES + [1.5]),
        lambda: og.Population([CHROMOSOME, 1], 0),
        lambda: og.HallOfFame([CHROMOSOME], [GENES], 1),
        lambda: og.EvaluatorMatrix(og.EvaluatorKinds.Value, MATRIX),
        lambda: og.SequencingSettings(10, 0.5),
        lambda: og.SequencingSettings(10, 0.5, 0.5, foo=1),
        lambda: og.RecorderHdrHistogram(300),
        lambda: og.GeneratorKinds(),
        lambda: setattr(CHROMOSOME, "genes", "abc"),
        lambda: delattr(CHROMOSOME, "genes"),
        lambda: hash(og.SelectorKinds.Random),
        lambda: og.SelectorKinds.Random < og.SelectorKinds.Roulette,
    ):
        try:
            call()
        except (TypeError, ValueError, OverflowError, AttributeError):
            pass
        else:
            raise AssertionError("expected a failure")


def refcounts():
    tracked = [GENES, MATRIX, CHROMOSOME, POPULATION, STATS, UNIQUES, HOF]
    tracked += [getattr(og, name) for name in og.__all__[:-1]]
    return [sys.getrefcount(obj) for obj in tracked]


def test_constructing_reading_and_assigning_keeps_memory_flat():
    before = refcounts()
    assert_flat(every_class_once, count=100_000, warmup=3_000)
    assert refcounts() == before


def test_failing_constructions_and_assignments_keep_memory_flat():
    before = refcounts()
    assert_flat(failing_calls_once, count=30_000, warmup=1_000)
    assert refcounts() == before


def small_run():
    run(make_settings(n_genes=40, n_chromosomes=20, n_generations=5, n_hall_of_fame=5),
        evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0] * 1600))


def failing_runs_once():
    s = make_settings(n_genes=40, n_chromosomes=20, n_generations=5)
    for kwargs, exc in (
        (dict(settings=make_settings(n_generations=None)), ValueError),
        (dict(evaluator=og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0] * 1601)), ValueError),
        (dict(recorder=og.RecorderHdrHistogram(3)), ValueError),
        (dict(crossover=og.CrossoverKinds.Blend), ValueError),
        (dict(settings=make_settings(n_chromosomes=None)), ValueError),
        (dict(crossover=5), TypeError),
        (dict(mutator=og.MutatorKinds.Swap), TypeError),
        (dict(settings=namespace_settings(n_genes="x")), TypeError),
    ):
        kwargs.setdefault("settings", s)
        try:
            run(**kwargs)
        except exc:
            pass
        else:
            raise AssertionError("expected a failure")
    try:
        og.sequence_sga()
    except TypeError:
        pass


def test_many_runs_keep_memory_flat():
    before = refcounts()
    assert_flat(small_run, count=3_000, warmup=200)
    assert_flat(failing_runs_once, count=3_000, warmup=200)
    assert refcounts() == before


def test_internal_errors_release_the_run(capfd):
    # each aborted run has built populations of large orders; none may survive
    s = make_settings(n_genes=400, n_chromosomes=20, n_generations=3)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [1.0] * 9)

    def panicking_run():
        with pytest.raises(BaseException) as excinfo:
            run(s, evaluator=evaluator)
        assert type(excinfo.value).__name__ == "PanicException"

    assert_flat(panicking_run, count=1_500, warmup=100)
    capfd.readouterr()
