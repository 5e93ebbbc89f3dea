"""Sequence a design structure matrix (DSM) read from a file with the genetic
algorithm of ovila_genetic_py.

The file is read by `ovila_dsm.read_dsm`, as the `ovila-dsm` command reads it:
a labelled table (names in the first row and first column, rows matched to
columns by name), an unlabelled square table or an edge list with the header
`item,needs`, as CSV/TSV/semicolon text or an .xlsx workbook. A mark in row i,
column j means item i needs something from item j. The script searches an
order of the items with few feedback marks (marks above the diagonal once rows
and columns follow the order), prints the best order found and, when
matplotlib is installed, draws the matrix before and after ordering and the
fitness over the generations.

`ovila-dsm sequence FILE` does the same job with the best search of the
package (and a proof of optimality when it can find one).
"""

from __future__ import annotations

import argparse
import csv
import sys
from pathlib import Path

import ovila_dsm
import ovila_genetic_py as og

# A published 13-task example (see data/README.md for its source).
DEFAULT_INPUT = Path(__file__).resolve().parent / "data" / "process-13-tasks.csv"


# The genetic algorithm works on a dense matrix: n*n cells.
MAX_ITEMS = 3000
IMAGE_FORMATS = (".png", ".svg", ".pdf", ".jpg", ".jpeg")


def read_dsm(path: Path) -> tuple[list[str], list[float]]:
    """Read a DSM file: the item names and the flat row-major matrix (0 = no
    mark, the diagonal 0). Raises ValueError (`ovila_dsm.DsmFileError`) for a
    file that is not a readable matrix, OSError when it cannot be opened."""
    dsm = ovila_dsm.read_dsm(path)
    if dsm.n > MAX_ITEMS:
        raise ovila_dsm.DsmFileError(
            path, f"{dsm.n} items: too many for this example's dense matrix (ovila-dsm sequence reads any size)"
        )
    dense = dsm.matrix.toarray()
    for i in range(dsm.n):
        dense[i, i] = 0.0
    return list(dsm.labels), [float(v) for v in dense.ravel()]


def feedback_marks(matrix: list[float], n: int, order: list[int]) -> int:
    """Marks above the diagonal when rows and columns follow `order`."""
    return sum(
        1
        for i in range(len(order))
        for j in range(i + 1, len(order))
        if matrix[order[i] * n + order[j]] != 0.0
    )


def sequence(
    matrix: list[float], n: int, generations: int, population: int, hall_of_fame: int
) -> og.Lineage:
    """One simple genetic algorithm run minimising feedback marks."""
    settings = og.SequencingSettings(
        n_genes=n,
        p_crossover=0.9,
        p_mutation=0.3,
        n_chromosomes=population,
        n_generations=generations,
        n_hall_of_fame=hall_of_fame,
    )
    return og.sequence_sga(
        settings,
        og.GeneratorKinds.RandomSequence,
        og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, matrix, None),
        og.RecorderKinds.FitnessStatistics,
        og.SelectorKinds.Roulette,
        og.CrossoverKinds.IPX,
        og.MutatorSwap(max(0.01, 1.0 / max(n, 1))),
        og.ConvergenceKinds.Never,
    )


def plot(
    path: Path,
    names: list[str],
    matrix: list[float],
    order: list[int],
    lineage: og.Lineage,
) -> bool:
    """Draws the matrix before and after ordering and the fitness per kept
    generation into `path`; returns False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.patches import Rectangle
    except ImportError:
        return False

    n = len(names)
    side = 5.2 if n <= 40 else min(16.0, 5.2 + n / 15)

    def short(name: str) -> str:
        return name if len(name) <= 24 else name[:23] + "…"

    def grid(sequence: list[int]) -> list[list[float]]:
        return [[1.0 if matrix[r * n + c] != 0.0 else 0.0 for c in sequence] for r in sequence]

    records = list(reversed(lineage.records))  # oldest first
    first = len(lineage.records) - 1
    newest = lineage.generations[0].generation if lineage.generations else first
    x = [newest - first + k for k in range(len(records))]

    fig, axes = plt.subplots(1, 3, figsize=(3 * side, side), gridspec_kw={"width_ratios": [1, 1, 1.2]})
    original = list(range(n))
    panels = [
        (axes[0], original, f"Original order: {feedback_marks(matrix, n, original)} feedback marks"),
        (axes[1], order, f"Best order found: {feedback_marks(matrix, n, order)} feedback marks"),
    ]
    for ax, sequence_, title in panels:
        cells = grid(sequence_)
        ax.imshow(cells, cmap="Greys", vmin=0, vmax=1.6, interpolation="nearest")
        for i in range(n):  # feedback marks in red
            for j in range(i + 1, n):
                if cells[i][j]:
                    ax.add_patch(Rectangle((j - 0.5, i - 0.5), 1, 1, color="tab:red"))
        ax.plot([-0.5, n - 0.5], [-0.5, n - 0.5], color="tab:blue", linewidth=0.8)
        # Every name up to 150 items (every k-th above), long names shortened.
        step = 1 if n <= 150 else -(-n // 100)
        ticks = list(range(0, n, step))
        labels = [short(names[sequence_[t]]) for t in ticks]
        font = max(4.0, min(8.0, 320 / len(ticks)))
        ax.set_xticks(ticks, labels, rotation=90, fontsize=font)
        ax.set_yticks(ticks, labels, fontsize=font)
        ax.set_title(title, fontsize=10)
    best_so_far: list[float] = []
    for r in records:
        best_so_far.append(max(r.max, best_so_far[-1]) if best_so_far else r.max)
    axes[2].plot(x, best_so_far, label="best so far", color="tab:green")
    axes[2].plot(x, [r.max for r in records], label="best fitness")
    axes[2].plot(x, [r.mean for r in records], label="mean fitness")
    axes[2].set_xlabel("generation")
    axes[2].set_ylabel("fitness (higher is better)")
    axes[2].legend()
    axes[2].set_title("Fitness per generation", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=120 if n <= 40 else 90, bbox_inches="tight")
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Order the items of a design structure matrix so that few dependencies point backwards."
    )
    parser.add_argument(
        "input",
        nargs="?",
        type=Path,
        default=DEFAULT_INPUT,
        help="DSM file: a labelled or unlabelled table or an edge list, CSV/TSV/semicolon or .xlsx "
        "(default: the bundled 13-task example)",
    )
    parser.add_argument("--generations", type=int, default=200, help="generations to run (default: 200)")
    parser.add_argument("--population", type=int, default=100, help="chromosomes per generation (default: 100)")
    parser.add_argument(
        "--output",
        type=Path,
        default=Path("dsm.png"),
        help="image to write when matplotlib is installed: .png, .svg, .pdf or .jpg (default: dsm.png)",
    )
    args = parser.parse_args(argv)
    if args.generations < 0:
        parser.error("--generations must be at least 0")
    if args.population != 0 and args.population < 2:
        parser.error("--population must be 0 or at least 2")

    if args.output.suffix.lower() not in IMAGE_FORMATS:
        print(f"error: {args.output}: unknown picture format {args.output.suffix or '(none)'!r}: "
              f"use {', '.join(IMAGE_FORMATS)}", file=sys.stderr)
        return 2
    if not args.output.resolve().parent.is_dir():
        print(f"error: {args.output}: the folder {str(args.output.parent)!r} does not exist", file=sys.stderr)
        return 2
    try:
        names, matrix = read_dsm(args.input)
    except OSError as error:
        print(f"error: {args.input}: {error.strerror or error}", file=sys.stderr)
        return 2
    except ValueError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    n = len(names)

    lineage = sequence(matrix, n, args.generations, args.population, hall_of_fame=5)
    if not lineage.hall_of_fame.chromosomes:
        print("No chromosome was evaluated (population 0).")
        return 0
    best = lineage.hall_of_fame.chromosomes[0]
    order = best.genes

    before = feedback_marks(matrix, n, list(range(n)))
    after = feedback_marks(matrix, n, order)
    print(f"{n} items, {sum(1 for v in matrix if v != 0.0)} marks")
    print(f"Feedback marks: {before} in the given order, {after} in the best order found "
          f"(fitness {best.fitness:g})")
    print("Best order:")
    for position, k in enumerate(order, start=1):
        print(f"  {position:>{len(str(n))}}. {names[k]}")
    try:
        drawn = plot(args.output, names, matrix, order, lineage)
    except OSError as error:
        print(f"error: {args.output}: cannot write: {error.strerror or error}", file=sys.stderr)
        return 2
    if drawn:
        print(f"Wrote {args.output}")
    else:
        print("Install matplotlib (pip install '.[plot]') to draw the matrices.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
