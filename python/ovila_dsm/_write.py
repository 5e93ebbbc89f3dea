"""Writing an ordered matrix: CSV, a colour-coded workbook, the order as a
list of names, and the result as JSON.

Names from files are untrusted: a name that a spreadsheet would take for a
formula (starting with =, +, -, @) is written as text.
"""

from __future__ import annotations

import csv
import json
import math
from pathlib import Path
from typing import Any

import numpy as np
import scipy.sparse

from ._bands import bands, positions, tears
from ._dsm import CONVENTION, Dsm
from ._read import FORMULA_STARTS, DsmFileError, PathLike
from ._sequence import Sequencing

# A workbook sheet has at most 16,384 columns, one of them for the names.
MAX_SHEET_ITEMS = 16_383
# Beyond this many items a workbook would take minutes to write.
MAX_WORKBOOK_ITEMS = 2_000
MAX_TABLE_ITEMS = 20_000


def safe_name(name: str) -> str:
    """`name` as a spreadsheet shows it as text, never as a formula."""
    return "'" + name if name.startswith(FORMULA_STARTS) else name


def _number(value: float) -> str:
    if float(value).is_integer() and abs(value) < 2**53:
        return str(int(value))
    return repr(float(value))


def _ordered(dsm: Dsm, order: list[int]) -> scipy.sparse.csr_array:
    index = np.asarray(order, dtype=np.int64)
    matrix = scipy.sparse.csr_array(dsm.matrix)[index][:, index]
    matrix = scipy.sparse.csr_array(matrix)
    matrix.sort_indices()
    return matrix


def write_csv(path: PathLike, dsm: Dsm, order: list[int], *, delimiter: str = ",") -> None:
    """The matrix with rows and columns in `order`, names in the first row
    and column, the convention in the corner cell; blank = no mark."""
    if dsm.n > MAX_TABLE_ITEMS:
        raise DsmFileError(path, f"{dsm.n} items are too many for a table: write the order (.txt) or JSON")
    matrix = _ordered(dsm, order)
    names = [safe_name(dsm.labels[i]) for i in order]
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, delimiter=delimiter)
        writer.writerow([CONVENTION] + names)
        for r in range(dsm.n):
            row = [""] * dsm.n
            start, end = matrix.indptr[r], matrix.indptr[r + 1]
            for c, value in zip(matrix.indices[start:end].tolist(), matrix.data[start:end].tolist()):
                if c != r and value != 0:
                    row[c] = _number(value)
            writer.writerow([names[r]] + row)


def write_order(path: PathLike, dsm: Dsm, order: list[int]) -> None:
    """The order, one name per line, the first first."""
    with open(path, "w", encoding="utf-8") as handle:
        for i in order:
            handle.write(" ".join(dsm.labels[i].splitlines()) + "\n")


def result(
    dsm: Dsm, sequencing: Sequencing, *, before: int | None = None, settings: dict[str, Any] | None = None,
    interrupted: bool = False,
) -> dict[str, Any]:
    """The JSON result of a sequencing of `dsm`: names, not indices."""
    names = dsm.labels
    order = sequencing.order
    band = bands(dsm, order)
    out: dict[str, Any] = {
        "convention": CONVENTION,
        "items": dsm.n,
        "marks": int(np.count_nonzero(_offdiagonal(dsm))),
        "order": [names[i] for i in order],
        "feedback_marks": sequencing.feedback_marks,
        "feedback_marks_before": before,
        "lower_bound": sequencing.lower_bound,
        "optimal": sequencing.optimal,
        "interrupted": interrupted,
        "blocks": [[names[i] for i in block] for block in sequencing.blocks if len(block) > 1],
        "bands": max(band, default=0),
        "band_of": {names[i]: band[i] for i in order},
        "tears": [[names[a], names[b]] for a, b in tears(dsm, order)],
        "seconds": round(sequencing.seconds, 3),
        "seed": sequencing.seed,
        "method": sequencing.method,
    }
    if settings is not None:
        out["settings"] = settings
    return out


def _offdiagonal(dsm: Dsm) -> np.ndarray:
    coo = scipy.sparse.coo_array(dsm.matrix)
    keep: np.ndarray = (coo.row != coo.col) & (coo.data != 0)
    return keep


def write_json(path: PathLike, data: dict[str, Any]) -> None:
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(data, handle, ensure_ascii=False, indent=1)
        handle.write("\n")


def write_xlsx(path: PathLike, dsm: Dsm, sequencing: Sequencing) -> None:
    """A colour-coded workbook of the ordered matrix: marks shaded, feedback
    marks in red, each block of more than one item outlined; a second sheet
    lists the order with each item's band and block."""
    try:
        from openpyxl import Workbook
        from openpyxl.cell import WriteOnlyCell
        from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
        from openpyxl.utils import get_column_letter
    except ImportError:
        raise DsmFileError(path, "writing .xlsx needs openpyxl: pip install 'ovila_genetic_py[excel]'") from None
    n = dsm.n
    if n > MAX_WORKBOOK_ITEMS:
        raise DsmFileError(
            path, f"{n} items are too many for a workbook (at most {MAX_WORKBOOK_ITEMS}): write CSV, .txt or JSON"
        )
    order = sequencing.order
    matrix = _ordered(dsm, order)
    names = [dsm.labels[i] for i in order]
    top = float(np.abs(matrix.data).max()) if matrix.nnz else 1.0
    top = top or 1.0
    block_at = np.full(n, -1, dtype=np.int64)  # block bounds by position
    block_end = np.full(n, -1, dtype=np.int64)
    pos = positions(order, n)
    for block in sequencing.blocks:
        if len(block) > 1:
            p = sorted(int(pos[i]) for i in block)
            block_at[p[0] : p[-1] + 1] = p[0]
            block_end[p[0] : p[-1] + 1] = p[-1]

    book = Workbook(write_only=True)
    sheet = book.create_sheet("ordered matrix")
    sheet.freeze_panes = "B2"
    sheet.column_dimensions["A"].width = min(40, max(8, max((len(x) for x in names), default=8) + 2))
    for c in range(n):
        sheet.column_dimensions[get_column_letter(c + 2)].width = 3.5
    edge = Side(style="medium", color="1F4E79")
    diagonal = PatternFill("solid", fgColor="404040")
    fills: dict[tuple[bool, int], PatternFill] = {}
    borders: dict[tuple[bool, bool, bool, bool], Border] = {}

    def fill(feedback: bool, value: float) -> PatternFill:
        level = min(4, max(1, math.ceil(4 * abs(value) / top)))
        key = (feedback, level)
        if key not in fills:
            shades = (["F4B6B6", "EC8080", "E04848", "C00000"] if feedback
                      else ["D0D8E8", "A8B8D8", "7890C0", "4060A0"])
            fills[key] = PatternFill("solid", fgColor=shades[level - 1])
        return fills[key]

    def text(value: str, bold: bool = False, rotate: bool = False) -> WriteOnlyCell:
        cell = WriteOnlyCell(sheet, value=value)
        cell.data_type = "s"  # never a formula
        if bold:
            cell.font = Font(bold=True)
        if rotate:
            cell.alignment = Alignment(text_rotation=90)
        return cell

    sheet.append([text(CONVENTION)] + [text(name, rotate=True) for name in names])
    for r in range(n):
        cells: dict[int, float] = dict(
            zip(matrix.indices[matrix.indptr[r] : matrix.indptr[r + 1]].tolist(),
                matrix.data[matrix.indptr[r] : matrix.indptr[r + 1]].tolist())
        )
        row: list[Any] = [text(names[r], bold=True)]
        for c in range(n):
            value = cells.get(c, 0.0) if c != r else 0.0
            in_block = block_at[r] >= 0 and block_at[r] == block_at[c]
            # Only the cells on a block's edge carry its outline.
            on_edge = in_block and (c == block_at[r] or c == block_end[r] or r == block_at[r] or r == block_end[r])
            if not value and c != r and not on_edge:
                row.append(None)
                continue
            cell = WriteOnlyCell(sheet, value=float(value) if value and not float(value).is_integer()
                                 else (int(value) if value else None))
            if c == r:
                cell.fill = diagonal
            elif value:
                cell.fill = fill(c > r, value)
            if on_edge:
                sides = (c == block_at[r], c == block_end[r], r == block_at[r], r == block_end[r])
                if sides not in borders:
                    borders[sides] = Border(*(edge if side else None for side in sides))
                cell.border = borders[sides]
            row.append(cell)
        sheet.append(row)

    listing = book.create_sheet("order")
    listing.append([text("position", True), text("item", True), text("band", True), text("block", True)])
    band = bands(dsm, order)
    block_no = np.zeros(n, dtype=np.int64)
    for k, block in enumerate((b for b in sequencing.blocks if len(b) > 1), start=1):
        block_no[block] = k
    for position, i in enumerate(order, start=1):
        listing.append([position, text(dsm.labels[i]), band[i], int(block_no[i]) or None])
    book.save(path)
