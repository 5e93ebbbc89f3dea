"""The ovila-dsm command run as a person runs it: exit status, files, messages."""

import importlib.util
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import ovila_dsm
from ovila_dsm import read_dsm

DATA = Path(__file__).resolve().parent / "data"
P13 = str(DATA / "process-13-tasks.csv")


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "ovila_dsm.cli", *args], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("ovila-dsm")
    if not script.exists():
        pytest.skip("not installed as a package")
    result = subprocess.run([str(script), "sequence", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    for option in ("--output", "--plot", "--report", "--json", "--seed", "--time-limit", "--method", "--transpose"):
        assert option in result.stdout
    assert result.stdout.count("default") >= 9


def test_sequence_writes_every_output(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("openpyxl")
    out = {k: tmp_path / f"out.{k}" for k in ("csv", "xlsx", "txt", "json", "png", "html")}
    result = run("sequence", P13, "--seed", "3", "--time-limit", "5", "-o", str(out["csv"]), "-o", str(out["xlsx"]),
                 "-o", str(out["txt"]), "-o", str(out["json"]), "--plot", str(out["png"]), "--report", str(out["html"]))
    assert result.returncode == 0, result.stderr
    assert "20 in the given order -> 10 in the best order found" in result.stdout
    data = json.loads(out["json"].read_text(encoding="utf-8"))
    assert data["feedback_marks"] == 10 and len(data["tears"]) == 10 and data["seed"] == 3
    order = out["txt"].read_text(encoding="utf-8").splitlines()
    assert order == data["order"] and sorted(order) == sorted(f"T{i}" for i in range(1, 14))
    original = read_dsm(P13)
    index = [original.labels.index(name) for name in order]
    for table in (out["csv"], out["xlsx"]):
        back = read_dsm(table)
        assert back.labels == order
        np.testing.assert_array_equal(back.matrix.toarray(), original.matrix.toarray()[np.ix_(index, index)])
    assert out["png"].read_bytes().startswith(b"\x89PNG")
    page = out["html"].read_text(encoding="utf-8")
    assert 'id="dsm-data"' in page and "<canvas" in page
    # Where the input lies is nobody's business: its file name only.
    assert str(DATA) not in page and str(DATA) not in out["json"].read_text(encoding="utf-8")
    assert data["settings"]["file"] == "process-13-tasks.csv"


def test_json_prints_only_the_result():
    result = run("sequence", P13, "--json", "--seed", "1", "--time-limit", "2")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert set(data) >= {"order", "feedback_marks", "lower_bound", "optimal", "blocks", "seconds", "seed", "tears"}


def test_blocks_and_sequence_share_one_definition_of_bands(tmp_path):
    path = tmp_path / "chain.csv"
    path.write_text("item,needs\nc,b\nb,a\na,b\nd,c\n", encoding="utf-8")
    result = run("blocks", str(path))
    assert result.returncode == 0, result.stderr
    # b needs the later a (a feedback mark, set aside): b is band 1, a and c band 2, d band 3.
    assert "Block 1 (2 items, bands 1 to 2): b, a" in result.stdout
    assert "Band 2: a, c\nBand 3: d" in result.stdout
    data = json.loads(run("blocks", str(path), "--json").stdout)
    assert data["blocks"] == [["b", "a"]] and data["band_of"] == {"a": 2, "b": 1, "c": 2, "d": 3}
    # The 13-task example: every band count is that of the one routine, for the order shown.
    dsm = read_dsm(P13)
    for command in ("blocks", "sequence"):
        shown = json.loads(run(command, P13, "--json", *(["--seed", "1"] if command == "sequence" else [])).stdout)
        order = [dsm.labels.index(name) for name in shown["order"]]
        band = ovila_dsm.bands(dsm, order)
        assert shown["bands"] == max(band)
        assert shown["band_of"] == {dsm.labels[i]: band[i] for i in order}


def test_summary_says_how_the_file_was_read_and_lists_values(tmp_path):
    path = tmp_path / "flows.csv"
    # Information flows: A feeds B (value 2), B feeds C (3), C feeds A (1).
    path.write_text("source,target,weight\nA,B,2\nB,C,3\nC,A,1\n", encoding="utf-8")
    done = run("sequence", str(path), "--edges", "feeds", "--seed", "1", "--json")
    data = json.loads(done.stdout)
    assert data["settings"]["edges"] == "feeds" and "feeds the 'target' item" in data["settings"]["read_as"]
    # Read as feeds: B needs A (2), C needs B (3), A needs C (1); one of the three is a tear.
    value = {("B", "A"): 2, ("C", "B"): 3, ("A", "C"): 1}
    (a, b), = data["tears"]
    assert data["tear_values"] == [value[a, b]] == [data["feedback_weight"]]
    assert data["feedback_weight_before"] == 1  # in the file's order, A needs the later C
    done = run("sequence", str(path), "--edges", "feeds", "--seed", "1")
    assert f"Total value of the feedback marks: 1 in the given order -> {value[a, b]} in the best" in done.stdout
    assert (f"Tears (item needs a later item, value, places above the diagonal): 1\n  {a}  needs  {b}  "
            f"({value[a, b]}, 2)") in done.stdout
    transposed = run("blocks", P13, "--transpose")
    assert "column needs row (IC/FBD" in transposed.stdout and "read transposed" in transposed.stdout
    assert "row needs column (IR/FAD" in run("blocks", P13).stdout
    help_text = run("sequence", "--help").stdout
    assert "IC/FBD" in help_text and "IR/FAD" in help_text and "--edges" in help_text
    version = run("--version")
    assert version.returncode == 0 and version.stdout.startswith("ovila-dsm ")


MISTAKES = [
    (["sequence", "missing.csv"], "missing.csv: No such file or directory"),
    (["sequence", "one.csv"], "one.csv: holds 1 item"),
    (["sequence", "bad.csv"], "bad.csv: line 2: cell ('A', 'B') holds '?'"),
    (["sequence", P13, "--plot", "nowhere/dsm.png"], "the folder 'nowhere' does not exist"),
    (["sequence", P13, "--plot", "dsm.gif"], "unknown picture format '.gif'"),
    (["sequence", P13, "-o", "dsm.doc"], "unknown output format '.doc'"),
    (["sequence", P13, "--report", "report.pdf"], "unknown report format '.pdf'"),
    (["sequence", P13, "--time-limit", "-1"], "--time-limit must be a non-negative number"),
    (["sequence", P13, "--seed", "-5"], "--seed must be between 0"),
    (["sequence", P13, "--method", "magic"], "invalid choice: 'magic'"),
    (["blocks", P13, "--sheet", "x"], "a sheet name is only meaningful"),
    (["sequence", "bad.csv", "-o", "bad.csv"], "bad.csv: is the input file"),
    (["frobnicate"], "invalid choice"),
]


@pytest.mark.parametrize("args, message", MISTAKES)
def test_user_mistakes_exit_2_with_one_line(tmp_path, args, message):
    (tmp_path / "one.csv").write_text(",A\nA,0\n")
    (tmp_path / "bad.csv").write_text(",A,B\nA,0,?\nB,1,0\n")
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert message in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1, result.stderr
    assert result.stdout == ""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_writes_the_best_order_so_far_within_seconds(tmp_path):
    # 1,000 items: neither the search nor the proof ends on its own within the time limit.
    rng = np.random.default_rng(5)
    n = 1000
    dense = (rng.random((n, n)) < 0.05).astype(int)
    lines = [",".join([""] + [f"i{k}" for k in range(n)])]
    lines += [",".join([f"i{r}"] + [str(v) if v else "" for v in dense[r]]) for r in range(n)]
    (tmp_path / "big.csv").write_text("\n".join(lines) + "\n")
    outputs = ["-o", "out.csv", "-o", "out.xlsx", "-o", "order.txt", "-o", "out.json", "--report", "out.html"]
    if importlib.util.find_spec("matplotlib") is not None:
        outputs += ["--plot", "out.png"]
    process = subprocess.Popen(
        [sys.executable, "-m", "ovila_dsm.cli", "sequence", "big.csv", "--time-limit", "120", *outputs],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    assert process.stderr is not None
    assert "searching for up to 120 s" in process.stderr.readline()  # the search has started
    time.sleep(1)
    process.send_signal(signal.SIGINT)
    stopped = time.monotonic()
    stdout, stderr = process.communicate(timeout=120)
    seconds = time.monotonic() - stopped
    assert process.returncode == 130, stderr
    assert "interrupted: writing the best order found so far" in stderr
    assert "Traceback" not in stderr
    # About 1.3 s on a 2-core machine; instrumented runs (sanitizers) are slower.
    assert seconds < (20 if "libasan" in os.environ.get("LD_PRELOAD", "") else 4), seconds
    order = (tmp_path / "order.txt").read_text().splitlines()
    assert len(order) == n and json.loads((tmp_path / "out.json").read_text())["order"] == order
    for table in ("out.csv", "out.xlsx"):
        assert read_dsm(tmp_path / table).labels == order
    written = sorted(path.name for path in tmp_path.iterdir())
    assert written == sorted(["big.csv", *(name for name in outputs if not name.startswith("-"))])


def test_a_terminal_is_told_what_is_being_written(tmp_path):
    pty = pytest.importorskip("pty")
    main, side = pty.openpty()
    done = subprocess.run([sys.executable, "-m", "ovila_dsm.cli", "sequence", P13, "--seed", "1", "-o", "out.xlsx",
                           "--report", "out.html"], cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=side, timeout=120)
    os.close(side)
    shown = b""
    while True:
        try:
            chunk = os.read(main, 65536)
        except OSError:  # the terminal's other side is closed: all read
            break
        if not chunk:
            break
        shown += chunk
    os.close(main)
    assert done.returncode == 0
    text = shown.decode()
    assert "ovila-dsm: writing out.xlsx (the workbook, 13 items) …\x1b[K\r\x1b[K" in text
    assert "ovila-dsm: writing out.html (the report, 13 items) …" in text


def test_install_hints_follow_how_the_package_was_installed(tmp_path, monkeypatch):
    import importlib.metadata

    from ovila_dsm._dsm import install_hint

    class Installed:
        def __init__(self, record):
            self.record = record

        def read_text(self, name):
            return self.record

    (tmp_path / "pyproject.toml").write_text("")
    source = json.dumps({"url": tmp_path.as_uri(), "dir_info": {}})
    monkeypatch.setattr(importlib.metadata, "distribution", lambda name: Installed(source))
    assert install_hint() == f"pip install '{tmp_path}[dsm]'"
    monkeypatch.chdir(tmp_path)
    assert install_hint("excel") == "pip install '.[excel]'"  # the README's set-up, from its folder
    monkeypatch.setattr(importlib.metadata, "distribution", lambda name: Installed(None))
    assert install_hint() == "pip install 'ovila_genetic_py[dsm]'"  # from a package index


EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("script, args, message", [
    ("sequence_dsm.py", ["missing.csv"], "missing.csv: No such file or directory"),
    ("sequence_dsm.py", ["one.csv"], "one.csv: holds 1 item"),
    ("sequence_dsm.py", [P13, "--output", "nowhere/dsm.png"], "the folder 'nowhere' does not exist"),
    ("sequence_dsm.py", [P13, "--output", "dsm.gif"], "unknown picture format '.gif'"),
    ("multistart.py", ["--input", "one.csv", "--executor", "serial"], "one.csv: holds 1 item"),
    ("multistart.py", ["--input", "missing.csv", "--executor", "serial"], "missing.csv: No such file"),
    ("multistart.py", ["--p-swap", "2"], "--p-swap must be between 0 and 1"),
])
def test_examples_end_user_mistakes_without_traceback(tmp_path, script, args, message):
    (tmp_path / "one.csv").write_text(",A\nA,0\n")
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                            timeout=120, cwd=tmp_path)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr


def test_objectives_from_the_command(tmp_path):
    # a needs b strongly (9), b needs a weakly (1), c needs a: the weak mark may point back.
    (tmp_path / "w.csv").write_text("item,needs,weight\na,b,9\nb,a,1\nc,a,2\n")
    by_weight = json.loads(run("sequence", str(tmp_path / "w.csv"), "--json", "--objective", "weight").stdout)
    assert by_weight["order"][:2] == ["b", "a"] and by_weight["feedback_weight"] == 1
    assert by_weight["objective"] == "weight" and by_weight["optimal"] and by_weight["tie_break_optimal"]
    assert by_weight["tear_distances"] == [1] and by_weight["feedback_distance"] == 1
    by_marks = json.loads(run("sequence", str(tmp_path / "w.csv"), "--json", "--no-tie-break").stdout)
    assert by_marks["objective"] == "marks" and by_marks["tie_break"] is False and by_marks["feedback_marks"] == 1
    text = run("sequence", str(tmp_path / "w.csv"), "--objective", "distance").stdout
    assert "Total distance of the feedback marks from the diagonal: " in text and "proven optimal, the tie-break too" in text
    (tmp_path / "bad.csv").write_text("item,needs,weight\na,b,-3\nb,a,1\n")
    refused = run("sequence", str(tmp_path / "bad.csv"), "--objective", "weight")
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1
    assert "row 'a', column 'b' holds -3, which is negative" in refused.stderr
