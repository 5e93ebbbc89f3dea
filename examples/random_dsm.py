"""Order a larger random design structure matrix and report the hall of fame.

A random DSM of --n items is built from --seed with each off-diagonal cell a
mark with probability --density. One run keeps the --hall-of-fame best
distinct orders it meets; the script prints each with its feedback marks and
the fitness records of the last generations.
"""

from __future__ import annotations

import argparse
import random
import sys
import time

import ovila_genetic_py as og


def random_dsm(n: int, density: float, seed: int) -> list[float]:
    """A flat row-major n x n 0/1 matrix with an empty diagonal."""
    rng = random.Random(seed)
    return [1.0 if r != c and rng.random() < density else 0.0 for r in range(n) for c in range(n)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Sequence a random DSM and print the hall of fame.")
    parser.add_argument("--n", type=int, default=200, help="number of items (default: 200)")
    parser.add_argument("--density", type=float, default=0.05, help="share of marked cells (default: 0.05)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random matrix (default: 1)")
    parser.add_argument("--generations", type=int, default=2000, help="generations to run (default: 2000)")
    parser.add_argument("--population", type=int, default=100, help="chromosomes per generation (default: 100)")
    parser.add_argument("--hall-of-fame", type=int, default=5, help="best distinct orders to keep (default: 5)")
    args = parser.parse_args(argv)
    if args.n < 1 or args.population < 2 or args.generations < 1 or args.hall_of_fame < 1:
        parser.error("--n, --generations and --hall-of-fame must be positive, --population at least 2")
    if not 0.0 <= args.density <= 1.0:
        parser.error("--density must be between 0 and 1")
    if args.n > 3000:
        parser.error("--n must be at most 3000 (the matrix is dense: n*n cells)")

    n = args.n
    matrix = random_dsm(n, args.density, args.seed)
    settings = og.SequencingSettings(
        n_genes=n,
        p_crossover=0.9,
        p_mutation=0.3,
        n_chromosomes=args.population,
        n_generations=args.generations,
        n_records=5,  # keep only the last few records and populations
        n_hall_of_fame=args.hall_of_fame,
    )
    started = time.perf_counter()
    lineage = og.sequence_sga(
        settings,
        og.GeneratorKinds.RandomSequence,
        og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, matrix, 0),
        og.RecorderKinds.FitnessStatistics,
        og.SelectorKinds.Roulette,
        og.CrossoverKinds.IPX,
        og.MutatorSwap(2.0 / n),
        og.ConvergenceKinds.Never,
    )
    elapsed = time.perf_counter() - started

    # With offset 0, fitness = n(n-1)/2 - feedback marks.
    above = n * (n - 1) // 2
    identity_marks = sum(1 for r in range(n) for c in range(r + 1, n) if matrix[r * n + c] != 0.0)
    print(f"{n} items, density {args.density}, {args.generations} generations of {args.population}: {elapsed:.2f} s")
    print(f"Feedback marks in the original order: {identity_marks}")
    print("Hall of fame (best first):")
    for rank, chromosome in enumerate(lineage.hall_of_fame.chromosomes, start=1):
        fitness = chromosome.fitness if chromosome.fitness is not None else float("nan")
        head = " ".join(str(g) for g in chromosome.genes[:12])
        print(f"  {rank}. {above - int(fitness)} feedback marks  order: {head} ...")
    print("Last records (newest first):")
    for record in lineage.records:
        print(f"  best {above - record.max:.0f} marks, mean {above - record.mean:.1f} marks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
