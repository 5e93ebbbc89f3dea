"""Resource limits: run sizes that memory cannot hold are refused with
MemoryError before anything is allocated, and a sequence's own claim about its
length never makes the module reserve memory for items that do not exist."""

import os
import subprocess
import sys
import textwrap

import pytest

import ovila_genetic_py as og

from conftest import make_settings, run
from test_run import check_lineage

U64_MAX = 2**64 - 1
PAGE_BYTES = 4096


def virtual_size():
    """The process's virtual size in bytes: reserved but untouched memory counts too."""
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[0]) * PAGE_BYTES


def assert_small_run_works():
    s = make_settings(n_genes=5, n_chromosomes=4, n_generations=2)
    check_lineage(run(s), s, og.EvaluatorValue(1.0))


# Sizes whose working set cannot fit in any machine's memory: (n_genes,
# n_chromosomes, n_generations).
TOO_LARGE = [
    (2**40, 2, 0),                 # one chromosome's genes alone exceed memory
    (U64_MAX, 2, 1),               # genes * 8 overflows
    (6, 2**50, 1),                 # too many chromosomes
    (6, U64_MAX, 0),               # chromosomes * size overflows
    (6, 4, 2**50),                 # too many generations to keep
    (6, 4, U64_MAX),               # generations + 3 overflows
    (0, 2, 2**50),                 # even chromosomes without genes cost memory
    (2**40, 0, 2**50),             # empty populations and their records still cost memory
    (0, 0, 2**50),
    (0, 0, U64_MAX),
]


@pytest.mark.parametrize("n_genes, n_chromosomes, n_generations", TOO_LARGE,
                         ids=[str(c) for c in TOO_LARGE])
def test_sizes_beyond_memory_raise_memory_error_and_leave_the_module_usable(
        n_genes, n_chromosomes, n_generations):
    s = make_settings(n_genes=n_genes, n_chromosomes=n_chromosomes, n_generations=n_generations)
    with pytest.raises(MemoryError) as excinfo:
        run(s)
    assert str(excinfo.value) == (
        f"a run of {n_chromosomes} chromosomes of {n_genes} genes keeping up to "
        f"{n_generations} generations needs more memory than this machine has")
    # the same with other operators
    with pytest.raises(MemoryError):
        run(s, crossover=og.CrossoverKinds.Point, selector=og.SelectorKinds.Random)
    assert_small_run_works()


def test_refusals_of_the_configuration_come_before_the_memory_check():
    with pytest.raises(ValueError, match="n_chromosomes is required"):
        run(make_settings(n_genes=2**60, n_chromosomes=None, n_generations=U64_MAX))
    with pytest.raises(ValueError, match="unrecognized crossover options"):
        run(make_settings(n_genes=2**60, n_chromosomes=2**60), crossover=og.CrossoverKinds.Blend)


def test_huge_empty_run_in_a_fresh_process_is_refused_not_run():
    # Before the per-population cost was counted, zero chromosomes with a huge
    # number of generations passed the check and then ran (and grew) for ever.
    # A separate process keeps a regression from stalling the whole suite.
    script = textwrap.dedent("""
        import ovila_genetic_py as og
        s = og.SequencingSettings(6, 0.9, 0.2, n_chromosomes=0, n_generations=10**12)
        try:
            og.sequence_sga(s, og.GeneratorKinds.RandomSequence, og.EvaluatorValue(1.0),
                            og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Random,
                            og.CrossoverKinds.IPX, og.MutatorSwap(0.1), og.ConvergenceKinds.Never)
        except MemoryError:
            print("MemoryError")
    """)
    try:
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                timeout=300)
    except subprocess.TimeoutExpired:
        pytest.fail("a run of 10**12 empty generations was started instead of refused")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError"]


def test_the_hall_of_fame_is_counted_before_a_run_starts():
    # Populations that fit with a hall of fame that does not: refused up
    # front. The hall holds at most the orders the run makes (4 here), so a
    # "keep everything" capacity costs no more than that. In a child process
    # with a bounded address space, so that a regression fails fast.
    memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    n_genes = memory * 3 // 4 // (8 * 8)  # the 4 kept and working populations of 2: 3/4 of memory
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import os, resource
        import ovila_genetic_py as og
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (2**32, 2**32))
        s = og.SequencingSettings({n_genes}, 0.9, 0.2, n_chromosomes=2, n_generations=1,
                                  n_hall_of_fame=10**9)
        try:
            og.sequence_sga(s, og.GeneratorKinds.RandomSequence, og.EvaluatorValue(1.0),
                            og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Random,
                            og.CrossoverKinds.IPX, og.MutatorSwap(0.1), og.ConvergenceKinds.Never)
        except MemoryError as error:
            print(error)
    """)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (f"a run of 2 chromosomes of {n_genes} genes keeping up to 1 "
                             "generations needs more memory than this machine has\n")


def test_runs_without_chromosomes_need_no_gene_memory():
    for n_genes in (2**61, U64_MAX):
        s = make_settings(n_genes=n_genes, n_chromosomes=0, n_generations=2)
        lineage = run(s)
        assert [len(p.chromosomes) for p in lineage.generations] == [0, 0]


class LyingLength(list):
    """A list subclass whose __len__ claims far more items than it holds."""

    def __len__(self):
        return 2**62


class LyingSequence:
    """A sequence by __getitem__ whose __len__ lies."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("make", [LyingLength, LyingSequence], ids=["list-subclass", "getitem"])
def test_a_lying_length_reserves_no_memory_for_missing_items(make):
    # Each conversion used to reserve a megabyte-sized buffer per claimed
    # sequence and the objects kept it; thousands of them reserved gigabytes.
    count = 2000
    before = virtual_size()
    chromosomes = [og.Chromosome(make([1, 2, 3]), 1.0) for _ in range(count)]
    matrices = [og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, make([0.0] * 4))
                for _ in range(count)]
    population = og.Population(make([og.Chromosome(make([i])) for i in range(50)]), 0)
    growth = virtual_size() - before
    assert growth < 256 * 2**20, f"reserved {growth / 2**20:.0f} MiB for {count} tiny sequences"
    assert chromosomes[-1].genes == [1, 2, 3]
    assert matrices[-1].matrix == [0.0] * 4
    assert [c.genes for c in population.chromosomes] == [[i] for i in range(50)]
    s = make_settings(n_genes=2, n_chromosomes=2, n_generations=1)
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackDistance, make([0.0, 1.0, 0.0, 0.0]))
    check_lineage(run(s, evaluator=evaluator), s, evaluator)


def test_exact_lists_and_tuples_of_any_length_convert_completely():
    genes = list(range(300_000))
    assert og.Chromosome(genes).genes == genes
    assert og.Chromosome(tuple(genes)).genes == genes
    assert og.Chromosome(range(1000)).genes == list(range(1000))
