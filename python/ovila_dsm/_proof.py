"""Proofs of optimality for one block: the minimum feedback arc set as an
integer program whose cycle constraints are added as they are needed, in
one branch-and-cut that keeps its model.

Variables: x[k] = 1 when mark k is left as a feedback mark; the objective
counts them (or adds up their weights). Every cycle of marks keeps at least one of its marks as a
feedback mark: sum(x[k] for k in cycle) >= 1. The model starts with one
shortest cycle through every mark. Then, at every node of the solver's
search tree, a constraint handler of our own adds

- the cycles that the node's fractional solution leaves too light (their
  x sum to less than 1: Dijkstra's search from every item in the engine);
  these raise the bound, and
- the cycles left among the marks an integer solution keeps (breadth-first
  search in the engine); a solution is accepted only when it keeps no cycle.

The optimum of such a model is the fewest feedback marks of any order, and
its dual bound at any time is a lower bound. Every integer solution the
solver meets, even one of the partial model, is turned into an order (the
blocks of its kept marks in order, then a descent) and offered to the block;
the block's best order is handed to the solver whenever it improves.

The solver is SCIP through PySCIPOpt. A kept HiGHS model (highspy; rows
added between solves, a start solution, the cycle rows of fractional
solutions first) does the same job more slowly on the benchmark graphs and
is kept for comparison (`OVILA_DSM_PROOF=highs`) and as the fallback where
PySCIPOpt cannot be imported.
"""

from __future__ import annotations

import functools
import importlib.util
import math
import os
from typing import Protocol

import numpy as np

from . import _order

# Beyond these sizes a block is left to the searches: the model and its
# separation stop paying within the time people give a sequencing.
PROVABLE_ITEMS = 2000
PROVABLE_MARKS = 30000
# Cycles added at most per separation call.
CYCLES_PER_ROUND = 2000
EPS = 1e-6


def provable(block: _order.Block) -> bool:
    """Whether a proof is worth trying on `block` (and a solver is at hand)."""
    return bool(block.n <= PROVABLE_ITEMS and block.marks <= PROVABLE_MARKS) and solver_available()


@functools.lru_cache(maxsize=1)
def solver_available() -> bool:
    """Whether PySCIPOpt or highspy can be imported (without either, blocks
    get the searches and the cycle bound only)."""
    return any(importlib.util.find_spec(name) is not None for name in ("pyscipopt", "highspy"))


class Proof(Protocol):
    """A solver's run on one block, resumable: each `run` goes on from where
    the last one stopped."""

    solver: str
    finished: bool  # the model is solved: the block's bound is its optimum

    def run(self, seconds: float) -> None:
        """Works for up to `seconds`, or until the block is done."""

    def interrupt(self) -> None:
        """Asks a `run` on another thread to end soon (safe from any thread)."""

    def close(self) -> None:
        """Frees the solver's model (no `run` may follow)."""

    def order(self) -> bytes:
        """The order of the solver's best solution (once `finished`: optimal)."""


def start(block: _order.Block, lead: bool = False) -> Proof:
    """The proof of `block` by the solver of this installation. With `lead`,
    the orders it takes from the searches are the block's lead search's, read
    at points of the solver's own work (see `_order.Block.lead_at`): what it
    proves, and the order it proves optimal, do not depend on the threads'
    timing. Else it takes the block's best order whenever it improves."""
    choice = os.environ.get("OVILA_DSM_PROOF", "")
    if choice != "highs":
        try:
            from ._proof_scip import ScipProof
        except ImportError:
            if choice == "scip":
                raise
        else:
            return ScipProof(block, lead)
    from ._proof_highs import HighsProof

    return HighsProof(block, lead)


def kept_marks(x: np.ndarray) -> bytes:
    """The marks a solution keeps (x below one half), one byte each."""
    kept: bytes = (np.asarray(x, dtype=np.float64) < 0.5).astype(np.uint8).tobytes()
    return kept


def bound(value: float) -> int:
    """The integer bound a solver's (fractional) dual bound proves."""
    return math.ceil(value - EPS)
