"""`sequence`: the best order of a matrix this machine can find, with a proof
when one can be had.

The matrix is split into strongly connected blocks, listed so that no mark
between two blocks is a feedback mark (every order that does otherwise is
worse). Each block of more than one item is ordered on its own: small blocks
by exact search, larger ones by searches and a proof working together on
the engine's shared block (see `_plan` for who runs what).

The work runs on helper threads; the calling thread only waits, reports
progress and takes Ctrl-C. Whatever ends the call (its result, Ctrl-C, an
error of the progress callback), every helper is stopped and waited for
before it returns or raises.
"""

from __future__ import annotations

import contextlib
import gc
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

from . import _order, _plan, _proof
from ._checks import check_seed, check_time_limit
from ._graph import Graph, Marks, coerce
from ._objective import check_objective, check_weights, integer_weights, totals

METHODS = ("auto", "heuristic", "sga")
# Threads working on a large block (the same on every machine, so that a
# seed gives one result everywhere).
CORES = 2
# How often the calling thread looks at the helpers and reports progress.
WAIT = 0.05
REPORT_EVERY = 0.25


@dataclass(frozen=True)
class Sequencing:
    """The result of `sequence`.

    `order` lists item indices, first first; `labels` names them in that order.
    `feedback_marks` counts the marks left above the diagonal, `feedback_weight`
    adds up their values (a mark without one counts 1) and `feedback_distance`
    their distances from the diagonal. `lower_bound` is proven for the
    `objective`: no order has less. `optimal` is true when the objective's
    value meets it; `tie_break_optimal` when the order is moreover the one
    the tie-break chooses among all orders of that value (least total
    distance, then fewest pairs out of the given order), as exact search
    proves it for blocks of up to 22 items. `blocks` are the strongly
    connected blocks, as lists of item indices in the returned order. `seed`
    reproduces the result.
    """

    order: list[int]
    labels: list[str]
    feedback_marks: int
    lower_bound: int | float
    optimal: bool
    blocks: list[list[int]]
    seconds: float
    method: str
    seed: int = field(default=0)
    objective: str = "marks"
    feedback_weight: float = 0.0
    feedback_distance: int = 0
    tie_break: bool = True
    tie_break_optimal: bool = False


class Progress(NamedTuple):
    """What a running sequencing reports (about four times a second): the
    objective's value of the best order so far (the number of feedback marks
    unless another objective was asked for) and its lower bound."""

    feedback_marks: int | float  # of the best order so far, for the objective
    lower_bound: int | float
    seconds: float  # since the call started
    time_limit: float


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during `sequence`; `best` holds the best order found until then."""

    def __init__(self, best: Sequencing) -> None:
        super().__init__("interrupted: the best order found so far is kept")
        self.best = best


def sequence(
    matrix: Any,
    *,
    labels: Any = None,
    seed: int | None = None,
    time_limit: float = 10.0,
    method: str = "auto",
    progress: Callable[[Progress], object] | None = None,
    objective: str = "marks",
    tie_break: bool = True,
) -> Sequencing:
    """The best order of `matrix` found within `time_limit` seconds.

    `matrix`: a square 2-D list or numpy array, a scipy.sparse matrix or
    array, a `Dsm`, or a flat row-major list of n*n cells; any cell that is
    not 0 is a mark (row i, column j: item i needs item j), the diagonal is
    ignored. `labels`: item names (default "1" ... "n"). `seed`: an integer
    makes the result reproducible (None draws one). `method`: "auto" (search
    and proof), "heuristic" (no proof attempted) or "sga" (the genetic
    algorithm of ovila_genetic_py, best of independent runs). `progress`, when
    given, is called with a `Progress` about four times a second; a true
    answer ends the search with the best order so far. `objective`: "marks"
    (fewest feedback marks), "weight" (least total value of the feedback
    marks; negative, infinite and NaN values are refused) or "distance"
    (least total distance of the feedback marks from the diagonal).
    `tie_break`: among orders equal in the objective, the one with the least
    total distance, then the fewest pairs out of the given order (False:
    the first one found, a little faster). Ctrl-C raises `Interrupted`, a
    KeyboardInterrupt carrying the best order so far.
    """
    started = time.perf_counter()
    limit = check_time_limit(time_limit)
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    objective = check_objective(objective)
    if not isinstance(tie_break, bool):
        raise TypeError(f"tie_break must be True or False, not {type(tie_break).__name__}")
    seed = check_seed(seed)

    def read() -> Marks:
        marks = coerce(matrix, labels)
        if objective == "weight":
            check_weights(marks)
        return marks

    run = _Run(read, seed, started, limit, method, objective, tie_break)
    return run.drive(progress)


@contextlib.contextmanager
def _no_collection() -> Iterator[None]:
    """The cyclic garbage collector paused (the lists made here hold no cycle)."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


class _Helper:
    """A call on a helper thread; its result or error is kept for the waiter.

    Completion is told by an event set as the call's last act: a
    `Thread.join` cut short by Ctrl-C may leave the thread marked as ended
    while it still runs (CPython before 3.12)."""

    def __init__(self, call: Callable[[], Any], name: str = "ovila-dsm") -> None:
        self.value: Any = None
        self.error: BaseException | None = None
        self.finished = threading.Event()

        def body() -> None:
            try:
                self.value = call()
            except BaseException as error:  # handed to the waiting thread
                self.error = error
            finally:
                self.finished.set()

        self.thread = threading.Thread(target=body, name=name, daemon=True)

    def start(self) -> _Helper:
        self.thread.start()
        return self

    def join(self, seconds: float | None = None) -> bool:
        """Waits up to `seconds` (None: until the call ends); true once it has."""
        if not self.finished.wait(seconds):
            return False
        self.thread.join()  # the thread ends right after its call
        return True


@dataclass
class _Part:
    """A block of more than one item: where it lies in the list of blocks,
    and the engine's shared block."""

    index: int
    block: _order.Block
    proof: _proof.Proof | None = None
    start: bytes = b""  # the order the searches start from (after the greedy start)
    # The final order of each search, (cost, salt, order), and whether the
    # proof finished with the block's optimum.
    found: list[tuple[int, int, bytes]] = field(default_factory=list)
    proven_order: bytes | None = None
    exact: bool = False  # solved by exact search (with the tie-break when asked)


class _Run:
    def __init__(
        self, read: Callable[[], Marks], seed: int, started: float, limit: float, method: str,
        objective: str = "marks", tie_break: bool = True,
    ) -> None:
        self.read = read
        self.objective = objective
        self.tie_break = tie_break
        self.scale = 1.0  # weights as the engine counts them, per unit of value
        self.marks = Marks(0, np.zeros(0, dtype=np.int32), np.zeros(0, dtype=np.int32), [])
        self.seed = seed
        self.started = started
        self.limit = limit
        self.deadline = started + limit
        self.method = method
        self.stopping = threading.Event()
        self.split_done = threading.Event()
        self.lock = threading.Lock()  # guards `proofs` and `parts` while the helpers work
        self.proofs: list[_proof.Proof] = []
        self.runs: Any = None  # the genetic algorithm's workers while they run
        self.parts: list[_Part] = []
        self.items = np.zeros(0, dtype=np.int32)
        self.starts = np.zeros(1, dtype=np.int32)

    # -- the calling thread

    def drive(self, progress: Callable[[Progress], object] | None) -> Sequencing:
        """Runs the work on a helper thread and waits for it: reports
        progress, takes Ctrl-C, and never leaves a helper running."""
        worker = _Helper(self.solve)
        interrupted = False
        failure: BaseException | None = None
        last = time.perf_counter()
        try:
            worker.start()  # Ctrl-C may come while it starts: it is then stopped below
            while not worker.join(WAIT):
                now = time.perf_counter()
                if progress is not None and now - last >= REPORT_EVERY and self.parts_known():
                    last = now
                    if progress(self.progress()):
                        self.stop()
        except KeyboardInterrupt:
            interrupted = True
            self.stop()
        except BaseException as error:  # from the progress callback
            failure = error
            self.stop()
        while True:  # once stopped, the helpers end within moments
            try:
                if not worker.thread.is_alive() and not worker.thread.ident:
                    break  # it never started
                if worker.join(WAIT):
                    break
            except KeyboardInterrupt:
                interrupted = True
                self.stop()
        if failure is not None:
            raise failure
        if worker.error is not None:
            if isinstance(worker.error, KeyboardInterrupt):
                interrupted = True
            else:
                raise worker.error
        result: Sequencing = worker.value
        if result is None:  # stopped before its thread began: the blocks as given
            self.marks = self.read()
            self.split()
            result = self.result()
        if interrupted:
            raise Interrupted(result)
        return result

    def parts_known(self) -> bool:
        return self.split_done.is_set()

    def progress(self) -> Progress:
        with self.lock:
            blocks = [part.block for part in self.parts]
        cost = sum(block.cost for block in blocks)
        bound = sum(min(block.bound, block.cost) for block in blocks)
        return Progress(self.units(cost), self.units(bound), time.perf_counter() - self.started, self.limit)

    def units(self, value: int) -> int | float:
        """An engine cost in the objective's units (weights scaled back)."""
        return value / self.scale if self.objective == "weight" and self.scale != 1.0 else value

    def stop(self) -> None:
        """Every helper ends soon: blocks stopped, proofs interrupted."""
        self.stopping.set()
        with self.lock:
            for part in self.parts:
                part.block.stop()
            for proof in self.proofs:
                proof.interrupt()
            if self.runs is not None:
                self.runs.kill()

    # -- the helper threads

    def left(self) -> float:
        return max(self.deadline - time.perf_counter(), 0.0)

    def solve(self) -> Sequencing:
        self.marks = self.read()
        self.split()
        if self.method == "sga":
            self.genetic()
        else:
            small = [p for p in self.parts if p.block.n <= _plan.EXACT_ITEMS]
            large = [p for p in self.parts if p.block.n > _plan.EXACT_ITEMS]
            for part in small:
                if self.stopping.is_set():
                    break
                if part.block.exact(self.left(), self.tie_break):
                    part.exact = True
                else:
                    large.append(part)  # out of time: what the searches make of it
            self.heuristic(large)
        return self.result()

    def split(self) -> None:
        marks = self.marks
        weights = None
        if self.objective == "weight":
            scaled, self.scale = integer_weights(marks)
            weights = scaled.tobytes()
        items, starts, blocks = _order.split(
            marks.n, marks.rows.tobytes(), marks.cols.tobytes(), weights, self.objective
        )
        parts = [_Part(index, block) for index, block in blocks]
        with self.lock:
            self.items = np.frombuffer(items, dtype=np.int32)
            self.starts = np.frombuffer(starts, dtype=np.int32)
            self.parts = parts
            if self.stopping.is_set():
                for part in parts:
                    part.block.stop()
        self.split_done.set()

    def salted(self, part: _Part, salt: int) -> int:
        first = int(self.items[self.starts[part.index]])
        state = np.random.SeedSequence(self.seed, spawn_key=(first, salt))
        return int(state.generate_state(1, np.uint64)[0])

    def heuristic(self, parts: list[_Part]) -> None:
        """Greedy start and quick bound for every block, then each block in
        turn, the one with most marks first, with its share of the time."""
        for part in parts:
            if self.stopping.is_set():
                return
            part.block.greedy(self.left())
            part.start = part.block.best()[0]
            part.block.cycle_bound(self.left() * _plan.BOUND_SHARE)
        pending = sorted(parts, key=lambda p: -p.block.marks)
        while pending and not self.stopping.is_set():
            part = pending.pop(0)
            share = _plan.shares([p.block.marks for p in [part, *pending]], self.left())[0]
            ends = time.perf_counter() + share
            if not part.block.done:
                self.work(part, share * (1 - _plan.TIE_BREAK_SHARE) if self.tie_break else share)
            self.settle(part, ends)

    def work(self, part: _Part, seconds: float) -> None:
        """The cores on one block, as the plan says. The search of core 0
        leads: the proof reads its orders at points of its own work, so that
        what the proof proves does not depend on the threads' timing."""
        block = part.block
        begins = time.perf_counter()
        ends = begins + seconds
        provable = self.method == "auto" and self.objective != "distance" and _proof.provable(block)
        cores = _plan.plan(method=self.method, provable=provable, cores=CORES, seconds=seconds)
        finished = threading.Event()

        def search(task: _plan.Task, ends_at: float, lead: bool) -> None:
            salt, rounds, start = task.salt, 0, part.start
            while True:
                why, rounds, order, cost = block.improve(
                    self.salted(part, salt), max(ends_at - time.perf_counter(), 0.0), _plan.STALE_ROUNDS,
                    lead=lead, first_round=rounds, start=start,
                )
                start = order
                if why != "stale" or not task.repeat or self.stopping.is_set() or finished.is_set():
                    break
                salt += len(cores)
            with self.lock:
                part.found.append((cost, task.salt, order))

        def run(tasks: tuple[_plan.Task, ...], lead: bool) -> None:
            try:
                for task in tasks:
                    now = time.perf_counter()
                    if self.stopping.is_set() or finished.is_set() or block.done or now >= ends:
                        return
                    task_ends = min(ends, begins + task.until * seconds)
                    if now >= task_ends:
                        continue  # its share is over already
                    if task.kind == "search":
                        # a search leads only where a proof reads its rounds
                        search(task, task_ends, lead and provable and task is tasks[0])
                        continue
                    proof = self.proof(part, lead=True)
                    proof.run(task_ends - time.perf_counter())
                    if not proof.finished and _plan.gap(block.cost, block.bound) <= task.keep_if_gap:
                        proof.run(ends - time.perf_counter())
                    if proof.finished:
                        part.proven_order = proof.order()
                        finished.set()
                        block.stop()  # every search ends with it
                        return
            finally:
                if lead:
                    block.lead_end()

        helpers = [_Helper(lambda tasks=tasks: run(tasks, False)).start() for tasks in cores[1:]]  # type: ignore[misc]
        try:
            run(cores[0], True)
        except BaseException:
            block.stop()
            raise
        finally:
            for helper in helpers:
                helper.join()
            if part.proof is not None:
                with self.lock:
                    self.proofs.remove(part.proof)
                part.proof.close()
                part.proof = None
        for helper in helpers:
            if helper.error is not None:
                raise helper.error

    def settle(self, part: _Part, ends: float) -> None:
        """The block's final order, the same whatever the threads' timing
        when the work ended before its time: the proof's optimum when it
        finished, else the best search (the lowest cost, then the lowest
        salt); then, with the tie-break, polished toward the flow."""
        block = part.block
        if part.proven_order is not None:
            order = part.proven_order
        elif part.found:
            cost, _, order = min(part.found)
            if cost > block.cost:  # the time ran out: whatever is best
                order = block.best()[0]
        else:
            order = block.best()[0]
        if self.tie_break and not self.stopping.is_set():
            order, _ = block.polished(order, max(ends - time.perf_counter(), 0.0))
        block.settle(order)

    def proof(self, part: _Part, lead: bool) -> _proof.Proof:
        if part.proof is None:
            part.proof = _proof.start(part.block, lead)
            with self.lock:
                self.proofs.append(part.proof)
                if self.stopping.is_set():
                    part.proof.interrupt()
        return part.proof

    def genetic(self) -> None:
        from ._genetic import Runs

        with Runs() as runs:
            with self.lock:
                self.runs = runs
                if self.stopping.is_set():
                    return
            try:
                parts = self.parts
                for part, share in zip(parts, _plan.shares([p.block.marks for p in parts], self.left())):
                    if self.stopping.is_set():
                        return
                    n, indptr, indices = part.block.arrays()
                    graph = Graph(n, np.frombuffer(indptr, dtype=np.int32), np.frombuffer(indices, dtype=np.int32))
                    part.block.cycle_bound(share * _plan.BOUND_SHARE)
                    part.block.offer(runs.best(graph, share).astype(np.int32).tobytes())
            except RuntimeError:
                if not self.stopping.is_set():
                    raise  # a worker failed on its own
            finally:
                with self.lock:
                    self.runs = None

    # -- the result

    def result(self) -> Sequencing:
        with _no_collection():  # millions of small lists: the cyclic collector would run over them again and again
            return self._result()

    def _result(self) -> Sequencing:
        with self.lock:
            items = self.items.copy()
            starts = self.starts
            parts = list(self.parts)
        cost = bound = 0
        tie_broken = True
        for part in parts:
            order, block_cost = part.block.best()
            begin, end = int(starts[part.index]), int(starts[part.index + 1])
            items[begin:end] = items[begin:end][np.frombuffer(order, dtype=np.int32)]
            cost += block_cost
            bound += min(part.block.bound, block_cost)
            tie_broken = tie_broken and part.exact
        order_list: list[int] = items.tolist()
        edges = starts.tolist()
        names = self.marks.names
        marks, strength, distance = totals(self.marks, order_list)
        return Sequencing(
            order=order_list,
            labels=[names[i] for i in order_list],
            feedback_marks=marks,
            lower_bound=self.units(bound),
            optimal=bound == cost,
            blocks=[order_list[edges[k] : edges[k + 1]] for k in range(len(edges) - 1)],
            seconds=time.perf_counter() - self.started,
            method=self.method,
            seed=self.seed,
            objective=self.objective,
            feedback_weight=strength,
            feedback_distance=distance,
            tie_break=self.tie_break,
            tie_break_optimal=self.tie_break and tie_broken and bound == cost,
        )
