"""A daemon thread that the finalizing interpreter ends while it is inside a
call of a module: the thread is unwound, and nothing on the way may release
a reference (it no longer has a thread state). Each case runs in a child
process, several times, since the crash depends on timing."""

import subprocess
import sys
import textwrap

import pytest

# The main thread's collection at exit finds a cycle whose finalizer
# releases the lock for a while: the waiting daemon thread then takes it
# back and is ended with its own objects (an iterator, an item) still held.
PRELUDE = """
import gc, threading, time

class ReleasesTheLockAtExit:
    def __init__(self):
        self.sleep = time.sleep
        self.cycle = self
    def __del__(self):
        self.sleep(0.3)

class Cell:
    def __float__(self):
        return 1.0

started = threading.Event()
gc.disable()
ReleasesTheLockAtExit()
"""

CASES = {
    "matrix from a sequence": """
        import ovila_genetic_py as og

        class Cells:
            def __len__(self):
                return 10**8
            def __getitem__(self, i):
                started.set()
                return Cell()

        def run():
            og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, Cells(), None)
    """,
    "progress callback of a search": """
        import numpy as np
        import ovila_dsm as od

        def report(progress):
            started.set()
            while True:
                [Cell() for _ in range(100)]

        matrix = (np.random.default_rng(1).random((120, 120)) < 0.1).astype(float)

        def run():
            od.sequence(matrix, seed=1, time_limit=60, method="heuristic", progress=report)
    """,
}


@pytest.mark.parametrize("case", list(CASES))
def test_a_daemon_thread_ended_at_exit_leaves_quietly(case):
    script = PRELUDE + textwrap.dedent(CASES[case]) + (
        "threading.Thread(target=run, daemon=True).start()\n"
        "started.wait()\n"
        "time.sleep(0.05)\n"
    )
    for _ in range(4):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, ""), case
