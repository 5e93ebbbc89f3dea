#!/usr/bin/env python3
"""Time two builds of the module against each other in one process.

Loads two copies of the extension (for example the installed one and one
built from an earlier commit) and runs the workloads of compare.py
(FeedbackMarks, population 100, IPX, swap mutation) with each, alternating
the builds, and prints the median and fastest milliseconds per run.

    pip install --target /tmp/before <checkout of the earlier commit>
    python benchmarks/builds.py /tmp/before/ovila_genetic_py*.so \\
        .venv/lib/python3*/site-packages/ovila_genetic_py*.so
"""
from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import random
import statistics
import time

WORKLOADS = ((100, 100, 10), (300, 20, 10), (1000, 5, 5))  # n, generations, runs per timing


def load(path: str):
    """The extension at `path`, loaded apart from any other copy."""
    loader = importlib.machinery.ExtensionFileLoader("ovila_genetic_py", path)
    spec = importlib.util.spec_from_file_location("ovila_genetic_py", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def workload(og, n: int, generations: int, cells: list[float]):
    settings = og.SequencingSettings(n_genes=n, p_crossover=0.9, p_mutation=0.2, n_chromosomes=100,
                                     n_generations=generations)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, cells, None)
    return lambda: og.sequence_sga(settings, og.GeneratorKinds.RandomSequence, evaluator,
                                   og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Roulette,
                                   og.CrossoverKinds.IPX, og.MutatorSwap(0.05), og.ConvergenceKinds.Never)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("first", help="path of the first build (e.g. before a change)")
    parser.add_argument("second", help="path of the second build (e.g. after it)")
    parser.add_argument("--reps", type=int, default=15, help="alternated repetitions (default 15)")
    args = parser.parse_args()
    builds = {"first": load(args.first), "second": load(args.second)}
    for n, generations, inner in WORKLOADS:
        rng = random.Random(n)
        cells = [1.0 if rng.random() < 0.1 and i // n != i % n else 0.0 for i in range(n * n)]
        runs = {name: workload(og, n, generations, cells) for name, og in builds.items()}
        times: dict[str, list[float]] = {name: [] for name in builds}
        for run in runs.values():
            run()
        for rep in range(args.reps):
            for name in (("first", "second") if rep % 2 == 0 else ("second", "first")):
                start = time.perf_counter()
                for _ in range(inner):
                    runs[name]()
                times[name].append((time.perf_counter() - start) / inner * 1e3)
        first, second = statistics.median(times["first"]), statistics.median(times["second"])
        print(f"n={n:5d} G={generations:3d}: first {first:7.2f} ms/run, second {second:7.2f} ms/run, "
              f"second/first {second / first:5.3f} (fastest {min(times['first']):.2f} / {min(times['second']):.2f})",
              flush=True)


if __name__ == "__main__":
    main()
