"""What `sequence` minimises, and the numbers every result reports.

- "marks": the number of feedback marks (a mark above the diagonal);
- "weight": the total value of the feedback marks (the strength of each
  dependency; a mark without a value, such as X or TRUE, counts 1);
- "distance": the total distance of the feedback marks from the diagonal,
  a feedback mark of row i and column j in the new order lying j - i places
  above it (short loops, local rework).

The engine counts in integers: values are scaled by a power of ten that
makes every one of them whole (at most 10**6; beyond, they are rounded to
six decimals; values beyond a billion are scaled down).
"""

from __future__ import annotations

import math

import numpy as np

from ._graph import Marks

OBJECTIVES = ("marks", "weight", "distance")
# What each objective asks for, in words (the command's summary, the report, the workbook).
OBJECTIVE_WORDS = {
    "marks": "fewest feedback marks",
    "weight": "least total value of the feedback marks",
    "distance": "least total distance of the feedback marks from the diagonal",
}
def tie_break_words(objective: str) -> str:
    """How the tie-break chooses among orders equal in `objective`."""
    if objective == "distance":
        return "among equals, the one nearest the given order"
    return "among equals, the least total distance of the feedback marks, then the one nearest the given order"
# A scaled weight stays below this, so that the engine's sums of two of them fit its tables.
MAX_SCALED = 2**30


def check_objective(objective: object) -> str:
    if not isinstance(objective, str):
        raise TypeError(f"objective must be a str, not {type(objective).__name__}")
    if objective not in OBJECTIVES:
        raise ValueError(f"objective must be one of {', '.join(map(repr, OBJECTIVES))}, not {objective!r}")
    return objective


def strengths(marks: Marks) -> np.ndarray:
    """The value of every mark (1 where the matrix holds marks only)."""
    if marks.values is None:
        return np.ones(marks.rows.size)
    return marks.values


def check_weights(marks: Marks) -> None:
    """Refuses values that cannot be weights, naming the first such cell."""
    values = strengths(marks)
    bad = np.flatnonzero((marks.rows != marks.cols) & ~(np.isfinite(values) & (values > 0)))
    if bad.size:
        k = int(bad[0])
        row, col = marks.names[int(marks.rows[k])], marks.names[int(marks.cols[k])]
        value = float(values[k])
        why = "negative" if value < 0 else "not a finite number"
        raise ValueError(
            f"the mark of row {row!r}, column {col!r} holds {value:g}, which is {why}: "
            "objective='weight' needs positive values (or use objective='marks')"
        )


def integer_weights(marks: Marks) -> tuple[np.ndarray, float]:
    """The marks' values as positive int64 and the factor they were scaled
    by: the least power of ten (up to 10**6) that makes them whole, or less
    when they are very large."""
    values = np.abs(strengths(marks))
    off = values[marks.rows != marks.cols]
    top = float(off.max()) if off.size else 1.0
    scale = 1.0
    for digits in range(7):
        scale = float(10**digits)
        scaled = off * scale
        whole = np.all(np.abs(scaled - np.rint(scaled)) <= 1e-9 * np.maximum(1.0, np.abs(scaled)))
        if whole or top * scale * 10 >= MAX_SCALED:
            break
    if top * scale >= MAX_SCALED:
        scale = (MAX_SCALED - 1) / top
    weights = np.maximum(np.rint(values * scale), 1).astype(np.int64)
    return weights, scale


def feedback_numbers(
    n: int, rows: np.ndarray, cols: np.ndarray, values: np.ndarray, order: list[int]
) -> tuple[int, float, int]:
    """(feedback marks, their total value, their total distance from the
    diagonal) of `order`, for the marks rows[k] needs cols[k] of value
    values[k]: the one count of these three numbers."""
    if not order or rows.size == 0:
        return 0, 0.0, 0
    pos = np.empty(n, dtype=np.int64)
    pos[np.asarray(order, dtype=np.int64)] = np.arange(n)
    at_row, at_col = pos[rows], pos[cols]
    back = at_row < at_col  # self-marks never count
    strength = float(math.fsum(np.asarray(values, dtype=np.float64)[back].tolist()))
    return int(back.sum()), strength, int((at_col[back] - at_row[back]).sum())


def totals(marks: Marks, order: list[int]) -> tuple[int, float, int]:
    """`feedback_numbers` of the marks of a matrix (repeated cells of a sparse
    matrix were summed before)."""
    return feedback_numbers(marks.n, marks.rows, marks.cols, strengths(marks), order)
