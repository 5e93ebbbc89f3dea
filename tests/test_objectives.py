"""The objectives and the tie-break of sequence against exhaustive search,
the refusal of values that cannot be weights, and one answer per seed."""

from __future__ import annotations

import itertools
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
import scipy.sparse

import ovila_dsm as od


def numbers(cells: np.ndarray, order: list[int]) -> tuple[int, float, int]:
    """(feedback marks, their total value, their total distance) of `order`."""
    pos = {item: place for place, item in enumerate(order)}
    rows, cols = np.nonzero(cells)
    back = [(r, c) for r, c in zip(rows.tolist(), cols.tolist()) if r != c and pos[r] < pos[c]]
    return len(back), float(sum(cells[r, c] for r, c in back)), sum(pos[c] - pos[r] for r, c in back)


def inversions(order: list[int]) -> int:
    return sum(1 for i, j in itertools.combinations(range(len(order)), 2) if order[i] > order[j])


def best_by(cells: np.ndarray, objective: str) -> tuple[float, ...]:
    """The least (objective, distance, inversions) over every order."""
    index = {"marks": 0, "weight": 1, "distance": 2}[objective]
    scores = []
    for order in itertools.permutations(range(len(cells))):
        n = numbers(cells, list(order))
        scores.append((n[index], n[2], inversions(list(order))))
    return min(scores)


@pytest.mark.parametrize("objective", ["marks", "weight", "distance"])
def test_every_objective_and_its_tie_break_against_exhaustive_search(objective: str) -> None:
    rng = np.random.default_rng(21)
    for trial in range(12):
        n = int(rng.integers(3, 7))
        cells = (rng.random((n, n)) < 0.45) * rng.choice([0.5, 1.0, 2.5, 9.0], size=(n, n))
        np.fill_diagonal(cells, 0)
        found = od.sequence(cells, seed=trial, objective=objective)
        marks, strength, distance = numbers(cells, found.order)
        assert (found.feedback_marks, found.feedback_distance) == (marks, distance)
        assert found.feedback_weight == pytest.approx(strength)
        value = {"marks": marks, "weight": strength, "distance": distance}[objective]
        best = best_by(cells, objective)
        assert value == pytest.approx(best[0]) and found.optimal and found.lower_bound == pytest.approx(best[0])
        # Blocks this small are solved exactly, tie-break included: the one best order.
        assert (distance, inversions(found.order)) == best[1:] and found.tie_break_optimal
        assert found.objective == objective


def test_weights_prefer_weak_feedback_and_marks_without_value_count_one() -> None:
    # a needs b (strength 9), b needs a (strength 1): only the weak one may point back.
    cells = np.array([[0, 9.0], [1.0, 0]])
    assert od.sequence(cells, objective="weight", labels=["a", "b"]).labels == ["b", "a"]
    assert od.sequence(cells, objective="marks").feedback_marks == 1
    marks_only = np.array([[0, 1], [1, 0]], dtype=bool)
    assert od.sequence(marks_only, objective="weight").feedback_weight == 1.0


@pytest.mark.parametrize(
    ("value", "word"), [(-2.0, "negative"), (float("nan"), "not a finite number"), (float("inf"), "not a finite number")]
)
def test_values_that_cannot_be_weights_name_their_cell(value: float, word: str) -> None:
    cells = np.array([[0, 1.0, 0], [0, 0, value], [1.0, 0, 0]])
    with pytest.raises(ValueError, match=f"row 'b', column 'c' holds .*{word}"):
        od.sequence(cells, labels=["a", "b", "c"], objective="weight")
    od.sequence(cells, labels=["a", "b", "c"])  # counting marks, any value not 0 is a mark


def test_objective_and_tie_break_are_checked() -> None:
    with pytest.raises(ValueError, match="'marks', 'weight', 'distance'"):
        od.sequence([[0]], objective="strength")
    with pytest.raises(TypeError, match="tie_break must be True or False"):
        od.sequence([[0]], tie_break="yes")


def test_decimal_and_large_weights_keep_their_order() -> None:
    rng = np.random.default_rng(3)
    for scale in (1e-3, 0.37, 1e9):
        cells = (rng.random((6, 6)) < 0.5) * rng.random((6, 6)) * scale
        np.fill_diagonal(cells, 0)
        found = od.sequence(scipy.sparse.csr_array(cells), seed=1, objective="weight", tie_break=False)
        assert found.feedback_weight == pytest.approx(best_by(cells, "weight")[0], rel=1e-5)


LARGE = textwrap.dedent(
    """
    import sys, threading
    import numpy as np
    import ovila_dsm as od
    rng = np.random.default_rng(4)
    cells = (rng.random((70, 70)) < 0.06).astype(float)  # one block well beyond exact search
    if sys.argv[1] == "busy":
        stop = threading.Event()
        def busy():
            while not stop.is_set():
                sum(range(1000))
        for _ in range(3):
            threading.Thread(target=busy, daemon=True).start()
    found = od.sequence(cells, seed=11, time_limit=120)
    assert found.optimal and found.seconds < 100, found
    print(found.feedback_marks, found.feedback_distance, found.order)
    """
)


def test_one_answer_per_seed_whatever_the_load() -> None:
    # Several processes at once, some with busy threads: a proven result is one order.
    runs = [subprocess.Popen([sys.executable, "-c", LARGE, mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True) for mode in ("quiet", "busy", "busy", "quiet")]
    outs = [run.communicate(timeout=300) for run in runs]
    assert all(run.returncode == 0 for run in runs), [err[-1500:] for _, err in outs]
    assert len({out for out, _ in outs}) == 1
