"""How good are the orders? ovila_dsm.sequence against the alternatives.

For every published matrix of the shared data folder (with its proven
optimum) and for random matrices (fixed seeds), prints the feedback marks,
lower bound and seconds of:

- `sequence` with defaults (10 s limit);
- the greedy order of Eades, Lin & Smyth alone;
- that greedy order followed by a plain insertion local search run to its
  local optimum (move one item to its best position while any move helps);
- the genetic algorithm of ovila_genetic_py given the same wall time as
  `sequence` (at least 1 s; independent runs on every core, best kept);
- the simulated annealing of the dsm-optimizer package given the same wall
  time (one run, seeded, its iteration count set from a timed short run);

and the large Debian dependency graph (items, marks, blocks, result, proof,
seconds, peak memory), run in a child process so that its memory is its own.

Further sections, each chosen by its option:

--returns   how soon `sequence` returns on every matrix of the data folder
            at its default time limit (reading included for the Debian
            graph), and on the import graph of this machine's Python;
--scale     10**6 items with 5*10**6 random marks (time limit 10 s) and a
            dense 5,000 x 5,000 matrix at density 0.5 (time limit 5 s):
            seconds from the call to its return, peak memory (child
            processes, the matrix built before the clock starts);
--objectives  on every matrix of the data folder: the total distance of
            the feedback marks of the returned order with the tie-break and
            without it, beside the least total distance any order with the
            same number of marks has (exact search, block by block), and
            the seconds with and without the tie-break; and, on random
            matrices of 300 items at density 0.1 and 1,000 at 0.02,
            objective="marks" with the tie-break against without it;
--proofs    the twelve Imase-Itoh graphs of the exact feedback-arc-set
            literature (fas-benchmark/ in the data folder, optima in its
            README) at time_limit=60: when the optimum was first held, when
            it was proven, beside the same proof with HiGHS instead of SCIP
            (OVILA_DSM_PROOF=highs) and python-igraph's exact method
            (Graph.feedback_arc_set(method="ip"), capped at --igraph-cap s);
            each run in a child process.

    pip install '.[bench]' && python benchmarks/quality.py [--returns] [--scale] [--proofs]

Options: --data DIR (default ../shared/data beside the repository),
--quick (random matrices of 100 and 300 items only), --skip-debian,
--skip-random (no random matrices or published matrices: only the chosen
sections).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import ovila_dsm as od
from ovila_dsm import _order
from ovila_dsm._graph import Graph, coerce, from_pairs

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA = ROOT.parent / "shared" / "data"
RANDOM_SIZES = [(100, 0.02), (100, 0.1), (300, 0.02), (300, 0.1), (1000, 0.02), (1000, 0.1)]
TIME_LIMIT = 10.0


def random_matrix(n: int, density: float) -> np.ndarray:
    """The benchmark's random DSM: each off-diagonal cell a mark with probability `density`."""
    rng = np.random.default_rng(1000 * n + round(100 * density))
    cells = (rng.random((n, n)) < density).astype(np.float64)
    np.fill_diagonal(cells, 0.0)
    return cells


def published_optima(data: Path) -> dict[str, int]:
    """The proven optima listed in the data folder's README."""
    text = (data / "README.md").read_text(encoding="utf-8")
    optima = {name: int(value) for name, value in re.findall(r"\| (\S+\.csv) \|.*\| (\d+) \|\n", text)}
    found = re.search(r"smallest possible number of feedback marks over all orders is (\d+)", text)
    if found:
        optima["process-13-tasks.csv"] = int(found.group(1))
    return optima


def graph_of(cells: object) -> Graph:
    """The matrix's marks as the engine's compressed rows."""
    marks = coerce(cells, None)
    return from_pairs(marks.n, marks.rows, marks.cols)


def greedy_and_local_search(cells: object) -> dict[str, float]:
    graph = graph_of(cells)
    arrays = graph.arrays()
    started = time.perf_counter()
    greedy = _order.greedy(*arrays)
    middle = time.perf_counter()
    sifted = _order.sift(*arrays, greedy)
    ended = time.perf_counter()
    return {
        "greedy": _order.feedback(*arrays, greedy),
        "greedy_s": middle - started,
        "sift": _order.feedback(*arrays, sifted),
        "sift_s": ended - started,
    }


def annealing(cells: np.ndarray, seconds: float, seed: int) -> int | None:
    """dsm-optimizer's simulated annealing, given about `seconds` of wall time."""
    try:
        from dsm_optimizer.algorithms.sequencing import feedback_marks, sa_sequence
    except ImportError:
        return None
    matrix = (cells != 0).astype(int)
    members = list(range(len(matrix)))
    trial = 2000
    started = time.perf_counter()
    sa_sequence(matrix, members, max_iter=trial, seed=seed)
    per_iteration = (time.perf_counter() - started) / trial
    iterations = int(min(max(seconds / per_iteration, trial), 50_000_000))
    order = sa_sequence(matrix, members, max_iter=iterations, seed=seed)
    return int(feedback_marks(matrix, order))


def measure(name: str, cells: object, optimum: int | None) -> dict[str, object]:
    row: dict[str, object] = {"matrix": name, "optimum": optimum}
    result = od.sequence(cells, seed=1, time_limit=TIME_LIMIT)
    graph = graph_of(cells)
    row.update(items=graph.n, marks=graph.marks)
    row.update(
        seq=result.feedback_marks,
        bound=result.lower_bound,
        optimal=result.optimal,
        seq_s=result.seconds,
    )
    row.update(greedy_and_local_search(cells))
    wall = max(result.seconds, 1.0)
    row["sga"] = od.sequence(cells, method="sga", time_limit=wall).feedback_marks
    dense = cells if isinstance(cells, np.ndarray) else np.asarray(cells.matrix.todense())  # type: ignore[attr-defined]
    row["sa"] = annealing(np.asarray(dense), wall, seed=1)
    row["wall"] = wall
    return row


def debian(data: Path) -> dict[str, object] | None:
    path = data / "debian-packages.edges.tsv.gz"
    if not path.exists():
        return None
    code = textwrap.dedent(
        f"""
        import json, resource, time
        import ovila_dsm as od
        started = time.perf_counter()
        dsm = od.read_dsm({str(path)!r})
        read = time.perf_counter() - started
        result = od.sequence(dsm, seed=1)
        print(json.dumps(dict(
            items=dsm.n, marks=int(dsm.matrix.nnz),
            blocks=sum(len(b) > 1 for b in result.blocks),
            largest=max(len(b) for b in result.blocks),
            result=result.feedback_marks, bound=result.lower_bound, optimal=result.optimal,
            read_s=read, seq_s=result.seconds,
            peak_mb=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def show(rows: list[dict[str, object]]) -> None:
    head = (
        f"{'matrix':<26}{'items':>6}{'marks':>7}{'optimum':>8} | {'sequence':>8}{'bound':>7}{'gap':>6}"
        f"{'s':>6} | {'greedy':>7} | {'+LS':>6} | {'GA':>6} | {'SA':>6} | {'vs +LS':>7}"
    )
    print(head)
    print("-" * len(head))
    for r in rows:
        gap = int(r["seq"]) - int(r["bound"])  # type: ignore[call-overload]
        better = 1 - int(r["seq"]) / int(r["sift"]) if r["sift"] else 0.0  # type: ignore[call-overload]
        optimum = "" if r["optimum"] is None else str(r["optimum"])
        sa = "-" if r["sa"] is None else str(r["sa"])
        print(
            f"{r['matrix']:<26}{r['items']:>6}{r['marks']:>7}{optimum:>8} | {r['seq']:>8}{r['bound']:>7}"
            f"{gap:>6}{float(r['seq_s']):>6.2f} | {r['greedy']:>7} | {r['sift']:>6} | {r['sga']:>6} | "  # type: ignore[arg-type]
            f"{sa:>6} | {better:>6.1%}"
        )


def check(rows: list[dict[str, object]]) -> list[str]:
    """The targets this benchmark shows, as lines of text."""
    lines = []
    for r in rows:
        if r["optimum"] is not None:
            ok = r["optimal"] and r["seq"] == r["optimum"] and float(r["seq_s"]) < 1.0  # type: ignore[arg-type]
            lines.append(f"{'met' if ok else 'MISSED'}: {r['matrix']} optimal in under 1 s")
        else:
            seq, sift = int(r["seq"]), int(r["sift"])  # type: ignore[call-overload]
            below = 1 - seq / sift if sift else 0.0
            lines.append(f"{'met' if below >= 0.05 else 'MISSED'}: {r['matrix']} {below:.1%} below greedy + LS (target 5 %)")
            for name in ("sga", "sa"):
                if r[name] is not None:
                    ok = seq < int(r[name])  # type: ignore[call-overload]
                    lines.append(f"{'met' if ok else 'MISSED'}: {r['matrix']} below {name.upper()} ({seq} vs {r[name]})")
    return lines



# -- how soon sequence returns


def returns(data: Path) -> list[tuple[str, int, float, float, bool]]:
    """(matrix, items, seconds to read, seconds of sequence, proven) for every
    matrix of the data folder and this machine's import graph."""
    rows = []
    paths = sorted(data.glob("*.csv")) + sorted(data.glob("*.tsv.gz"))
    with tempfile.TemporaryDirectory() as folder:
        imports = Path(folder) / "python-imports.csv"
        subprocess.run([sys.executable, str(ROOT / "benchmarks" / "import_graph.py"), str(imports)],
                       check=True, capture_output=True)
        paths.append(imports)
        for path in paths:
            started = time.perf_counter()
            dsm = od.read_dsm(path)
            read = time.perf_counter() - started
            result = od.sequence(dsm, seed=1)
            rows.append((path.name, dsm.n, read, result.seconds, result.optimal))
    return rows


def show_returns(rows: list[tuple[str, int, float, float, bool]]) -> None:
    print(f"{'matrix':<34}{'items':>7}{'read s':>8}{'sequence s':>11}  proven")
    for name, n, read, seconds, proven in rows:
        print(f"{name:<34}{n:>7}{read:>8.2f}{seconds:>11.3f}  {proven}")


# -- objectives and the tie-break


def least_distance(dsm: od.Dsm) -> int:
    """The least total distance of an order with the fewest feedback marks,
    block by block by exact search (every block of the shared matrices has
    at most 22 items)."""
    marks = coerce(dsm, None)
    _, _, blocks = _order.split(marks.n, marks.rows.tobytes(), marks.cols.tobytes())
    total = 0
    for _, block in blocks:
        assert block.exact(None, True)
        total += block.score(block.best()[0])[3]
    return total


def objectives(data: Path) -> None:
    print(f"{'matrix':<28}{'marks':>6}{'distance':>9}{'no tie-break':>13}{'least':>7}{'s':>7}{'s without':>10}")
    for path in sorted(data.glob("*.csv")):
        dsm = od.read_dsm(path)
        with_tie = od.sequence(dsm, seed=1)
        without = od.sequence(dsm, seed=1, tie_break=False)
        print(f"{path.stem:<28}{with_tie.feedback_marks:>6}{with_tie.feedback_distance:>9}"
              f"{without.feedback_distance:>13}{least_distance(dsm):>7}{with_tie.seconds:>7.3f}{without.seconds:>10.3f}")
    print()
    print(f"{'random':<16}{'marks, tie-break':>17}{'without':>9}{'distance':>10}{'without':>9}")
    for n, density in ((300, 0.1), (1000, 0.02)):
        cells = random_matrix(n, density)
        with_tie = od.sequence(cells, seed=1, time_limit=TIME_LIMIT)
        without = od.sequence(cells, seed=1, time_limit=TIME_LIMIT, tie_break=False)
        print(f"{f'{n} x {density:g}':<16}{with_tie.feedback_marks:>17}{without.feedback_marks:>9}"
              f"{with_tie.feedback_distance:>10}{without.feedback_distance:>9}")


# -- large inputs

SCALE = """
import json, resource, sys, time
import numpy as np, scipy.sparse
import ovila_dsm as od
kind = sys.argv[1]
rng = np.random.default_rng(1)
if kind == "sparse":
    n, m, limit = 10**6, 5 * 10**6, 10.0
    matrix = scipy.sparse.csr_array((np.ones(m), (rng.integers(0, n, m), rng.integers(0, n, m))), shape=(n, n))
else:
    n, limit = 5000, 5.0
    matrix = (rng.random((n, n)) < 0.5).astype(np.float64)
started = time.perf_counter()
result = od.sequence(matrix, seed=1, time_limit=limit)
print(json.dumps(dict(kind=kind, items=n, limit=limit, returned=time.perf_counter() - started,
                      marks=result.feedback_marks, bound=result.lower_bound,
                      peak_mb=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)))
"""


def scale() -> list[dict[str, object]]:
    found = []
    for kind in ("sparse", "dense"):
        out = subprocess.run([sys.executable, "-c", SCALE, kind], capture_output=True, text=True, check=True)
        found.append(json.loads(out.stdout.strip().splitlines()[-1]))
    return found


# -- proofs on the hard graphs of the literature

PROOF = """
import json, os, re, sys
import ovila_dsm as od
path, optimum, limit = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
dsm = od.read_dsm(path)
held = []
def progress(report):
    if not held and report.feedback_marks <= optimum:
        held.append(report.seconds)
result = od.sequence(dsm, seed=1, time_limit=limit, progress=progress)
if not held and result.feedback_marks <= optimum:
    held.append(result.seconds)
print(json.dumps(dict(result=result.feedback_marks, bound=result.lower_bound, proven=result.optimal,
                      seconds=result.seconds, held=held[0] if held else None)))
"""

IGRAPH = """
import json, sys, time
import igraph
rows = [line.rstrip("\\n").split("\\t") for line in open(sys.argv[1], encoding="utf-8")][1:]
names = {}
edges = [(names.setdefault(a, len(names)), names.setdefault(b, len(names))) for a, b in rows]
graph = igraph.Graph(n=len(names), edges=edges, directed=True)
started = time.perf_counter()
cut = graph.feedback_arc_set(method="ip")
print(json.dumps(dict(result=len(cut), seconds=time.perf_counter() - started)))
"""


def fas_optima(data: Path) -> dict[str, int]:
    text = (data / "README.md").read_text(encoding="utf-8")
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"\| (imase-itoh-n\d+-d\d) \| \d+ \| \d+ \| (\d+) \|", text)}


def child(code: str, args: list[str], cap: float, env: dict[str, str] | None = None) -> dict[str, object] | None:
    try:
        out = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=cap,
                             env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired:
        return None
    lines = out.stdout.strip().splitlines()
    return json.loads(lines[-1]) if out.returncode == 0 and lines else None


def proofs(data: Path, limit: float, igraph_cap: float) -> list[dict[str, object]]:
    rows = []
    for name, optimum in sorted(fas_optima(data).items()):
        path = str(data / "fas-benchmark" / f"{name}.edges.tsv")
        row: dict[str, object] = {"graph": name, "optimum": optimum}
        row["scip"] = child(PROOF, [path, str(optimum), str(limit)], limit + 60, {"OVILA_DSM_PROOF": "scip"})
        row["highs"] = child(PROOF, [path, str(optimum), str(limit)], limit + 60, {"OVILA_DSM_PROOF": "highs"})
        row["igraph"] = child(IGRAPH, [path], igraph_cap)
        rows.append(row)
        print(".", end="", flush=True)
    print()
    return rows


def show_proofs(rows: list[dict[str, object]], limit: float, igraph_cap: float) -> None:
    def cell(found: object) -> str:
        if not isinstance(found, dict):
            return "-"
        proven = "proven" if found["proven"] else f"bound {found['bound']}"
        held = "-" if found["held"] is None else f"{found['held']:.1f}"
        return f"{found['result']} ({proven}, {found['seconds']:.1f} s, opt. at {held})"

    print(f"{'graph':<22}{'opt':>5}  {'sequence, SCIP':<40}{'sequence, HiGHS':<40}igraph ip (cap {igraph_cap:g} s)")
    for row in rows:
        ig = row["igraph"]
        ig_text = f"{ig['result']} in {ig['seconds']:.1f} s" if isinstance(ig, dict) else "not within the cap"
        print(f"{row['graph']:<22}{row['optimum']:>5}  {cell(row['scip']):<40}{cell(row['highs']):<40}{ig_text}")
    for solver in ("scip", "highs"):
        done = [r[solver] for r in rows if isinstance(r[solver], dict)]
        found10 = sum(1 for f in done if f["held"] is not None and f["held"] <= 10)  # type: ignore[index,operator]
        proven = sum(1 for f in done if f["proven"])  # type: ignore[index]
        print(f"{solver}: optimum held within 10 s on {found10} of {len(rows)}; proven within {limit:g} s on {proven} of {len(rows)}")
    print(f"igraph: {sum(isinstance(r['igraph'], dict) for r in rows)} of {len(rows)} within {igraph_cap:g} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="folder of the shared matrices")
    parser.add_argument("--quick", action="store_true", help="random matrices of up to 300 items only")
    parser.add_argument("--skip-debian", action="store_true", help="leave out the Debian graph")
    parser.add_argument("--skip-random", action="store_true", help="only the sections chosen below")
    parser.add_argument("--returns", action="store_true", help="how soon sequence returns on real matrices")
    parser.add_argument("--scale", action="store_true", help="10**6 sparse and 5,000 dense items")
    parser.add_argument("--objectives", action="store_true", help="total distance and the tie-break's cost")
    parser.add_argument("--proofs", action="store_true", help="the Imase-Itoh graphs, SCIP, HiGHS and igraph")
    parser.add_argument("--proof-limit", type=float, default=60.0, help="time limit of sequence there (s)")
    parser.add_argument("--igraph-cap", type=float, default=120.0, help="cap of igraph's exact method (s)")
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores; sequence time limit {TIME_LIMIT:g} s; {od.CONVENTION}", flush=True)
    if not args.skip_random:
        rows = []
        optima = published_optima(args.data) if (args.data / "README.md").exists() else {}
        for name, optimum in sorted(optima.items()):
            rows.append(measure(name.removesuffix(".csv"), od.read_dsm(args.data / name), optimum))
            print(".", end="", flush=True)
        for n, density in RANDOM_SIZES:
            if args.quick and n > 300:
                continue
            rows.append(measure(f"random {n} x {density:g}", random_matrix(n, density), None))
            print(".", end="", flush=True)
        print()
        show(rows)
        print()
        print("\n".join(check(rows)))
    if not args.skip_debian and not args.skip_random:
        found = debian(args.data)
        if found is not None:
            print()
            print(
                "Debian 12 packages: {items} items, {marks} marks, {blocks} blocks of more than one item "
                "(largest {largest}); sequence: {result} feedback marks, lower bound {bound}, "
                "optimal {optimal}; read {read_s:.1f} s, sequence {seq_s:.1f} s, peak memory {peak_mb:.0f} MB".format(
                    **found
                )
            )
    if args.returns:
        print()
        show_returns(returns(args.data))
    if args.scale:
        print()
        for found_scale in scale():
            print("{kind}: {items} items, time limit {limit:g} s: returned after {returned:.2f} s, "
                  "{marks} feedback marks (bound {bound}), peak memory {peak_mb:.0f} MB".format(**found_scale))
    if args.objectives:
        print()
        objectives(args.data)
    if args.proofs:
        print()
        show_proofs(proofs(args.data, args.proof_limit, args.igraph_cap), args.proof_limit, args.igraph_cap)


if __name__ == "__main__":
    main()
