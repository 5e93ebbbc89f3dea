"""method="sga" runs worker processes: from a plain script (no main guard),
and they end at once when the caller is interrupted or dies."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

SEARCH = """
import numpy as np
import ovila_dsm as od

matrix = (np.random.default_rng(2).random((120, 120)) < 0.1).astype(float)
{call}
"""


def script(tmp_path, call: str):
    path = tmp_path / "plain.py"  # no `if __name__ == "__main__":` guard
    path.write_text(textwrap.dedent(SEARCH.format(call=call)))
    return [sys.executable, str(path)]


def workers_of(pid: int) -> list[str]:
    """The children of `pid` (read from /proc: no tool that a preloaded library could hang)."""
    children = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    children.append(entry)
        except (OSError, ValueError, IndexError):
            continue
    return children


def alive(pids: list[str]) -> list[str]:
    """Those still running (not gone, not a zombie)."""
    running = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] != "Z":
                    running.append(pid)
        except OSError:
            continue
    return running


def test_a_plain_script_runs_the_genetic_algorithm(tmp_path):
    call = ('found = od.sequence(matrix, seed=1, time_limit=1.5, method="sga")\n'
            'print(found.method, sorted(found.order) == list(range(120)))')
    done = subprocess.run(script(tmp_path, call), capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert (done.returncode, done.stdout.split(), done.stderr) == (0, ["sga", "True"], "")


def test_workers_end_at_once_on_ctrl_c_and_when_the_caller_dies(tmp_path):
    call = ('try:\n    od.sequence(matrix, seed=1, time_limit=120, method="sga")\n'
            'except KeyboardInterrupt as stop:\n    print("interrupted", stop.best.feedback_marks > 0)')
    for ending in ("interrupt", "death"):
        process = subprocess.Popen(script(tmp_path, call), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True, cwd=tmp_path, start_new_session=True)
        deadline = time.monotonic() + 60
        while len(workers := workers_of(process.pid)) < (os.cpu_count() or 1) and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)  # the workers are searching
        assert workers
        started = time.monotonic()
        if ending == "interrupt":
            os.killpg(process.pid, signal.SIGINT)  # Ctrl-C reaches the whole group, workers included
            out, err = process.communicate(timeout=60)
            assert (process.returncode, out.split(), err) == (0, ["interrupted", "True"], "")
            assert time.monotonic() - started < 5
        else:
            process.kill()
            process.communicate(timeout=60)
        while alive(workers) and time.monotonic() - started < 5:
            time.sleep(0.1)
        assert alive(workers) == [], ending
