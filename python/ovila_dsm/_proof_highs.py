"""The proof's model kept in HiGHS through highspy: rows added between
solves (see `_proof`). Slower than the SCIP model on the benchmark graphs;
kept for comparison and where PySCIPOpt cannot be imported."""

from __future__ import annotations

import contextlib
import math
import os
import threading
import time
from collections.abc import Iterator
from typing import Any

import highspy
import numpy as np

from . import _order
from ._proof import CYCLES_PER_ROUND, bound, kept_marks


@contextlib.contextmanager
def _quiet_stdout() -> Iterator[None]:
    """Standard output closed at the descriptor level: HiGHS prints its
    banner there when a model is made."""
    try:
        saved = os.dup(1)
    except OSError:
        yield
        return
    try:
        with open(os.devnull, "wb") as sink:
            os.dup2(sink.fileno(), 1)
            yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


class HighsProof:
    """The same model kept in HiGHS: the rows of light cycles first, until
    the linear relaxation has none (the bound of the relaxation over every
    cycle), then integer solves, each with the rows of the cycles its
    solution kept, from the block's best order."""

    solver = "HiGHS"
    _lock = threading.Lock()

    def __init__(self, block: _order.Block, lead: bool = False) -> None:
        self.block = block
        self.lead = lead
        self.reads = 0
        self.finished = False
        self.integer = False
        self.stopping = threading.Event()
        with HighsProof._lock, _quiet_stdout():
            self.h = h = highspy.Highs()  # type: ignore[no-untyped-call]
        h.setOptionValue("output_flag", False)
        h.setOptionValue("log_to_console", False)
        marks = block.marks
        weights = np.frombuffer(block.weights(), dtype=np.int64)
        cost = weights.astype(np.float64) if weights.size else np.ones(marks)
        self.cost = cost
        h.addVars(marks, np.zeros(marks), np.ones(marks))
        h.changeColsCost(marks, np.arange(marks, dtype=np.int32), cost)
        self.cycles = 0
        self.add(block.short_cycles(b"\x01" * marks, marks))
        h.setCallback(self._callback, None)
        h.startCallback(highspy.cb.HighsCallbackType.kCallbackMipInterrupt)
        h.startCallback(highspy.cb.HighsCallbackType.kCallbackSimplexInterrupt)

    def _callback(self, kind: Any, message: str, data_out: Any, data_in: Any, user: Any) -> None:
        if self.block.done or self.stopping.is_set():
            data_in.user_interrupt = True

    def add(self, cycles: list[list[int]]) -> None:
        inf = highspy.kHighsInf
        for cycle in cycles:
            self.h.addRow(1.0, inf, len(cycle), np.asarray(cycle, dtype=np.int32), np.ones(len(cycle)))
        self.cycles += len(cycles)

    def values(self) -> np.ndarray:
        return np.asarray(self.h.getSolution().col_value, dtype=np.float64)

    def run(self, seconds: float) -> None:
        ends = time.perf_counter() + max(seconds, 0.0)
        self.stopping.clear()
        h, block = self.h, self.block
        while not (self.finished or block.done or self.stopping.is_set()):
            left = ends - time.perf_counter()
            if left <= 0:
                return
            h.setOptionValue("time_limit", left)
            if not self.integer:
                h.run()
                if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
                    return
                block.raise_bound(bound(h.getInfo().objective_function_value))
                cycles = block.light_cycles(self.values().tobytes(), CYCLES_PER_ROUND)
                if cycles:
                    self.add(cycles)
                    continue
                marks = block.marks
                h.changeColsIntegrality(
                    marks, np.arange(marks, dtype=np.int32),
                    np.full(marks, highspy.HighsVarType.kInteger),
                )
                self.integer = True
            start = highspy.HighsSolution()  # a new one: the solver's own is shared with it
            start.col_value = np.frombuffer(block.feedback_marks(self.start_order()), dtype=np.uint8).astype(np.float64).tolist()
            start.value_valid = True
            h.setSolution(start)
            h.run()
            info = h.getInfo()
            if math.isfinite(info.mip_dual_bound):
                block.raise_bound(bound(info.mip_dual_bound))
            if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
                return
            x = self.values()
            if abs(float(x @ self.cost) - info.objective_function_value) > 0.5:
                # Seen with a start solution: the solution handed back is the
                # start, not the optimum reported. Solved again without it.
                h.clearSolver()
                h.run()
                if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
                    return
                x = self.values()
            kept = kept_marks(x)
            block.offer_keeping(kept)
            cycles = block.short_cycles(kept, CYCLES_PER_ROUND)
            if not cycles:
                self.finished = True
                block.raise_bound(bound(info.objective_function_value))
                return
            self.add(cycles)

    def start_order(self) -> bytes | None:
        """The lead's best as of one more round per solve, or the block's best."""
        if not self.lead:
            return None
        found = self.block.lead_at(self.reads)
        self.reads += 1
        return found[0] if found is not None else None

    def order(self) -> bytes:
        return self.block.keeping(kept_marks(self.values()))

    def interrupt(self) -> None:
        self.stopping.set()

    def close(self) -> None:
        self.h.clear()
