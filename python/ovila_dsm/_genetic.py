"""The genetic algorithm of ovila_genetic_py as a method of `sequence`: independent
runs on every core for the time given, the best order kept.

Each worker process repeats runs until its time is up (at least one run); a
run keeps every generation it makes, so runs are kept short enough to stay
within a few hundred megabytes.

The workers are plain child processes of this interpreter that load only
this module and ovila_genetic_py: unlike a multiprocessing pool they never
import the caller's main script again, so a script needs no
`if __name__ == "__main__":` guard. They ignore Ctrl-C (it is the caller's
to handle): when the caller stops, on an interrupt or an error, they are
killed at once; when the caller dies, they notice within half a second.
"""

from __future__ import annotations

import os
import signal
import struct
import subprocess
import sys
import threading
import time
from array import array
from typing import IO, TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

    from ._graph import Graph

POPULATION = 100
HISTORY_BYTES = 200_000_000

# A job: items, marks, generations per run, the end (time.monotonic(): the
# system's clock, the same in every process), then the marks' rows and
# columns as int32. A result: the feedback marks, then the order as int32.
_JOB = struct.Struct("<qqqd")
_RESULT = struct.Struct("<qq")


def _runs(flat: list[float], n: int, generations: int, ends: float) -> tuple[int, list[int]]:
    import ovila_genetic_py as og

    settings = og.SequencingSettings(
        n_genes=n,
        p_crossover=0.9,
        p_mutation=0.2,
        n_chromosomes=POPULATION,
        n_generations=generations,
        n_hall_of_fame=1,
    )
    evaluator = og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, flat, 0)
    most = n * (n - 1) // 2
    best: tuple[int, list[int]] = (most + 1, list(range(n)))
    while True:
        lineage = og.sequence_sga(
            settings,
            og.GeneratorKinds.RandomSequence,
            evaluator,
            og.RecorderKinds.FitnessStatistics,
            og.SelectorKinds.Roulette,
            og.CrossoverKinds.IPX,
            og.MutatorSwap(0.05),
            og.ConvergenceKinds.Never,
        )
        top = lineage.hall_of_fame.chromosomes[0]
        assert top.fitness is not None
        best = min(best, (most - int(top.fitness), list(top.genes)))
        if time.monotonic() >= ends:
            return best


def _read(stream: IO[bytes], size: int) -> bytes | None:
    data = stream.read(size)
    return data if len(data) == size else None


def _serve(parent: int) -> None:
    """A worker: answers jobs from standard input until it is closed."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def watch() -> None:  # the caller died without closing the pipe
        while True:
            time.sleep(0.5)
            if os.getppid() != parent:
                os._exit(1)

    threading.Thread(target=watch, daemon=True).start()
    jobs, answers = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = _read(jobs, _JOB.size)
        if head is None:
            return
        n, marks, generations, ends = _JOB.unpack(head)
        rows, cols = array("i"), array("i")
        for part in (rows, cols):
            data = _read(jobs, 4 * marks)
            if data is None:
                return
            part.frombytes(data)
        flat = [0.0] * (n * n)
        for r, c in zip(rows, cols):
            flat[r * n + c] = 1.0
        cost, order = _runs(flat, n, generations, ends)
        answers.write(_RESULT.pack(cost, len(order)) + array("i", order).tobytes())
        answers.flush()


def _search_path() -> list[str]:
    """The folders this package and ovila_genetic_py were loaded from: the
    workers load the very same ones."""
    import ovila_genetic_py

    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    there = os.path.dirname(os.path.abspath(ovila_genetic_py.__file__ or ""))
    return list(dict.fromkeys([here, there]))


class Runs:
    """Worker processes, one per core, that run the genetic algorithm on the
    blocks they are given. A context manager: leaving it ends the workers
    (at once, when it is left by an exception)."""

    def __init__(self) -> None:
        self.workers = os.cpu_count() or 1
        self.processes: list[subprocess.Popen[bytes]] = []

    def __enter__(self) -> Runs:
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        self.close(wait=error is None)

    def close(self, wait: bool = True) -> None:
        """Ends the workers: lets them finish (`wait`) or kills them."""
        for process in self.processes:
            if wait and process.stdin is not None:
                try:
                    process.stdin.close()
                except OSError:
                    pass
        for process in self.processes:
            if wait:
                try:
                    process.wait(timeout=2.0)
                except subprocess.TimeoutExpired:
                    pass
            if process.poll() is None:
                process.kill()
                process.wait()
            for stream in (process.stdin, process.stdout, process.stderr):
                if stream is not None:
                    try:
                        stream.close()
                    except OSError:
                        pass
        self.processes = []

    def kill(self) -> None:
        """Ends the workers at once; safe from another thread than the one
        waiting for them (which then sees them end)."""
        for process in list(self.processes):
            if process.poll() is None:
                process.kill()

    def _start(self) -> None:
        if not sys.executable:
            raise RuntimeError("method='sga' starts worker processes, and this interpreter cannot say where it is "
                               "(sys.executable is empty)")
        code = (f"import sys; sys.path[:0] = {_search_path()!r}; "
                f"from ovila_dsm._genetic import _serve; _serve({os.getpid()})")
        for _ in range(self.workers):
            self.processes.append(subprocess.Popen(
                [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, close_fds=True))

    def best(self, graph: Graph, seconds: float) -> np.ndarray:
        """The best order of independent runs on every core for `seconds`."""
        import numpy as np

        if not self.processes:
            self._start()
        n = graph.n
        rows = graph.rows().astype("<i4").tobytes()
        cols = np.asarray(graph.indices).astype("<i4").tobytes()
        generations = int(max(1, min(500, HISTORY_BYTES // (POPULATION * n * 8))))
        job = _JOB.pack(n, len(rows) // 4, generations, time.monotonic() + seconds) + rows + cols
        found: list[tuple[int, list[int]]] = []
        try:
            for process in self.processes:
                assert process.stdin is not None
                process.stdin.write(job)
                process.stdin.flush()
            for process in self.processes:
                assert process.stdout is not None
                head = _read(process.stdout, _RESULT.size)
                order = array("i")
                if head is not None:
                    cost, size = _RESULT.unpack(head)
                    data = _read(process.stdout, 4 * size)
                    if data is not None:
                        order.frombytes(data)
                        found.append((cost, order.tolist()))
                        continue
                raise RuntimeError(f"a worker of the genetic algorithm ended: {self._failure(process)}")
        except BrokenPipeError:
            raise RuntimeError("a worker of the genetic algorithm ended: "
                               + "; ".join(self._failure(p) for p in self.processes if p.poll() is not None)) from None
        return np.asarray(min(found)[1], dtype=np.int32)

    def _failure(self, process: subprocess.Popen[bytes]) -> str:
        """The last line the worker wrote on its standard error."""
        process.kill()
        process.wait()
        said = process.stderr.read().decode("utf-8", "replace").strip().splitlines() if process.stderr else []
        return said[-1] if said else f"exit status {process.returncode}"
