#!/usr/bin/env python3
"""Peak memory of a sequence_sga run that keeps every generation.

A run with n genes, a population of N and G generations keeps G populations
of N chromosomes of n 8-byte genes: G*N*n*8 bytes of genes. Each measurement
runs in its own subprocess and reads its peak resident set size
(resource.getrusage ru_maxrss); the baseline subprocess does everything but
the run (interpreter, imports, matrix and evaluator), and the difference is
compared with G*N*n*8 (target: at most 1.3x).

    python benchmarks/memory.py [--n 300] [--pop 100] [--generations 200] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

CHILD = r"""
import json, random, resource, sys
import ovila_genetic_py as og
n, pop, generations, run = (int(a) for a in sys.argv[1:5])
rng = random.Random(20240611 + n)
cells = [1.0 if r != c and rng.random() < 0.1 else 0.0 for r in range(n) for c in range(n)]
evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, cells, None)
settings = og.SequencingSettings(n_genes=n, p_crossover=0.9, p_mutation=0.2, n_chromosomes=pop,
                                 n_generations=generations, n_records=None, n_hall_of_fame=1)
kept = None
if run:
    lineage = og.sequence_sga(settings, og.GeneratorKinds.RandomSequence, evaluator,
                              og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Roulette,
                              og.CrossoverKinds.IPX, og.MutatorSwap(0.05), og.ConvergenceKinds.Never)
    if len(sys.argv) > 5:  # also read the generations attribute (converts them to Python objects)
        kept = len(lineage.generations)
    del lineage
with open("/proc/self/statm") as statm:
    resident = int(statm.read().split()[1]) * resource.getpagesize() // 1024
print(json.dumps({"maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "kept": kept,
                  "resident_kib": resident}))
"""


def measure(n: int, pop: int, generations: int, run: bool, read: bool = False) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(n), str(pop), str(generations), str(int(run))] + (["read"] if read else []),
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=300)
    parser.add_argument("--pop", type=int, default=100)
    parser.add_argument("--generations", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    genes_bytes = args.generations * args.pop * args.n * 8
    extras = []
    after = []
    kept = None
    for _ in range(args.repeat):
        baseline = measure(args.n, args.pop, args.generations, run=False)
        result = measure(args.n, args.pop, args.generations, run=True)
        kept = result["kept"]
        extras.append((result["maxrss_kib"] - baseline["maxrss_kib"]) * 1024)
        after.append((result["resident_kib"] - baseline["resident_kib"]) * 1024)
    extra = statistics.median(extras)
    base = measure(args.n, args.pop, args.generations, run=False)["maxrss_kib"]
    read = measure(args.n, args.pop, args.generations, run=True, read=True)
    kept = read["kept"]
    read_extra = (read["maxrss_kib"] - base) * 1024
    ratio = extra / genes_bytes
    print(f"n={args.n} pop={args.pop} generations={args.generations} (populations kept: {kept})")
    print(f"G*N*n*8 = {genes_bytes / 2**20:.1f} MiB")
    print(f"peak RSS above baseline: {extra / 2**20:.1f} MiB (median of {args.repeat}: "
          + ", ".join(f"{e / 2**20:.1f}" for e in extras) + ")")
    print(f"ratio {ratio:.3f} (target <= 1.3: {'met' if ratio <= 1.3 else 'NOT met'})")
    print(f"for information, after also reading lineage.generations once: {read_extra / 2**20:.1f} MiB "
          f"({read_extra / genes_bytes:.2f}x)")
    print(f"resident after the lineage is released: {statistics.median(after) / 2**20:.1f} MiB above baseline "
          "(kept for reuse: the thread's released gene buffers, at most 32 MiB, and what malloc keeps)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
