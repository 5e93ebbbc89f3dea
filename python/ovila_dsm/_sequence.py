"""`sequence`: the best order of a matrix this machine can find, with a proof
when one can be had.

The matrix is split into strongly connected blocks, listed so that no mark
between two blocks is a feedback mark (every order that does otherwise is
worse). Each block of more than one item is ordered on its own: small blocks
by exact search, larger ones by a greedy start and an iterated local search,
then, with the time left, a lower bound by integer programming.
"""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass, field
from numbers import Real
from typing import Any, Callable, NamedTuple

import numpy as np

from . import _order
from ._graph import Graph, check_seed, coerce
from ._proof import Proof, Thread, provable

METHODS = ("auto", "heuristic", "sga")
# Blocks up to this size are ordered by exact search (subset dynamic programming).
EXACT_ITEMS = 22
# Iterated local search ends after this many perturbation rounds in a row that
# did not improve the best order (a count of work, so a seed gives one result).
STALE_ROUNDS = 100
# The proof has the second core for this share of a block's time (at least
# PROOF_FIRST seconds); a second search takes it over if no proof came.
PROOF_SHARE = 0.2
PROOF_FIRST = 1.0


@dataclass(frozen=True)
class Sequencing:
    """The result of `sequence`.

    `order` lists item indices, first first; `labels` names them in that order.
    `feedback_marks` counts the marks left above the diagonal; `lower_bound`
    is proven: no order has fewer feedback marks. `optimal` is true when the
    two meet. `blocks` are the strongly connected blocks, as lists of item
    indices in the returned order. `seed` reproduces the result.
    """

    order: list[int]
    labels: list[str]
    feedback_marks: int
    lower_bound: int
    optimal: bool
    blocks: list[list[int]]
    seconds: float
    method: str
    seed: int = field(default=0)


class Progress(NamedTuple):
    """What a search reports while it runs (about four times a second)."""

    feedback_marks: int  # of the best order so far
    lower_bound: int
    seconds: float  # since the call started
    time_limit: float


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during `sequence`; `best` holds the best order found until then."""

    def __init__(self, best: Sequencing) -> None:
        super().__init__("interrupted: the best order found so far is kept")
        self.best = best


@dataclass
class _Block:
    items: np.ndarray  # item indices, int32
    graph: Graph
    order: np.ndarray  # local indices, int32
    cost: int
    bound: int
    live: int = 0  # the cost of the best order the searches know now

    @property
    def optimal(self) -> bool:
        return self.bound >= self.cost

    def optimal_now(self) -> bool:
        return self.bound >= self.live


def _check_time_limit(time_limit: Any) -> float:
    if isinstance(time_limit, bool) or not isinstance(time_limit, Real):
        raise TypeError(f"time_limit must be a number of seconds, not {type(time_limit).__name__}")
    value = float(time_limit)
    if math.isnan(value) or value < 0:
        raise ValueError(f"time_limit must be a non-negative number of seconds, not {time_limit}")
    return value


def sequence(
    matrix: Any,
    *,
    labels: Any = None,
    seed: int | None = None,
    time_limit: float = 10.0,
    method: str = "auto",
    progress: Callable[[Progress], object] | None = None,
) -> Sequencing:
    """The best order of `matrix` found within `time_limit` seconds.

    `matrix`: a square 2-D list or numpy array, a scipy.sparse matrix or
    array, a `Dsm`, or a flat row-major list of n*n cells; any cell that is
    not 0 is a mark (row i, column j: item i needs item j), the diagonal is
    ignored. `labels`: item names (default "1" ... "n"). `seed`: an integer
    makes the result reproducible (None draws one). `method`: "auto" (search
    and proof), "heuristic" (no proof attempted) or "sga" (the genetic
    algorithm of ovila_genetic_py, best of independent runs). `progress`, when
    given, is called with a `Progress` while a search runs. Ctrl-C raises
    `Interrupted`, a KeyboardInterrupt carrying the best order so far.
    """
    started = time.perf_counter()
    limit = _check_time_limit(time_limit)
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, not {method!r}")
    graph, names = coerce(matrix, labels)
    seed = check_seed(seed)
    run = _Run(graph, names, seed, started, limit, method, progress)
    return run.solve()


class _Run:
    def __init__(
        self,
        graph: Graph,
        names: list[str],
        seed: int,
        started: float,
        limit: float,
        method: str,
        progress: Callable[[Progress], object] | None,
    ) -> None:
        self.graph = graph
        self.names = names
        self.seed = seed
        self.started = started
        self.limit = limit
        self.deadline = started + limit
        self.method = method
        self.progress = progress
        self.last_report = started
        self.blocks: list[_Block] = []  # the blocks of more than one item
        self.groups: list[np.ndarray] = []  # every block's items, in block order

    # -- the search

    def solve(self) -> Sequencing:
        self._split()
        try:
            if self.method == "sga":  # the genetic algorithm alone, on every block
                self._genetic(self.blocks)
                return self._result()
            small = [b for b in self.blocks if b.graph.n <= EXACT_ITEMS]
            large = [b for b in self.blocks if b.graph.n > EXACT_ITEMS]
            for block in small:
                self._exact(block)
            large += [b for b in small if not b.optimal]
            self._heuristic(large)
        except KeyboardInterrupt:
            raise Interrupted(self._result()) from None
        return self._result()

    def _split(self) -> None:
        graph = self.graph
        if graph.n == 0:
            return
        packed, count = _order.condense(*graph.arrays())
        block_of = np.frombuffer(packed, dtype=np.int32)
        members = np.argsort(block_of, kind="stable").astype(np.int32)
        sizes = np.bincount(block_of, minlength=count)
        self.groups = np.split(members, np.cumsum(sizes)[:-1])
        for items in self.groups:
            if items.size > 1:
                sub = graph.subgraph(items)
                order = np.arange(items.size, dtype=np.int32)
                cost = _order.feedback(*sub.arrays(), order.tobytes())
                self.blocks.append(_Block(items, sub, order, cost, 0))

    def _seed(self, block: _Block, salt: int) -> int:
        state = np.random.SeedSequence(self.seed, spawn_key=(int(block.items[0]), salt))
        return int(state.generate_state(1, np.uint64)[0])

    def _left(self) -> float:
        return self.deadline - time.perf_counter()

    def _exact(self, block: _Block) -> None:
        found = _order.exact(*block.graph.arrays(), max(self._left(), 0.0))
        if found is not None:
            order, cost = found
            block.order = np.frombuffer(order, dtype=np.int32)
            block.cost = block.bound = cost

    def _shares(self, blocks: list[_Block]) -> list[tuple[_Block, float]]:
        """Each block with its share of the time left, by number of marks."""
        total = sum(b.graph.marks for b in blocks) or 1
        left = max(self._left(), 0.0)
        return [(b, left * b.graph.marks / total) for b in blocks]

    def _heuristic(self, blocks: list[_Block]) -> None:
        for block in blocks:
            arrays = block.graph.arrays()
            bound = _order.cycle_bound(*arrays, time_limit=max(self._left(), 0.0) / 10)
            block.bound = max(block.bound, bound)
            greedy = _order.greedy(*arrays)
            cost = _order.feedback(*arrays, greedy)
            if cost < block.cost:
                block.order, block.cost = np.frombuffer(greedy, dtype=np.int32), cost
            block.live = block.cost
        pending = sorted(blocks, key=lambda b: -b.graph.marks)
        while pending:
            block = pending.pop(0)
            if not block.optimal:
                _, share = self._shares([block] + pending)[0]
                self._search(block, share)

    def _search(self, block: _Block, seconds: float) -> None:
        """Local search on this thread; on a second one, first the proof ("auto",
        when the block is small enough for one), then, if the proof has not
        ended within its first share of the time, a second search from another
        seed. Both release the interpreter lock, so they use two cores."""
        deadline = time.perf_counter() + seconds
        stop = threading.Event()
        found: list[tuple[int, int, np.ndarray]] = []  # (cost, salt, order) of each search

        def second() -> np.ndarray | None:
            if not (self.method == "auto" and provable(block.graph)):
                self._improve(block, deadline, 1, stop, found)
                return None
            proof = Proof(block.graph)
            proof_ends = min(deadline, time.perf_counter() + max(PROOF_FIRST, PROOF_SHARE * seconds))
            proven = proof.run(block, proof_ends, stop)
            if proven is None and not block.optimal_now() and not stop.is_set():
                self._improve(block, deadline, 1, stop, found)
                # The searches ended before the deadline: the proof takes the rest.
                proven = proof.run(block, deadline, stop)
            return proven

        helper = Thread(second)
        try:
            self._improve(block, deadline, 0, stop, found)
            helper.wait()
        except KeyboardInterrupt:
            stop.set()
            helper.join(0.3)  # a second search ends at its next report
            raise
        finally:
            if found:
                cost, _, order = min(found, key=lambda f: (f[0], f[1]))
                if cost <= block.cost:
                    block.order, block.cost = order, cost
        if helper.value is not None:  # the proof found a better order, optimal
            block.order = helper.value
            block.cost = block.bound = _order.feedback(*block.graph.arrays(), helper.value.tobytes())
        block.live = block.cost
        self._report(block, block.cost, force=True)

    def _improve(
        self,
        block: _Block,
        deadline: float,
        salt: int,
        stop: threading.Event,
        found: list[tuple[int, int, np.ndarray]],
    ) -> None:
        def report(cost: int) -> bool:
            block.live = min(block.live, cost)
            if salt == 0:
                self._report(block, block.live)
            return stop.is_set() or block.optimal_now()

        order, cost, interrupted = _order.improve(
            *block.graph.arrays(),
            block.order.tobytes(),
            self._seed(block, salt),
            max(deadline - time.perf_counter(), 0.0),
            block.bound,
            STALE_ROUNDS,
            report,
        )
        block.live = min(block.live, cost)
        found.append((cost, salt, np.frombuffer(order, dtype=np.int32)))
        if interrupted:
            raise KeyboardInterrupt

    def _genetic(self, blocks: list[_Block]) -> None:
        from ._genetic import Runs

        with Runs() as runs:
            for block, share in self._shares(blocks):
                arrays = block.graph.arrays()
                block.bound = max(block.bound, _order.cycle_bound(*arrays))
                order = runs.best(block.graph, share)
                cost = _order.feedback(*arrays, order.tobytes())
                if cost < block.cost:
                    block.order, block.cost = order, cost

    # -- reporting

    def _report(self, current: _Block, cost: int, force: bool = False) -> None:
        if self.progress is None:
            return
        now = time.perf_counter()
        if not force and now - self.last_report < 0.25:
            return
        self.last_report = now
        total = sum(b.cost for b in self.blocks if b is not current) + cost
        bound = sum(b.bound for b in self.blocks)
        self.progress(Progress(total, bound, now - self.started, self.limit))

    def _result(self) -> Sequencing:
        solved = {int(b.items[0]): b for b in self.blocks}
        parts = []
        for items in self.groups:
            block = solved.get(int(items[0]))
            parts.append(items if block is None else items[block.order])
        order = np.concatenate(parts).tolist() if parts else []
        cost = sum(b.cost for b in self.blocks)
        bound = min(sum(b.bound for b in self.blocks), cost)
        return Sequencing(
            order=order,
            labels=[self.names[i] for i in order],
            feedback_marks=cost,
            lower_bound=bound,
            optimal=bound == cost,
            blocks=[part.tolist() for part in parts],
            seconds=time.perf_counter() - self.started,
            method=self.method,
            seed=self.seed,
        )
