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

    pip install '.[bench]' && python benchmarks/quality.py

Options: --data DIR (default ../shared/data beside the repository),
--quick (random matrices of 100 and 300 items only), --skip-debian.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np

import ovila_dsm as od
from ovila_dsm import _order
from ovila_dsm._graph import coerce

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


def greedy_and_local_search(cells: object) -> dict[str, float]:
    graph, _ = coerce(cells, None)
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
    graph, _ = coerce(cells, None)
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="folder of the shared matrices")
    parser.add_argument("--quick", action="store_true", help="random matrices of up to 300 items only")
    parser.add_argument("--skip-debian", action="store_true", help="leave out the Debian graph")
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores; sequence time limit {TIME_LIMIT:g} s; {od.CONVENTION}", flush=True)
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
    if not args.skip_debian:
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


if __name__ == "__main__":
    main()
