"""The report of a sequencing: one self-contained HTML file with the summary,
the picture, the blocks, the bands, the tears and the settings."""

from __future__ import annotations

import base64
import html
from collections import defaultdict
from typing import Any

import numpy as np

from ._bands import bands, feedback_count, tears
from ._dsm import CONVENTION, Dsm
from ._read import PathLike
from ._sequence import Sequencing

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 70em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; }
td, th { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: left; vertical-align: top; }
th { background: #f2f2f2; }
img { max-width: 100%; border: 1px solid #ddd; }
.note { color: #555; }
ol.order { columns: 16em; }
"""


def _e(value: object) -> str:
    return html.escape(str(value), quote=True)


def report_html(
    dsm: Dsm,
    sequencing: Sequencing,
    *,
    source: str = "",
    settings: dict[str, Any] | None = None,
    picture_png: bytes | None = None,
    interrupted: bool = False,
) -> str:
    """The report as an HTML page; every name is escaped."""
    names = dsm.labels
    order = sequencing.order
    before = feedback_count(dsm, list(range(dsm.n)))
    band = bands(dsm, order)
    marks = int(np.count_nonzero(dsm.matrix.data)) - int(np.count_nonzero(dsm.matrix.diagonal()))
    big = [block for block in sequencing.blocks if len(block) > 1]
    out: list[str] = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>Sequencing of {_e(source or 'a matrix')}</title>",
        f"<style>{STYLE}</style></head><body>",
        f"<h1>Sequencing of {_e(source or 'a matrix')}</h1>",
        f'<p class="note">Convention: {_e(CONVENTION)}.</p>',
    ]
    if interrupted:
        out.append("<p><strong>The search was interrupted: this is the best order found until then.</strong></p>")
    status = "yes (proven)" if sequencing.optimal else f"not proven: no order has fewer than {sequencing.lower_bound}"
    rows = [
        ("items", dsm.n),
        ("marks", marks),
        ("feedback marks in the given order", before),
        ("feedback marks in the best order found", sequencing.feedback_marks),
        ("lower bound", sequencing.lower_bound),
        ("optimal", status),
        ("blocks of more than one item", f"{len(big)} holding {sum(map(len, big))} items"),
        ("bands", max(band, default=0)),
        ("seconds", f"{sequencing.seconds:.2f}"),
    ]
    out.append("<h2>Summary</h2><table>")
    out += [f"<tr><th>{_e(k)}</th><td>{_e(v)}</td></tr>" for k, v in rows]
    out.append("</table>")
    if picture_png is not None:
        data = base64.b64encode(picture_png).decode("ascii")
        out.append(f'<img alt="the matrix before and after ordering" src="data:image/png;base64,{data}">')
    else:
        out.append('<p class="note">No picture: install matplotlib (pip install \'ovila_genetic_py[plot]\').</p>')

    out.append("<h2>Order</h2><ol class=\"order\">")
    out += [f"<li>{_e(names[i])}</li>" for i in order]
    out.append("</ol>")

    out.append("<h2>Blocks</h2>")
    if big:
        out.append('<p class="note">Items of a block need each other (directly or through others): '
                   "some of their marks are feedback marks in every order.</p><table>"
                   "<tr><th>block</th><th>items</th><th>items, in the best order</th></tr>")
        for k, block in enumerate(big, start=1):
            out.append(f"<tr><td>{k}</td><td>{len(block)}</td><td>{_e(', '.join(names[i] for i in block))}</td></tr>")
        out.append("</table>")
    else:
        out.append("<p>No block: no item needs itself through others, so an order without feedback marks exists.</p>")

    out.append("<h2>Bands</h2>")
    out.append('<p class="note">Items of one band can proceed in parallel once the feedback marks are set aside: '
               "an item's band is one more than the latest band of the items it needs.</p><table>"
               "<tr><th>band</th><th>items</th></tr>")
    by_band: dict[int, list[str]] = defaultdict(list)
    for i in order:
        by_band[band[i]].append(names[i])
    for b in sorted(by_band):
        out.append(f"<tr><td>{b}</td><td>{_e(', '.join(by_band[b]))}</td></tr>")
    out.append("</table>")

    torn = tears(dsm, order)
    out.append(f"<h2>Tears ({len(torn)})</h2>")
    if torn:
        out.append('<p class="note">The feedback marks of the best order: the item needs an item that comes '
                   "later, so work starts on an assumption to be checked later.</p><table>"
                   "<tr><th>item</th><th>needs (later) item</th><th>value</th></tr>")
        for a, b in torn:
            value = dsm.matrix[a, b]
            out.append(f"<tr><td>{_e(names[a])}</td><td>{_e(names[b])}</td><td>{_e(f'{float(value):g}')}</td></tr>")
        out.append("</table>")
    else:
        out.append("<p>None.</p>")

    out.append("<h2>Settings</h2><table>")
    merged = {"method": sequencing.method, "seed": sequencing.seed, **(settings or {})}
    out += [f"<tr><th>{_e(k)}</th><td>{_e(v)}</td></tr>" for k, v in merged.items()]
    out.append("</table>")
    out.append(f'<p class="note">Reproduce with the same file and <code>--seed {sequencing.seed}</code> '
               "(the time limit matters too).</p>")
    out.append("</body></html>\n")
    return "\n".join(out)


def write_report(path: PathLike, dsm: Dsm, sequencing: Sequencing, **options: Any) -> None:
    from ._write import replacing

    with replacing(path, "w", encoding="utf-8") as handle:
        handle.write(report_html(dsm, sequencing, **options))
