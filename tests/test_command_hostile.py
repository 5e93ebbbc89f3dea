"""The ovila-dsm command against hostile names, links, closed streams and
Ctrl-C at any moment: one line and the right status, never a traceback,
nothing lost."""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX streams and signals")

DATA = Path(__file__).resolve().parent / "data"
P13 = str(DATA / "process-13-tasks.csv")
SCRIPT = Path(sys.executable).with_name("ovila-dsm")
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ovila_dsm.cli"]

# Names that typeset mathematics, set the window title, write the clipboard
# (OSC 52), clear the screen, and reverse the text that follows.
HOSTILE = ["Budget $$", "$x^$", "\x1b]0;owned\x07", "\x1b]52;c;cHduZWQ=\x07", "\x1b[2J\x9b", "\u202eevil"]


def run(*args, cwd=None, **options):
    return subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=300, cwd=cwd, **options)


def hostile_table(folder: Path) -> Path:
    names = ['"' + name + '"' for name in HOSTILE]
    n = len(names)
    rows = [",".join([""] + names)]
    rows += [",".join([names[r]] + ["1" if c == (r + 1) % n else "" for c in range(n)]) for r in range(n)]
    path = folder / "hostile.csv"
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


def test_hostile_names_are_drawn_and_printed_as_text(tmp_path):
    pytest.importorskip("matplotlib")
    table = hostile_table(tmp_path)
    done = run("sequence", str(table), "--seed", "1", "--plot", "dsm.svg", "--report", "dsm.html", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    svg = (tmp_path / "dsm.svg").read_text(encoding="utf-8")
    assert "Budget $$" in svg and "$x^$" in svg  # as text, not typeset
    for args in (["sequence", str(table), "--seed", "1"], ["blocks", str(table)]):
        done = run(*args, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        shown = done.stdout + done.stderr
        assert not re.search("[\x00-\x08\x0b-\x1f\x7f-\x9f\u202e]", shown), args
        assert "\\x1b]52;c;cHduZWQ=\\x07" in shown and "\\u202eevil" in shown


def test_outputs_that_cannot_hold_the_names_are_refused_before_the_search(tmp_path):
    pytest.importorskip("openpyxl")
    table = hostile_table(tmp_path)
    done = run("sequence", str(table), "-o", "out.csv", "-o", "out.xlsx", "--time-limit", "60", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "out.xlsx: the name '\\x1b]0;owned\\x07' holds the character" in done.stderr
    assert "searching" not in done.stderr and os.listdir(tmp_path) == ["hostile.csv"]


def test_an_output_linked_to_the_input_is_refused(tmp_path):
    original = Path(P13).read_bytes()
    (tmp_path / "in.csv").write_bytes(original)
    os.link(tmp_path / "in.csv", tmp_path / "hard.csv")
    (tmp_path / "soft.csv").symlink_to(tmp_path / "in.csv")
    for output in ("hard.csv", "soft.csv"):
        done = run("sequence", "in.csv", "-o", output, cwd=tmp_path)
        assert (done.returncode, done.stderr.strip()) == (2, f"ovila-dsm: {output}: is the input file: choose "
                                                              "another name for the output")
    assert (tmp_path / "in.csv").read_bytes() == original


@pytest.mark.parametrize("closed, args, status, said", [
    (1, ["--json"], 2, "ovila-dsm: standard output is closed: nowhere to write the result\n"),
    (2, ["--json"], 0, ""),
    (0, [], 0, ""),
])
def test_closed_standard_streams(closed, args, status, said):
    done = subprocess.run([*COMMAND, "sequence", P13, "--seed", "1", *args], capture_output=closed != 2,
                          stdout=subprocess.PIPE if closed == 2 else None, text=True, timeout=120,
                          preexec_fn=lambda: os.close(closed))
    assert done.returncode == status
    if closed != 2:
        assert done.stderr == said
    if closed != 1:
        assert done.stdout.startswith('{"convention"' if args else P13)


def test_unending_and_binary_sources_end_with_one_line(tmp_path):
    done = run("blocks", "/dev/zero")
    assert (done.returncode, done.stderr) == (2, "ovila-dsm: /dev/zero: not a text table (it holds binary data)\n")
    done = subprocess.run(["bash", "-c", f"{' '.join(COMMAND)} blocks <(gzip -c {P13} | zcat)"], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0 and "13 items" in done.stdout, done.stderr


def test_ctrl_c_at_any_moment_exits_130_with_one_line(tmp_path):
    # While the package loads numpy and scipy, while it reads, while it searches
    # (the interpreter's own first 20 ms or so are before any handler can be set).
    for delay in (0.1, 0.15, 0.2, 0.25, 0.3, 0.45, 0.7):
        process = subprocess.Popen([*COMMAND, "sequence", P13, "-o", "out.json", "--time-limit", "5"], cwd=tmp_path,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=120)
        finished = process.returncode == 0 and (tmp_path / "out.json").exists()  # it had already ended
        assert finished or (process.returncode, stderr.count("\n")) == (130, 1), (delay, stderr)
        assert "Traceback" not in stderr
        assert [p.name for p in tmp_path.iterdir() if p.name != "out.json"] == []  # no temporary file left
