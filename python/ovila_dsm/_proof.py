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
from typing import Any, Callable

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


def provable(graph: Graph) -> bool:
    return graph.n <= PROVABLE_ITEMS and graph.marks <= PROVABLE_MARKS


def wait_for(call: Callable[[], Any]) -> Any:
    """Runs `call` in a helper thread, so that Ctrl-C reaches the caller at once.

    The solver releases the interpreter lock; the thread ends by itself when
    its time limit runs out.
    """
    box: dict[str, Any] = {}

    def body() -> None:
        try:
            box["value"] = call()
        except BaseException as error:  # handed to the caller below
            box["error"] = error

    worker = threading.Thread(target=body, daemon=True, name="ovila-dsm-proof")
    worker.start()
    while worker.is_alive():
        worker.join(0.05)
    if "error" in box:
        raise box["error"]
    return box["value"]


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


def prove(
    graph: Graph,
    best_order: np.ndarray,
    best_cost: int,
    lower_bound: int,
    deadline: float,
) -> tuple[int, np.ndarray, int]:
    """Raises `lower_bound` towards `best_cost`; returns (bound, order, cost).

    The order returned is `best_order` unless the integer program found a
    better one (which it then proves optimal).
    """
    marks = graph.marks
    cycles = _Cycles(marks)
    for cycle in _short_cycles(graph, np.ones(marks, dtype=bool), marks):
        cycles.add(cycle)
    rows = graph.rows()
    while lower_bound < best_cost:
        left = deadline - time.perf_counter()
        if left <= 0.05:
            break
        constraint = scipy.optimize.LinearConstraint(cycles.matrix(), lb=1, ub=np.inf)
        result = wait_for(
            lambda: scipy.optimize.milp(
                np.ones(marks),
                integrality=np.ones(marks),
                bounds=scipy.optimize.Bounds(0, 1),
                constraints=constraint,
                options={"time_limit": left},
            )
        )
        bound = getattr(result, "mip_dual_bound", None)
        if result.status == 0:
            bound = result.fun
        if bound is not None and math.isfinite(bound):
            lower_bound = max(lower_bound, math.ceil(bound - 1e-6))
        if result.status != 0 or result.x is None:
            break
        kept = result.x < 0.5
        found = _short_cycles(graph, kept, CYCLES_PER_ROUND)
        if not found:
            # The kept marks have no cycle: putting what is needed first
            # leaves exactly the marks set aside as feedback marks.
            sub = from_pairs(graph.n, rows[kept], graph.indices[kept])
            block_of, _ = _order.condense(*sub.arrays())
            order = np.argsort(np.frombuffer(block_of, dtype=np.int32), kind="stable").astype(np.int32)
            cost = _order.feedback(*graph.arrays(), order.tobytes())
            if cost < best_cost:
                best_order, best_cost = order, cost
            lower_bound = max(lower_bound, min(best_cost, math.ceil(result.fun - 1e-6)))
            break
        added = sum(cycles.add(cycle) for cycle in found)
        if added == 0:
            break
    return min(lower_bound, best_cost), best_order, best_cost
