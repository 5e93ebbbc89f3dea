"""Quality of the ordering engine on random matrices.

For each size and density: feedback marks of the greedy order, of the plain
insertion local search from it (sift), of the strong search (improve) from
the greedy order after 2 s and 10 s, and the cycle-packing lower bound.
Matrices as the quality benchmark makes them: every off-diagonal cell a mark
with probability d, numpy.random.default_rng(seed). Then the same for the
largest strongly connected block of the Debian package graph (optimum of the
whole graph: 1,368 feedback marks), when the data is there.

    python benchmarks/order_tuning.py [--seed 0] [--limits 2 10] [--sizes 100 300 1000]
"""
from __future__ import annotations

import argparse
import csv
import gzip
import pathlib
import time

import numpy as np
from ovila_dsm import _order


def random_graph(n: int, density: float, seed: int) -> tuple[int, bytes, bytes]:
    rng = np.random.default_rng(seed)
    cells = rng.random((n, n)) < density
    np.fill_diagonal(cells, False)
    rows, cols = np.nonzero(cells)
    indptr = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return n, indptr.tobytes(), cols.astype(np.int32).tobytes()


DEBIAN = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "debian-packages.edges.tsv.gz"


def csr(n: int, rows: np.ndarray, cols: np.ndarray) -> tuple[int, bytes, bytes]:
    sort = np.argsort(rows, kind="stable")
    indptr = np.zeros(n + 1, dtype=np.int32)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return n, indptr.tobytes(), cols[sort].astype(np.int32).tobytes()


def debian_block(path: pathlib.Path) -> tuple[int, bytes, bytes, int, int, int]:
    """The largest block of the graph, with the graph's items, marks and blocks."""
    ids: dict[str, int] = {}
    rows, cols = [], []
    with gzip.open(path, "rt", newline="") as f:
        reader = csv.reader(f, delimiter="\t")
        next(reader)
        for item, needs in reader:
            rows.append(ids.setdefault(item, len(ids)))
            cols.append(ids.setdefault(needs, len(ids)))
    n = len(ids)
    r, c = np.asarray(rows), np.asarray(cols)
    block_of, _ = _order.condense(*csr(n, r, c))
    block_of = np.frombuffer(block_of, np.int32)
    sizes = np.bincount(block_of)
    largest = int(np.argmax(sizes))
    local = np.full(n, -1)
    members = np.nonzero(block_of == largest)[0]
    local[members] = np.arange(members.size)
    keep = (local[r] >= 0) & (local[c] >= 0)
    return (*csr(members.size, local[r[keep]], local[c[keep]]), n, len(rows), int((sizes > 1).sum()))


def report(name: str, graph: tuple[int, bytes, bytes], limits: list[float], seed: int) -> None:
    greedy = _order.greedy(*graph)
    sifted = _order.sift(*graph, greedy)
    started = time.perf_counter()
    bound = _order.Block(*graph).cycle_bound()
    bound_took = time.perf_counter() - started
    base = _order.feedback(*graph, sifted)
    line = (f"{name:>11} {len(graph[2]) // 4:>7} {_order.feedback(*graph, greedy):>7}"
            f" {base:>7} {bound:>7}")
    for limit in limits:
        started = time.perf_counter()
        block = _order.Block(*graph)
        block.raise_bound(bound)
        _, _, _, cost = block.improve(seed, limit, 1 << 40, start=greedy)
        took = time.perf_counter() - started
        line += f" {cost:>7} ({took:4.1f}s) {100 * (cost - base) / base:>+6.1f}%"
    print(line + f"   bound in {bound_took:.2f}s", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--limits", type=float, nargs="+", default=[2.0, 10.0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 300, 1000])
    parser.add_argument("--densities", type=float, nargs="+", default=[0.02, 0.1])
    args = parser.parse_args()
    head = f"{'n, d':>11} {'marks':>7} {'greedy':>7} {'sift':>7} {'bound':>7}"
    for limit in args.limits:
        head += f" {f'improve {limit:g}s':>16} {'vs sift':>7}"
    print(head)
    for n in args.sizes:
        for density in args.densities:
            report(f"{n}, {density}", random_graph(n, density, args.seed), args.limits, args.seed)
    if DEBIAN.exists():
        started = time.perf_counter()
        *graph, items, marks, blocks = debian_block(DEBIAN)
        print(f"Debian: {items} items, {marks} marks, {blocks} blocks; largest block {graph[0]} items"
              f" (read in {time.perf_counter() - started:.1f}s)")
        report("debian", tuple(graph), args.limits, args.seed)


if __name__ == "__main__":
    main()
