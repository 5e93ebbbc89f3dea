"""The "needs" graph of a matrix in the compact form the search works on.

Row u, column v non-zero means "u needs v": a mark. In an order, a mark is a
feedback mark when u comes before v. The graph is held as CSR arrays of int32
(`indptr`, `indices`), sorted, without duplicates or self-marks, so that
memory grows with items + marks, never with n².
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from numbers import Integral
from typing import Any

import numpy as np
import scipy.sparse

from ._dsm import Dsm


@dataclass(frozen=True)
class Graph:
    n: int
    indptr: np.ndarray  # int32, n + 1
    indices: np.ndarray  # int32, marks

    @property
    def marks(self) -> int:
        return int(self.indices.size)

    def arrays(self) -> tuple[int, bytes, bytes]:
        """The arguments the compiled search takes."""
        return self.n, self.indptr.tobytes(), self.indices.tobytes()

    def rows(self) -> np.ndarray:
        """The row (the item that needs) of every mark, in CSR order."""
        return np.repeat(np.arange(self.n, dtype=np.int32), np.diff(self.indptr))

    def subgraph(self, items: np.ndarray) -> Graph:
        """The marks among `items`, renumbered 0..len(items)-1 in that order."""
        local = np.full(self.n, -1, dtype=np.int64)
        local[items] = np.arange(items.size)
        starts = self.indptr[items]
        counts = self.indptr[items + 1] - starts
        rows = np.repeat(np.arange(items.size), counts)
        cols = local[self.indices[_ranges(starts, counts)]]
        keep = cols >= 0
        return from_pairs(items.size, rows[keep], cols[keep])


def _ranges(starts: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """The concatenation of range(s, s + c) for every (s, c)."""
    total = int(counts.sum())
    if total == 0:
        return np.zeros(0, dtype=np.int64)
    offsets = np.repeat(np.cumsum(counts) - counts, counts)
    spans: np.ndarray = np.repeat(starts.astype(np.int64), counts) + (np.arange(total) - offsets)
    return spans


def from_pairs(n: int, rows: np.ndarray, cols: np.ndarray) -> Graph:
    """The graph of the marks (rows[k] needs cols[k]); self-marks and repeats dropped."""
    rows = np.asarray(rows, dtype=np.int64)
    cols = np.asarray(cols, dtype=np.int64)
    off = rows != cols
    keys = np.unique(rows[off] * max(n, 1) + cols[off])
    r, c = np.divmod(keys, max(n, 1))
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(r, minlength=n), out=indptr[1:])
    if keys.size >= 2**31:
        raise ValueError(f"too many marks for one matrix: {keys.size}")
    return Graph(n, indptr.astype(np.int32), c.astype(np.int32))


def _check_square(rows: int, cols: int) -> None:
    if rows != cols:
        raise ValueError(f"the matrix is not square: {rows} rows, {cols} columns")


def coerce(matrix: Any, labels: Any) -> tuple[Graph, list[str]]:
    """The graph and item names of any accepted form of matrix.

    Accepted: a `Dsm`; a scipy.sparse matrix or array; a square 2-D list or
    numpy array; a flat row-major list or 1-D array of n*n cells. Any cell that
    is not 0 is a mark (NaN included); the diagonal is ignored.
    """
    default_labels: list[str] | None = None
    if isinstance(matrix, Dsm):
        default_labels = list(matrix.labels)
        matrix = matrix.matrix
    if scipy.sparse.issparse(matrix):
        if len(matrix.shape) != 2:
            raise ValueError(f"the matrix must have 2 dimensions, not {len(matrix.shape)}")
        _check_square(*matrix.shape)
        coo = scipy.sparse.coo_array(matrix)
        coo.sum_duplicates()
        data = np.asarray(coo.data)
        marked = data != 0
        graph = from_pairs(coo.shape[0], coo.row[marked], coo.col[marked])
    else:
        cells = _dense(matrix)
        if cells.ndim == 1:
            n = math.isqrt(cells.size)
            if n * n != cells.size:
                raise ValueError(
                    f"a flat matrix needs n*n cells, and {cells.size} is not a square number"
                )
            cells = cells.reshape(n, n)
        elif cells.ndim == 2:
            _check_square(*cells.shape)
        else:
            raise ValueError(f"the matrix must have 1 or 2 dimensions, not {cells.ndim}")
        rows, cols = np.nonzero(cells != 0)
        graph = from_pairs(cells.shape[0], rows, cols)
    return graph, _labels(labels if labels is not None else default_labels, graph.n)


def _dense(matrix: Any) -> np.ndarray:
    if isinstance(matrix, (str, bytes)):
        raise TypeError(f"the matrix must be a list, an array or a sparse matrix, not {type(matrix).__name__}")
    try:
        cells = np.asarray(matrix)
    except ValueError:
        raise ValueError("the matrix's rows have different lengths") from None
    if cells.dtype == object or cells.dtype.kind in "USV":
        try:
            cells = cells.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError("every cell of the matrix must be a number") from None
    if cells.dtype.kind not in "biufc":
        raise TypeError(f"every cell of the matrix must be a number, not {cells.dtype}")
    return cells


def _labels(labels: Any, n: int) -> list[str]:
    if labels is None:
        return [str(i + 1) for i in range(n)]
    if isinstance(labels, (str, bytes)):
        raise TypeError("labels must be a sequence of names, not a single string")
    names = [str(label) for label in labels]
    if len(names) != n:
        raise ValueError(f"{len(names)} labels for {n} items: give one label per item")
    return names


def check_seed(seed: Any) -> int:
    if seed is None:
        entropy = np.random.SeedSequence().entropy
        assert isinstance(entropy, int)
        return entropy % 2**63
    if isinstance(seed, bool) or not isinstance(seed, Integral):
        raise TypeError(f"seed must be an integer or None, not {type(seed).__name__}")
    if not 0 <= int(seed) < 2**64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, not {seed}")
    return int(seed)
