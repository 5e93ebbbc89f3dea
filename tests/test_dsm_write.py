"""Files written from a sequencing: tables read back the same, names from
files never become formulas or markup, bands and tears match a plain count."""

import json
from itertools import product

import numpy as np
import pytest
import scipy.sparse

import ovila_dsm
from ovila_dsm import Dsm, Sequencing, read_dsm
from ovila_dsm._report import report_html

NAMES = ["=cmd|' /C calc'!A0", "+plus", "-minus", "@at", "<script>alert(1)</script>", "plain, with comma"]


def hand_made() -> tuple[Dsm, Sequencing]:
    """Six items; items 1-2-3 form a block; weights 1..3."""
    dense = np.zeros((6, 6))
    for (r, c), v in {(1, 0): 1, (2, 1): 2, (3, 2): 1, (1, 3): 3, (4, 3): 1, (5, 4): 1.5, (0, 5): 1}.items():
        dense[r, c] = v
    dsm = Dsm(list(NAMES), scipy.sparse.csr_array(dense))
    order = [0, 3, 2, 1, 4, 5]
    found = Sequencing(order=order, labels=[NAMES[i] for i in order], feedback_marks=3, lower_bound=2,
                       optimal=False, blocks=[[0], [3, 2, 1], [4], [5]], seconds=0.5, method="auto", seed=7)
    return dsm, found


def reordered(dsm: Dsm, order: list[int]) -> np.ndarray:
    return dsm.matrix.toarray()[np.ix_(order, order)]


def test_bands_and_tears_against_a_plain_count():
    dsm, found = hand_made()
    dense, pos = dsm.matrix.toarray(), {item: p for p, item in enumerate(found.order)}
    torn = [(r, c) for r, c in product(range(6), range(6)) if r != c and dense[r, c] and pos[r] < pos[c]]
    assert sorted(ovila_dsm.tears(dsm, found.order)) == sorted(torn)
    band = {}
    for item in found.order:  # each item one more than the latest band it needs, feedback set aside
        band[item] = 1 + max([band[c] for c in range(6) if dense[item, c] and pos[c] < pos[item]], default=0)
    assert ovila_dsm.bands(dsm, found.order) == [band[i] for i in range(6)]


def test_csv_and_workbook_read_back_the_same_and_hold_no_formula(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    dsm, found = hand_made()
    want = reordered(dsm, found.order)
    ovila_dsm.write_csv(tmp_path / "out.csv", dsm, found.order)
    ovila_dsm.write_xlsx(tmp_path / "out.xlsx", dsm, found)
    for name in ("out.csv", "out.xlsx"):
        back = read_dsm(tmp_path / name)
        assert back.labels == found.labels
        np.testing.assert_array_equal(back.matrix.toarray(), want)
    text = (tmp_path / "out.csv").read_text(encoding="utf-8")
    assert ovila_dsm.CONVENTION in text
    assert "\n'=cmd" in text and ",=" not in text and "\n=" not in text
    sheet = openpyxl.load_workbook(tmp_path / "out.xlsx").worksheets[0]
    assert sheet["A1"].value == ovila_dsm.CONVENTION
    assert all(cell.data_type == "s" for cell in sheet[1][1:])  # names are text, never formulas
    # Item 2 needs the later item 1 (value 2 of at most 3): a red of the third shade.
    assert sheet["E4"].value == 2 and sheet["E4"].fill.fgColor.rgb.endswith("E04848")
    assert sheet["C3"].border.left.style == sheet["C3"].border.top.style == "medium"  # the block's corner


def test_json_result_and_order_list(tmp_path):
    dsm, found = hand_made()
    data = ovila_dsm.result(dsm, found, before=2)
    assert data["order"] == found.labels
    assert data["blocks"] == [[NAMES[3], NAMES[2], NAMES[1]]]
    assert data["tears"] == [[NAMES[a], NAMES[b]] for a, b in ovila_dsm.tears(dsm, found.order)]
    assert (data["feedback_marks"], data["lower_bound"], data["optimal"], data["seed"]) == (3, 2, False, 7)
    ovila_dsm.write_json(tmp_path / "r.json", data)
    assert json.loads((tmp_path / "r.json").read_text(encoding="utf-8")) == data
    ovila_dsm.write_order(tmp_path / "order.txt", dsm, found.order)
    assert (tmp_path / "order.txt").read_text(encoding="utf-8").splitlines() == found.labels


def test_report_escapes_names_and_embeds_the_picture():
    pytest.importorskip("matplotlib")
    from ovila_dsm._plot import picture

    dsm, found = hand_made()
    png = picture(dsm, found)
    assert png.startswith(b"\x89PNG")
    page = report_html(dsm, found, source="<b>file</b>.csv", picture_png=png)
    assert "<script>" not in page and "<b>file" not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "data:image/png;base64," in page
    assert ovila_dsm.CONVENTION in page


@pytest.mark.parametrize("fmt, magic", [("svg", b"<?xml"), ("pdf", b"%PDF")])
def test_picture_formats(fmt, magic):
    pytest.importorskip("matplotlib")
    from ovila_dsm._plot import picture

    dsm, found = hand_made()
    assert picture(dsm, found, fmt=fmt).startswith(magic)
