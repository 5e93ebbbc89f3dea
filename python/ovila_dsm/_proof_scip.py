"""The proof's model in SCIP through PySCIPOpt: one branch-and-cut whose
constraint handler adds cycle constraints at every node (see `_proof`)."""

from __future__ import annotations

import contextlib
import ctypes
import math
import threading
from typing import Any

import numpy as np
import pyscipopt
from pyscipopt.scip import (
    PY_SCIP_EVENTTYPE,
    PY_SCIP_HEURTIMING,
    PY_SCIP_RESULT,
    PY_SCIP_STAGE,
)

from . import _order
from ._proof import CYCLES_PER_ROUND, bound, kept_marks


def lp_iterations_per_round(items: int) -> int:
    """LP iterations per round of the lead search: a round takes time in
    proportion to the items (its proposals); an LP iteration, about a tenth
    of a round's time per item."""
    return max(100, 10 * items)


# The stages in which an interrupt may be asked: presolving to solving.
INTERRUPTIBLE = (
    PY_SCIP_STAGE.INITPRESOLVE, PY_SCIP_STAGE.PRESOLVING, PY_SCIP_STAGE.EXITPRESOLVE,
    PY_SCIP_STAGE.PRESOLVED, PY_SCIP_STAGE.INITSOLVE, PY_SCIP_STAGE.SOLVING,
)


class ScipProof:
    solver = "SCIP"

    def __init__(self, block: _order.Block, lead: bool = False) -> None:
        self.block = block
        self.lead = lead
        self.reads = 0  # the lead's orders asked for: the next is as of this round
        self.finished = False
        self.model = model = pyscipopt.Model()
        model.hideOutput()
        # The model grows while it is solved: a symmetry of the constraints
        # known so far need not be one of the whole problem.
        model.setParam("misc/usesymmetry", 0)
        model.setParam("parallel/maxnthreads", 1)
        # Ctrl-C belongs to the interpreter (the caller stops every party).
        model.setParam("misc/catchctrlc", False)
        weights = np.frombuffer(block.weights(), dtype=np.int64)
        cost = weights.astype(np.float64) if weights.size else 1.0
        self.x = model.addMatrixVar(block.marks, vtype="B", obj=cost)
        self.cycles = 0
        for cycle in block.short_cycles(b"\x01" * block.marks, block.marks):
            self.add(cycle)
        self.seen = -1  # the block's version last handed over
        self.rounded: tuple[int, bytes] | None = None  # the best order made from a relaxation, not handed over yet
        self.stopping = threading.Event()
        self.lp_interrupt, self.pointer = _lp_interrupt(model)
        model.includeConshdlr(
            _CycleHandler(self), "cycles", "every cycle of marks keeps a feedback mark",
            sepapriority=1000, enfopriority=-1000, chckpriority=-1000, sepafreq=1, needscons=False,
        )
        model.includeEventhdlr(_Events(self), "block", "bound and orders to the block")
        model.includeHeur(_Handover(self), "block", "the block's best order", "B", priority=1_000_000,
                          freq=1, timingmask=PY_SCIP_HEURTIMING.BEFORENODE | PY_SCIP_HEURTIMING.DURINGLPLOOP)
        self.start_solution()

    def add(self, cycle: list[int]) -> None:
        self.model.addCons(pyscipopt.quicksum(self.x[k] for k in cycle) >= 1, removable=False)
        self.cycles += 1

    def values(self, solution: Any) -> np.ndarray:
        return np.asarray(self.model.getSolVal(solution, self.x), dtype=np.float64)

    def start_solution(self) -> None:
        """The start: the lead's first order, or the block's best."""
        if self.lead:
            first = self.block.lead_at(0)
            order = first[0] if first is not None else None
        else:
            self.seen = self.block.version
            order = None
        solution = self.model.createSol()
        self.set_order(solution, order)
        self.model.addSol(solution, free=True)

    def set_order(self, solution: Any, order: bytes | None = None) -> None:
        back = np.frombuffer(self.block.feedback_marks(order), dtype=np.uint8)
        for k in np.flatnonzero(back).tolist():
            self.model.setSolVal(solution, self.x[k], 1.0)

    def round_off(self, kept: bytes) -> None:
        """An order from the marks a relaxation keeps: offered to the block,
        and kept for the solver (handed over by the heuristic)."""
        order = self.block.keeping(kept)
        cost = self.block.score(order)[0]
        self.block.offer(order)
        if self.rounded is None or cost < self.rounded[0]:
            self.rounded = (cost, order)

    def next_order(self) -> bytes | None:
        """An order to hand to the solver now, if there is a new one. The
        lead's rounds are read in step with the solver's LP iterations (both
        counts of work, the same on every run): about as many iterations per
        round as a round of the search takes time."""
        if self.rounded is not None:
            cost, order = self.rounded
            self.rounded = None
            if cost < self.model.getPrimalbound() - 0.5:
                return order
        if self.lead:
            target = self.model.getNLPIterations() // lp_iterations_per_round(self.block.n)
            if target <= self.reads:
                return None
            self.reads = target
            found = self.block.lead_at(target)  # waits for the lead to get there
            if found is None or found[1] >= self.model.getPrimalbound() - 0.5:
                return None
            return found[0]
        if self.block.version == self.seen:
            return None
        self.seen = self.block.version
        return self.block.best()[0]

    def order(self) -> bytes:
        return self.block.keeping(kept_marks(self.values(self.model.getBestSol())))

    def sync(self) -> None:
        """The solver's bound to the block, and an end when the block is done."""
        if self.model.getStage() >= PY_SCIP_STAGE.SOLVING:  # a dual bound exists
            dual = self.model.getDualbound()
            if math.isfinite(dual):
                self.block.raise_bound(bound(dual))
        if self.block.done or self.stopping.is_set():
            self.model.interruptSolve()

    def run(self, seconds: float) -> None:
        if self.finished or self.block.done:
            return
        self.stopping.clear()
        self.interrupt_lp(False)
        model = self.model
        spent = model.getSolvingTime() if model.getStage() >= PY_SCIP_STAGE.SOLVING else 0.0
        model.setParam("limits/time", spent + max(seconds, 0.0))
        model.optimizeNogil()
        if model.getStatus() == "optimal":
            self.finished = True
            self.block.raise_bound(bound(model.getObjVal()))
            self.block.offer_keeping(kept_marks(self.values(model.getBestSol())))
        else:
            self.sync()

    def interrupt(self) -> None:
        self.stopping.set()
        # The solver looks at its interrupt between LP solves, also where no
        # callback of ours runs for a while; a long LP solve is cut short
        # through the solver's own C interface.
        if self.model.getStage() in INTERRUPTIBLE:
            with contextlib.suppress(Exception):  # the stage may have just changed
                self.model.interruptSolve()
                self.interrupt_lp(True)

    def interrupt_lp(self, interrupt: bool) -> None:
        if self.lp_interrupt is not None and self.model.getStage() == PY_SCIP_STAGE.SOLVING:
            self.lp_interrupt(self.pointer, interrupt)

    def close(self) -> None:
        self.model.freeProb()


def _lp_interrupt(model: Any) -> tuple[Any, Any]:
    """SCIPinterruptLP of the solver's library and the model's SCIP pointer,
    or (None, None) where they cannot be had."""
    try:
        from pyscipopt import scip

        function = ctypes.CDLL(scip.__file__).SCIPinterruptLP
        function.argtypes = [ctypes.c_void_p, ctypes.c_uint]
        function.restype = ctypes.c_int
        pointer_of = ctypes.pythonapi.PyCapsule_GetPointer
        pointer_of.restype = ctypes.c_void_p
        pointer_of.argtypes = [ctypes.py_object, ctypes.c_char_p]
        return function, pointer_of(model.to_ptr(False), b"scip")
    except (AttributeError, OSError, ImportError, ValueError):
        return None, None


class _CycleHandler(pyscipopt.Conshdlr):
    """Cycle constraints at every node: separation of light cycles,
    enforcement and check of integer solutions."""

    def __init__(self, proof: ScipProof) -> None:
        self.proof = proof

    def _result(self, name: str) -> dict[str, Any]:
        return {"result": getattr(PY_SCIP_RESULT, name)}

    def _enforce(self) -> dict[str, Any]:
        proof = self.proof
        proof.sync()
        kept = kept_marks(proof.values(None))
        cycles = proof.block.short_cycles(kept, CYCLES_PER_ROUND)
        if not cycles:
            return self._result("FEASIBLE")
        proof.round_off(kept)
        for cycle in cycles:
            proof.add(cycle)
        return self._result("CONSADDED")

    def consenfolp(self, constraints: Any, nusefulconss: int, solinfeasible: bool) -> dict[str, Any]:
        return self._enforce()

    def consenfops(self, constraints: Any, nusefulconss: int, solinfeasible: bool, objinfeasible: bool) -> dict[str, Any]:
        return self._enforce()

    def conscheck(self, constraints: Any, solution: Any, checkintegrality: bool, checklprows: bool,
                  printreason: bool, completely: bool, **_: Any) -> dict[str, Any]:
        kept = kept_marks(self.proof.values(solution))
        return self._result("INFEASIBLE" if self.proof.block.short_cycles(kept, 1) else "FEASIBLE")

    def conssepalp(self, constraints: Any, nusefulconss: int) -> dict[str, Any]:
        proof = self.proof
        proof.sync()
        x = proof.values(None)
        # Rounding: the marks the relaxation keeps make an order too.
        proof.round_off(kept_marks(x))
        cycles = proof.block.light_cycles(x.tobytes(), CYCLES_PER_ROUND)
        if not cycles:
            return self._result("DIDNOTFIND")
        for cycle in cycles:
            proof.add(cycle)
        return self._result("CONSADDED")

    def conslock(self, constraint: Any, locktype: int, nlockspos: int, nlocksneg: int) -> None:
        # A cycle constraint may break when an x decreases.
        for var in self.proof.x.flat:
            self.proof.model.addVarLocks(var, nlockspos, nlocksneg)


class _Handover(pyscipopt.Heur):
    """Hands the searches' orders to the solver (a heuristic of the solver's,
    the place for new solutions): the lead's best as of one more round at
    each call, or the block's best whenever another party improved it."""

    def __init__(self, proof: ScipProof) -> None:
        self.proof = proof

    def heurexec(self, heurtiming: int, nodeinfeasible: bool) -> dict[str, Any]:
        proof = self.proof
        order = proof.next_order()
        if order is None:
            return {"result": PY_SCIP_RESULT.DIDNOTRUN}
        solution = self.model.createSol(self)
        proof.set_order(solution, order)
        found = self.model.trySol(solution, printreason=False, free=True)
        return {"result": PY_SCIP_RESULT.FOUNDSOL if found else PY_SCIP_RESULT.DIDNOTFIND}


class _Events(pyscipopt.Eventhdlr):
    """New incumbents become orders of the block; solved nodes report the bound."""

    def __init__(self, proof: ScipProof) -> None:
        self.proof = proof
        self.kinds = PY_SCIP_EVENTTYPE

    def eventinit(self) -> None:
        self.model.catchEvent(self.kinds.BESTSOLFOUND, self)
        self.model.catchEvent(self.kinds.NODESOLVED, self)

    def eventexit(self) -> None:
        self.model.dropEvent(self.kinds.BESTSOLFOUND, self)
        self.model.dropEvent(self.kinds.NODESOLVED, self)

    def eventexec(self, event: Any) -> None:
        proof = self.proof
        if event.getType() == self.kinds.BESTSOLFOUND:
            proof.block.offer_keeping(kept_marks(proof.values(self.model.getBestSol())))
        proof.sync()
