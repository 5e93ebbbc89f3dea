#!/usr/bin/env python3
"""Compare ovila_genetic_py.sequence_sga with the same genetic algorithm written
with DEAP and with numpy, on design structure matrix sequencing (FeedbackMarks).

One invocation runs every workload in one process, alternating the
implementations (module, DEAP, numpy, numpy by rows, module, ...), and prints
a table of evaluations per second and the median ratios. The numpy version
scores population-wide (one broadcast gather per batch); the same algorithm
scoring one chromosome at a time, which is faster here, is timed beside it.

    python benchmarks/compare.py            # full run (about a minute)
    python benchmarks/compare.py --quick    # small smoke run

Run numpy numbers with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, e.g.
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/compare.py
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import statistics
import sys
import time
from dataclasses import dataclass

import numpy as np
import ovila_genetic_py as og
from deap import algorithms, base, creator, tools

P_CROSSOVER = 0.9
P_MUTATION = 0.2
P_SWAP = 0.05
DENSITY = 0.1
MATRIX_SEED = 20240611


@dataclass(frozen=True)
class Workload:
    n: int
    pop: int
    generations: int


FULL = (Workload(100, 100, 100), Workload(300, 100, 20), Workload(1000, 100, 5))
QUICK = (Workload(30, 20, 5), Workload(60, 20, 3))

# Targets: (times DEAP's evaluations/s, times numpy's evaluations/s).
TARGETS = {100: (150.0, 50.0), 300: (200.0, 100.0), 1000: (200.0, 100.0)}


def make_matrix(n: int) -> np.ndarray:
    """Random 0/1 dependency matrix (density 0.1, empty diagonal) from a fixed seed."""
    rng = np.random.default_rng(MATRIX_SEED + n)
    m = rng.random((n, n)) < DENSITY
    np.fill_diagonal(m, False)
    return m


def marks_fitness(n: int, marks):
    """FeedbackMarks with offset 1: 1 + n(n-1)/2 - marks above the diagonal."""
    return 1 + n * (n - 1) // 2 - marks


# ---------------------------------------------------------------------------
# This module
# ---------------------------------------------------------------------------


def expected_module_evaluations(w: Workload) -> float:
    """Expected number of scorings in one sequence_sga run.

    Generation 0 scores every chromosome. Afterwards a chromosome is scored
    exactly when its fitness is absent: it is a child of a crossed pair
    (probability p_crossover per pair) or it was mutated (probability
    p_mutation per chromosome). So each later chromosome is scored with
    probability 1 - (1 - p_crossover) * (1 - p_mutation).
    """
    p_scored = 1.0 - (1.0 - P_CROSSOVER) * (1.0 - P_MUTATION)
    return w.pop * (1.0 + w.generations * p_scored)


def module_run(w: Workload, evaluator):
    settings = og.SequencingSettings(
        n_genes=w.n,
        p_crossover=P_CROSSOVER,
        p_mutation=P_MUTATION,
        n_chromosomes=w.pop,
        n_generations=w.generations,
        n_records=None,
        n_hall_of_fame=1,
    )
    return og.sequence_sga(
        settings,
        og.GeneratorKinds.RandomSequence,
        evaluator,
        og.RecorderKinds.FitnessStatistics,
        og.SelectorKinds.Roulette,
        og.CrossoverKinds.IPX,
        og.MutatorSwap(P_SWAP),
        og.ConvergenceKinds.Never,
    )


def time_module(w: Workload, evaluator, min_seconds: float) -> tuple[float, float, int]:
    """Seconds per call, expected evaluations per call, calls made.

    The call is repeated until min_seconds have passed (a single run can be
    a few milliseconds); each timed span covers the sequence_sga call only,
    and the returned lineage is released outside it.
    """
    elapsed = 0.0
    calls = 0
    while elapsed < min_seconds or calls < 3:
        start = time.perf_counter()
        lineage = module_run(w, evaluator)
        elapsed += time.perf_counter() - start
        calls += 1
        del lineage
    return elapsed / calls, expected_module_evaluations(w), calls


def module_scoring_check(w: Workload, evaluator, matrix: np.ndarray) -> str:
    """Untimed sanity checks on one run: the best fitness matches a numpy
    rescoring, and a lower bound on the chromosomes scored (those of
    generations 2..G not found in the previous generation) next to the
    expected count for those generations."""
    lineage = module_run(w, evaluator)
    best = lineage.hall_of_fame.chromosomes[0]
    genes = np.asarray(best.genes)
    marks = int(np.count_nonzero(np.triu(matrix[np.ix_(genes, genes)], 1)))
    ok = marks_fitness(w.n, marks) == best.fitness
    gens = [[tuple(c.genes) for c in p.chromosomes] for p in reversed(lineage.generations)]
    lower = 0
    for previous, current in zip(gens, gens[1:]):
        seen = set(previous)
        lower += sum(1 for g in current if g not in seen)
    p_scored = 1.0 - (1.0 - P_CROSSOVER) * (1.0 - P_MUTATION)
    expected = w.pop * (len(gens) - 1) * p_scored
    return (
        f"best fitness rescored by numpy: {'ok' if ok else 'MISMATCH'}; "
        f"new chromosomes seen in generations 2..{w.generations}: {lower} "
        f"(expected scorings there {expected:.0f})"
    )


# ---------------------------------------------------------------------------
# DEAP: eaSimple with roulette, keep-and-fill crossover, shuffle-index mutation
# ---------------------------------------------------------------------------

creator.create("FitnessMax", base.Fitness, weights=(1.0,))
creator.create("Individual", list, fitness=creator.FitnessMax)


def cx_keep_fill(ind1, ind2):
    """Keeps each position with probability 1/2 from the individual's own
    parent (the same positions in both children) and fills the other
    positions, in order, with the other parent's genes not kept."""
    keep = [random.random() < 0.5 for _ in range(len(ind1))]
    p1 = list(ind1)
    p2 = list(ind2)
    kept1 = {g for g, k in zip(p1, keep) if k}
    kept2 = {g for g, k in zip(p2, keep) if k}
    fill1 = iter([g for g in p2 if g not in kept1])
    fill2 = iter([g for g in p1 if g not in kept2])
    ind1[:] = [g if k else next(fill1) for g, k in zip(p1, keep)]
    ind2[:] = [g if k else next(fill2) for g, k in zip(p2, keep)]
    return ind1, ind2


def deap_toolbox(w: Workload, matrix: np.ndarray) -> base.Toolbox:
    upper = np.triu(np.ones((w.n, w.n), dtype=bool), 1)

    def evaluate(individual):
        order = np.asarray(individual)
        marks = np.count_nonzero(matrix[order][:, order] & upper)
        return (float(marks_fitness(w.n, int(marks))),)

    toolbox = base.Toolbox()
    toolbox.register("indices", random.sample, range(w.n), w.n)
    toolbox.register("individual", tools.initIterate, creator.Individual, toolbox.indices)
    toolbox.register("population", tools.initRepeat, list, toolbox.individual)
    toolbox.register("evaluate", evaluate)
    toolbox.register("mate", cx_keep_fill)
    toolbox.register("mutate", tools.mutShuffleIndexes, indpb=P_SWAP)
    toolbox.register("select", tools.selRoulette)
    return toolbox


def time_deap(w: Workload, matrix: np.ndarray, seed: int) -> tuple[float, int]:
    """Seconds and evaluations (the logbook's nevals) of one eaSimple run."""
    random.seed(seed)
    toolbox = deap_toolbox(w, matrix)
    stats = tools.Statistics(lambda ind: ind.fitness.values[0])
    stats.register("min", np.min)
    stats.register("max", np.max)
    stats.register("mean", np.mean)
    stats.register("var", np.var)
    start = time.perf_counter()
    population = toolbox.population(n=w.pop)
    hof = tools.HallOfFame(1)
    _, logbook = algorithms.eaSimple(
        population, toolbox, cxpb=P_CROSSOVER, mutpb=P_MUTATION, ngen=w.generations,
        stats=stats, halloffame=hof, verbose=False,
    )
    elapsed = time.perf_counter() - start
    return elapsed, int(sum(logbook.select("nevals")))


# ---------------------------------------------------------------------------
# numpy: the same algorithm vectorised over the population
# ---------------------------------------------------------------------------

def numpy_score(matrix: np.ndarray, upper: np.ndarray, orders: np.ndarray) -> np.ndarray:
    """FeedbackMarks fitness of each row of `orders`, dense and population-wide:
    one broadcast gather permutes the 0/1 matrix for every chromosome of the
    batch at once, and the marks above the diagonal are counted per
    chromosome."""
    n = orders.shape[1]
    permuted = matrix[orders[:, :, None], orders[:, None, :]]
    marks = np.count_nonzero(permuted & upper, axis=(1, 2))
    return marks_fitness(n, marks)


def numpy_score_rows(matrix: np.ndarray, upper: np.ndarray, orders: np.ndarray) -> np.ndarray:
    """The same fitness, one chromosome at a time with two contiguous takes
    (rows, then columns). Not population-wide, but on this machine 2 to 6
    times faster than the broadcast gather, so it is timed as well: the
    stronger of the two numpy baselines."""
    n = orders.shape[1]
    marks = np.fromiter((np.count_nonzero(matrix[o][:, o] & upper) for o in orders), dtype=np.int64,
                        count=len(orders))
    return marks_fitness(n, marks)


def numpy_keep_fill(rng: np.random.Generator, p1: np.ndarray, p2: np.ndarray):
    """Keep-and-fill crossover of row pairs, vectorised over the pairs."""
    k, n = p1.shape
    keep = rng.random((k, n)) < 0.5
    rows = np.arange(k)[:, None]

    def child(own, other):
        kept_gene = np.zeros((k, n), dtype=bool)
        kept_gene[rows, own] = keep            # gene own[r, i] kept in row r
        donor_free = ~kept_gene[rows, other]   # other's genes not kept, in order
        c = own.copy()
        c[~keep] = other[donor_free]           # row-major: per-row order preserved
        return c

    return child(p1, p2), child(p2, p1)


def time_numpy(w: Workload, matrix: np.ndarray, seed: int, score=numpy_score) -> tuple[float, int]:
    rng = np.random.default_rng(seed)
    n, pop = w.n, w.pop
    upper = np.triu(np.ones((n, n), dtype=bool), 1)
    start = time.perf_counter()
    genes = np.argsort(rng.random((pop, n)), axis=1)
    fitness = score(matrix, upper, genes).astype(np.float64)
    evaluations = pop
    best_fitness = fitness.max()
    best_genes = genes[fitness.argmax()].copy()
    records = [(fitness.min(), fitness.max(), fitness.mean(), fitness.var())]
    half = pop // 2
    for _ in range(w.generations):
        # Roulette selection.
        cumulative = np.cumsum(fitness)
        picks = np.searchsorted(cumulative, rng.random(pop) * cumulative[-1])
        genes = genes[np.minimum(picks, pop - 1)]
        fitness = fitness[np.minimum(picks, pop - 1)]
        changed = np.zeros(pop, dtype=bool)
        # Crossover of pairs (0, 1), (2, 3), ...
        crossed = np.nonzero(rng.random(half) <= P_CROSSOVER)[0]
        if len(crossed):
            first, second = 2 * crossed, 2 * crossed + 1
            c1, c2 = numpy_keep_fill(rng, genes[first], genes[second])
            genes[first], genes[second] = c1, c2
            changed[first] = changed[second] = True
        # Swap mutation: each position starts a swap with probability p_swap.
        for r in np.nonzero(rng.random(pop) < P_MUTATION)[0]:
            row = genes[r].tolist()
            starts = np.nonzero(rng.random(n) <= P_SWAP)[0].tolist()
            partners = rng.integers(0, n - 1, size=len(starts)).tolist()
            for j, k in zip(starts, partners):
                if k >= j:
                    k += 1
                row[j], row[k] = row[k], row[j]
            genes[r] = row
            changed[r] = True
        # Score the changed chromosomes only.
        idx = np.nonzero(changed)[0]
        fitness[idx] = score(matrix, upper, genes[idx])
        evaluations += len(idx)
        g = fitness.argmax()
        if fitness[g] > best_fitness:
            best_fitness, best_genes = fitness[g], genes[g].copy()
        records.append((fitness.min(), fitness.max(), fitness.mean(), fitness.var()))
    elapsed = time.perf_counter() - start
    return elapsed, evaluations


# ---------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------


def blas_note() -> str:
    set_ = [f"{v}={os.environ[v]}" for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if v in os.environ]
    note = "OpenBLAS variables: " + (", ".join(set_) + " SET (may slow numpy)" if set_ else "unset")
    try:
        from threadpoolctl import threadpool_info

        kernels = {i.get("internal_api"): i.get("architecture") for i in threadpool_info()}
        note += f"; threadpoolctl: {kernels}"
    except ImportError:
        pass
    return note


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small smoke run")
    parser.add_argument("--reps", type=int, default=3, help="alternated repetitions (default 3)")
    parser.add_argument("--sizes", type=int, nargs="*", help="only these n (full workloads)")
    args = parser.parse_args(argv)

    workloads = QUICK if args.quick else FULL
    if args.sizes:
        workloads = tuple(w for w in workloads if w.n in args.sizes)
    min_module_seconds = 0.05 if args.quick else 0.3

    print(f"python {platform.python_version()}, numpy {np.__version__}, cpus {os.cpu_count()}")
    print(blas_note())
    print(f"p_crossover {P_CROSSOVER}, p_mutation {P_MUTATION}, p_swap {P_SWAP}, density {DENSITY}, "
          f"{args.reps} alternated repetitions\n")

    rows = []
    for w in workloads:
        matrix = make_matrix(w.n)
        start = time.perf_counter()
        evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, matrix.astype(np.float64).ravel().tolist(),
                                       None)
        build = time.perf_counter() - start
        print(f"n={w.n} pop={w.pop} G={w.generations}: "
              f"{module_scoring_check(w, evaluator, matrix)}; "
              f"EvaluatorMatrix built once in {build * 1e3:.1f} ms (not timed)")
        sample = np.argsort(np.random.default_rng(w.n).random((8, w.n)), axis=1)
        upper = np.triu(np.ones((w.n, w.n), dtype=bool), 1)
        if not np.array_equal(numpy_score(matrix, upper, sample), numpy_score_rows(matrix, upper, sample)):
            raise AssertionError("the two numpy scorings disagree")
        rates = {"module": [], "deap": [], "numpy": [], "numpy_rows": []}
        for rep in range(args.reps):
            seconds, evals, calls = time_module(w, evaluator, min_module_seconds)
            rates["module"].append(evals / seconds)
            seconds_d, evals_d = time_deap(w, matrix, seed=1000 * rep + w.n)
            rates["deap"].append(evals_d / seconds_d)
            seconds_n, evals_n = time_numpy(w, matrix, seed=1000 * rep + w.n)
            rates["numpy"].append(evals_n / seconds_n)
            seconds_r, evals_r = time_numpy(w, matrix, seed=1000 * rep + w.n, score=numpy_score_rows)
            rates["numpy_rows"].append(evals_r / seconds_r)
            print(f"  rep {rep}: module {seconds * 1e3:8.2f} ms/run ({calls} runs, {evals:.0f} expected evals), "
                  f"DEAP {seconds_d * 1e3:8.1f} ms ({evals_d} evals), numpy {seconds_n * 1e3:8.1f} ms "
                  f"({evals_n} evals), numpy by rows {seconds_r * 1e3:8.1f} ms ({evals_r} evals)")
            sys.stdout.flush()
        ratios = {k: statistics.median(m / x for m, x in zip(rates["module"], rates[k]))
                  for k in ("deap", "numpy", "numpy_rows")}
        rows.append((w, {k: statistics.median(v) for k, v in rates.items()}, ratios))

    print()
    print("evaluations per second (median over repetitions; module count is the expected count);")
    print("numpy: population-wide dense scoring; numpy rows: the same algorithm scoring one chromosome at a time")
    header = (f"{'n':>5} {'pop':>4} {'G':>4} | {'module':>12} {'DEAP':>9} {'numpy':>9} {'np rows':>9} | "
              f"{'x DEAP':>7} {'x numpy':>7} {'x rows':>7} | targets (x DEAP, x numpy)")
    print(header)
    print("-" * len(header))
    for w, med, ratios in rows:
        target = TARGETS.get(w.n)
        if target:
            met = f"{target[0]:.0f}x {'met' if ratios['deap'] >= target[0] else 'NOT met'}, " \
                  f"{target[1]:.0f}x {'met' if ratios['numpy'] >= target[1] else 'NOT met'}"
        else:
            met = "-"
        print(f"{w.n:>5} {w.pop:>4} {w.generations:>4} | {med['module']:>12,.0f} {med['deap']:>9,.0f} "
              f"{med['numpy']:>9,.0f} {med['numpy_rows']:>9,.0f} | {ratios['deap']:>7.1f} {ratios['numpy']:>7.1f} "
              f"{ratios['numpy_rows']:>7.1f} | {met}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
