"""ovila_dsm.sequence against plain references: exhaustive optimum, recounted
feedback marks, strongly connected blocks from scipy."""

from __future__ import annotations

import itertools
import math
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.sparse
from scipy.sparse.csgraph import connected_components

import ovila_dsm as od


def random_matrix(rng: np.random.Generator, n: int, density: float) -> np.ndarray:
    cells = (rng.random((n, n)) < density).astype(float)
    np.fill_diagonal(cells, 0)
    return cells


def feedback(cells: np.ndarray, order: list[int]) -> int:
    reordered = cells[np.ix_(order, order)] != 0
    return int(np.triu(reordered, 1).sum())


def optimum(cells: np.ndarray) -> int:
    n = len(cells)
    return min(feedback(cells, list(p)) for p in itertools.permutations(range(n)))


def check_result(cells: np.ndarray, result: od.Sequencing) -> None:
    n = len(cells)
    assert sorted(result.order) == list(range(n))
    assert result.feedback_marks == feedback(cells, result.order)
    assert 0 <= result.lower_bound <= result.feedback_marks
    assert result.optimal == (result.lower_bound == result.feedback_marks)
    # Blocks: a partition of the order into consecutive runs, each a strongly
    # connected block.
    assert [i for block in result.blocks for i in block] == result.order
    _, label = connected_components(scipy.sparse.csr_array(cells != 0), connection="strong")
    for block in result.blocks:
        assert len({label[i] for i in block}) == 1
    assert len(result.blocks) == len(set(label))


@pytest.mark.parametrize("method", ["auto", "heuristic"])
def test_small_matrices_against_exhaustive_search(method: str) -> None:
    rng = np.random.default_rng(7)
    for trial in range(40):
        n = int(rng.integers(2, 8))
        cells = random_matrix(rng, n, float(rng.uniform(0.2, 0.7)))
        result = od.sequence(cells, seed=trial, method=method)
        check_result(cells, result)
        best = optimum(cells)
        assert result.lower_bound <= best <= result.feedback_marks
        if method == "auto":
            assert result.optimal and result.feedback_marks == best


def test_bounds_hold_beyond_exact_search() -> None:
    # Blocks too large for the exact search go through the local search and
    # the integer program; the bound must stay below every order found.
    rng = np.random.default_rng(3)
    for n, density in [(30, 0.15), (45, 0.08)]:
        cells = random_matrix(rng, n, density)
        result = od.sequence(cells, seed=1, time_limit=20)
        check_result(cells, result)
        heuristic = od.sequence(cells, seed=1, method="heuristic", time_limit=5)
        check_result(cells, heuristic)
        assert result.feedback_marks <= heuristic.feedback_marks
        assert heuristic.lower_bound <= result.feedback_marks


def test_every_form_of_matrix_gives_the_same_result() -> None:
    cells = random_matrix(np.random.default_rng(5), 9, 0.3)
    cells[0, 0] = 5  # the diagonal is ignored
    cells[1, 2] = math.nan  # NaN is a mark
    expected = od.sequence(cells, seed=3)
    forms = [
        cells.tolist(),
        cells.ravel().tolist(),
        cells.ravel(),
        scipy.sparse.csr_matrix(np.nan_to_num(cells, nan=1.0)),
        scipy.sparse.coo_array(cells),
        od.Dsm([str(i + 1) for i in range(9)], scipy.sparse.csr_array(cells)),
    ]
    for form in forms:
        result = od.sequence(form, seed=3)
        assert (result.order, result.feedback_marks) == (expected.order, expected.feedback_marks)
        assert result.labels == [str(i + 1) for i in result.order]


def test_explicit_zeros_of_a_sparse_matrix_are_not_marks() -> None:
    sparse = scipy.sparse.csr_array((np.zeros(2), ([0, 1], [1, 0])), shape=(2, 2))
    result = od.sequence(sparse)
    assert (result.feedback_marks, result.blocks) == (0, [[0], [1]])


def test_empty_cells_of_lists_and_masked_arrays_are_not_marks() -> None:
    with_none = od.sequence([[None, 1, None], [None, None, 1], [1, None, None]])
    assert with_none.feedback_marks == 1
    masked = np.ma.masked_array([[0, 1, 1], [1, 0, 1], [1, 1, 0]], mask=[[0, 0, 1], [1, 0, 0], [0, 1, 0]])
    assert od.sequence(masked).feedback_marks == 1  # the marks left: 0 needs 1, 1 needs 2, 2 needs 0


def test_a_time_limit_too_large_to_count_means_none() -> None:
    result = od.sequence([[0, 1], [1, 0]], time_limit=10**400)
    assert result.optimal and result.feedback_marks == 1


def test_labels_follow_the_order() -> None:
    cells = [[0, 1, 0], [0, 0, 1], [0, 0, 0]]  # a needs b, b needs c
    result = od.sequence(cells, labels=["a", "b", "c"])
    assert result.labels == ["c", "b", "a"] and result.order == [2, 1, 0]
    assert result.optimal and result.feedback_marks == 0


@pytest.mark.parametrize("cells", [[], [[0]], [5.0], np.zeros((0, 0))])
def test_zero_or_one_item(cells: object) -> None:
    result = od.sequence(cells)
    n = len(result.order)
    assert n <= 1 and result.feedback_marks == result.lower_bound == 0 and result.optimal
    assert result.blocks == ([[0]] if n else [])


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: od.sequence([[0, 1, 0], [1, 0, 0]]), ValueError, "not square: 2 rows, 3 columns"),
        (lambda: od.sequence([[0, 1], [1]]), ValueError, "different lengths"),
        (lambda: od.sequence([0, 1, 1]), ValueError, "3 is not a square number"),
        (lambda: od.sequence(np.zeros((2, 2, 2))), ValueError, "1 or 2 dimensions"),
        (lambda: od.sequence(scipy.sparse.csr_array((2, 3))), ValueError, "not square"),
        (lambda: od.sequence([["a", "b"], ["c", "d"]]), TypeError, "must be a number"),
        (lambda: od.sequence("0110"), TypeError, "not str"),
        (lambda: od.sequence([[0, 1], [1, 0]], labels=["a"]), ValueError, "1 labels for 2 items"),
        (lambda: od.sequence([[0]], labels="a"), TypeError, "single string"),
        (lambda: od.sequence([[0]], time_limit=-1), ValueError, "non-negative"),
        (lambda: od.sequence([[0]], time_limit=math.nan), ValueError, "non-negative"),
        (lambda: od.sequence([[0]], time_limit="1"), TypeError, "number of seconds"),
        (lambda: od.sequence([[0]], method="best"), ValueError, "'auto', 'heuristic', 'sga'"),
        (lambda: od.sequence([[0]], seed=-1), ValueError, "seed must be between"),
        (lambda: od.sequence([[0]], seed=True), TypeError, "seed must be an integer"),
        (lambda: od.sequence([[0]], progress=5), TypeError, "progress must be callable"),
        (lambda: od.sequence(scipy.sparse.csr_array((10**9, 10**9))), ValueError, "at most 10,000,000 items"),
        (lambda: od.sequence([[0, object()], [0, 0]]), TypeError, "must be a number"),
    ],
)
def test_bad_input_is_named(call, error, text) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        call()


def test_same_seed_same_order() -> None:
    cells = random_matrix(np.random.default_rng(11), 80, 0.08)
    first, second = (od.sequence(cells, seed=42, method="heuristic", time_limit=60) for _ in range(2))
    assert first.order == second.order
    assert first.seed == 42


def test_progress_is_reported() -> None:
    cells = random_matrix(np.random.default_rng(2), 150, 0.1)
    seen: list[od.Progress] = []
    od.sequence(cells, seed=1, time_limit=1.5, progress=seen.append)
    assert seen and all(p.lower_bound <= p.feedback_marks for p in seen)


def test_genetic_method_gives_a_valid_order() -> None:
    cells = random_matrix(np.random.default_rng(4), 25, 0.2)
    result = od.sequence(cells, method="sga", time_limit=2)
    check_result(cells, result)
    assert result.method == "sga"


def test_ctrl_c_stops_a_long_search_and_keeps_the_best() -> None:
    script = textwrap.dedent(
        """
        import sys, numpy as np, ovila_dsm as od
        rng = np.random.default_rng(0)
        cells = (rng.random((400, 400)) < 0.1).astype(float)
        print("ready", flush=True)
        try:
            od.sequence(cells, seed=1, time_limit=60)
        except od.Interrupted as stop:
            print("interrupted", stop.best.feedback_marks, len(stop.best.order), flush=True)
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    assert child.stdout.readline().strip() == "ready"
    import time

    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=20)
    words = out.split()
    assert words[0] == "interrupted" and int(words[2]) == 400, out
    assert child.returncode == 0  # the searches left behind end cleanly at exit


if os.name != "posix":  # pragma: no cover
    pytestmark = pytest.mark.skip("signals are sent the POSIX way")
