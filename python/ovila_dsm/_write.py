"""Writing an ordered matrix: CSV, a colour-coded workbook, the order as a
list of names, and the result as JSON.

Names from files are untrusted: a name that a spreadsheet would take for a
formula (starting with =, +, -, @) is written as text. Whatever is written
reads back the same: names a format cannot hold are refused
(`check_names`) before anything is written, and a file takes the place of
the one it replaces only once it is complete.
"""

from __future__ import annotations

import csv
import json
import math
import os
import re
import secrets
import stat
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Any

import numpy as np
import scipy.sparse

from ._bands import (
    bands,
    feedback_count,
    feedback_distance,
    feedback_weight,
    positions,
    tear_distances,
    tear_values,
    tears,
)
from ._dsm import (
    CONVENTION,
    MAX_CELL,
    MAX_TABLE_ITEMS,
    UNSAFE,
    Dsm,
    DsmFileError,
    PathLike,
    escape_name,
)
from ._objective import OBJECTIVE_WORDS
from ._sequence import Sequencing

# Beyond this many items a workbook would take minutes to write.
MAX_WORKBOOK_ITEMS = 2_000
# The longest text a workbook cell holds.
MAX_WORKBOOK_CELL = 32_767

# What each kind of output is called in a refusal.
KINDS = {"table": "CSV/TSV table", "workbook": ".xlsx workbook", "order": "order file", "json": "JSON result"}
# Characters XML (so a workbook) cannot hold; a carriage return would come back as a line feed.
_NOT_IN_WORKBOOK = re.compile("[^\t\n\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
_NOT_IN_TABLE = re.compile("[\x00\ud800-\udfff]")  # the reader refuses NUL; UTF-8 holds no lone surrogate
_SURROGATE = re.compile("[\ud800-\udfff]")
# JSON itself escapes the control characters below 0x20.
_JSON_UNSAFE = re.compile(UNSAFE.pattern.replace("\x00-\x1f", ""))

# Temporary files being written (removed by the command when it is
# interrupted while writing).
pending: set[str] = set()


def safe_name(name: str) -> str:
    """`name` as a spreadsheet shows it as text, never as a formula."""
    return escape_name(name)


def _shown(name: str) -> str:
    return repr(name if len(name) <= 60 else name[:60] + "…")


def check_names(path: PathLike, labels: Sequence[str], kind: str) -> None:
    """Refuses (DsmFileError naming the file and the first name at fault)
    names that an output of `kind` ("table", "workbook", "order" or "json")
    cannot hold so that they read back the same: duplicate names, empty ones,
    names that begin or end with white space (the reader strips it), that
    hold characters the format cannot hold, or that are longer than its
    cells. The command calls it before searching, the writers before
    writing."""
    what = KINDS[kind]
    seen: set[str] = set()
    for number, name in enumerate(labels, start=1):
        if name in seen:
            raise DsmFileError(path, f"two items are named {_shown(name)}: a {what} needs distinct names")
        seen.add(name)
        if kind == "json":
            continue
        if not name:
            raise DsmFileError(path, f"item {number} has no name: a {what} needs a name for every item")
        if kind == "order":
            if name.splitlines() != [name]:
                raise DsmFileError(path, f"the name {_shown(name)} holds a line break: the {what} has one name "
                                   "per line")
            bad = _SURROGATE.search(name)
        else:
            if name.strip() != name:
                raise DsmFileError(path, f"the name {_shown(name)} begins or ends with white space, which a {what} "
                                   "does not keep")
            bad = (_NOT_IN_WORKBOOK if kind == "workbook" else _NOT_IN_TABLE).search(name)
            longest = MAX_WORKBOOK_CELL if kind == "workbook" else MAX_CELL
            length = len(escape_name(name, formula=kind == "table"))
            if bad is None and length > longest:
                raise DsmFileError(path, f"the name {_shown(name)} is {length} characters long: a {what} holds "
                                   f"at most {longest} in a cell")
        if bad is not None:
            raise DsmFileError(path, f"the name {_shown(name)} holds the character {bad.group()!r}, which a {what} "
                               "cannot hold")


@contextmanager
def replacing(path: PathLike, mode: str = "w", **options: Any) -> Iterator[IO[Any]]:
    """An open file that takes the place of `path` once it is complete: it is
    written beside it under a temporary name and renamed over it, so that a
    failed or interrupted write leaves `path` as it was. A symbolic link
    keeps pointing where it did (its target is replaced); a device or a pipe
    is written directly."""
    target = os.path.realpath(path)
    try:
        mode_bits: int | None = stat.S_IMODE(os.stat(target).st_mode)
        regular = stat.S_ISREG(os.stat(target).st_mode)
    except FileNotFoundError:
        mode_bits, regular = None, True
    temporary = None
    if regular:
        folder, name = os.path.split(target)
        for _ in range(100):
            candidate = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
            try:
                descriptor = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0),
                                     0o666)
            except FileExistsError:
                continue
            except PermissionError:
                break  # a file that may be written in a folder that may not: written in place
            temporary = candidate
            break
    if temporary is None:
        with open(path, mode, **options) as handle:
            yield handle
        return
    pending.add(temporary)
    try:
        if mode_bits is not None:
            os.chmod(temporary, mode_bits)
        with os.fdopen(descriptor, mode, **options) as handle:
            yield handle
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    finally:
        pending.discard(temporary)


def json_text(data: Any, *, indent: int | None = None) -> str:
    """`data` as JSON text in which every character a terminal could act on
    (and every lone surrogate) is an escape: the same data, safe to print."""
    text = json.dumps(data, ensure_ascii=False, indent=indent)  # control characters below 0x20 are escaped
    return _JSON_UNSAFE.sub(lambda match: f"\\u{ord(match.group()):04x}", text)


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
    check_names(path, dsm.labels, "table")
    matrix = _ordered(dsm, order)
    names = [safe_name(dsm.labels[i]) for i in order]
    with replacing(path, "w", newline="", encoding="utf-8") as handle:
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
    check_names(path, dsm.labels, "order")
    with replacing(path, "w", encoding="utf-8", newline="\n") as handle:
        for i in order:
            handle.write(dsm.labels[i] + "\n")


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
        "objective": sequencing.objective,
        "feedback_marks": sequencing.feedback_marks,
        "feedback_marks_before": before,
        "lower_bound": sequencing.lower_bound,
        "optimal": sequencing.optimal,
        "tie_break": sequencing.tie_break,
        "tie_break_optimal": sequencing.tie_break_optimal,
        "interrupted": interrupted,
        "blocks": [[names[i] for i in block] for block in sequencing.blocks if len(block) > 1],
        "bands": max(band, default=0),
        "band_of": {names[i]: band[i] for i in order},
        "tears": [[names[a], names[b]] for a, b in tears(dsm, order)],
        "tear_values": tear_values(dsm, order),
        "tear_distances": tear_distances(dsm, order),
        "feedback_weight": feedback_weight(dsm, order),
        "feedback_weight_before": None if before is None else feedback_weight(dsm, list(range(dsm.n))),
        "feedback_distance": feedback_distance(dsm, order),
        "feedback_distance_before": None if before is None else feedback_distance(dsm, list(range(dsm.n))),
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
    """The result (see `result`) as a JSON file."""
    if isinstance(data.get("order"), list):
        check_names(path, data["order"], "json")
    with replacing(path, "w", encoding="utf-8") as handle:
        handle.write(json_text(data, indent=1) + "\n")


def write_xlsx(path: PathLike, dsm: Dsm, sequencing: Sequencing) -> None:
    """A colour-coded workbook of the ordered matrix: marks shaded, feedback
    marks in red, each block of more than one item outlined; a second sheet
    lists the order with each item's band and block, a third the numbers of
    the result."""
    from ._xlsx import Look, Workbook

    n = dsm.n
    if n > MAX_WORKBOOK_ITEMS:
        raise DsmFileError(
            path, f"{n} items are too many for a workbook (at most {MAX_WORKBOOK_ITEMS}): write CSV, .txt or JSON"
        )
    check_names(path, dsm.labels, "workbook")
    book = Workbook()
    _matrix_sheet(book, dsm, sequencing)
    _order_sheet(book, dsm, sequencing)
    summary = book.sheet("summary", [44, 16])
    for label, value in _figures(dsm, sequencing):
        book.row(summary, [(0, label, Look(bold=True)), (1, value, Look())])
    with replacing(path, "wb") as handle:
        book.save(handle)


def _block_bounds(sequencing: Sequencing, n: int) -> tuple[list[int], list[int]]:
    """For every position, the first and last position of its block of more
    than one item (-1 outside such blocks)."""
    block_at = np.full(n, -1, dtype=np.int64)
    block_end = np.full(n, -1, dtype=np.int64)
    pos = positions(sequencing.order, n)
    for block in sequencing.blocks:
        if len(block) > 1:
            p = sorted(int(pos[i]) for i in block)
            block_at[p[0] : p[-1] + 1] = p[0]
            block_end[p[0] : p[-1] + 1] = p[-1]
    return block_at.tolist(), block_end.tolist()


def _matrix_sheet(book: Any, dsm: Dsm, sequencing: Sequencing) -> None:
    """The ordered matrix: marks shaded by value, feedback marks in red,
    blocks outlined, the diagonal dark."""
    from ._xlsx import Look

    n, order = dsm.n, sequencing.order
    matrix = _ordered(dsm, order)
    names = [escape_name(dsm.labels[i], formula=False) for i in order]
    finite = np.abs(matrix.data[np.isfinite(matrix.data)])
    top = (float(finite.max()) if finite.size else 1.0) or 1.0
    sheet = book.sheet("ordered matrix", [min(40, max(8, max((len(x) for x in names), default=8) + 2))]
                       + [3.5] * n, freeze=True)
    shades = (["D0D8E8", "A8B8D8", "7890C0", "4060A0"], ["F4B6B6", "EC8080", "E04848", "C00000"])
    diagonal = "404040"
    bold, rotated = Look(bold=True), Look(rotate=True)
    looks: dict[tuple[str, tuple[bool, bool, bool, bool]], Look] = {}

    def look(fill: str, sides: tuple[bool, bool, bool, bool]) -> Look:
        key = (fill, sides)
        found = looks.get(key)
        if found is None:
            found = looks[key] = Look(fill=fill, sides=sides)
        return found

    def shade(value: float, feedback: bool) -> str:
        level = min(4, max(1, math.ceil(4 * abs(value) / top))) if math.isfinite(value) else 4
        return shades[feedback][level - 1]

    no_sides = (False, False, False, False)
    book.row(sheet, [(0, CONVENTION, Look()), *((c + 1, name, rotated) for c, name in enumerate(names))])
    at, end = _block_bounds(sequencing, n)
    for r in range(n):
        start, stop = matrix.indptr[r], matrix.indptr[r + 1]
        cells: dict[int, float] = dict(zip(matrix.indices[start:stop].tolist(), matrix.data[start:stop].tolist()))
        cells.pop(r, None)
        # Only the cells on a block's edge carry its outline.
        edges: set[int] = set()
        if at[r] >= 0:
            edges = set(range(at[r], end[r] + 1)) if r in (at[r], end[r]) else {at[r], end[r]}
        row: list[tuple[int, Any, Look]] = [(0, names[r], bold)]
        for c in sorted({*cells, r, *edges}):
            value = cells.get(c, 0.0)
            sides = (c == at[r], c == end[r], r == at[r], r == end[r]) if c in edges else no_sides
            fill = diagonal if c == r else (shade(value, c > r) if value else "")
            number = None if not value else (int(value) if float(value).is_integer() else float(value))
            row.append((c + 1, number, look(fill, sides)))
        book.row(sheet, row)


def _order_sheet(book: Any, dsm: Dsm, sequencing: Sequencing) -> None:
    """The order: each item's position, band and block."""
    from ._xlsx import Look

    n, order = dsm.n, sequencing.order
    names = [escape_name(dsm.labels[i], formula=False) for i in order]
    listing = book.sheet("order", [10, min(60, max(10, max((len(x) for x in names), default=8) + 2)), 8, 8])
    book.row(listing, [(k, title, Look(bold=True)) for k, title in enumerate(("position", "item", "band", "block"))])
    band = bands(dsm, order)
    block_no = np.zeros(n, dtype=np.int64)
    for k, block in enumerate((b for b in sequencing.blocks if len(b) > 1), start=1):
        block_no[block] = k
    plain = Look()
    for position, (i, name) in enumerate(zip(order, names), start=1):
        number = int(block_no[i])
        book.row(listing, [(0, position, plain), (1, name, plain), (2, band[i], plain),
                           *([(3, number, plain)] if number else [])])


def _figures(dsm: Dsm, sequencing: Sequencing) -> list[tuple[str, Any]]:
    """The numbers of a result, as the workbook's summary sheet lists them."""
    given = list(range(dsm.n))
    return [
        ("objective", OBJECTIVE_WORDS[sequencing.objective]),
        ("feedback marks, the file's order", feedback_count(dsm, given)),
        ("feedback marks, the best order", sequencing.feedback_marks),
        ("their total value, the file's order", _plain_number(feedback_weight(dsm, given))),
        ("their total value, the best order", _plain_number(sequencing.feedback_weight)),
        ("their total distance, the file's order", feedback_distance(dsm, given)),
        ("their total distance, the best order", sequencing.feedback_distance),
        ("lower bound of the objective", _plain_number(sequencing.lower_bound)),
        ("proven optimal", "yes" if sequencing.optimal else "no"),
        ("the tie-break proven too", "yes" if sequencing.tie_break_optimal else ("no" if sequencing.tie_break else "not asked")),
        ("seed", str(sequencing.seed)),
    ]


def _plain_number(value: float) -> int | float:
    return int(value) if float(value).is_integer() and abs(value) < 2**53 else float(value)
