"""The marks of a matrix in the compact form the engine works on.

Row u, column v non-zero means "u needs v": a mark. In an order, a mark is a
feedback mark when u comes before v. Any accepted form of matrix becomes two
int32 arrays (`rows`, `cols`) without reading more than its marks, so that
memory and time grow with items + marks, never with n² (but for a dense
matrix, which holds its n² cells already). Repeats and self-marks are left
in: the engine drops them while it builds its graph, in linear time.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import scipy.sparse

from . import _order
from ._dsm import Dsm

# The most items a matrix may have: every item is listed in the result.
MAX_ITEMS = 10_000_000


@dataclass(frozen=True)
class Graph:
    """Marks as sorted int32 compressed rows, without repeats or self-marks."""

    n: int
    indptr: np.ndarray  # int32, n + 1
    indices: np.ndarray  # int32, marks

    @property
    def marks(self) -> int:
        return int(self.indices.size)

    def arrays(self) -> tuple[int, bytes, bytes]:
        """The arguments the compiled functions take."""
        return self.n, self.indptr.tobytes(), self.indices.tobytes()

    def rows(self) -> np.ndarray:
        """The row (the item that needs) of every mark, in row order."""
        return np.repeat(np.arange(self.n, dtype=np.int32), np.diff(self.indptr))


def from_pairs(n: int, rows: np.ndarray, cols: np.ndarray) -> Graph:
    """The graph of the marks rows[k] needs cols[k]; self-marks and repeats dropped."""
    indptr, indices = _order.compress(
        n, np.asarray(rows, dtype=np.int32).tobytes(), np.asarray(cols, dtype=np.int32).tobytes()
    )
    return Graph(n, np.frombuffer(indptr, dtype=np.int32), np.frombuffer(indices, dtype=np.int32))


@dataclass(frozen=True)
class Marks:
    """Every mark of a matrix as `rows[k]` needs `cols[k]` (int32), with its
    value (`values[k]`, float64: the strength of the dependency) and the
    item names."""

    n: int
    rows: np.ndarray
    cols: np.ndarray
    names: list[str]
    values: np.ndarray | None = None


def _check_square(rows: int, cols: int) -> None:
    if rows != cols:
        raise ValueError(f"the matrix is not square: {rows} rows, {cols} columns")


def _check_items(n: int) -> None:
    if n > MAX_ITEMS:
        raise ValueError(f"{n} items are too many: at most {MAX_ITEMS:,} items can be ordered")


def coerce(matrix: Any, labels: Any) -> Marks:
    """The marks and item names of any accepted form of matrix.

    Accepted: a `Dsm`; a scipy.sparse matrix or array; a square 2-D list or
    numpy array (a masked array's masked cells are no marks); a flat row-major
    list or 1-D array of n*n cells. Any cell that is not 0 is a mark (NaN
    included; None is no mark); the diagonal is ignored.
    """
    default_labels: list[str] | None = None
    if isinstance(matrix, Dsm):
        default_labels = list(matrix.labels)
        matrix = matrix.matrix
    if scipy.sparse.issparse(matrix):
        marks = _sparse(matrix)
    else:
        marks = _dense(matrix)
    n, rows, cols, values = marks
    return Marks(n, rows, cols, _labels(labels if labels is not None else default_labels, n), values)


def _sparse(matrix: Any) -> tuple[int, np.ndarray, np.ndarray, np.ndarray]:
    if len(matrix.shape) != 2:
        raise ValueError(f"the matrix must have 2 dimensions, not {len(matrix.shape)}")
    _check_square(*matrix.shape)
    n = int(matrix.shape[0])
    _check_items(n)
    if matrix.dtype.kind not in "biufc":
        raise TypeError(f"every cell of the matrix must be a number, not {matrix.dtype}")
    if matrix.format != "csr":
        matrix = scipy.sparse.csr_array(matrix)
    if not matrix.has_canonical_format:
        # Repeated entries add up (they may cancel out).
        matrix = scipy.sparse.csr_array(matrix, copy=True)
        matrix.sum_duplicates()
    data = np.asarray(matrix.data)
    marked = data != 0
    rows = np.repeat(np.arange(n, dtype=np.int32), np.diff(matrix.indptr))
    cols = np.asarray(matrix.indices, dtype=np.int32)[marked]
    return n, rows[marked], cols, _values(data[marked])


def _values(data: np.ndarray) -> np.ndarray:
    """The marks' values as float64 (booleans as 1, complex values by size)."""
    values: np.ndarray = np.abs(data) if data.dtype.kind == "c" else data
    return np.asarray(values, dtype=np.float64)


def _dense(matrix: Any) -> tuple[int, np.ndarray, np.ndarray, np.ndarray]:
    if isinstance(matrix, (str, bytes)):
        raise TypeError(f"the matrix must be a list, an array or a sparse matrix, not {type(matrix).__name__}")
    if np.ma.isMaskedArray(matrix):
        matrix = np.ma.getdata(np.ma.filled(matrix, 0))
    try:
        cells = np.asarray(matrix)
    except ValueError:
        raise ValueError("the matrix's rows have different lengths") from None
    if cells.dtype == object:
        cells = _numbers(cells)
    elif cells.dtype.kind in "USV":
        raise TypeError("every cell of the matrix must be a number, not text")
    if cells.dtype.kind not in "biufc":
        raise TypeError(f"every cell of the matrix must be a number, not {cells.dtype}")
    if cells.ndim == 1:
        n = math.isqrt(cells.size)
        if n * n != cells.size:
            raise ValueError(f"a flat matrix needs n*n cells, and {cells.size} is not a square number")
        cells = cells.reshape(n, n)
    elif cells.ndim == 2:
        _check_square(*cells.shape)
    else:
        raise ValueError(f"the matrix must have 1 or 2 dimensions, not {cells.ndim}")
    n = int(cells.shape[0])
    _check_items(n)
    rows, cols = np.nonzero(cells)
    return n, rows.astype(np.int32), cols.astype(np.int32), _values(cells[rows, cols])


def _numbers(cells: np.ndarray) -> np.ndarray:
    """An object array (lists holding None or mixed values) as numbers; None
    is an empty cell."""
    flat = cells.reshape(-1)
    out = np.zeros(flat.size, dtype=np.float64)
    for i, value in enumerate(flat.tolist()):
        if value is None:
            continue
        if isinstance(value, (str, bytes)):
            raise TypeError("every cell of the matrix must be a number, not text")
        try:
            out[i] = value
        except (TypeError, ValueError):
            raise TypeError(f"every cell of the matrix must be a number, not {type(value).__name__}") from None
    return out.reshape(cells.shape)


def _labels(labels: Any, n: int) -> list[str]:
    if labels is None:
        return np.arange(1, n + 1).astype(str).tolist()
    if isinstance(labels, (str, bytes)):
        raise TypeError("labels must be a sequence of names, not a single string")
    names = [str(label) for label in labels]
    if len(names) != n:
        raise ValueError(f"{len(names)} labels for {n} items: give one label per item")
    return names
