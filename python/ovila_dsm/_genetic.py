"""The genetic algorithm of ovila_genetic_py as a method of `sequence`: independent
runs on every core for the time given, the best order kept.

Each worker process repeats runs until its time is up; a run keeps every
generation it makes, so runs are kept short enough to stay within a few
hundred megabytes.
"""

from __future__ import annotations

import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from ._graph import Graph

POPULATION = 100
HISTORY_BYTES = 200_000_000


def _runs(flat: list[float], n: int, generations: int, seconds: float) -> tuple[int, list[int]]:
    import ovila_genetic_py as og

    settings = og.SequencingSettings(
        n_genes=n,
        p_crossover=0.9,
        p_mutation=0.2,
        n_chromosomes=POPULATION,
        n_generations=generations,
        n_hall_of_fame=1,
    )
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, flat, 0)
    most = n * (n - 1) // 2
    best: tuple[int, list[int]] = (most + 1, list(range(n)))
    ends = time.perf_counter() + seconds
    while True:
        lineage = og.sequence_sga(
            settings,
            og.GeneratorKinds.RandomSequence,
            evaluator,
            og.RecorderKinds.FitnessStatistics,
            og.SelectorKinds.Roulette,
            og.CrossoverKinds.IPX,
            og.MutatorSwap(0.05),
            og.ConvergenceKinds.Never,
        )
        top = lineage.hall_of_fame.chromosomes[0]
        assert top.fitness is not None
        best = min(best, (most - int(top.fitness), list(top.genes)))
        if time.perf_counter() >= ends:
            return best


def best_of_runs(graph: Graph, seconds: float) -> np.ndarray:
    """The best order of independent genetic algorithm runs on every core."""
    n = graph.n
    flat = np.zeros(n * n)
    flat[graph.rows().astype(np.int64) * n + graph.indices] = 1.0
    generations = int(max(1, min(500, HISTORY_BYTES // (POPULATION * n * 8))))
    workers = os.cpu_count() or 1
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(workers, mp_context=context) as pool:
        # Starting a worker costs a fraction of a second: leave it out of the runs' time.
        budget = max(seconds - 0.5, 0.0)
        jobs = [pool.submit(_runs, flat.tolist(), n, generations, budget) for _ in range(workers)]
        results = [job.result() for job in jobs]
    return np.asarray(min(results)[1], dtype=np.int32)
