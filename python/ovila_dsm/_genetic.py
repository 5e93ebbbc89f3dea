"""The genetic algorithm of ovila_genetic_py as a method of `sequence`: independent
runs on every core for the time given, the best order kept.

Each worker process repeats runs until its time is up (at least one run); a
run keeps every generation it makes, so runs are kept short enough to stay
within a few hundred megabytes.
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


def _runs(flat: list[float], n: int, generations: int, ends: float) -> tuple[int, list[int]]:
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
        if time.monotonic() >= ends:  # the system's clock, the same in every process
            return best


class Runs:
    """A pool of worker processes, one per core, that runs the genetic
    algorithm on the blocks it is given."""

    def __init__(self) -> None:
        self.workers = os.cpu_count() or 1
        self.pool = ProcessPoolExecutor(self.workers, mp_context=multiprocessing.get_context("spawn"))

    def __enter__(self) -> Runs:
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        # After Ctrl-C the workers have their own KeyboardInterrupt: do not wait.
        self.pool.shutdown(wait=error is None, cancel_futures=True)

    def best(self, graph: Graph, seconds: float) -> np.ndarray:
        """The best order of independent runs on every core for `seconds`."""
        n = graph.n
        flat = np.zeros(n * n)
        flat[graph.rows().astype(np.int64) * n + graph.indices] = 1.0
        generations = int(max(1, min(500, HISTORY_BYTES // (POPULATION * n * 8))))
        cells = flat.tolist()
        ends = time.monotonic() + seconds
        jobs = [self.pool.submit(_runs, cells, n, generations, ends) for _ in range(self.workers)]
        return np.asarray(min(job.result() for job in jobs)[1], dtype=np.int32)
