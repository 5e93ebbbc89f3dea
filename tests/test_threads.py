"""Several Python threads using the module at once.

Runs started from many threads complete with valid results while other
threads read and assign attributes of shared objects, and every thread draws
from its own random source: runs in different threads are not copies of each
other's random streams.
"""

import pathlib
import subprocess
import sys
import textwrap
import threading

import ovila_genetic_py as og

from conftest import TASKS13_MATRIX, TASKS13_N, make_settings, sga_arguments
from test_run import check_lineage

THREADS = 6


def run_in_threads(count, body):
    """Runs body(i) in `count` threads started together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    results = [None] * count
    errors = []

    def target(i):
        try:
            barrier.wait()
            results[i] = body(i)
        except BaseException as error:  # noqa: B036 - reported to the main thread
            errors.append(error)

    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return results


def first_orders(lineage):
    return tuple(tuple(c.genes) for p in lineage.generations for c in p.chromosomes)


def test_concurrent_runs_give_valid_results():
    configurations = [
        (make_settings(n_genes=TASKS13_N, n_chromosomes=8, n_generations=4, n_hall_of_fame=3),
         og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackDistance, TASKS13_MATRIX)),
        (make_settings(n_genes=TASKS13_N, n_chromosomes=5, n_generations=3, n_records=2),
         og.EvaluatorMatrix(og.EvaluatorKinds.LowerLeftDistance, TASKS13_MATRIX, 7)),
        (make_settings(n_genes=6, n_chromosomes=0, n_generations=2), og.EvaluatorValue(1.0)),
        (make_settings(n_genes=9, n_chromosomes=7, n_generations=5, n_hall_of_fame=10),
         og.EvaluatorValue(float("nan"))),
    ]

    def body(i):
        lineages = []
        for k in range(8):
            settings, evaluator = configurations[(i + k) % len(configurations)]
            selector = og.SelectorKinds.Roulette if k % 2 else og.SelectorKinds.Random
            arguments = sga_arguments(settings, evaluator=evaluator, selector=selector)
            lineage = og.sequence_sga(**arguments)
            check_lineage(lineage, settings, evaluator)
            lineages.append((lineage, settings, evaluator))
        return lineages

    for lineages in run_in_threads(THREADS, body):
        # results stay valid after all threads are done
        for lineage, settings, evaluator in lineages:
            check_lineage(lineage, settings, evaluator)


def test_shared_objects_read_and_assigned_while_runs_go_on():
    shared_settings = make_settings(n_genes=8, n_chromosomes=6, n_generations=3, n_hall_of_fame=4)
    shared_lineage = og.sequence_sga(**sga_arguments(shared_settings))
    shared_chromosome = og.Chromosome([0, 1, 2, 3], 1.0)
    stop = threading.Event()

    class SwitchingIndex:
        """An index whose conversion lets other threads run mid-assignment."""

        def __init__(self, value):
            self.value = value

        def __index__(self):
            sys._getframe()  # a Python-level call: a chance for a thread switch
            return self.value

    def runner(i):
        results = []
        for _ in range(10):
            lineage = og.sequence_sga(**sga_arguments(shared_settings))
            # p_crossover and p_mutation change under our feet; nothing checked depends on them
            check_lineage(lineage, shared_settings, og.EvaluatorValue(1.0))
            results.append(lineage)
        return results

    def reader(_):
        reads = 0
        while not stop.is_set() or reads < 50:
            generations = shared_lineage.generations
            assert [p.generation for p in generations] == [3, 2, 1]
            assert len(shared_lineage.hall_of_fame.chromosomes) <= 4
            genes = shared_chromosome.genes
            assert sorted(genes) == [0, 1, 2, 3] or genes == [3, 3, 3, 3]
            reads += 1
        return reads

    def writer(_):
        writes = 0
        while not stop.is_set() or writes < 50:
            shared_settings.p_crossover = (writes % 3) / 2
            shared_settings.p_mutation = 1.0 - (writes % 3) / 2
            shared_chromosome.genes = [SwitchingIndex(3)] * 4 if writes % 2 else [3, 1, 0, 2]
            writes += 1
        return writes

    def body(i):
        if i < 3:
            try:
                return runner(i)
            finally:
                if i == 0:
                    stop.set()
        return reader(i) if i % 2 else writer(i)

    results = run_in_threads(6, body)
    for lineages in results[:3]:
        assert len(lineages) == 10
    assert all(count >= 50 for count in results[3:])


def test_each_thread_draws_from_its_own_random_source():
    # Threads running at the same moment, and threads started one after the
    # other, must not repeat each other's random streams. Two independent
    # runs share their 8 random initial orders of 20 genes with probability
    # about (1/20!)**8, so any repetition means a shared or repeated seed.
    settings = make_settings(n_genes=20, n_chromosomes=8, n_generations=1, p_crossover=0.0,
                             p_mutation=0.0)

    def body(_):
        return first_orders(og.sequence_sga(**sga_arguments(settings)))

    together = run_in_threads(THREADS, body)
    one_after_another = []
    for _ in range(THREADS):
        one_after_another += run_in_threads(1, body)
    here = [body(0), body(0)]
    streams = together + one_after_another + here
    assert len(set(streams)) == len(streams)
    for orders in streams:
        assert all(sorted(order) == list(range(20)) for order in orders)


def run_script(script):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=300, cwd=pathlib.Path(__file__).resolve().parents[1])


def test_forked_processes_draw_their_own_random_streams():
    # A forked child starts with a copy of its parent's generator: its runs,
    # and every sibling's, must still differ from the parent's. The same
    # through the multistart example's process pool with the fork start
    # method, after a serial run in the parent.
    result = run_script("""
        import multiprocessing, os, sys
        import ovila_genetic_py as og
        sys.path.insert(0, "examples")
        import multistart

        def orders():
            s = og.SequencingSettings(20, 0.0, 0.0, n_chromosomes=8, n_generations=1)
            lineage = og.sequence_sga(s, og.GeneratorKinds.RandomSequence, og.EvaluatorValue(1.0),
                                      og.RecorderKinds.FitnessStatistics, og.SelectorKinds.Random,
                                      og.CrossoverKinds.IPX, og.MutatorSwap(0.0), og.ConvergenceKinds.Never)
            return repr([c.genes for p in lineage.generations for c in p.chromosomes])

        orders()
        pipes = []
        for _ in range(3):
            read, write = os.pipe()
            if os.fork() == 0:
                os.write(write, orders().encode())
                os._exit(0)
            os.close(write)
            pipes.append(read)
        seen = [orders()]
        for read in pipes:
            os.wait()
            with os.fdopen(read) as handle:
                seen.append(handle.read())
        print(len(set(seen)))

        multiprocessing.set_start_method("fork", force=True)
        matrix = [float((i * 7 + j * 3) % 4 == 0) for i in range(30) for j in range(30)]
        multistart.multistart(matrix, 30, 1, generations=3, population=10, executor="serial")
        tasks = multistart.make_tasks(matrix, 30, 8, generations=3, population=10)
        with multiprocessing.Pool(2) as pool:  # forked workers
            runs = pool.map(multistart.run_one, tasks)
        print(len({repr((r["orders"], r["best_per_record"])) for r in runs}))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["4", "8"]


def test_a_daemon_thread_ended_at_exit_inside_a_conversion_ends_quietly():
    # The interpreter ends a daemon thread that runs Python code while it
    # finalizes by unwinding it; the module must let that through, not report
    # it (without the interpreter lock) and crash the exit.
    for call in ("og.Chromosome([Stuck()])", "og.Chromosome(StuckLength([1]))",
                 "og.SequencingSettings(n_genes=Stuck(), p_crossover=0.5, p_mutation=0.5)"):
        result = run_script(f"""
            import threading, time
            import ovila_genetic_py as og

            started = threading.Event()

            def wait_for_exit():
                started.set()
                while True:
                    time.sleep(0.001)

            class Stuck:
                def __index__(self):
                    wait_for_exit()

            class StuckLength(list):
                def __len__(self):
                    wait_for_exit()

            threading.Thread(target=lambda: {call}, daemon=True).start()
            started.wait()
        """)
        assert (result.returncode, result.stderr) == (0, ""), call
