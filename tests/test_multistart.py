"""The multistart example: independent runs on Dask or serially.

Every returned run is checked against a pure-Python re-computation of its
scores, so a run that was mangled on its way through a worker process (wrong
matrix, wrong operator chosen by name, orders and fitness values mixed up) is
caught.
"""

import importlib
import os
import pathlib
import random
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
DATA = pathlib.Path(__file__).resolve().parent / "data"

# The example is a script, not part of the package: make it importable here and
# in the worker processes (spawned workers inherit sys.path).
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))
multistart = importlib.import_module("multistart")

N = 11
RUNS = 4
GENERATIONS = 12
POPULATION = 16
HALL_OF_FAME = 3


def random_matrix(n, density, seed):
    rng = random.Random(seed)
    return [1.0 if i != j and rng.random() < density else 0.0
            for i in range(n) for j in range(n)]


MATRIX = random_matrix(N, 0.3, 7)


def feedback_marks_score(matrix, n, order, offset=1):
    """offset + n(n-1)/2 - number of pairs a < b with matrix[order[a]][order[b]] != 0."""
    marks = sum(1 for a in range(len(order)) for b in range(a + 1, len(order))
                if matrix[order[a] * n + order[b]] != 0)
    return float(offset + n * (n - 1) // 2 - marks)


def feedback_distance_score(matrix, n, order, offset=1):
    """offset + (n*n-1)*n/6 - sum of (b - a) over the marks above the diagonal."""
    distance = sum(b - a for a in range(len(order)) for b in range(a + 1, len(order))
                   if matrix[order[a] * n + order[b]] != 0)
    return float(offset + (n * n - 1) * n // 6 - distance)


def check_result(result, matrix, n, runs, score=feedback_marks_score, local_pid=None):
    runs_out = result["runs"]
    assert [r["index"] for r in runs_out] == list(range(runs))
    for r in runs_out:
        orders, fitness = r["orders"], r["fitness"]
        assert 1 <= len(orders) <= HALL_OF_FAME
        assert len(fitness) == len(orders)
        for order, value in zip(orders, fitness):
            assert sorted(order) == list(range(n)), order
            assert value == score(matrix, n, order), (order, value)
        # Best first, no order twice.
        assert fitness == sorted(fitness, reverse=True)
        assert len({tuple(o) for o in orders}) == len(orders)
        # One record per generation, initial population included; the hall of
        # fame's best is the best of every population seen.
        assert len(r["best_per_record"]) == GENERATIONS + 1
        assert max(r["best_per_record"]) == fitness[0]
        if local_pid is not None:
            assert not r["worker"].endswith(f":{local_pid}"), "run did not leave this process"
    best = result["best"]
    assert best["fitness"] == max(r["fitness"][0] for r in runs_out)
    winner = runs_out[best["run"]]
    assert best["order"] == winner["orders"][0]
    assert best["fitness"] == winner["fitness"][0]
    assert best["fitness"] == score(matrix, n, best["order"])
    assert result["seconds"] >= 0.0


def small_multistart(**kwargs):
    arguments = dict(generations=GENERATIONS, population=POPULATION,
                     hall_of_fame=HALL_OF_FAME)
    arguments.update(kwargs)
    return multistart.multistart(MATRIX, N, RUNS, **arguments)


def test_the_package_runs_on_every_core_instead_of_a_pool_of_the_examples_own():
    with pytest.raises(ValueError, match=r"method='sga'"):
        small_multistart(executor="process", workers=2)


def test_dask_local_cluster_with_two_workers():
    distributed = pytest.importorskip("distributed",
                                      reason="the 'distributed' extra is not installed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        progress = []
        result = small_multistart(executor="dask", scheduler=cluster.scheduler_address,
                                  progress=lambda done, total, r: progress.append(done))
    assert result["executor"] == "dask"
    check_result(result, MATRIX, N, RUNS, local_pid=os.getpid())
    assert progress == list(range(1, RUNS + 1))


def test_dask_cluster_started_by_multistart():
    pytest.importorskip("distributed", reason="the 'distributed' extra is not installed")
    result = small_multistart(executor="dask", workers=2)
    assert result["executor"] == "dask"
    check_result(result, MATRIX, N, RUNS, local_pid=os.getpid())


def test_serial_routes_operator_names():
    # Random selection and the FeedbackDistance evaluator, chosen by name.
    result = small_multistart(executor="serial", selector="Random",
                              evaluator="FeedbackDistance")
    assert result["executor"] == "serial"
    check_result(result, MATRIX, N, RUNS, score=feedback_distance_score)


def test_run_one_offset_and_plain_data():
    task = multistart.make_tasks(MATRIX, N, 1, generations=GENERATIONS, population=POPULATION,
                                 hall_of_fame=HALL_OF_FAME, offset=100)[0]
    result = multistart.run_one(task)
    for order, value in zip(result["orders"], result["fitness"]):
        assert value == feedback_marks_score(MATRIX, N, order, offset=100)
    # Only plain Python data comes back.
    assert all(type(g) is int for order in result["orders"] for g in order)
    assert all(type(v) is float for v in result["fitness"] + result["best_per_record"])


@pytest.mark.parametrize("field, value", [("selector", "Tournament"),
                                          ("crossover", "Blend"),
                                          ("evaluator", "Value")])
def test_unknown_operator_names_are_refused(field, value):
    with pytest.raises(ValueError, match=value):
        multistart.make_tasks(MATRIX, N, 2, **{field: value})
    task = multistart.make_tasks(MATRIX, N, 1)[0]
    task[field] = value
    with pytest.raises(ValueError, match=value):
        multistart.run_one(task)


def test_wrong_matrix_length_is_refused():
    with pytest.raises(ValueError):
        multistart.make_tasks(MATRIX[:-1], N, 2)


def test_read_dsm():
    names, flat = multistart.read_dsm(DATA / "process-13-tasks.csv")
    assert names == [f"T{i}" for i in range(1, 14)]
    assert len(flat) == 13 * 13
    assert set(flat) <= {0.0, 1.0}
    assert flat[1 * 13 + 3] == 1.0  # T2 depends on T4
    assert flat[0 * 13:1 * 13] == [0.0] * 13  # T1 depends on nothing


def test_read_dsm_refuses_ragged_rows(tmp_path):
    path = tmp_path / "bad.csv"
    path.write_text(",A,B\nA,0,1\nB,0\n")
    with pytest.raises(ValueError, match="row 2"):
        multistart.read_dsm(path)


def test_command_line_serial(capsys):
    assert multistart.main(["--executor", "serial", "--input", str(DATA / "process-13-tasks.csv"),
                            "--runs", "2", "--generations", "5", "--population", "10"]) == 0
    out = capsys.readouterr().out
    best_line = next(line for line in out.splitlines() if line.startswith("best order: "))
    order = best_line.removeprefix("best order: ").split()
    assert sorted(order, key=lambda t: int(t[1:])) == [f"T{i}" for i in range(1, 14)]
    assert "wall time" in out
