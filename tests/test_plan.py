"""Who runs what on a block: the plan, checked without threads."""

from __future__ import annotations

import pytest

from ovila_dsm._plan import PROOF_FIRST, PROOF_SHARE, Task, gap, plan, shares


def kinds(cores: tuple[tuple[Task, ...], ...]) -> list[list[str]]:
    return [[task.kind for task in tasks] for tasks in cores]


@pytest.mark.parametrize("method", ["heuristic", "auto"])
def test_without_a_proof_every_core_searches_from_its_own_seed_and_stops_when_stale(method: str) -> None:
    cores = plan(method=method, provable=method == "heuristic", cores=3, seconds=10)
    assert kinds(cores) == [["search"]] * 3
    assert sorted(tasks[0].salt for tasks in cores) == [0, 1, 2]
    # Ending at stagnation is what makes a seed reproduce its order.
    assert not any(task.repeat for tasks in cores for task in tasks)


def test_with_a_proof_the_second_core_proves_first_then_searches_then_proves_again() -> None:
    cores = plan(method="auto", provable=True, cores=2, seconds=100)
    assert kinds(cores) == [["search"], ["proof", "search", "proof"]]
    search, (first, second_search, last) = cores[0][0], cores[1]
    assert search.repeat and search.until == 1.0  # feeds the proof better orders to the end
    assert first.until == PROOF_SHARE and first.keep_if_gap > 0
    assert second_search.salt != search.salt
    assert last.until == 1.0
    # A short block: the proof's first turn lasts at least PROOF_FIRST seconds.
    assert plan(method="auto", provable=True, cores=2, seconds=2)[1][0].until == PROOF_FIRST / 2
    assert plan(method="auto", provable=True, cores=2, seconds=0.5)[1][0].until == 1.0


def test_one_core_takes_turns() -> None:
    assert kinds(plan(method="auto", provable=True, cores=1, seconds=10)) == [["proof", "search", "proof"]]
    assert kinds(plan(method="auto", provable=True, cores=0, seconds=10)) == [["proof", "search", "proof"]]


def test_shares_follow_the_marks_and_the_gap_is_relative() -> None:
    assert shares([30, 10], 8.0) == [6.0, 2.0]
    assert shares([0, 0], 8.0) == [0.0, 0.0]
    assert gap(100, 95) == pytest.approx(0.05)
    assert gap(0, 0) == 0.0
