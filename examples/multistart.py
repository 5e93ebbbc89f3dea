"""Run many independent sequencing runs in parallel and keep the best order.

One call of ``ovila_genetic_py.sequence_sga`` holds the interpreter lock from
start to end, so threads do not help; separate processes do.  Every run starts
from its own random population (the module seeds each run from the operating
system), so K independent runs explore K different parts of the search space
and the best of them is usually better than a single run.

This example spreads the runs over

* a Dask cluster (``dask.distributed``): by default a ``LocalCluster`` with one
  single-threaded worker process per core, or an existing scheduler given with
  ``--scheduler ADDRESS`` (start one with ``dask scheduler`` and attach
  ``dask worker ADDRESS`` on every machine that has ``ovila_genetic_py``
  installed);
* or runs them one after another (``--executor serial``; the default when
  ``distributed`` is not installed).

For independent runs on every core of one machine without Dask, the
``ovila_dsm`` package does it: ``ovila_dsm.sequence(matrix, method="sga")``
runs the genetic algorithm in worker processes of its own, one per core,
and keeps the best order.

Only plain data travels between processes: the task is a dict of numbers,
strings and the flat matrix; ``run_one`` builds the module's objects inside
the worker, runs, and returns the hall of fame and the per-generation bests as
lists of numbers.

Examples::

    python examples/multistart.py --runs 8 --n 300 --generations 200
    python examples/multistart.py --input examples/data/process-13-tasks.csv --runs 16
    python examples/multistart.py --executor serial --runs 4
    python examples/multistart.py --scheduler tcp://scheduler-host:8786 --runs 64
"""

from __future__ import annotations

import argparse
import os
import random
import socket
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, Literal, TypedDict

import ovila_genetic_py as og
from sequence_dsm import read_dsm

SELECTORS: tuple[str, ...] = ("Roulette", "Random")
# Only the order-keeping crossover operators make sense for sequencing; "Point"
# may repeat or drop items, which the evaluators then score as they are.
CROSSOVERS: tuple[str, ...] = ("IPX", "Point")
EVALUATORS: tuple[str, ...] = ("FeedbackMarks", "FeedbackDistance", "LowerLeftDistance")
EXECUTORS: tuple[str, ...] = ("auto", "dask", "serial")

ExecutorName = Literal["auto", "dask", "serial"]
# Where the worker processes of one machine live now.
ON_EVERY_CORE = ("for runs on every core of this machine without Dask, use "
                 "ovila_dsm.sequence(matrix, method='sga')")


class RunTask(TypedDict):
    """Everything one run needs, as plain picklable data."""

    index: int
    matrix: list[float]  # n*n cells, row-major
    n: int
    generations: int
    population: int
    hall_of_fame: int
    p_crossover: float
    p_mutation: float
    p_swap: float
    selector: str  # a name from SELECTORS
    crossover: str  # a name from CROSSOVERS
    evaluator: str  # a name from EVALUATORS
    offset: int | None  # None: the module's default offset (1)


class RunResult(TypedDict):
    """What one run sends back, as plain data."""

    index: int
    orders: list[list[int]]  # hall of fame orders, best first
    fitness: list[float]  # fitness of each hall of fame order
    best_per_record: list[float]  # best fitness of each kept generation, oldest first
    seconds: float  # time spent inside the run
    worker: str  # "host:pid" of the process that ran it


class BestOrder(TypedDict):
    run: int
    order: list[int]
    fitness: float


class MultistartResult(TypedDict):
    runs: list[RunResult]  # ordered by run index
    best: BestOrder
    seconds: float  # wall time of the whole multistart
    executor: str  # executor that was actually used


def _kind(enum: Any, name: str, allowed: Sequence[str], what: str) -> Any:
    """Look a kind up by name; the kinds themselves are not hashable."""
    if name not in allowed:
        raise ValueError(f"unknown {what} {name!r}; choose one of {', '.join(allowed)}")
    return getattr(enum, name)


def run_one(task: RunTask) -> RunResult:
    """Run one genetic algorithm from plain data and return plain data.

    This is the function that the executors call inside their worker processes.
    """
    n = int(task["n"])
    matrix = [float(x) for x in task["matrix"]]
    if len(matrix) != n * n:
        raise ValueError(f"the matrix has {len(matrix)} cells, expected {n}*{n}")
    settings = og.SequencingSettings(
        n_genes=n,
        p_crossover=float(task["p_crossover"]),
        p_mutation=float(task["p_mutation"]),
        n_chromosomes=int(task["population"]),
        n_generations=int(task["generations"]),
        n_records=None,
        n_hall_of_fame=int(task["hall_of_fame"]),
    )
    evaluator = og.EvaluatorMatrix(
        _kind(og.EvaluatorKinds, task["evaluator"], EVALUATORS, "evaluator"),
        matrix,
        task["offset"],
    )
    selector = _kind(og.SelectorKinds, task["selector"], SELECTORS, "selector")
    crossover = _kind(og.CrossoverKinds, task["crossover"], CROSSOVERS, "crossover")

    start = time.perf_counter()
    lineage = og.sequence_sga(
        settings,
        og.GeneratorKinds.RandomSequence,
        evaluator,
        og.RecorderKinds.FitnessStatistics,
        selector,
        crossover,
        og.MutatorSwap(float(task["p_swap"])),
        og.ConvergenceKinds.Never,
    )
    seconds = time.perf_counter() - start

    # Read only the hall of fame and the records: every attribute read copies,
    # and the kept populations can be large.
    hall = lineage.hall_of_fame.chromosomes
    records = lineage.records  # newest first
    return RunResult(
        index=int(task["index"]),
        orders=[[int(g) for g in c.genes] for c in hall],
        # Every hall of fame entry has been scored; NaN would mark a missing score.
        fitness=[float("nan") if c.fitness is None else float(c.fitness) for c in hall],
        best_per_record=[float(r.max) for r in reversed(records)],
        seconds=seconds,
        worker=f"{socket.gethostname()}:{os.getpid()}",
    )


def make_tasks(
    matrix: Sequence[float],
    n: int,
    runs: int,
    *,
    generations: int = 200,
    population: int = 100,
    hall_of_fame: int = 5,
    p_crossover: float = 0.9,
    p_mutation: float = 0.2,
    p_swap: float = 0.05,
    selector: str = "Roulette",
    crossover: str = "IPX",
    evaluator: str = "FeedbackMarks",
    offset: int | None = None,
) -> list[RunTask]:
    """Build K identical run descriptions (only the index differs)."""
    if len(matrix) != n * n:
        raise ValueError(f"the matrix has {len(matrix)} cells, expected {n}*{n}")
    if runs < 1:
        raise ValueError("runs must be at least 1")
    for name, allowed, what in (
        (selector, SELECTORS, "selector"),
        (crossover, CROSSOVERS, "crossover"),
        (evaluator, EVALUATORS, "evaluator"),
    ):
        if name not in allowed:
            raise ValueError(f"unknown {what} {name!r}; choose one of {', '.join(allowed)}")
    flat = [float(x) for x in matrix]
    return [
        RunTask(
            index=i,
            matrix=flat,
            n=n,
            generations=generations,
            population=population,
            hall_of_fame=hall_of_fame,
            p_crossover=p_crossover,
            p_mutation=p_mutation,
            p_swap=p_swap,
            selector=selector,
            crossover=crossover,
            evaluator=evaluator,
            offset=offset,
        )
        for i in range(runs)
    ]


def available_cores() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return max(1, os.cpu_count() or 1)


def dask_available() -> bool:
    try:
        import distributed  # noqa: F401
    except ImportError:
        return False
    return True


Progress = Callable[[int, int, RunResult], None]


def _run_serial(tasks: list[RunTask], progress: Progress | None) -> list[RunResult]:
    results: list[RunResult] = []
    for task in tasks:
        result = run_one(task)
        results.append(result)
        if progress is not None:
            progress(len(results), len(tasks), result)
    return results


def _run_dask(
    tasks: list[RunTask],
    scheduler: str | None,
    workers: int | None,
    progress: Progress | None,
) -> list[RunResult]:
    from contextlib import ExitStack

    from distributed import Client, LocalCluster, as_completed

    with ExitStack() as stack:
        if scheduler is None:
            # distributed's constructors carry no annotations, hence the ignores.
            cluster = stack.enter_context(
                LocalCluster(  # type: ignore[no-untyped-call, unused-ignore]
                    n_workers=workers or available_cores(),
                    threads_per_worker=1,
                    processes=True,
                    dashboard_address=None,
                )
            )
            client = stack.enter_context(
                Client(cluster)  # type: ignore[no-untyped-call, unused-ignore]
            )
        else:
            client = stack.enter_context(
                Client(scheduler)  # type: ignore[no-untyped-call, unused-ignore]
            )
        # Each task carries its own copy of the matrix: for matrices of a few
        # hundred items this is far cheaper than client.scatter of a long list.
        # pure=False: identical descriptions are still independent random runs.
        futures = client.map(run_one, tasks, pure=False)
        results: list[RunResult] = []
        for future in as_completed(futures):  # type: ignore[no-untyped-call, unused-ignore]
            result: RunResult = future.result()
            results.append(result)
            if progress is not None:
                progress(len(results), len(tasks), result)
        return results


def resolve_executor(executor: str) -> str:
    if executor == "process":
        raise ValueError(f"the executor 'process' is gone: {ON_EVERY_CORE}")
    if executor not in EXECUTORS:
        raise ValueError(f"unknown executor {executor!r}; choose one of {', '.join(EXECUTORS)}")
    if executor == "auto":
        return "dask" if dask_available() else "serial"
    return executor


def multistart(
    matrix: Sequence[float],
    n: int,
    runs: int,
    *,
    generations: int = 200,
    population: int = 100,
    hall_of_fame: int = 5,
    p_crossover: float = 0.9,
    p_mutation: float = 0.2,
    p_swap: float = 0.05,
    selector: str = "Roulette",
    crossover: str = "IPX",
    evaluator: str = "FeedbackMarks",
    offset: int | None = None,
    executor: ExecutorName | str = "auto",
    scheduler: str | None = None,
    workers: int | None = None,
    progress: Progress | None = None,
) -> MultistartResult:
    """Run ``runs`` independent runs on ``matrix`` (flat, n*n, row-major).

    ``executor`` is "dask" (a new LocalCluster with ``workers`` single-threaded
    worker processes, or the scheduler at ``scheduler``), "serial", or "auto"
    (dask when ``distributed`` is installed, otherwise serial).  ``progress`` is
    called as ``progress(done, total, result)`` each time a run completes.
    """
    tasks = make_tasks(
        matrix,
        n,
        runs,
        generations=generations,
        population=population,
        hall_of_fame=hall_of_fame,
        p_crossover=p_crossover,
        p_mutation=p_mutation,
        p_swap=p_swap,
        selector=selector,
        crossover=crossover,
        evaluator=evaluator,
        offset=offset,
    )
    used = resolve_executor(executor)
    if scheduler is not None and used != "dask":
        raise ValueError("a scheduler address needs the dask executor")
    start = time.perf_counter()
    if used == "serial":
        results = _run_serial(tasks, progress)
    else:
        results = _run_dask(tasks, scheduler, workers, progress)
    seconds = time.perf_counter() - start
    results.sort(key=lambda r: r["index"])
    return MultistartResult(runs=results, best=best_of(results), seconds=seconds, executor=used)


def best_of(results: Iterable[RunResult]) -> BestOrder:
    """The best order over all runs; ties go to the lower run index."""
    best: BestOrder | None = None
    for r in results:
        if r["fitness"] and (best is None or r["fitness"][0] > best["fitness"]):
            best = BestOrder(run=r["index"], order=r["orders"][0], fitness=r["fitness"][0])
    if best is None:
        raise ValueError("no run returned an order (is the hall of fame size 0?)")
    return best


# --- input ---------------------------------------------------------------------


def random_dsm(n: int, density: float, seed: int | None) -> list[float]:
    """A random 0/1 matrix with an empty diagonal, row-major."""
    rng = random.Random(seed)
    return [
        1.0 if i != j and rng.random() < density else 0.0 for i in range(n) for j in range(n)
    ]


def feedback_marks(matrix: Sequence[float], n: int, order: Sequence[int]) -> int:
    """Number of marks above the diagonal once rows and columns are in ``order``."""
    return sum(
        1
        for a in range(len(order))
        for b in range(a + 1, len(order))
        if matrix[order[a] * n + order[b]] != 0
    )


# --- command line --------------------------------------------------------------


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Run K independent genetic sequencing runs of one DSM in parallel "
        "(Dask or a process pool) and keep the best order.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    source = parser.add_argument_group("matrix")
    source.add_argument(
        "--input",
        metavar="FILE",
        help="DSM file read by ovila_dsm.read_dsm (labelled or unlabelled table, edge list; CSV, TSV, "
        "semicolon or .xlsx); without it, a random DSM",
    )
    source.add_argument("--n", type=int, default=60, help="items of the random DSM (2 to 3000)")
    source.add_argument("--density", type=float, default=0.1, help="share of marked cells of the random DSM (0 to 1)")
    source.add_argument("--seed", type=int, default=1, help="seed of the random DSM")

    run = parser.add_argument_group("runs")
    run.add_argument("--runs", type=int, default=8, help="number of independent runs (K)")
    run.add_argument("--generations", type=int, default=200, help="generations of each run after the first")
    run.add_argument("--population", type=int, default=100, help="orders (chromosomes) per generation, at least 2")
    run.add_argument("--hall-of-fame", type=int, default=5, help="orders kept per run")
    run.add_argument("--p-crossover", type=float, default=0.9, help="probability that two parents are crossed")
    run.add_argument("--p-mutation", type=float, default=0.2, help="probability that a child is mutated")
    run.add_argument("--p-swap", type=float, default=0.05,
                     help="probability that each position of a mutated child swaps with another")
    run.add_argument("--selector", choices=SELECTORS, default="Roulette",
                     help="parent selection: in proportion to fitness, or uniform")
    run.add_argument("--crossover", choices=CROSSOVERS, default="IPX",
                     help="IPX keeps every child an order of all items; Point may repeat or drop items")
    run.add_argument("--evaluator", choices=EVALUATORS, default="FeedbackMarks", help="the fitness function")

    where = parser.add_argument_group("where to run")
    where.add_argument(
        "--executor",
        choices=EXECUTORS,
        default="auto",
        help="auto: dask if 'distributed' is installed, else a process pool",
    )
    where.add_argument(
        "--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler (implies dask); none: a new local cluster"
    )
    where.add_argument(
        "--workers",
        type=int,
        default=None,
        help="processes of the local cluster or pool; none: one per core",
    )
    args = parser.parse_args(argv)
    if args.scheduler is not None:
        if args.executor not in ("auto", "dask"):
            parser.error("--scheduler needs --executor dask")
        args.executor = "dask"
    if args.executor == "dask" and not dask_available():
        parser.error("--executor dask needs 'distributed' (pip install 'dask[distributed]')")
    if args.runs < 1 or args.population < 2 or args.generations < 0 or args.hall_of_fame < 1:
        parser.error("--runs and --hall-of-fame must be >= 1, --population >= 2")
    if args.input is None and not 2 <= args.n <= 3000:
        parser.error("--n must be between 2 and 3000")
    if not 0.0 <= args.density <= 1.0:
        parser.error("--density must be between 0 and 1")
    for name in ("p_crossover", "p_mutation", "p_swap"):
        if not 0.0 <= getattr(args, name) <= 1.0:
            parser.error(f"--{name.replace('_', '-')} must be between 0 and 1")
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    return args


def print_progress(done: int, total: int, result: RunResult) -> None:
    best = result["fitness"][0] if result["fitness"] else float("nan")
    # On a terminal the count is redrawn on one line; in a log, one line per run.
    tty = sys.stderr.isatty()
    print(
        f"{chr(13) if tty else ''}[{done}/{total}] run {result['index']} done: best {best:g} "
        f"({result['seconds']:.2f} s on {result['worker']})",
        end="\n" if done == total or not tty else "",
        file=sys.stderr,
        flush=True,
    )


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.input is not None:
        try:
            names, matrix = read_dsm(Path(args.input))
        except OSError as error:
            print(f"error: {args.input}: {error.strerror or error}", file=sys.stderr)
            return 2
        except ValueError as error:  # the file is not a readable matrix
            print(f"error: {error}", file=sys.stderr)
            return 2
        n = len(names)
        source = args.input
    else:
        n = args.n
        names = [f"item{i}" for i in range(n)]
        matrix = random_dsm(n, args.density, args.seed)
        source = f"random DSM n={n} density={args.density} seed={args.seed}"
    executor = resolve_executor(args.executor)
    where = args.scheduler or (
        "serial" if executor == "serial" else f"{args.workers or available_cores()} local processes"
    )
    print(f"{args.runs} runs of {source} on {executor} ({where})", file=sys.stderr)

    result = multistart(
        matrix,
        n,
        args.runs,
        generations=args.generations,
        population=args.population,
        hall_of_fame=args.hall_of_fame,
        p_crossover=args.p_crossover,
        p_mutation=args.p_mutation,
        p_swap=args.p_swap,
        selector=args.selector,
        crossover=args.crossover,
        evaluator=args.evaluator,
        executor=executor,
        scheduler=args.scheduler,
        workers=args.workers,
        progress=print_progress,
    )

    print("run  best fitness  seconds  worker")
    for r in result["runs"]:
        run_best = r["fitness"][0] if r["fitness"] else float("nan")
        print(f"{r['index']:>3}  {run_best:>12g}  {r['seconds']:>7.2f}  {r['worker']}")
    top = result["best"]
    order = top["order"]
    print(f"best of all: run {top['run']}, fitness {top['fitness']:g}, "
          f"{feedback_marks(matrix, n, order)} feedback marks")
    print("best order: " + " ".join(names[g] if 0 <= g < n else f"?{g}" for g in order))
    if sorted(order) != list(range(n)):
        print("note: the best order is not a permutation of the items "
              "(the Point crossover may repeat or drop items)")
    print(f"wall time: {result['seconds']:.2f} s "
          f"(sum of run times {sum(r['seconds'] for r in result['runs']):.2f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
