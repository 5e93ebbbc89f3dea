"""The compiled ordering engine ovila_dsm._order at the Python boundary:
argument checks, the shared block and its stop, reproducibility.
Its algorithms are tested against plain references in ovila-order/tests."""
from __future__ import annotations

import threading
import time

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


def block_of(graph: tuple[int, bytes, bytes]) -> _order.Block:
    return _order.Block(*graph)


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
        (lambda: _order.split(3, ints(0, 1), ints(1)), ValueError, "as many values"),
        (lambda: _order.split(2, ints(0), ints(2)), ValueError, "not an item index"),
        (lambda: block_of(random_graph(26, 0.1, 0)).exact(1.0), ValueError, "at most 25 items"),
        (lambda: block_of(CHAIN).exact(-1.0), ValueError, "time_limit"),
        (lambda: block_of(CHAIN).improve(1, float("nan"), 1), ValueError, "time_limit"),
        (lambda: block_of(CHAIN).improve(1, 1.0, -1), ValueError, "max_stale"),
        (lambda: block_of(CHAIN).improve(-1, 1.0, 1), OverflowError, None),
        (lambda: block_of(CHAIN).offer(ints(0, 1, 1)), ValueError, "not a permutation"),
        (lambda: block_of(CHAIN).short_cycles(b"\1", 5), ValueError, "one byte per mark"),
        (lambda: block_of(CHAIN).light_cycles(b"\0" * 8, 5), ValueError, "one value per mark"),
        (lambda: block_of(CHAIN).short_cycles(b"\1\1", -1), ValueError, "limit"),
        (lambda: block_of(CHAIN).raise_bound("1"), TypeError, "integer"),
        (lambda: _order.greedy(*CHAIN, 1), TypeError, None),
    ],
)
def test_bad_arguments_are_refused(call, error, message) -> None:
    with pytest.raises(error, match=message):
        call()


def test_small_graph_through_every_function() -> None:
    block_of_items, count = _order.condense(*CHAIN)
    assert count == 3 and list(np.frombuffer(block_of_items, np.int32)) == [2, 1, 0]
    best = ints(2, 1, 0)
    assert _order.greedy(*CHAIN) == best
    assert _order.feedback(*CHAIN, ints(0, 1, 2)) == 2
    assert _order.sift(*CHAIN, ints(0, 1, 2)) in (best,)
    assert _order.condense(0, ints(0), ints()) == (b"", 0)
    block = _order.Block(*CHAIN)
    assert (block.n, block.marks, block.cost, block.bound) == (3, 2, 2, 0)
    assert block.exact(1.0) and block.best() == (best, 0) and block.done
    why, rounds, order, cost = _order.Block(*CHAIN).improve(1, 1.0, 5)
    assert (why, order, cost) == ("bound", best, 0)
    assert block.arrays() == CHAIN
    # A 2-cycle: marks 0 (0 needs 1) and 1 (1 needs 0).
    loop = _order.Block(2, ints(0, 1, 2), ints(1, 0))
    assert loop.short_cycles(b"\1\1", 10) == [[1, 0]] or loop.short_cycles(b"\1\1", 10) == [[0, 1]]
    assert loop.light_cycles(np.array([0.25, 0.5]).tobytes(), 10) != []
    assert loop.light_cycles(np.array([0.5, 0.5]).tobytes(), 10) == []
    assert loop.cycle_bound() == 1 and loop.bound == 1


def test_split_lists_blocks_needed_first_and_their_marks() -> None:
    # 0 needs 1, 1 needs 2, 2 needs 1 (a block), 3 needs nothing.
    items, starts, blocks = _order.split(4, ints(0, 1, 2, 2), ints(1, 2, 1, 1))
    groups = np.split(np.frombuffer(items, np.int32), np.frombuffer(starts, np.int32)[1:-1])
    assert [g.tolist() for g in groups] == [[1, 2], [0], [3]]
    ((index, block),) = blocks
    assert index == 0 and (block.n, block.marks) == (2, 2)


def test_exact_gives_false_when_time_runs_out() -> None:
    assert not _order.Block(*random_graph(25, 0.2, 1)).exact(0.0)


def test_improve_is_reproducible_and_consistent() -> None:
    graph = random_graph(120, 0.05, 3)
    start = _order.greedy(*graph)
    results = []
    for _ in range(2):
        block = _order.Block(*graph)
        block.offer(start)
        why, _, order, cost = block.improve(42, 60.0, 4)
        assert why in ("stale", "bound") and (order, cost) == block.best()
        results.append(block.best())
    assert results[0] == results[1]
    order, cost = results[0]
    assert cost == _order.feedback(*graph, order) <= _order.feedback(*graph, _order.sift(*graph, start))


def test_a_stopped_block_ends_its_search_at_once_from_another_thread() -> None:
    graph = random_graph(400, 0.1, 5)
    block = _order.Block(*graph)
    block.greedy()
    start_cost = block.cost
    timer = threading.Timer(0.3, block.stop)
    timer.start()
    began = time.perf_counter()
    try:
        assert block.improve(1, 60.0, 1 << 40)[0] == "stopped"
    finally:
        timer.cancel()
    assert time.perf_counter() - began < 5
    order, cost = block.best()
    assert cost == _order.feedback(*graph, order) <= start_cost


def test_an_order_that_meets_the_bound_ends_the_search() -> None:
    # The bound raised to what the search already has: it ends at once.
    graph = random_graph(300, 0.1, 4)
    block = _order.Block(*graph)
    block.greedy()
    threading.Timer(0.3, lambda: block.raise_bound(block.cost)).start()
    assert block.improve(1, 60.0, 1 << 40)[0] == "bound"


def test_a_search_on_a_daemon_thread_ends_cleanly_at_exit() -> None:
    import subprocess
    import sys

    script = (
        "import threading, time, numpy as np\n"
        "from ovila_dsm import _order\n"
        "cells = np.random.default_rng(0).random((300, 300)) < 0.1\n"
        "rows, cols = np.nonzero(cells)\n"
        "indptr = np.searchsorted(rows, np.arange(301)).astype(np.int32).tobytes()\n"
        "block = _order.Block(300, indptr, cols.astype(np.int32).tobytes())\n"
        "threading.Thread(target=block.improve, daemon=True, args=(1, 30.0, 1 << 40)).start()\n"
        "time.sleep(0.5)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
