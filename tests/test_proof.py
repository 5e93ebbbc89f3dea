"""The proof of a block: both solvers against exact search, every order they
hand over recounted by the engine, and the proof's order ending a search."""

from __future__ import annotations

import threading

import numpy as np
import pytest

from ovila_dsm import _order, _proof
from ovila_dsm._graph import from_pairs

SOLVERS = ["scip", "highs"]


def random_block(seed: int, n: int, density: float) -> _order.Block:
    rng = np.random.default_rng(seed)
    cells = rng.random((n, n)) < density
    rows, cols = np.nonzero(cells)
    return _order.Block(*from_pairs(n, rows, cols).arrays())


def recount(block: _order.Block) -> int:
    order, cost = block.best()
    assert sorted(np.frombuffer(order, np.int32).tolist()) == list(range(block.n))
    assert _order.feedback(*block.arrays(), order) == cost
    return cost


@pytest.fixture(params=SOLVERS)
def solver(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    pytest.importorskip("pyscipopt" if request.param == "scip" else "highspy")
    monkeypatch.setenv("OVILA_DSM_PROOF", request.param)
    return str(request.param)


def test_the_proof_reaches_the_exact_optimum_and_its_orders_recount(solver: str) -> None:
    for seed in range(12):
        block = random_block(seed, 9 + seed % 8, 0.25)
        reference = random_block(seed, 9 + seed % 8, 0.25)
        assert reference.exact()
        proof = _proof.start(block)
        assert proof.solver.lower() == solver
        proof.run(30.0)  # from the identity order: every better order came from the solver
        assert proof.finished or block.done
        assert block.bound == reference.cost
        assert recount(block) == reference.cost
        proof.close()


def test_orders_of_partial_solutions_keep_what_they_can() -> None:
    block = random_block(3, 30, 0.15)
    start = block.cost
    # Keeping every mark: no order can, but the one offered is still valid.
    block.offer_keeping(b"\x01" * block.marks)
    assert recount(block) <= start


def test_an_interrupt_from_another_thread_ends_a_run(solver: str) -> None:
    block = random_block(5, 160, 0.08)  # far too hard to prove in the time given
    block.greedy()
    proof = _proof.start(block)
    threading.Timer(0.5, proof.interrupt).start()
    proof.run(60.0)
    assert not proof.finished
    assert 0 <= block.bound <= recount(block)
    proof.close()


def test_the_proof_ends_a_search_that_would_not_end_by_itself() -> None:
    pytest.importorskip("pyscipopt")
    # The search alone has no bound to meet (and never stagnates here): it
    # ends because the proof proves the best order optimal, or gives one.
    block = random_block(11, 60, 0.08)
    block.greedy()
    proof = _proof.start(block)
    ended: list[str] = []
    search = threading.Thread(target=lambda: ended.append(block.improve(1, 60.0, 1 << 40, adopt=True)[0]))
    search.start()
    proof.run(60.0)
    search.join(5.0)
    assert ended == ["bound"]
    assert block.done and block.cost == block.bound == recount(block)
    proof.close()


def test_nothing_but_the_json_reaches_standard_output(solver: str, tmp_path) -> None:  # type: ignore[no-untyped-def]
    import json
    import os
    import subprocess
    import sys

    rng = np.random.default_rng(8)
    cells = (rng.random((80, 80)) < 0.08).astype(int)
    lines = ["," + ",".join(f"t{k}" for k in range(80))]
    lines += [f"t{r}," + ",".join(map(str, cells[r])) for r in range(80)]
    (tmp_path / "m.csv").write_text("\n".join(lines) + "\n")
    done = subprocess.run(
        [sys.executable, "-m", "ovila_dsm.cli", "sequence", "m.csv", "--json", "--time-limit", "3", "--seed", "1"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
        env=dict(os.environ, OVILA_DSM_PROOF=solver),
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["items"] == 80


def test_without_a_solver_the_blocks_get_the_searches(monkeypatch: pytest.MonkeyPatch) -> None:
    import ovila_dsm as od

    monkeypatch.setattr(_proof, "solver_available", lambda: False)
    cells = (np.random.default_rng(2).random((40, 40)) < 0.1).astype(float)
    found = od.sequence(cells, seed=1, time_limit=2)
    assert sorted(found.order) == list(range(40)) and found.lower_bound <= found.feedback_marks
