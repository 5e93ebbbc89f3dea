"""What an order of a matrix shows: its feedback marks ("tears"), its blocks
and its bands.

A band is a level of items that can proceed in parallel once the feedback
marks are set aside: an item's band is one more than the latest band of the
items it needs that come before it (1 for an item that needs no earlier
item). Bands belong to an order: `bands` is the one routine that computes
them, for the command's summaries, the JSON result, the report and the
workbook alike.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import scipy.sparse

from . import _order
from ._dsm import Dsm
from ._objective import feedback_numbers


def _marks(dsm: Dsm) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(row, column, value) of every off-diagonal mark."""
    coo = scipy.sparse.coo_array(dsm.matrix)
    keep = (coo.row != coo.col) & (coo.data != 0)
    return coo.row[keep].astype(np.int64), coo.col[keep].astype(np.int64), coo.data[keep]


def positions(order: list[int], n: int) -> np.ndarray:
    pos = np.empty(n, dtype=np.int64)
    pos[np.asarray(order, dtype=np.int64)] = np.arange(n)
    return pos


def _tears(dsm: Dsm, order: list[int]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(item, later item it needs, value) of every feedback mark, in the
    order's row order, then column order."""
    rows, cols, vals = _marks(dsm)
    pos = positions(order, dsm.n)
    back = pos[rows] < pos[cols]
    r, c, v = rows[back], cols[back], vals[back]
    sort = np.lexsort((pos[c], pos[r]))
    return r[sort], c[sort], v[sort]


def tears(dsm: Dsm, order: list[int]) -> list[tuple[int, int]]:
    """The feedback marks of `order` as (item, later item it needs), in the
    order's row order, then column order."""
    r, c, _ = _tears(dsm, order)
    return list(zip(r.tolist(), c.tolist()))


def tear_values(dsm: Dsm, order: list[int]) -> list[float]:
    """The value of each feedback mark of `order`, as `tears` lists them."""
    values: list[float] = _tears(dsm, order)[2].astype(np.float64).tolist()
    return values


def tear_distances(dsm: Dsm, order: list[int]) -> list[int]:
    """How far above the diagonal each feedback mark of `order` lies (the
    column's position minus the row's), as `tears` lists them."""
    r, c, _ = _tears(dsm, order)
    pos = positions(order, dsm.n)
    distances: list[int] = (pos[c] - pos[r]).tolist()
    return distances


def feedback_distance(dsm: Dsm, order: list[int]) -> int:
    """The total distance of the feedback marks of `order` from the diagonal."""
    return feedback_numbers(dsm.n, *_marks(dsm), order)[2]


def feedback_count(dsm: Dsm, order: list[int]) -> int:
    """The number of feedback marks of `order`."""
    return feedback_numbers(dsm.n, *_marks(dsm), order)[0]


def feedback_weight(dsm: Dsm, order: list[int]) -> float:
    """The sum of the values of the feedback marks of `order` (a mark written
    as X counts 1)."""
    return feedback_numbers(dsm.n, *_marks(dsm), order)[1]


def weighted(dsm: Dsm) -> bool:
    """Whether the marks carry values other than 1."""
    _, _, vals = _marks(dsm)
    return bool(np.any(vals != 1))


def bands(dsm: Dsm, order: list[int]) -> list[int]:
    """Each item's band (by item index) under `order`: 1 for an item that
    needs no earlier item, else one more than the latest band among the
    earlier items it needs. Feedback marks are set aside."""
    n = dsm.n
    rows, cols, _ = _marks(dsm)
    pos = positions(order, n)
    forward = pos[cols] < pos[rows]
    # The marks that count, grouped by the position of the item that needs.
    r, c = pos[rows[forward]], pos[cols[forward]]
    sort = np.argsort(r, kind="stable")
    r, c = r[sort], c[sort]
    starts = np.searchsorted(r, np.arange(n + 1)).tolist()
    needed = c.tolist()
    band = [1] * n  # by position
    for p in range(n):
        s, e = starts[p], starts[p + 1]
        if e > s:
            band[p] = max(band[q] for q in needed[s:e]) + 1
    by_position = np.asarray(band, dtype=np.int64)
    result: list[int] = by_position[pos].tolist()
    return result


@dataclass(frozen=True)
class Blocks:
    """The strongly connected blocks of a matrix in the order `sequence` lists
    them (a block after every block it needs; among those free to come next,
    the one holding the earliest item first), the items of a block in the
    file's order, and the bands of that order.

    `bands[k]` is the first band of block k (the lowest band of its items);
    `item_bands[i]` is the band of item i (see `bands`)."""

    blocks: list[list[int]]
    bands: list[int]
    item_bands: list[int] = field(default_factory=list)

    @property
    def order(self) -> list[int]:
        return [item for block in self.blocks for item in block]

    @property
    def band_count(self) -> int:
        return max(self.item_bands, default=0)


def blocks(dsm: Dsm) -> Blocks:
    """The blocks of `dsm`, the needed ones first, and the bands of the order
    they give."""
    n = dsm.n
    rows, cols, _ = _marks(dsm)
    items, starts, _ = _order.split(n, rows.astype(np.int32).tobytes(), cols.astype(np.int32).tobytes())
    order: list[int] = np.frombuffer(items, dtype=np.int32).tolist()
    edges: list[int] = np.frombuffer(starts, dtype=np.int32).tolist()
    listed = [order[edges[k] : edges[k + 1]] for k in range(len(edges) - 1)]
    item_bands = bands(dsm, order)
    return Blocks(listed, [min(item_bands[i] for i in block) for block in listed], item_bands)
