"""The report as people open it: in a real browser (headless Chromium).
It must draw at any size within seconds, without an error in the console,
name the two items of a cell under the pointer, and build its long lists
when they are opened."""

from __future__ import annotations

import functools
import time
from pathlib import Path

import numpy as np
import pytest
import scipy.sparse

import ovila_dsm
from ovila_dsm import Dsm, Sequencing

from browser import Browser, find_chromium

CHROMIUM = find_chromium()
pytestmark = pytest.mark.skipif(
    CHROMIUM is None,
    reason="no Chromium on this machine: the report's browser test needs Debian's chromium package, which "
    "bash tools/test.sh installs with apt-get when it can (or set OVILA_CHROMIUM to a Chromium or Chrome)",
)

DATA = Path(__file__).resolve().parent / "data"
DEBIAN = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "debian-packages.edges.tsv.gz"
OPENS_WITHIN_MS = 3000


@functools.lru_cache(maxsize=1)
def _large() -> tuple[Dsm, Sequencing]:
    """The Debian package graph where it is at hand, else one of its size:
    60,000 items needing about five earlier ones each, and 1,000 pairs of
    items that need each other."""
    if DEBIAN.exists():
        dsm = ovila_dsm.read_dsm(DEBIAN)
        return dsm, ovila_dsm.sequence(dsm, seed=1)
    rng = np.random.default_rng(7)
    n = 60_000
    rows = np.repeat(np.arange(1, n), 5)
    cols = (rows * rng.random(rows.size)).astype(np.int64)
    pairs = rng.choice(n - 1, 1000, replace=False)
    rows, cols = np.concatenate([rows, pairs, pairs + 1]), np.concatenate([cols, pairs + 1, pairs])
    matrix = scipy.sparse.csr_array((np.ones(rows.size), (rows, cols)), shape=(n, n))
    matrix.sum_duplicates()
    matrix.data[:] = 1.0
    dsm = Dsm([f"package-{k}" for k in range(n)], matrix)
    found = ovila_dsm.blocks(dsm)
    order = found.order
    count = len(ovila_dsm.tears(dsm, order))
    return dsm, Sequencing(order=order, labels=[dsm.labels[i] for i in order], feedback_marks=count, lower_bound=0,
                           optimal=False, blocks=found.blocks, seconds=0.0, method="blocks", seed=0)


@pytest.fixture(scope="module")
def browser():
    with Browser(CHROMIUM, 1280, 900) as opened:
        yield opened


def _hover(browser: Browser, r: int, c: int) -> str:
    browser.evaluate("document.getElementById('matrix').scrollIntoView()")
    browser.evaluate(f"dsmReport.centre({r}, {c}, 24)")
    centre = browser.evaluate(f"dsmReport.cellCentre({r}, {c})")
    browser.move_mouse(centre["x"], centre["y"])
    text: str = browser.evaluate("document.getElementById('tip').textContent")
    return text


def _valued() -> tuple[Dsm, Sequencing]:
    """Four items in a loop, its marks of values 1.5, 2, 3 and 0.25."""
    dense = np.zeros((4, 4))
    dense[0, 1], dense[1, 2], dense[2, 3], dense[3, 0] = 1.5, 2, 3, 0.25
    dsm = Dsm(["a", "b", "c", "d"], scipy.sparse.csr_array(dense))
    return dsm, ovila_dsm.sequence(dsm, seed=1)


@pytest.mark.parametrize("size", ["13-task example", "marks with values", "60,000 items"])
def test_report_opens_quickly_and_names_the_cell_under_the_pointer(tmp_path, browser, size):
    if size == "13-task example":
        dsm = ovila_dsm.read_dsm(DATA / "process-13-tasks.csv")
        found = ovila_dsm.sequence(dsm, seed=1)
    elif size == "marks with values":
        dsm, found = _valued()
    else:
        dsm, found = _large()
    path = tmp_path / "report.html"
    ovila_dsm.write_report(path, dsm, found, source="<i>matrix</i>.csv")
    browser.open(path.as_uri(), "document.documentElement.dataset.drawn")
    drawn = float(browser.evaluate("document.documentElement.dataset.drawn"))
    assert drawn < OPENS_WITHIN_MS, f"{size}: first drawn {drawn:.0f} ms after the page was asked for"
    assert browser.errors() == []
    assert browser.evaluate("document.title") == "Sequencing of <i>matrix</i>.csv"

    pos = {item: p for p, item in enumerate(found.order)}
    names = dsm.labels
    a, b = ovila_dsm.tears(dsm, found.order)[0]
    value = dsm.matrix[a, b]
    valued = f" (value {value:g})" if size == "marks with values" else ""
    assert _hover(browser, pos[a], pos[b]) == (f"row {pos[a] + 1}, column {pos[b] + 1}: {names[a]} needs {names[b]}"
                                               f"{valued} — a feedback mark: {names[b]} comes later")
    coo = dsm.matrix.tocoo()
    r, c = int(coo.row[0]), int(coo.col[0])  # a mark of the file, by the file's order
    browser.evaluate("document.getElementById('view-file').click()")
    text = _hover(browser, r, c)
    assert text.startswith(f"row {r + 1}, column {c + 1}: {names[r]} needs {names[c]}")
    assert ("feedback mark" in text) == (c > r)
    empty = next(k for k in range(2, dsm.n) if dsm.matrix[k, 0] == 0)
    assert _hover(browser, empty, 0).endswith(f"{names[empty]} does not need {names[0]}")
    assert browser.errors() == []


def test_long_lists_are_built_when_opened(tmp_path, browser):
    dsm, found = _large()
    path = tmp_path / "report.html"
    ovila_dsm.write_report(path, dsm, found)
    assert path.stat().st_size < 6 * 1024**2
    browser.open(path.as_uri(), "document.documentElement.dataset.drawn")
    rows = browser.evaluate("document.querySelectorAll('tr').length")
    browser.evaluate("document.querySelector('details[data-list=order]').open = true")
    for _ in range(200):
        first = browser.evaluate(
            "(document.querySelector('details[data-list=order] td:nth-child(2)') || {}).textContent")
        if first:
            break
        time.sleep(0.01)
    band = ovila_dsm.bands(dsm, found.order)
    cells = browser.evaluate("Array.from(document.querySelectorAll('details[data-list=order] tr:nth-child(3) td'))"
                             ".map(td => td.textContent)")
    item = found.order[1]
    assert first == dsm.labels[found.order[0]]
    assert cells[:3] == ["2", dsm.labels[item], str(band[item])]
    assert browser.evaluate("document.querySelectorAll('tr').length") == rows + 2001
    assert browser.errors() == []
