"""OVILA_KERNELS: the kernels both extension modules use, chosen once when they load.

"portable" forces the portable kernels, unset or "auto" leaves the choice to
the processor, anything else fails the import. Each choice is checked in a
child process, on a matrix wide enough (320 items: five words per bit row)
for the AVX2 scores to engage where the processor has AVX2, against the
pure-Python scores.
"""

import json
import math
import os
import platform
import random
import subprocess
import sys
from pathlib import Path

import pytest

import ovila_genetic_py as og

import reference

N = 320

# Reads the matrix from standard input, runs a short genetic algorithm per
# matrix score and prints the kernels in force with the last generation.
PROBE = r"""
import json, sys
import ovila_genetic_py as og
from ovila_dsm import _order

matrix = json.loads(sys.stdin.read())
n = int(len(matrix) ** 0.5)
runs = {}
for kind in ("FeedbackMarks", "FeedbackDistance", "LowerLeftDistance"):
    settings = og.SequencingSettings(n_genes=n, p_crossover=0.9, p_mutation=0.5, n_chromosomes=6, n_generations=2)
    lineage = og.sequence_sga(
        settings, og.GeneratorKinds.RandomSequence,
        og.EvaluatorMatrix(getattr(og.EvaluatorKinds, kind), matrix, None),
        og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Roulette, og.CrossoverKinds.IPX,
        og.MutatorSwap(0.05), og.ConvergenceKinds.Never)
    runs[kind] = [[c.genes, c.fitness] for c in lineage.generations[0].chromosomes]
print(json.dumps({"genetic": og._kernels, "order": _order._kernels, "runs": runs}))
"""


def processor_kernels():
    """The kernels this processor calls for ("avx2" or "portable"), or None when unknown."""
    if platform.machine() not in ("x86_64", "AMD64"):
        return "portable"
    try:
        info = Path("/proc/cpuinfo").read_text()
    except OSError:
        return None
    for line in info.splitlines():
        if line.startswith("flags"):
            return "avx2" if {"avx2", "popcnt"} <= set(line.split(":", 1)[1].split()) else "portable"
    return None


def child_environment(setting):
    env = dict(os.environ)
    env.pop("OVILA_KERNELS", None)
    if setting is not None:
        env["OVILA_KERNELS"] = setting
    return env


def matrix():
    rng = random.Random(320)
    cells = [rng.choice((1.0, 1.0, math.nan, -0.0)) if rng.random() < 0.1 else 0.0 for _ in range(N * N)]
    for i in range(N):
        cells[i * N + i] = 0.0
    return cells


def test_this_process_runs_the_kernels_its_environment_asks_for():
    # The kernels' tests run once more with OVILA_KERNELS=portable: this is
    # where that run shows it took effect.
    if os.environ.get("OVILA_KERNELS") == "portable":
        assert og._kernels == "portable"
    elif processor_kernels() is not None:
        assert og._kernels == processor_kernels()


@pytest.mark.parametrize("setting", [None, "auto", "portable"])
def test_both_modules_take_the_choice_and_score_right_under_it(setting):
    cells = matrix()
    done = subprocess.run([sys.executable, "-c", PROBE], input=json.dumps(cells), env=child_environment(setting),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    expected = "portable" if setting == "portable" else processor_kernels()
    assert result["genetic"] == result["order"]
    if expected is not None:
        assert result["genetic"] == expected
    for kind, chromosomes in result["runs"].items():
        assert len(chromosomes) == 6
        for genes, fitness in chromosomes:
            assert sorted(genes) == list(range(N))
            assert fitness == reference.score(kind, cells, genes), kind


@pytest.mark.parametrize("module", ["ovila_genetic_py", "ovila_dsm._order"])
def test_a_value_it_does_not_know_fails_the_import(module):
    done = subprocess.run([sys.executable, "-c", f"import {module}"], env=child_environment("avx"),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert "ValueError: OVILA_KERNELS must be 'portable' or 'auto' (or unset), got 'avx'" in done.stderr
