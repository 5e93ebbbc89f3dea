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
from ._dsm import CONVENTION, Dsm, DsmFileError, PathLike, install_hint, printable
from ._sequence import Sequencing

FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# Up to this many items every name is shown; above it, every k-th, about
# this many of them (the report names every item; this picture is to print).
ALL_NAMES = 150
SOME_NAMES = 50
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
    step = 1 if n <= ALL_NAMES else math.ceil(n / SOME_NAMES)
    shown = math.ceil(n / step)
    font = float(np.clip(300 / max(shown, 1), 6.0, 10.0))
    side = float(np.clip(shown * font / 72 * 1.45, 4.5, 18.0))
    return side, font, step


def _panel(
    ax: Any, dsm: Dsm, order: list[int], blocks: list[list[int]], top: float, font: float, step: int
) -> None:
    """One matrix: marks shaded by strength, block outlines above them and
    feedback marks above everything."""
    from matplotlib.colors import to_rgb
    from matplotlib.patches import Rectangle

    n = dsm.n
    index = np.asarray(order, dtype=np.int64)
    pos = positions(order, n)
    coo = scipy.sparse.coo_array(dsm.matrix)
    keep = (coo.row != coo.col) & (coo.data != 0)
    r = pos[coo.row[keep]]
    c = pos[coo.col[keep]]
    values = np.abs(coo.data[keep])
    strength = np.clip(np.where(np.isfinite(values), values, top) / top, 0.0, 1.0)
    feedback = c > r
    mark_colour = np.array(to_rgb("#3b5b92"))
    back_colour = np.array(to_rgb("#d62728"))
    if n <= CELLS:
        # uint8 images: matplotlib resamples them several times faster than floats.
        image = np.full((n, n, 3), 255, dtype=np.uint8)
        image[np.arange(n), np.arange(n)] = 217
        # Weak marks are lighter; every mark stays clearly visible.
        shade = (0.35 + 0.65 * strength)[:, None]
        forward = ~feedback
        image[r[forward], c[forward]] = np.round(255 * (1.0 - shade[forward] * (1.0 - mark_colour)))
        extent = (-0.5, n - 0.5, n - 0.5, -0.5)
        ax.imshow(image, interpolation="nearest", extent=extent, zorder=1)
        # Feedback marks on a layer of their own, above the block outlines.
        layer = np.zeros((n, n, 4), dtype=np.uint8)
        layer[r[feedback], c[feedback], :3] = np.round(255 * (1.0 - shade[feedback] * (1.0 - back_colour)))
        layer[r[feedback], c[feedback], 3] = 255
        ax.imshow(layer, interpolation="nearest", extent=extent, zorder=4)
        if n <= 60:
            ax.set_xticks(np.arange(-0.5, n, 1), minor=True)
            ax.set_yticks(np.arange(-0.5, n, 1), minor=True)
            ax.grid(which="minor", color="#e6e6e6", linewidth=0.5)
            ax.tick_params(which="minor", length=0)
    else:
        # Points of at least a pixel; feedback marks larger and drawn on top.
        size = max(1.5, min(4.0, 8000 / n))
        ax.plot(c[~feedback], r[~feedback], linestyle="none", marker="s", markersize=size ** 0.5,
                markeredgewidth=0, color="#3b5b92", rasterized=True, zorder=1)
        ax.plot(c[feedback], r[feedback], linestyle="none", marker="s", markersize=2 * size ** 0.5,
                markeredgewidth=0, color="#d62728", rasterized=True, zorder=4)
        ax.plot([-0.5, n - 0.5], [-0.5, n - 0.5], color="#bbbbbb", linewidth=0.5, zorder=2)
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
    # Names as plain text objects beside the matrix (tick labels cost several
    # times as much to lay out). Names are text, never markup: "$x^$" is not
    # mathematics, whatever the settings.
    ax.set_xticks([])
    ax.set_yticks([])
    ticks = range(0, n, step)
    gap = 0.3 + n / 400 * (1 if step == 1 else 0)
    for t in ticks:
        name = _short(dsm.labels[int(index[t])])
        ax.text(t, -0.5 - gap, name, rotation=90, ha="center", va="bottom", fontsize=font, clip_on=False, **PLAIN)
        ax.text(-0.5 - gap, t, name, ha="right", va="center", fontsize=font, clip_on=False, **PLAIN)
    if step > 1:  # marks beside the names that are shown, since not every row has one
        ax.plot([t for t in ticks], [-0.5] * len(ticks), linestyle="none", marker="|", markersize=3, color="#444444",
                clip_on=False)
        ax.plot([-0.5] * len(ticks), [t for t in ticks], linestyle="none", marker="_", markersize=3, color="#444444",
                clip_on=False)


def draw(
    dsm: Dsm, sequencing: Sequencing, path: PathLike | None = None, *, fmt: str | None = None,
    before_order: list[int] | None = None, interrupted: bool = False,
) -> bytes:
    """The picture of `dsm` in `before_order` (default: the file's order) and
    in the order of `sequencing`, side by side: marks shaded by strength,
    feedback marks in red above the blocks' green outlines. Returns PNG, SVG
    or PDF bytes (`fmt`: "png", "svg" or "pdf"; by default the extension of
    `path`, else PNG) and writes them to `path` when one is given, whole or
    not at all. Needs matplotlib."""
    from ._write import replacing

    if fmt is None:
        fmt = picture_format(path) if path is not None else "png"
    elif fmt not in FORMATS.values():
        raise ValueError(f"fmt must be 'png', 'svg' or 'pdf', not {fmt!r}")
    data = picture(dsm, sequencing, before_order=before_order, fmt=fmt, interrupted=interrupted)
    if path is not None:
        with replacing(path, "wb") as handle:
            handle.write(data)
    return data


def load() -> None:
    """Loads matplotlib with the backend the pictures use: the command calls
    it on a helper thread while the search runs, so that the picture takes
    no longer to draw once the search ends."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot  # noqa: F401


def picture(
    dsm: Dsm, sequencing: Sequencing, *, before_order: list[int] | None = None, fmt: str = "png",
    interrupted: bool = False,
) -> bytes:
    """The picture (PNG, SVG or PDF bytes) of the matrix in `before_order`
    (default: the file's order) and in the sequencing's order.

    The layout is worked out here from the size of the longest name shown,
    rather than by matplotlib's layout engines, which measure every label
    several times (seconds for a few hundred names)."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError(f"drawing needs matplotlib: {install_hint()}") from None

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = dsm.n
    before_order = list(range(n)) if before_order is None else before_order
    before = feedback_count(dsm, before_order)
    after = sequencing.feedback_marks
    values = np.abs(dsm.matrix.data[(dsm.matrix.data != 0) & np.isfinite(dsm.matrix.data)])
    top = float(values.max()) if values.size else 1.0
    side, font, step = _layout(n)
    big = side > 10
    if sequencing.optimal:
        status = "proven optimal"
    else:
        status = f"not proven optimal: no order has fewer than {sequencing.lower_bound}"
    if interrupted:
        status += "; search interrupted"
    weighted = values.size and not np.all(values == values[0])
    caption = (f"{CONVENTION[0].upper()}{CONVENTION[1:]}.\nRed: feedback marks; green boxes: blocks (items that "
               "need each other)" + ("; darker: a stronger mark" if weighted else "") + ".")
    title_size, panel_size, caption_size = (20, 16, 13) if big else (13, 11, 9)

    figure = plt.figure(figsize=(8, 6))
    try:
        renderer = figure.canvas.get_renderer()  # type: ignore[attr-defined]  # the Agg canvas has one

        def extent(text: str, size: float) -> tuple[float, float]:
            box = figure.text(0, 0, text, fontsize=size, **PLAIN)
            bounds = box.get_window_extent(renderer)
            box.remove()
            return bounds.width / figure.dpi, bounds.height / figure.dpi

        shown = {_short(dsm.labels[i]) for order in (before_order, sequencing.order) for i in order[::step]}
        longest = sorted(shown, key=len, reverse=True)[:8]
        label = max((extent(name, font)[0] for name in longest), default=0.0) + 0.12
        title_h = extent("Xg", title_size)[1]
        panel_h = extent("Xg", panel_size)[1]
        caption_h = 2 * extent("Xg", caption_size)[1] * 1.2
        pad, gap = 0.2, 0.5
        width = 2 * pad + 2 * (label + side) + gap
        height = 2 * pad + title_h + 0.15 + panel_h + 0.1 + label + side + 0.15 + caption_h
        figure.set_size_inches(width, height)

        def box(x: float, y: float, w: float, h: float) -> tuple[float, float, float, float]:
            return (x / width, y / height, w / width, h / height)

        bottom = pad + caption_h + 0.15
        panels = []
        for k, (order, blocks, title) in enumerate((
            (before_order, [], f"Given order: {before} feedback marks"),
            (sequencing.order, sequencing.blocks, f"Best order found: {after} feedback marks"),
        )):
            left = pad + label + k * (label + side + gap)
            ax = figure.add_axes(box(left, bottom, side, side))
            _panel(ax, dsm, order, blocks, top or 1.0, font, step)
            figure.text((left + side / 2) / width, (bottom + side + label + 0.1) / height, title,
                        fontsize=panel_size, ha="center", va="bottom", **PLAIN)
            panels.append(ax)
        figure.text(0.5, 1 - pad / height, f"Feedback marks {before} → {after} ({status})", fontsize=title_size,
                    ha="center", va="top", **PLAIN)
        figure.text(0.5, pad / height, caption, fontsize=caption_size, color="#444444", ha="center", va="bottom",
                    **PLAIN)
        buffer = io.BytesIO()
        dpi = 110 if side < 10 else 90
        figure.savefig(buffer, format=fmt, dpi=dpi)
    finally:
        plt.close(figure)
    return buffer.getvalue()
