"""What an order of a matrix shows: its feedback marks ("tears"), its blocks
and its bands.

A band is a level of items that can proceed in parallel once the feedback
marks are set aside: an item's band is one more than the latest band of the
items it needs (1 for an item that needs no earlier item).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse
from scipy.sparse.csgraph import connected_components

from ._dsm import Dsm


def _marks(dsm: Dsm) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(row, column, value) of every off-diagonal mark."""
    coo = scipy.sparse.coo_array(dsm.matrix)
    keep = (coo.row != coo.col) & (coo.data != 0)
    return coo.row[keep].astype(np.int64), coo.col[keep].astype(np.int64), coo.data[keep]


def positions(order: list[int], n: int) -> np.ndarray:
    pos = np.empty(n, dtype=np.int64)
    pos[np.asarray(order, dtype=np.int64)] = np.arange(n)
    return pos


def tears(dsm: Dsm, order: list[int]) -> list[tuple[int, int]]:
    """The feedback marks of `order` as (item, later item it needs), in the
    order's row order, then column order."""
    rows, cols, _ = _marks(dsm)
    pos = positions(order, dsm.n)
    back = pos[rows] < pos[cols]
    r, c = rows[back], cols[back]
    sort = np.lexsort((pos[c], pos[r]))
    return list(zip(r[sort].tolist(), c[sort].tolist()))


def feedback_count(dsm: Dsm, order: list[int]) -> int:
    rows, cols, _ = _marks(dsm)
    pos = positions(order, dsm.n)
    return int(np.count_nonzero(pos[rows] < pos[cols]))


def bands(dsm: Dsm, order: list[int]) -> list[int]:
    """Each item's band (1 = needs nothing earlier) under `order`."""
    n = dsm.n
    rows, cols, _ = _marks(dsm)
    pos = positions(order, n)
    forward = pos[cols] < pos[rows]
    # The marks that count, grouped by the position of the item that needs.
    r, c = pos[rows[forward]], pos[cols[forward]]
    sort = np.argsort(r, kind="stable")
    r, c = r[sort], c[sort]
    starts = np.searchsorted(r, np.arange(n + 1))
    band = np.ones(n, dtype=np.int64)  # by position
    for p in range(n):
        s, e = starts[p], starts[p + 1]
        if e > s:
            band[p] = int(band[c[s:e]].max()) + 1
    result: list[int] = band[pos].tolist()
    return result


@dataclass(frozen=True)
class Blocks:
    """The strongly connected blocks of a matrix in an order that leaves no
    feedback mark between two blocks, and each block's band."""

    blocks: list[list[int]]  # item indices, each block in the file's order
    bands: list[int]  # the band of each block

    @property
    def order(self) -> list[int]:
        return [item for block in self.blocks for item in block]


def blocks(dsm: Dsm) -> Blocks:
    """The blocks of `dsm`, the needed ones first, and their bands."""
    n = dsm.n
    rows, cols, _ = _marks(dsm)
    pattern = scipy.sparse.csr_array((np.ones(rows.size), (rows, cols)), shape=(n, n))
    count, label = connected_components(pattern, directed=True, connection="strong")
    # Condensed graph: block a needs block b.
    label = label.astype(np.int64)
    a, b = label[rows], label[cols]
    between = a != b
    pairs = np.unique(a[between] * count + b[between])
    needer, needed = np.divmod(pairs, count)
    # Kahn's algorithm from the blocks that need nothing, smallest first item first.
    pending = np.bincount(needer, minlength=count)  # blocks each still waits for
    sort = np.argsort(needed, kind="stable")
    waiting_on = needer[sort]
    starts = np.searchsorted(needed[sort], np.arange(count + 1))
    first_item = np.full(count, n, dtype=np.int64)
    np.minimum.at(first_item, label, np.arange(n))
    import heapq

    ready = [(int(first_item[k]), k) for k in range(count) if pending[k] == 0]
    heapq.heapify(ready)
    block_band = np.ones(count, dtype=np.int64)
    sequence: list[int] = []
    while ready:
        _, k = heapq.heappop(ready)
        sequence.append(k)
        for m in waiting_on[starts[k] : starts[k + 1]].tolist():
            block_band[m] = max(block_band[m], block_band[k] + 1)
            pending[m] -= 1
            if pending[m] == 0:
                heapq.heappush(ready, (int(first_item[m]), m))
    members = np.argsort(label, kind="stable")
    sizes = np.bincount(label, minlength=count)
    groups = np.split(members, np.cumsum(sizes)[:-1])
    return Blocks([groups[k].tolist() for k in sequence], [int(block_band[k]) for k in sequence])
