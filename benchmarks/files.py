"""Time and peak memory of reading, analysing and drawing a large matrix file.

    python benchmarks/files.py [FILE]   # default: ../shared/data/debian-packages.edges.tsv.gz

Each step runs in the same process, one after another; peak memory is the
process's high-water mark after each step (ru_maxrss).
"""

from __future__ import annotations

import resource
import sys
import tempfile
import time
from pathlib import Path

import ovila_dsm
from ovila_dsm._bands import feedback_count

ROOT = Path(__file__).resolve().parent.parent
DEFAULT = ROOT.parent / "shared" / "data" / "debian-packages.edges.tsv.gz"


def step(name: str, started: float) -> float:
    now = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{name:<28} {now - started:7.2f} s   peak {peak:7.0f} MiB", flush=True)
    return time.perf_counter()


def main() -> int:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT
    if not path.exists():
        print(f"{path}: not found", file=sys.stderr)
        return 2
    started = step("start", time.perf_counter())
    dsm = ovila_dsm.read_dsm(path)
    print(f"{path.name}: {dsm.n} items, {dsm.matrix.nnz} marks")
    started = step("read_dsm", started)
    found = ovila_dsm.blocks(dsm)
    started = step("blocks and their bands", started)
    bands = ovila_dsm.bands(dsm, found.order)
    started = step(f"item bands ({max(bands)})", started)
    sequencing = ovila_dsm.Sequencing(
        order=found.order, labels=[dsm.labels[i] for i in found.order],
        feedback_marks=feedback_count(dsm, found.order), lower_bound=0, optimal=False,
        blocks=found.blocks, seconds=0.0, method="blocks only", seed=0,
    )
    with tempfile.TemporaryDirectory() as folder:
        ovila_dsm.write_json(Path(folder) / "r.json", ovila_dsm.result(dsm, sequencing))
        started = step("JSON result", started)
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            return 0
        ovila_dsm.draw(dsm, sequencing, Path(folder) / "dsm.png")
        step("picture (PNG)", started)
    return 0


if __name__ == "__main__":
    sys.exit(main())
