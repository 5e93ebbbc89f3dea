"""The compiled ordering engine ovila_dsm._order at the Python boundary:
argument checks, interruption, the progress callback and reproducibility.
Its algorithms are tested against plain references in ovila-order/tests."""
from __future__ import annotations

import _thread
import threading

import numpy as np
import pytest

from ovila_dsm import _order


def random_graph(n: int, density: float, seed: int) -> tuple[int, bytes, bytes]:
    rng = np.random.default_rng(seed)
    cells = rng.random((n, n)) < density
    rows, cols = np.nonzero(cells)  # self-marks included: they are ignored
    indptr = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return n, indptr.tobytes(), cols.astype(np.int32).tobytes()


def ints(*values: int) -> bytes:
    return np.asarray(values, dtype=np.int32).tobytes()


CHAIN = (3, ints(0, 1, 2, 2), ints(1, 2))  # 0 needs 1 needs 2


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: _order.condense(3, ints(0, 1), ints(1)), ValueError, r"indptr must hold n \+ 1"),
        (lambda: _order.condense(3, ints(0, 1, 2, 3), ints(1, 2, 3)), ValueError, "is not an item index"),
        (lambda: _order.condense(3, ints(0, 2, 1, 2), ints(1, 2)), ValueError, "must not decrease"),
        (lambda: _order.condense(3, ints(0, 1, 2, 2), ints(1)), ValueError, "indices holds 1"),
        (lambda: _order.condense(-1, ints(0), ints()), ValueError, "n must be"),
        (lambda: _order.condense(3.0, *CHAIN[1:]), TypeError, "'n'"),
        (lambda: _order.condense(3, [0, 1, 2, 2], CHAIN[2]), TypeError, "bytes"),
        (lambda: _order.condense(3, b"\0\0\0", CHAIN[2]), ValueError, "multiple of 4"),
        (lambda: _order.feedback(*CHAIN, ints(0, 1)), ValueError, "must hold n = 3"),
        (lambda: _order.feedback(*CHAIN, ints(0, 1, 1)), ValueError, "not a permutation"),
        (lambda: _order.sift(*CHAIN, ints(0, 1, 3)), ValueError, "not an item index"),
        (lambda: _order.exact(*random_graph(26, 0.1, 0), 1.0), ValueError, "at most 25 items"),
        (lambda: _order.exact(*CHAIN, -1.0), ValueError, "time_limit"),
        (lambda: _order.improve(*CHAIN, ints(0, 1, 2), 1, float("nan"), 0, 1), ValueError, "time_limit"),
        (lambda: _order.improve(*CHAIN, ints(0, 1, 2), 1, 1.0, 0, -1), ValueError, "max_stale"),
        (lambda: _order.improve(*CHAIN, ints(0, 1, 2), -1, 1.0, 0, 1), OverflowError, None),
        (lambda: _order.improve(*CHAIN, ints(0, 1, 2), 1, 1.0, 0, 1, 5), TypeError, "not callable"),
        (lambda: _order.greedy(*CHAIN, 1), TypeError, None),
    ],
)
def test_bad_arguments_are_refused(call, error, message) -> None:
    with pytest.raises(error, match=message):
        call()


def test_small_graph_through_every_function() -> None:
    block_of, count = _order.condense(*CHAIN)
    assert count == 3 and list(np.frombuffer(block_of, np.int32)) == [2, 1, 0]
    best = ints(2, 1, 0)
    assert _order.greedy(*CHAIN) == best
    assert _order.feedback(*CHAIN, ints(0, 1, 2)) == 2
    assert _order.sift(*CHAIN, ints(0, 1, 2)) in (best,)
    assert _order.exact(*CHAIN, 1.0) == (best, 0)
    assert _order.cycle_bound(*CHAIN) == 0
    assert _order.improve(*CHAIN, ints(0, 1, 2), 1, 1.0, 0, 5) == (best, 0, False)
    assert _order.condense(0, ints(0), ints()) == (b"", 0)


def test_exact_gives_none_when_time_runs_out() -> None:
    assert _order.exact(*random_graph(25, 0.2, 1), 0.0) is None


def test_improve_is_reproducible_and_consistent() -> None:
    graph = random_graph(120, 0.05, 3)
    start = _order.greedy(*graph)
    runs = [_order.improve(*graph, start, 42, 60.0, 0, 4) for _ in range(2)]
    assert runs[0] == runs[1]
    order, cost, interrupted = runs[0]
    assert not interrupted
    assert cost == _order.feedback(*graph, order) <= _order.feedback(*graph, _order.sift(*graph, start))


def test_ctrl_c_returns_the_best_order_so_far() -> None:
    graph = random_graph(400, 0.1, 5)
    start = _order.greedy(*graph)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        order, cost, interrupted = _order.improve(*graph, start, 1, 60.0, 0, 1 << 40)
    finally:
        timer.cancel()
    assert interrupted
    assert cost == _order.feedback(*graph, order) <= _order.feedback(*graph, start)


def test_ctrl_c_interrupts_exact_search() -> None:
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _order.exact(*random_graph(25, 0.3, 2), 60.0)
    finally:
        timer.cancel()


def test_progress_is_called_and_its_error_propagates() -> None:
    graph = random_graph(300, 0.1, 4)
    seen: list[int] = []

    def progress(best: int) -> None:
        seen.append(best)
        if len(seen) == 2:
            raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        _order.improve(*graph, _order.greedy(*graph), 1, 60.0, 0, 1 << 40, progress)
    assert seen[1] <= seen[0]


def test_a_true_progress_answer_ends_the_search_with_its_best() -> None:
    graph = random_graph(300, 0.1, 4)
    start = _order.greedy(*graph)
    order, cost, interrupted = _order.improve(*graph, start, 1, 60.0, 0, 1 << 40, lambda best: True)
    assert not interrupted and cost == _order.feedback(*graph, order) <= _order.feedback(*graph, start)


def test_a_search_on_a_daemon_thread_ends_cleanly_at_exit() -> None:
    import subprocess
    import sys

    script = (
        "import threading, time, numpy as np\n"
        "from ovila_dsm import _order\n"
        "cells = np.random.default_rng(0).random((300, 300)) < 0.1\n"
        "rows, cols = np.nonzero(cells)\n"
        "indptr = np.searchsorted(rows, np.arange(301)).astype(np.int32).tobytes()\n"
        "g = (300, indptr, cols.astype(np.int32).tobytes())\n"
        "threading.Thread(target=_order.improve, daemon=True,\n"
        "    args=(*g, _order.greedy(*g), 1, 30.0, 0, 1 << 40, lambda c: None)).start()\n"
        "time.sleep(0.5)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
