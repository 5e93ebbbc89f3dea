"""Whatever ends a sequencing (Ctrl-C at any moment, a progress callback
that raises or answers true), every helper is stopped and waited for, the
best order is valid, and the process exits cleanly."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import _thread, sys, threading, time
    import numpy as np
    import ovila_dsm as od

    mode, moment = sys.argv[1], float(sys.argv[2])
    rng = np.random.default_rng(3)
    cells = (rng.random((160, 160)) < 0.06).astype(float)  # a proof runs beside the searches
    od.sequence(cells[:30, :30], seed=1, time_limit=1)  # every module loaded before the clock starts
    started = time.perf_counter()
    calls = []

    def check(found):
        order = found.order
        assert sorted(order) == list(range(160))
        back = cells[np.ix_(order, order)]
        assert found.feedback_marks == int(np.triu(back != 0, 1).sum())
        assert 0 <= found.lower_bound <= found.feedback_marks
        assert [i for block in found.blocks for i in block] == order

    def progress(report):
        calls.append(report)
        if mode == "raise" and report.seconds >= moment:
            raise RuntimeError("from the callback")
        return mode == "true" and report.seconds >= moment

    try:
        if mode == "interrupt":
            threading.Timer(moment, _thread.interrupt_main).start()
        found = od.sequence(cells, seed=1, time_limit=30, progress=progress)
        assert mode == "true", mode
        check(found)
    except od.Interrupted as stop:
        assert mode == "interrupt"
        check(stop.best)
    except KeyboardInterrupt:
        assert mode == "interrupt"  # came before the call began
    except RuntimeError as error:
        assert mode == "raise" and str(error) == "from the callback"
    ended = time.perf_counter() - started
    assert ended < moment + 10, ended  # stopped promptly (generous: shared machines)
    left = [t.name for t in threading.enumerate() if t.name == "ovila-dsm"]
    assert not left, left
    print("ok", flush=True)
    """
)


@pytest.mark.parametrize(
    ("mode", "moment"),
    [("interrupt", m) for m in (0.001, 0.005, 0.02, 0.1, 0.3, 0.8, 1.6)]
    + [("raise", m) for m in (0.0, 0.5, 1.2)]
    + [("true", m) for m in (0.0, 0.9)],
)
def test_every_ending_leaves_no_helper_and_a_valid_best(mode: str, moment: float) -> None:
    done = subprocess.run([sys.executable, "-c", CHILD, mode, str(moment)], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr[-2000:]
