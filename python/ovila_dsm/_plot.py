"""The picture of a sequencing: the matrix before and after, marks as cells
shaded by strength, feedback marks in red, blocks outlined (matplotlib)."""

from __future__ import annotations

import io
import math
from pathlib import Path
from typing import Any

import numpy as np
import scipy.sparse

from ._bands import feedback_count, positions
from ._dsm import CONVENTION, Dsm, printable
from ._read import DsmFileError, PathLike
from ._sequence import Sequencing

FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# Up to this many items every name is shown; above it, every k-th.
ALL_NAMES = 150
# Up to this many items marks are drawn as cells; above it, as points.
CELLS = 2_000
LONGEST_NAME = 28
# Every text is drawn as it is: no mathematics, no TeX.
PLAIN: dict[str, Any] = {"parse_math": False, "usetex": False}


def picture_format(path: PathLike) -> str:
    """The picture format of `path` by its extension (DsmFileError if unknown)."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise DsmFileError(
            path, f"unknown picture format {suffix or '(no extension)'!r}: use .png, .svg or .pdf"
        )
    return FORMATS[suffix]


def _short(name: str) -> str:
    """The name as drawn: on one line, control characters as escapes, long
    names cut short."""
    name = printable(" ".join(name.split()))
    return name if len(name) <= LONGEST_NAME else name[: LONGEST_NAME - 1] + "…"


def _layout(n: int) -> tuple[float, float, int]:
    """(panel size in inches, font size, show every k-th name)."""
    step = 1 if n <= ALL_NAMES else math.ceil(n / 100)
    shown = math.ceil(n / step)
    font = float(np.clip(300 / max(shown, 1), 6.0, 10.0))
    side = float(np.clip(shown * font / 72 * 1.45, 4.5, 18.0))
    return side, font, step


def _panel(
    ax: Any, dsm: Dsm, order: list[int], blocks: list[list[int]], title: str, top: float, big: bool
) -> None:
    from matplotlib.colors import to_rgb
    from matplotlib.patches import Rectangle

    n = dsm.n
    index = np.asarray(order, dtype=np.int64)
    pos = positions(order, n)
    coo = scipy.sparse.coo_array(dsm.matrix)
    keep = (coo.row != coo.col) & (coo.data != 0)
    r = pos[coo.row[keep]]
    c = pos[coo.col[keep]]
    strength = np.clip(np.abs(coo.data[keep]) / top, 0.0, 1.0)
    feedback = c > r
    mark_colour = np.array(to_rgb("#3b5b92"))
    back_colour = np.array(to_rgb("#d62728"))
    if n <= CELLS:
        image = np.ones((n, n, 3))
        image[np.arange(n), np.arange(n)] = 0.85
        # Weak marks are lighter; every mark stays clearly visible.
        shade = (0.35 + 0.65 * strength)[:, None]
        colour = np.where(feedback[:, None], back_colour, mark_colour)
        image[r, c] = 1.0 - shade * (1.0 - colour)
        ax.imshow(image, interpolation="nearest", extent=(-0.5, n - 0.5, n - 0.5, -0.5))
        if n <= 60:
            ax.set_xticks(np.arange(-0.5, n, 1), minor=True)
            ax.set_yticks(np.arange(-0.5, n, 1), minor=True)
            ax.grid(which="minor", color="#e6e6e6", linewidth=0.5)
            ax.tick_params(which="minor", length=0)
    else:
        # Points of at least a pixel; feedback marks larger and drawn on top.
        size = max(1.5, min(4.0, 8000 / n))
        ax.plot(c[~feedback], r[~feedback], linestyle="none", marker="s", markersize=size ** 0.5,
                markeredgewidth=0, color="#3b5b92", rasterized=True)
        ax.plot(c[feedback], r[feedback], linestyle="none", marker="s", markersize=2 * size ** 0.5,
                markeredgewidth=0, color="#d62728", rasterized=True)
        ax.plot([-0.5, n - 0.5], [-0.5, n - 0.5], color="#bbbbbb", linewidth=0.5)
        ax.set_xlim(-0.5, n - 0.5)
        ax.set_ylim(n - 0.5, -0.5)
        ax.set_aspect("equal")
    width = 2.5 if n <= 150 else 1.0
    for block in blocks:
        if len(block) > 1:
            p = pos[np.asarray(block)]
            lo, hi = int(p.min()), int(p.max())
            pad = max(0.0, (n / 250 - (hi - lo + 1)) / 2)  # small blocks of large matrices stay visible
            ax.add_patch(Rectangle((lo - 0.5 - pad, lo - 0.5 - pad), hi - lo + 1 + 2 * pad, hi - lo + 1 + 2 * pad,
                                   fill=False, edgecolor="#138a13", linewidth=width, zorder=3))
    _, font, step = _layout(n)
    ticks = np.arange(0, n, step)
    names = [_short(dsm.labels[int(index[t])]) for t in ticks]
    # Names are text, never markup: "$x^$" is not mathematics, whatever the settings.
    ax.set_xticks(ticks, names, rotation=90, fontsize=font, **PLAIN)
    ax.set_yticks(ticks, names, fontsize=font, **PLAIN)
    ax.tick_params(length=2 if step == 1 else 3, pad=1)
    ax.xaxis.tick_top()
    ax.set_title(title, fontsize=16 if big else 11, pad=8, **PLAIN)


def picture(
    dsm: Dsm, sequencing: Sequencing, *, before_order: list[int] | None = None, fmt: str = "png",
    interrupted: bool = False,
) -> bytes:
    """The picture (PNG, SVG or PDF bytes) of the matrix in `before_order`
    (default: the file's order) and in the sequencing's order."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = dsm.n
    before_order = list(range(n)) if before_order is None else before_order
    before = feedback_count(dsm, before_order)
    after = sequencing.feedback_marks
    values = np.abs(dsm.matrix.data[dsm.matrix.data != 0]) if dsm.matrix.nnz else np.ones(1)
    top = float(values.max()) if values.size else 1.0
    side, _, _ = _layout(n)
    figure, axes = plt.subplots(1, 2, figsize=(2 * side + 2.0, side + 1.2), layout="constrained")
    try:
        _panel(axes[0], dsm, before_order, [], f"Given order: {before} feedback marks", top, side > 10)
        _panel(axes[1], dsm, sequencing.order, sequencing.blocks, f"Best order found: {after} feedback marks", top,
               side > 10)
        if sequencing.optimal:
            status = "proven optimal"
        else:
            status = f"not proven optimal: no order has fewer than {sequencing.lower_bound}"
        if interrupted:
            status += "; search interrupted"
        figure.suptitle(f"Feedback marks {before} → {after} ({status})", fontsize=20 if side > 10 else 13, **PLAIN)
        weighted = values.size and not np.all(values == values[0])
        figure.supxlabel(
            f"{CONVENTION[0].upper()}{CONVENTION[1:]}.\nRed: feedback marks; green boxes: blocks (items that "
            "need each other)" + ("; darker: a stronger mark" if weighted else "") + ".",
            fontsize=13 if side > 10 else 9, color="#444444", **PLAIN,
        )
        buffer = io.BytesIO()
        dpi = 110 if side < 10 else 90
        figure.savefig(buffer, format=fmt, dpi=dpi, bbox_inches="tight", pad_inches=0.2)
    finally:
        plt.close(figure)
    return buffer.getvalue()


def write_picture(path: PathLike, dsm: Dsm, sequencing: Sequencing, **options: Any) -> None:
    """Write the picture to `path`: PNG, SVG or PDF by its extension."""
    from ._write import replacing

    fmt = picture_format(path)
    data = picture(dsm, sequencing, fmt=fmt, **options)
    with replacing(path, "wb") as handle:
        handle.write(data)
