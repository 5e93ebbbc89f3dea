"""Files written from a sequencing: tables read back the same, names from
files never become formulas or markup, bands and tears match a plain count."""

import base64
import json
import re
from itertools import product

import numpy as np
import pytest
import scipy.sparse

import ovila_dsm
from ovila_dsm import Dsm, Sequencing, read_dsm

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


def _varints(data: bytes) -> list[int]:
    """The page's decoding of the report's numbers, in Python."""
    out, value, shift = [], 0, 0
    for byte in data:
        value |= (byte & 127) << shift
        if byte & 128:
            shift += 7
        else:
            out.append(value)
            value, shift = 0, 0
    return out


def test_report_escapes_names_and_carries_the_matrix(tmp_path):
    dsm, found = hand_made()
    ovila_dsm.write_report(tmp_path / "r.html", dsm, found, source="<b>file</b>.csv")
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert "<b>file" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert ovila_dsm.CONVENTION in page
    # The data the page draws from: no "<" that could end its script element,
    # and the order, the marks and the bands as the package computes them.
    data_text = re.search(r'<script type="application/json" id="dsm-data">(.*?)</script>', page, re.S).group(1)
    assert "<" not in data_text
    data = json.loads(data_text)
    assert data["names"] == NAMES
    order = _varints(base64.b64decode(data["best"]))
    assert order == found.order
    counts = _varints(base64.b64decode(data["rows"]))
    steps = _varints(base64.b64decode(data["cols"]))
    values = np.frombuffer(base64.b64decode(data["values"]), dtype="<f4")
    marks, k = {}, 0
    for r, count in enumerate(counts):
        c = 0
        for j in range(count):
            c = steps[k] if j == 0 else c + steps[k]
            marks[(order[r], order[c])] = float(values[k])
            k += 1
    dense = dsm.matrix.toarray()
    assert marks == {(r, c): dense[r, c] for r, c in zip(*np.nonzero(dense))}
    band = ovila_dsm.bands(dsm, found.order)
    assert _varints(base64.b64decode(data["bands"])) == [band[i] for i in found.order]
    assert data["blocks"] == [[1, 3]]  # items 3, 2, 1 at positions 1 to 3


def test_report_numbers_survive_any_size():
    from ovila_dsm._report import _varints as encode

    numbers = [0, 1, 127, 128, 16_383, 16_384, 60_576, 2**21, 2**28 - 1, 2**28, 2**32 - 1]
    assert _varints(encode(np.array(numbers))) == numbers


@pytest.mark.parametrize("fmt, magic", [("png", b"\x89PNG"), ("svg", b"<?xml"), ("pdf", b"%PDF")])
def test_picture_formats(tmp_path, fmt, magic):
    pytest.importorskip("matplotlib")
    dsm, found = hand_made()
    assert ovila_dsm.draw(dsm, found, fmt=fmt).startswith(magic)
    ovila_dsm.draw(dsm, found, tmp_path / f"dsm.{fmt}")
    assert (tmp_path / f"dsm.{fmt}").read_bytes().startswith(magic)
