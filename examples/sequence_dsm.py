"""Sequence a design structure matrix (DSM) read from a CSV file.

The CSV holds item names in its first row and first column and the matrix in
the rest: a non-zero cell in row i, column j means item i needs something from
item j. The script searches an order of the items with few feedback marks
(marks above the diagonal once rows and columns follow the order), prints the
best order found and, when matplotlib is installed, draws the matrix before and
after ordering and the fitness over the generations.
"""

from __future__ import annotations

import argparse
import csv
import sys
from pathlib import Path

import ovila_genetic_py as og

# A published 13-task example (see data/README.md for its source).
DEFAULT_INPUT = Path(__file__).resolve().parent / "data" / "process-13-tasks.csv"


def read_dsm(path: Path) -> tuple[list[str], list[float]]:
    """Read a square DSM: item names in the first row and first column.

    Returns the item names and the flat row-major matrix; empty cells are 0.
    """
    with path.open(newline="", encoding="utf-8-sig") as handle:
        rows = [row for row in csv.reader(handle) if any(cell.strip() for cell in row)]
    if not rows:
        raise ValueError(f"{path}: empty file")
    names = [cell.strip() for cell in rows[0][1:]]
    n = len(names)
    body = rows[1:]
    if len(body) != n:
        raise ValueError(f"{path}: {n} column names but {len(body)} rows")
    flat: list[float] = []
    for r, row in enumerate(body):
        cells = row[1 : n + 1]
        if len(cells) != n or any(cell.strip() for cell in row[n + 1 :]):
            raise ValueError(f"{path}: row {r + 1} ({row[0].strip()!r}) does not have {n} cells")
        for c, cell in enumerate(cells):
            text = cell.strip()
            try:
                flat.append(float(text) if text else 0.0)
            except ValueError:
                raise ValueError(
                    f"{path}: cell ({row[0].strip()}, {names[c]}) is not a number: {text!r}"
                ) from None
    return names, flat


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

    def grid(sequence: list[int]) -> list[list[float]]:
        return [[1.0 if matrix[r * n + c] != 0.0 else 0.0 for c in sequence] for r in sequence]

    records = list(reversed(lineage.records))  # oldest first
    first = len(lineage.records) - 1
    newest = lineage.generations[0].generation if lineage.generations else first
    x = [newest - first + k for k in range(len(records))]

    fig, axes = plt.subplots(1, 3, figsize=(16, 5.2), gridspec_kw={"width_ratios": [1, 1, 1.2]})
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
        labels = [names[k] for k in sequence_]
        if n <= 40:
            ax.set_xticks(range(n), labels, rotation=90, fontsize=8)
            ax.set_yticks(range(n), labels, fontsize=8)
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
    fig.savefig(path, dpi=120)
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
        help="CSV file with item names in the first row and column (default: the bundled 13-task example)",
    )
    parser.add_argument("--generations", type=int, default=200, help="generations to run (default: 200)")
    parser.add_argument("--population", type=int, default=100, help="chromosomes per generation (default: 100)")
    parser.add_argument(
        "--output", type=Path, default=Path("dsm.png"), help="image to write when matplotlib is installed (default: dsm.png)"
    )
    args = parser.parse_args(argv)
    if args.generations < 0:
        parser.error("--generations must be at least 0")
    if args.population != 0 and args.population < 2:
        parser.error("--population must be 0 or at least 2")

    try:
        names, matrix = read_dsm(args.input)
    except (OSError, ValueError) as error:
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
    print(f"Original order: {' '.join(names)}")
    print(f"  feedback marks: {before}")
    print(f"Best order:     {' '.join(names[k] for k in order)}")
    print(f"  feedback marks: {after} (fitness {best.fitness:g})")
    if plot(args.output, names, matrix, order, lineage):
        print(f"Wrote {args.output}")
    else:
        print("Install matplotlib (pip install '.[plot]') to draw the matrices.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
