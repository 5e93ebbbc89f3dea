"""Lower bounds by integer programming: the minimum feedback arc set with
cycle constraints added as they are needed.

Variables: one per mark, 1 when the mark is left as a feedback mark. Every
cycle of marks needs at least one of its marks set aside. Starting from one
short cycle through each mark, each round solves the integer program over the
cycles known so far (its optimum is a lower bound for every order), and adds
the cycles left in the marks it kept, until it keeps none (proven optimum),
the bound meets the best order known, or time runs out.
"""

from __future__ import annotations

import math
import threading
import time
from typing import Any, Callable, Protocol

import numpy as np
import scipy.optimize
import scipy.sparse
from scipy.sparse.csgraph import shortest_path

from . import _order
from ._graph import Graph, from_pairs

# Beyond these sizes a block is left to the heuristic: the all-pairs search
# for cycles and the integer program stop paying.
PROVABLE_ITEMS = 2000
PROVABLE_MARKS = 30000
CYCLES_PER_ROUND = 5000
SOLVER_MARGIN = 0.2


def provable(graph: Graph) -> bool:
    return graph.n <= PROVABLE_ITEMS and graph.marks <= PROVABLE_MARKS


class Thread:
    """A call run on a helper thread, waited for so that Ctrl-C reaches the
    caller at once. The work releases the interpreter lock (scipy's solver
    does too); a thread left behind by Ctrl-C ends by itself at its time
    limit."""

    def __init__(self, call: Callable[[], Any]) -> None:
        self.value: Any = None
        self.error: BaseException | None = None

        def body() -> None:
            try:
                self.value = call()
            except BaseException as error:  # handed to the waiting thread
                self.error = error

        self.thread = threading.Thread(target=body, daemon=True, name="ovila-dsm")
        self.thread.start()

    def join(self, seconds: float) -> None:
        self.thread.join(seconds)

    def wait(self) -> Any:
        while self.thread.is_alive():
            self.thread.join(0.05)
        if self.error is not None:
            raise self.error
        return self.value


class _Cycles:
    """The constraint rows found so far, each a set of mark numbers, kept once."""

    def __init__(self, marks: int) -> None:
        self.marks = marks
        self.seen: set[tuple[int, ...]] = set()
        self.columns: list[int] = []
        self.row_starts: list[int] = [0]

    def add(self, cycle: list[int]) -> bool:
        key = tuple(sorted(cycle))
        if key in self.seen:
            return False
        self.seen.add(key)
        self.columns.extend(key)
        self.row_starts.append(len(self.columns))
        return True

    def matrix(self) -> scipy.sparse.csr_array:
        rows = len(self.row_starts) - 1
        data = np.ones(len(self.columns))
        return scipy.sparse.csr_array(
            (data, np.asarray(self.columns), np.asarray(self.row_starts)), shape=(rows, self.marks)
        )


def _short_cycles(graph: Graph, kept: np.ndarray, limit: int) -> list[list[int]]:
    """Shortest cycles through marks in `kept` that lie on a cycle of the kept marks.

    A cycle is returned as the list of its mark numbers (positions in the CSR).
    """
    rows = graph.rows()
    key = rows.astype(np.int64) * graph.n + graph.indices
    sub = scipy.sparse.csr_array(
        (np.ones(int(kept.sum())), (rows[kept], graph.indices[kept])), shape=(graph.n, graph.n)
    )
    sources = np.unique(graph.indices[kept])
    source_row = np.full(graph.n, -1, dtype=np.int64)
    source_row[sources] = np.arange(sources.size)
    dist, pred = shortest_path(
        sub, method="D", unweighted=True, return_predecessors=True, indices=sources
    )
    cycles: list[list[int]] = []
    for mark in np.flatnonzero(kept):
        u, v = int(rows[mark]), int(graph.indices[mark])
        s = source_row[v]
        if not math.isfinite(dist[s, u]):
            continue
        cycle = [int(mark)]
        node = u
        while node != v:
            before = int(pred[s, node])
            cycle.append(int(np.searchsorted(key, before * graph.n + node)))
            node = before
        cycles.append(cycle)
        if len(cycles) >= limit:
            break
    return cycles


class Incumbent(Protocol):
    live: int  # the cost of the best order known now (another thread may lower it)
    bound: int  # the best lower bound proven so far (raised here)


class Proof:
    """The integer program of one block, kept between calls: each call goes on
    from the cycles found so far."""

    def __init__(self, graph: Graph) -> None:
        self.graph = graph
        self.rows = graph.rows()
        self.cycles = _Cycles(graph.marks)
        for cycle in _short_cycles(graph, np.ones(graph.marks, dtype=bool), graph.marks):
            self.cycles.add(cycle)

    def run(self, incumbent: Incumbent, deadline: float, stop: threading.Event) -> np.ndarray | None:
        """Raises `incumbent.bound` until it meets `incumbent.live`, the
        deadline passes or `stop` is set.

        Returns an order when the integer program found one better than every
        order known when it did (that order is then optimal), else None.
        """
        graph, marks = self.graph, self.graph.marks
        while incumbent.bound < incumbent.live and not stop.is_set():
            # The solver overruns its limit a little on large programs.
            left = deadline - time.perf_counter() - SOLVER_MARGIN
            if left <= 0.05:
                break
            result = scipy.optimize.milp(
                np.ones(marks),
                integrality=np.ones(marks),
                bounds=scipy.optimize.Bounds(0, 1),
                constraints=scipy.optimize.LinearConstraint(self.cycles.matrix(), lb=1, ub=np.inf),
                options={"time_limit": left},
            )
            bound = result.fun if result.status == 0 else getattr(result, "mip_dual_bound", None)
            if bound is not None and math.isfinite(bound):
                incumbent.bound = max(incumbent.bound, math.ceil(bound - 1e-6))
            if result.status != 0 or result.x is None:
                break
            kept = result.x < 0.5
            found = _short_cycles(graph, kept, CYCLES_PER_ROUND)
            if not found:
                # The kept marks have no cycle: putting what is needed first
                # leaves exactly the marks set aside as feedback marks, an optimum.
                sub = from_pairs(graph.n, self.rows[kept], graph.indices[kept])
                block_of, _ = _order.condense(*sub.arrays())
                order = np.argsort(np.frombuffer(block_of, dtype=np.int32), kind="stable").astype(np.int32)
                return order if _order.feedback(*graph.arrays(), order.tobytes()) < incumbent.live else None
            if not any([self.cycles.add(cycle) for cycle in found]):
                break
        return None
