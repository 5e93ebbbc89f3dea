"""`read_dsm`: a design structure matrix from the files people keep.

Accepted: labelled tables (names in the first row and first column, rows
matched to columns by name), unlabelled square tables, edge lists with the
header `item,needs` (or `item,needs,weight`), as CSV/TSV/semicolon text in
UTF-8 (with or without BOM), UTF-16 with BOM or Windows-1252/Latin-1,
gzip-compressed or not, and Excel workbooks (.xlsx).

Files are untrusted. Text is read as a stream, at most `MAX_BYTES` of it
(after decompression) from any source, a pipe or a device as well as a file;
rows are parsed as they come and a table keeps only its marks, so memory
stays a small multiple of the matrix itself. Workbooks are read in read-only
mode with the XML protections of defusedxml, after their parts are sized
and their shared strings counted against their cells.
"""

from __future__ import annotations

import codecs
import csv
import gzip
import io
import itertools
import math
import os
import re
import stat
import zipfile
import zlib
from array import array
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import IO, Any, NamedTuple, Union, cast

import numpy as np
import scipy.sparse

from ._dsm import (
    CONVENTION,
    MAX_CELL,
    MAX_TABLE_ITEMS,
    Dsm,
    DsmFileError,
    PathLike,
    Reading,
    _escaped,
    install_hint,
)

Cell = Union[str, int, float, bool, None]

# Most bytes read from a file (after decompression); a longer one is refused.
MAX_BYTES = 512 * 1024**2
# Most cells read from a workbook.
MAX_SHEET_CELLS = 50_000_000
# Shared strings a workbook may hold beyond one per cell.
SPARE_STRINGS = 10_000
# Text is read in pieces of this many bytes.
CHUNK = 1024**2

MARK_WORDS = {"x": 1.0, "*": 1.0, "•": 1.0, "true": 1.0, "yes": 1.0}
BLANK_WORDS = {"", "false", "no"}
# The headers of an edge list: the first two columns, then optionally a weight.
EDGE_PAIRS = (("item", "needs"), ("from", "to"), ("source", "target"))
WEIGHT_WORDS = ("weight", "value", "strength")
EDGE_DIRECTIONS = ("needs", "feeds")
# Titles and notes kept to be named (the first few and the last); the others are counted.
KEPT_NOTES = 5
# How the refusals of a sheet that holds no matrix begin.
NO_MATRIX = ("holds", "the sheet is empty", "not a square table", "the first row names no item")
# Rows looked at before the layout is decided (and at most this many cells).
PEEK_ROWS = 64
PEEK_CELLS = 100_000
DELIMITERS = ("\t", ";", ",")


class _Options(NamedTuple):
    """How to read what the file cannot say itself."""

    edges: str | None = None  # an edge list's line: "needs" or "feeds" (None: "needs", unless the header says)
    skip_rows: int = 0  # lines (sheet rows) above the matrix to leave out
    skip_columns: int = 0  # columns left of the matrix to leave out


def read_dsm(
    path: PathLike,
    *,
    transpose: bool = False,
    sheet: str | None = None,
    edges: str | None = None,
    skip_rows: int = 0,
    skip_columns: int = 0,
) -> Dsm:
    """Read the matrix of `path` (row i, column j: item i needs item j).

    `transpose=True` reads matrices kept the other way round (column j needs
    row i). `sheet` picks a sheet of a workbook by name (default: the first).
    `edges` says how a line of an edge list reads: "needs" (the first item
    needs the second; the default) or "feeds" (the first feeds the second);
    a header item,needs says it itself. `skip_rows` and `skip_columns` leave
    out the first lines (sheet rows) and columns, for what surrounds a
    matrix that the reader does not recognise by itself (a title row, a
    column of item numbers and notes below are recognised). The result's
    `reading` says how the file was read.

    Raises `DsmFileError` (a ValueError) naming the file, the line and the
    problem, and OSError when the file cannot be opened.
    """
    if edges is not None and edges not in EDGE_DIRECTIONS:
        raise ValueError(f"edges must be 'needs' or 'feeds', not {edges!r}")
    for name, count in (("skip_rows", skip_rows), ("skip_columns", skip_columns)):
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise ValueError(f"{name} must be a whole number of at least 0, not {count!r}")
    options = _Options(edges, skip_rows, skip_columns)
    path = Path(path)
    with open(path, "rb") as handle:
        head = handle.peek(4)[:4]
        workbook = head.startswith(b"PK\x03\x04") or path.suffix.lower() in (".xlsx", ".xlsm")
        if workbook and not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
            raise DsmFileError(path, "a workbook is read from a file, not from a pipe or a device")
        if not workbook:
            if sheet is not None:
                raise DsmFileError(path, "a sheet name is only meaningful for an .xlsx workbook")
            if path.suffix.lower() in (".xls", ".ods"):
                raise DsmFileError(path, f"{path.suffix} files are not read: save the sheet as .xlsx or CSV")
            lines = _Lines(path, _decoded(path, _chunks(path, handle, head.startswith(b"\x1f\x8b"))))
            dsm = _Table(path, _text_rows(path, lines), lines.delimiter, "line", options).read()
    if workbook:
        dsm = _read_sheet(path, sheet, options)
    if transpose:
        reading = dsm.reading.transpose() if dsm.reading is not None else None
        dsm = Dsm(dsm.labels, scipy.sparse.csr_array(dsm.matrix.T), reading)
    return dsm


def _read_sheet(path: Path, sheet: str | None, options: _Options) -> Dsm:
    """The matrix of a workbook's sheet; when the first sheet holds none and
    there are others, the refusal lists them."""
    book: dict[str, Any] = {}
    table = _Table(path, _sheet_rows(path, sheet, book), "", "row", options)
    table.book = book
    try:
        return table.read()
    except DsmFileError as error:
        sheets: list[str] = book.get("sheets", [])
        # A first sheet that holds no matrix at all: the matrix may be on another.
        if sheet is not None or len(sheets) < 2 or "title" not in book or not error.problem.startswith(NO_MATRIX):
            raise
        others = ", ".join(repr(name) for name in sheets if name != book["title"])
        raise DsmFileError(path, f"{error.problem} (on sheet {book['title']!r}, the first; the workbook also has "
                           f"{others}: name the sheet that holds the matrix with --sheet NAME)",
                           line=error.line, name=error.name, where=error.where) from None


# -- names


def _name(cell: Cell) -> str:
    if cell.__class__ is str:
        text = cell.strip()
    elif cell is None:
        return ""
    else:
        if isinstance(cell, float) and cell.is_integer():
            cell = int(cell)
        text = str(cell).strip()
    return text[1:] if text[:1] == "'" and _escaped(text) else text


def _blank(cell: Cell) -> bool:
    return cell is None or (isinstance(cell, str) and not cell.strip())


# -- text files


def _chunks(path: Path, handle: IO[bytes], gzipped: bool) -> Iterator[bytes]:
    """The bytes of the file in pieces, at most MAX_BYTES of them (once
    decompressed): the size a file claims is not trusted."""
    source: IO[bytes] | gzip.GzipFile = gzip.GzipFile(fileobj=handle, mode="rb") if gzipped else handle
    cap = MAX_BYTES
    total = 0
    while True:
        try:
            chunk = source.read(min(CHUNK, cap + 1 - total))
        except (OSError, EOFError, zlib.error) as error:
            if not gzipped:
                raise
            raise DsmFileError(path, f"damaged gzip file ({error})") from None
        if not chunk:
            return
        total += len(chunk)
        if total > cap:
            raise DsmFileError(path, f"larger than {cap // 1024**2} MiB"
                               f"{' once decompressed' if gzipped else ''}: too large to read")
        yield chunk


# A byte that is not part of valid UTF-8 is read as Windows-1252 (as Latin-1
# where Windows-1252 leaves it undefined).
_FALLBACK: dict[int, str] = {}
for _byte in range(0x80, 0x100):
    try:
        _FALLBACK[0xDC00 + _byte] = bytes([_byte]).decode("cp1252")
    except UnicodeDecodeError:
        _FALLBACK[0xDC00 + _byte] = chr(_byte)
_ESCAPED_BYTE = re.compile("[\udc80-\udcff]")


def _decoded(path: Path, chunks: Iterator[bytes]) -> Iterator[str]:
    """The text of the byte pieces: UTF-16 with its BOM, else UTF-8 (BOM
    dropped) with stray bytes read as Windows-1252."""
    first = next(chunks, b"")
    if first.startswith((b"\xff\xfe", b"\xfe\xff")):  # UTF-16, as spreadsheets save "Unicode text"
        wide = codecs.getincrementaldecoder("utf-16")("strict")
        try:
            yield wide.decode(first)
            for chunk in chunks:
                yield wide.decode(chunk)
            yield wide.decode(b"", final=True)
        except UnicodeDecodeError:
            raise DsmFileError(path, "damaged UTF-16 text") from None
        return
    if first.startswith(codecs.BOM_UTF8):
        first = first[len(codecs.BOM_UTF8):]
    decoder = codecs.getincrementaldecoder("utf-8")("surrogateescape")
    piece = first
    final = False
    while True:
        if b"\x00" in piece:
            raise DsmFileError(path, "not a text table (it holds binary data)")
        text = decoder.decode(piece, final=final)
        if _ESCAPED_BYTE.search(text):
            text = text.translate(_FALLBACK)
        yield text
        if final:
            return
        piece = next(chunks, b"")
        final = not piece


class _Lines:
    """The physical lines of the text (ends kept, as the csv module wants
    them). A line is refused as soon as it cannot be part of a table: more
    cells than a table can have, or a cell longer than a cell can be."""

    def __init__(self, path: Path, texts: Iterator[str]) -> None:
        self.path = path
        self.texts = texts
        self.number = 0  # lines split off so far
        self.most = 4 * (MAX_TABLE_ITEMS + 1)
        # Picked on the first line that holds something (its first
        # 4 * MAX_CELL characters); the lines read until then are read again.
        self.chosen: str | None = None
        self.lines = self._split()
        self.seen: list[str] = []
        for line in self.lines:
            self.seen.append(line)
            if self.chosen is not None:
                break
        else:
            raise DsmFileError(path, "the file is empty")

    @property
    def delimiter(self) -> str:
        return self.chosen or ","

    def __iter__(self) -> Iterator[str]:
        seen, self.seen = self.seen, []
        yield from seen
        yield from self.lines

    def _split(self) -> Iterator[str]:
        pieces: list[str] = []  # the line not yet ended
        pending = cuts = 0
        for text in self.texts:
            end = len(text) - 1 if text.endswith("\r") else len(text)  # "\r" may be half of "\r\n"
            cut = max(text.rfind("\n", 0, end), text.rfind("\r", 0, end))
            if cut >= 0:
                pieces.append(text[: cut + 1])
                yield from self._ended("".join(pieces))
                text = text[cut + 1 :]
                pieces, pending, cuts = [], 0, 0
            if text:
                pieces.append(text)
                pending += len(text)
                cuts = self._check_pending(pieces, pending, cuts)
        yield from self._ended("".join(pieces))

    def _ended(self, text: str) -> list[str]:
        lines = io.StringIO(text, newline="").readlines()
        if self.chosen is None:
            first = next((line for line in lines if line.strip()), None)
            if first is not None:
                self.chosen = _delimiter(self.path, first[: 4 * MAX_CELL])
        most, delimiter = self.most, self.delimiter
        for k in [k for k, line in enumerate(lines) if len(line) > most]:
            if lines[k].count(delimiter) > most:
                raise self._too_many(self.number + k + 1)
        self.number += len(lines)
        return lines

    def _too_many(self, line: int) -> DsmFileError:
        return DsmFileError(self.path, f"more than {self.most} cells on one line: not a matrix this program reads",
                            line=line)

    def _check_pending(self, pieces: list[str], pending: int, cuts: int) -> int:
        """A line still without its end is refused once it holds more cells
        than a table can have, or once it is longer than its cells can be
        (each at most MAX_CELL characters, quoted). Returns the delimiters
        counted in it so far (`cuts`: those of the pieces before the last)."""
        candidates = DELIMITERS if self.chosen is None else (self.chosen,)
        cuts += sum(pieces[-1].count(d) for d in candidates)
        if pending <= 4 * MAX_CELL:
            return cuts
        if self.chosen is None:
            start = "".join(_prefix(pieces, 4 * MAX_CELL))
            if start.strip():
                self.chosen = _delimiter(self.path, start)
                cuts = sum(piece.count(self.chosen) for piece in pieces)  # counted again, once
        if self.chosen is not None and cuts > self.most:
            raise self._too_many(self.number + 1)
        if pending > (cuts + 1) * (2 * MAX_CELL + 3):
            raise DsmFileError(self.path, f"not a readable table (a cell holds more than {MAX_CELL} characters)",
                               line=self.number + 1)
        return cuts


def _prefix(pieces: list[str], size: int) -> Iterator[str]:
    for piece in pieces:
        if size <= 0:
            return
        yield piece[:size]
        size -= len(piece)


def _delimiter(path: Path, first: str) -> str:
    """The delimiter of a table whose first line is `first`: the one after
    the convention in the corner cell (the files this package writes), tab
    for .tsv files, else the one that splits the line into the most cells
    (ties: tab, then semicolon, then comma)."""
    for quote in ("", '"'):
        corner = quote + CONVENTION + quote
        if first.startswith(corner) and first[len(corner) : len(corner) + 1] in DELIMITERS:
            return first[len(corner)]
    suffixes = [s.lower() for s in path.suffixes[-2:]]
    if suffixes and suffixes[-1] == ".gz":
        suffixes.pop()
    if suffixes and suffixes[-1] in (".tsv", ".tab"):
        return "\t"
    best, most = ",", 0
    for candidate in DELIMITERS:
        try:
            cells = next(csv.reader([first[: 4 * MAX_CELL]], delimiter=candidate))
        except (csv.Error, StopIteration):
            continue
        if len(cells) > most:
            best, most = candidate, len(cells)
    return best


def _text_rows(path: Path, lines: _Lines) -> Iterator[tuple[int, list[Cell]]]:
    """(line number, cells) of every row that holds something. The csv
    module's field limit is process-wide state: it is left alone, and cells
    are measured here."""
    reader = csv.reader(lines, delimiter=lines.delimiter, strict=False)
    line = 1
    while True:
        try:
            cells = next(reader)
        except StopIteration:
            return
        except csv.Error as error:
            detail = (f"a cell holds more than {MAX_CELL} characters" if "field larger" in str(error)
                      else str(error))
            raise DsmFileError(path, f"not a readable table ({detail})", line=reader.line_num) from None
        if cells and "".join(cells).strip():
            if max(map(len, cells)) > MAX_CELL:
                raise DsmFileError(path, f"not a readable table (a cell holds more than {MAX_CELL} characters)",
                                   line=reader.line_num)
            yield line, cast("list[Cell]", cells)
        line = reader.line_num + 1


# -- workbooks

_SHARED_STRING = re.compile(rb"<(?:[A-Za-z_][\w.-]*:)?si[\s/>]")
_SHEET_CELL = re.compile(rb"<(?:[A-Za-z_][\w.-]*:)?c[\s/>]")


def _count(archive: zipfile.ZipFile, info: zipfile.ZipInfo, patterns: tuple[re.Pattern[bytes], ...]) -> list[int]:
    """How many times each pattern (an element's start tag) occurs in a
    part, read in pieces."""
    counts = [0] * len(patterns)
    carry = b""
    with archive.open(info) as stream:
        while True:
            chunk = stream.read(CHUNK)
            if not chunk:
                break
            data = carry + chunk
            cut = data.rfind(b"<")
            if cut < 0 or len(data) - cut > 256:  # no tag left open at the end
                cut, carry = len(data), b""
            else:
                carry = data[cut:]
            for k, pattern in enumerate(patterns):
                counts[k] += sum(1 for _ in pattern.finditer(data, 0, cut))
    for k, pattern in enumerate(patterns):
        counts[k] += sum(1 for _ in pattern.finditer(carry))
    return counts


def _check_workbook(path: Path) -> None:
    """Refuses, before the workbook is parsed, one larger than MAX_BYTES
    unpacked, one with more cells than can be read, and one with more shared
    strings than its cells can use (the parser keeps every one of them)."""
    try:
        with zipfile.ZipFile(path) as archive:
            parts = archive.infolist()
            unpacked = sum(info.file_size for info in parts)
            if unpacked > MAX_BYTES:
                raise DsmFileError(path, f"larger than {MAX_BYTES // 1024**2} MiB once unpacked: too large to read")
            strings = cells = 0
            for info in parts:
                if info.filename.lower().endswith(".xml"):
                    found_strings, found_cells = _count(archive, info, (_SHARED_STRING, _SHEET_CELL))
                    strings += found_strings
                    cells += found_cells
    except (zipfile.BadZipFile, zlib.error, OSError, EOFError, RuntimeError, NotImplementedError) as error:
        raise _unreadable(path, error) from None
    if cells > MAX_SHEET_CELLS:
        raise DsmFileError(path, f"holds {cells} cells: too many to read")
    if strings > cells + SPARE_STRINGS:
        raise DsmFileError(path, f"holds {strings} shared strings for {cells} cells: not a workbook this "
                           "program reads")


def _sheet_rows(path: Path, sheet: str | None, book_info: dict[str, Any]) -> Iterator[tuple[int, list[Cell]]]:
    """The rows of the sheet (their number, their cells); `book_info` gets
    the workbook's sheet names ("sheets") and the sheet read ("title")."""
    try:
        import openpyxl
    except ImportError:
        raise DsmFileError(
            path, f"reading .xlsx needs openpyxl and defusedxml: {install_hint()}"
        ) from None
    if not getattr(openpyxl, "DEFUSEDXML", False):
        raise DsmFileError(
            path, f"reading .xlsx safely needs defusedxml: {install_hint()}"
        )
    _check_workbook(path)
    try:
        book = openpyxl.load_workbook(path, read_only=True, data_only=True)
    except Exception as error:  # openpyxl raises many kinds for damaged or hostile files
        raise _unreadable(path, error) from None
    try:
        if sheet is None:
            if not book.worksheets:
                raise DsmFileError(path, "the workbook holds no worksheet")
            ws = book.worksheets[0]
        elif sheet in book.sheetnames:
            ws = book[sheet]
        else:
            raise DsmFileError(path, f"no sheet named {sheet!r} (sheets: {', '.join(book.sheetnames)})")
        book_info["sheets"] = list(book.sheetnames)
        book_info["title"] = ws.title
        if not hasattr(ws, "iter_rows"):
            raise DsmFileError(path, f"sheet {ws.title!r} is a chart, not a table")
        # The extent a sheet declares may be stale: every row and cell is read.
        ws.reset_dimensions()
        cells = 0
        sheet_rows = ws.iter_rows(values_only=True)
        number = 0
        while True:
            try:
                values = next(sheet_rows)
            except StopIteration:
                break
            except Exception as error:  # damaged or hostile XML inside the sheet
                raise _unreadable(path, error) from None
            number += 1
            row = list(values)
            cells += len(row) + 1
            while row and _blank(row[-1]):
                row.pop()
            if len(row) > MAX_TABLE_ITEMS + 1 or cells > MAX_SHEET_CELLS:
                raise DsmFileError(path, "too many cells to read", line=number, where="row")
            if row:
                yield number, [_sheet_value(value) for value in row]
    finally:
        book.close()


def _unreadable(path: Path, error: Exception) -> DsmFileError:
    detail = " ".join(f"{type(error).__name__}: {error}".split())[:300]
    return DsmFileError(path, f"not a readable .xlsx workbook ({detail})")


def _sheet_value(value: object) -> Cell:
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)  # dates, times: refused as cells, kept as names


# -- tables


def _cells(count: int) -> str:
    return f"{count} cell{'' if count == 1 else 's'}"


_NO_INDEX = np.zeros(0, dtype=np.int64)
_NO_VALUE = np.zeros(0, dtype=np.float64)


class _Row(NamedTuple):
    """A row of a table as kept while the table is read: its first cell and
    the marks of the cells after it, not the cells themselves."""

    number: int  # line (or sheet row)
    first: Cell
    raw: int  # cells after the first
    trimmed: int  # the same less the trailing blank ones
    cols: np.ndarray  # positions of the marks among the cells after the first
    vals: np.ndarray
    bad: tuple[tuple[int, Cell], ...]  # the first two cells that are neither marks nor numbers


class _Table:
    def __init__(
        self, path: Path, rows: Iterable[tuple[int, list[Cell]]], delimiter: str, where: str,
        options: _Options | None = None,
    ) -> None:
        self.path = path
        self.rows = iter(rows)
        self.decimal_comma = delimiter == ";"
        self.where = where
        self.values: dict[str, float | None] = {}
        self.options = options or _Options()
        self.left_out = self.options.skip_columns  # columns of the file before the first one read
        self.notes: list[str] = []
        self.warnings: list[str] = []
        self.book: dict[str, Any] = {}  # a workbook's sheet names and the sheet read

    def error(self, problem: str, line: int | None = None, name: str | None = None) -> DsmFileError:
        return DsmFileError(self.path, problem, line=line, name=name, where=self.where)

    def column(self, index: int) -> str:
        """The file's own name of the column at `index` among the cells read."""
        number = index + self.left_out + 1
        return f"column {_letters(number)}" if self.where == "row" else f"column {number}"

    def value(self, cell: Cell) -> float | None:
        """The mark a cell holds (None: no mark); raises KeyError when the
        cell is not a mark, a number or blank."""
        if cell is None:
            return None
        if isinstance(cell, bool):
            return 1.0 if cell else None
        if isinstance(cell, (int, float)):
            number = float(cell)
            if not math.isfinite(number):
                raise KeyError(cell)
            return number or None
        if cell in self.values:
            return self.values[cell]
        text = cell.strip()
        lower = text.lower()
        result: float | None
        if lower in BLANK_WORDS:
            result = None
        elif lower in MARK_WORDS:
            result = MARK_WORDS[lower]
        else:
            number_text = text.replace(",", ".") if self.decimal_comma else text
            try:
                number = float(number_text)
            except ValueError:
                raise KeyError(cell) from None
            if not math.isfinite(number) or "_" in number_text:
                raise KeyError(cell)
            result = number or None
        if len(self.values) < 10_000:
            self.values[cell] = result
        return result

    def is_value(self, cell: Cell) -> bool:
        try:
            self.value(cell)
        except KeyError:
            return False
        return True

    def reading(self, layout: str, header: tuple[str, ...] = (), edges: str | None = None) -> Reading:
        if layout != "edge list" and self.options.edges is not None:
            self.warnings.append(f"--edges {self.options.edges} is for edge lists, and this file is a {layout}: a "
                                 "table is read row needs column, or column needs row with --transpose")
        return Reading(layout, edges=edges, header=header, sheet=self.book.get("title"), notes=tuple(self.notes),
                       warnings=tuple(self.warnings))

    # -- what surrounds the matrix: rows and columns left out, titles, the
    # layout (table or edge list), a column of item numbers

    def _kept(self) -> Iterator[tuple[int, list[Cell]]]:
        """The rows after those the options leave out, without the columns
        they leave out."""
        skip_rows, skip_columns = self.options.skip_rows, self.options.skip_columns
        for number, cells in self.rows:
            if number <= skip_rows:
                continue
            if skip_columns:
                cells = cells[skip_columns:]
                if not any(not _blank(cell) for cell in cells):
                    continue
            yield number, cells

    def _title(self, cells: list[Cell]) -> bool:
        """A row holding one cell of text, in its first column: a title or a
        note, not part of a matrix."""
        return (bool(cells) and not _blank(cells[0]) and not self.is_value(cells[0])
                and all(_blank(cell) for cell in cells[1:]))

    def read(self) -> Dsm:
        rows = self._kept()
        if self.options.skip_rows or self.options.skip_columns:
            left = [f"the first {_plural(self.options.skip_rows, self.where)}" if self.options.skip_rows else "",
                    f"the first {_plural(self.options.skip_columns, 'column')}" if self.options.skip_columns else ""]
            self.notes.append(" and ".join(part for part in left if part) + " left out, as asked")
        titles: list[tuple[int, Cell]] = []  # the first few, and the last
        title_count = 0
        buffer: list[tuple[int, list[Cell]]] = []
        cells = 0
        ended = True
        for number, row in rows:
            if not buffer and self._title(row):
                title_count += 1
                if len(titles) == KEPT_NOTES:
                    titles.pop()
                titles.append((number, row[0]))
                continue
            buffer.append((number, row))
            cells += len(row)
            if len(buffer) >= PEEK_ROWS or cells >= PEEK_CELLS:
                ended = False
                break
        if titles:
            shown = ", ".join(repr(_name(cell)) for _, cell in titles[:2]) + (", …" if title_count > 2 else "")
            if not buffer:
                raise self.error(f"holds no matrix: its {_plural(title_count, self.where)} each hold one cell of "
                                 f"text ({shown}): titles or notes, not a table or an edge list")
            self.notes.append(f"{self._span([number for number, _ in titles], title_count)} ({shown}) left out: "
                              f"{'a title' if title_count == 1 else 'titles'} above the matrix")
        if not buffer:
            raise self.error("the sheet is empty" if self.where == "row" else "the file is empty")
        line, header = buffer[0]
        names = [_name(cell) for cell in header]
        while names and not names[-1]:
            names.pop()
        rest: Iterator[tuple[int, list[Cell]]] = itertools.chain(buffer[1:], rows)
        if tuple(name.lower() for name in names[:2]) in EDGE_PAIRS and (
            len(names) == 2 or (len(names) == 3 and names[2].lower() in WEIGHT_WORDS)
        ):
            self.rows = rest
            return self._edges(line, tuple(names))
        if self._headerless_edges(buffer, ended):
            if len(names) == 3 and not self.is_value(header[2]):  # a header this reader does not know
                self.rows = rest
                return self._edges(line, tuple(names))
            self.rows = itertools.chain(buffer, rows)
            return self._edges(line, None)
        if self._numbered(buffer):
            n = len(buffer) - 1
            self.notes.append(f"{self.column(0)} left out: it numbers the items 1, 2, 3, … beside their names")
            self.left_out += 1
            header = header[1:]
            buffer = [(number, row[1:]) for number, row in buffer]
            rest = itertools.chain(buffer[1:], self._numbers_go_on(rows, n + 1))
        self.rows = rest
        return self._table(line, header)

    def _span(self, numbers: list[int], count: int | None = None) -> str:
        """The lines (rows) numbered so, in words; `count` of them in all when
        only the first few and the last were kept."""
        where = self.where
        if count is not None and count > len(numbers):
            return f"{count} {where}s from {where} {numbers[0]} to {where} {numbers[-1]}"
        if len(numbers) == 1:
            return f"{where} {numbers[0]}"
        if len(numbers) == 2:
            return f"{where}s {numbers[0]} and {numbers[1]}"
        if numbers == list(range(numbers[0], numbers[-1] + 1)):
            return f"{where}s {numbers[0]} to {numbers[-1]}"
        return f"{where}s " + ", ".join(map(str, numbers[:5])) + (", …" if len(numbers) > 5 else "")

    def _headerless_edges(self, buffer: list[tuple[int, list[Cell]]], ended: bool) -> bool:
        """Whether the first rows are those of an edge list without a header:
        two names a line and an optional weight, and not a square table."""
        widths = []
        for _, cells in buffer:
            width = len(cells)
            while width and _blank(cells[width - 1]):
                width -= 1
            if not 2 <= width <= 3 or _blank(cells[0]) or _blank(cells[1]):
                return False
            widths.append(width)
        top = [_name(cell) for cell in buffer[0][1][: widths[0]]]
        side = {_name(cells[0]) for _, cells in buffer[1:]}
        if side and (side == set(top) or side == set(top[1:])):
            return False  # a labelled table of two items (with or without its corner cell)
        for width, (_, cells) in zip(widths, buffer):
            if _name(cells[0]) == _name(cells[1]):
                return False  # an item that needs itself: a diagonal, not an edge
            header = cells is buffer[0][1] and width == 3 and not self.is_value(cells[2])
            if width == 3 and not header and (not self.is_value(cells[2]) or not self.value(cells[2])):
                return False  # a third cell that is no weight (an edge list does not list a weight of 0)
        if ended and len(buffer) == max(widths) and all(
            self.is_value(cell) for width, (_, cells) in zip(widths, buffer) for cell in cells[:width]
        ):
            return False  # a square table of cells only
        return True

    def _numbered(self, buffer: list[tuple[int, list[Cell]]]) -> bool:
        """Whether the first column numbers the items 1, 2, 3, … beside a
        column of their names (the numbered layout of many DSM templates)."""
        body = buffer[1:]
        if len(body) < 2 or len(buffer[0][1]) < 3:
            return False
        for k, (_, cells) in enumerate(body, start=1):
            if len(cells) < 3 or _whole(cells[0]) != k:
                return False
        return not all(self.is_value(cells[1]) for _, cells in body)

    def _numbers_go_on(self, rows: Iterator[tuple[int, list[Cell]]], expected: int) -> Iterator[tuple[int, list[Cell]]]:
        """The rows after the first ones, their item numbers checked and left out."""
        for number, cells in rows:
            if _whole(cells[0]) != expected:
                if self._title(cells):
                    yield number, cells[:1]  # a note below the table
                    continue
                raise self.error(f"{self.column(-1)} numbers the items 1, 2, 3, … beside their names, but holds "
                                 f"{str(cells[0])!r} here, where {expected} was expected", number)
            expected += 1
            yield number, cells[1:]

    # -- tables: rows are kept as their marks; no table has more rows or
    # wider rows than its first row allows, so nothing beyond is kept.

    def _row(self, number: int, cells: list[Cell], widest: int) -> _Row:
        raw = len(cells) - 1
        trimmed = raw
        while trimmed > 0 and _blank(cells[trimmed]):
            trimmed -= 1
        if trimmed > widest:  # too wide for any reading of the table: its cells are not kept
            return _Row(number, cells[0], raw, trimmed, _NO_INDEX, _NO_VALUE, ())
        value = self.value
        cols: list[int] = []
        vals: list[float] = []
        bad: list[tuple[int, Cell]] = []
        for c, cell in enumerate(cells[1 : trimmed + 1]):
            if not cell or cell == "0":
                continue
            try:
                mark = value(cell)
            except KeyError:
                if len(bad) < 2:
                    bad.append((c, cell))
                continue
            if mark is not None:
                cols.append(c)
                vals.append(mark)
        if not cols:
            return _Row(number, cells[0], raw, trimmed, _NO_INDEX, _NO_VALUE, tuple(bad))
        return _Row(number, cells[0], raw, trimmed, np.array(cols, dtype=np.int64),
                    np.array(vals, dtype=np.float64), tuple(bad))

    def _body(self, row: _Row, n: int) -> int:
        """How many cells the row has after its first, read as a row of n:
        trailing blank cells beyond n dropped, a sheet row padded."""
        if row.raw > n:
            return n if row.trimmed <= n else row.raw
        if row.raw < n and self.where == "row":
            return n
        return row.raw

    def _table(self, line: int, header: list[Cell]) -> Dsm:
        names = [_name(cell) for cell in header]
        while names and not names[-1]:
            names.pop()
        if len(names) - 1 > MAX_TABLE_ITEMS:
            self._check_size(len(names) - 1, line)
        widest = len(header)
        head = self._row(line, header, widest)
        rows: list[_Row] = []
        extra = 0  # rows beyond the most a square table can have: counted, not kept
        extra_names: list[Cell] = []
        for number, cells in self.rows:
            if len(rows) < widest:
                rows.append(self._row(number, cells, widest))
            else:
                extra += 1
                if len(extra_names) < 1000:
                    extra_names.append(cells[0])
        side = [row.first for row in rows] + extra_names
        if self._labelled(header, side):
            return self._labelled_table(line, names, head, rows, extra, extra_names)
        return self._unlabelled_table(head, rows, extra)

    def _labelled(self, header: list[Cell], side: list[Cell]) -> bool:
        top = header[1:]
        if not all(self.is_value(c) for c in top) or not all(self.is_value(c) for c in side):
            return True
        if not self.is_value(header[0]):
            return True  # a title in the corner, numbers as names
        # Every name a number: a table whose row names match its column names.
        top_names = [_name(c) for c in top]
        side_names = [_name(c) for c in side]
        return (
            _name(header[0]) == ""
            and len(set(top_names)) == len(top_names) > 0
            and "" not in top_names
            and set(top_names) == set(side_names)
        )

    def _check_size(self, n: int, line: int) -> None:
        if n > MAX_TABLE_ITEMS:
            raise self.error(f"{n} columns: a table of more than {MAX_TABLE_ITEMS} items is too large "
                             "(keep large matrices as an edge list)", line)

    def _notes_below(self, rows: list[_Row], extra: int, columns: set[str]) -> None:
        """Rows at the end that hold one cell of text, no column's name: notes
        below the table, left out."""
        below: list[_Row] = []
        while extra == 0 and rows and rows[-1].trimmed == 0 and not self.is_value(rows[-1].first) \
                and _name(rows[-1].first) not in columns:
            below.insert(0, rows.pop())
        if below:
            shown = ", ".join(repr(_name(row.first)) for row in below[:2]) + (", …" if len(below) > 2 else "")
            self.notes.append(f"{self._span([row.number for row in below])} ({shown}) left out: "
                              f"{'a note' if len(below) == 1 else 'notes'} below the matrix")

    def _labelled_table(
        self, line: int, names: list[str], head: _Row, rows: list[_Row], extra: int, extra_names: list[Cell]
    ) -> Dsm:
        side = [_name(cell) for cell in [row.first for row in rows] + extra_names]
        if names and names[0] and set(names) == set(side) and len(names) == len(side):
            columns = names  # no corner cell: the first row holds only names
            first = 0
        elif names and names[0] and len(rows) + extra == len(names) and rows \
                and self._body(rows[0], len(names)) == len(names):
            columns = names
            first = 0
        else:
            columns = names[1:]
            first = 1
        self._notes_below(rows, extra, set(columns))
        count = len(rows) + extra
        side = [_name(row.first) for row in rows] + [_name(cell) for cell in extra_names]
        n = len(columns)
        self._check_size(n, line)
        numbered = n >= 2 and count == n and columns == [str(k) for k in range(1, n + 1)] \
            and not any(name in columns for name in side)
        if numbered:
            # Columns numbered 1 to n beside rows that carry names: column k is the item of row k.
            self.notes.append(f"the columns are numbered 1 to {n}: column k read as the item on the k-th row")
            columns = side
        index: dict[str, int] = {}
        for position, name in enumerate(columns):
            if not name and not numbered:
                raise self.error(
                    f"the first row names no item above {self.column(position + first)} (cell left blank): "
                    f"a labelled table names every column; its names run from {self.column(first)} to "
                    f"{self.column(len(columns) - 1 + first)}"
                    + (" (if a column left of the names numbers the items, leave it out with --skip-columns)"
                       if position == 0 else ""),
                    line,
                )
            if name in index:
                if numbered:
                    break  # told as a duplicate row name below
                raise self.error(f"duplicate column name {name!r}: the first row names it above "
                                 f"{self.column(index[name] + first)} and {self.column(position + first)}",
                                 line, name)
            index[name] = position
        if count != n:
            missing = [name for name in columns if name not in set(side)][:3]
            surplus = [name for name in side if name not in index][:3]
            hint = "".join(
                [f"; no row for {', '.join(map(repr, missing))}" if missing else "",
                 f"; no column for {', '.join(map(repr, surplus))}" if surplus else ""]
            )
            corner = (f" (its first cell, {names[0]!r}, is taken as the corner above the row names)"
                      if first and names and names[0] else "")
            listed = f", {columns[0]!r} to {columns[-1]!r}" if columns else ""
            raise self.error(f"not a square table: {n} column names but {count} rows{hint}: the first row "
                             f"({self.where} {line}) names {n} columns{listed}{corner}, and a labelled table has "
                             "one row per column, named in the first column")
        self._one_item(n)
        found_rows: list[np.ndarray] = []
        found_cols: list[np.ndarray] = []
        found_vals: list[np.ndarray] = []
        seen: dict[str, int] = {}
        for number, row in enumerate(rows, start=1):
            name = _name(row.first)
            if not name:
                raise self.error(f"row {number} has no name in {self.column(0)}", row.number)
            if name in seen:
                raise self.error(f"duplicate row name {name!r} (also on {self.where} {seen[name]})", row.number, name)
            if name not in index:
                raise self.error(f"row {number} ({name!r}) has no column of that name in the first row",
                                 row.number, name)
            seen[name] = row.number
            body = self._body(row, n)
            if body != n:
                hint = (" (a row whose last cells are blank still holds them, as empty cells between separators)"
                        if body < n else "")
                raise self.error(f"row {number} ({name!r}) has {_cells(body)} after its name, expected {n}, "
                                 f"one for each column the first row names{hint}", row.number, name)
            r = index[name]
            for c, cell in row.bad:
                if c != r:
                    raise self._bad_cell(name, columns[c], cell, row.number, c + 1)
            keep = row.cols != r
            found_rows.append(np.full(int(keep.sum()), r, dtype=np.int64))
            found_cols.append(row.cols[keep])
            found_vals.append(row.vals[keep])
        return self._dsm(columns, found_rows, found_cols, found_vals, self.reading("labelled table"))

    def _unlabelled_table(self, head: _Row, rows: list[_Row], extra: int) -> Dsm:
        n = head.raw + 1
        self._check_size(n, head.number)
        total = 1 + len(rows) + extra
        if total != n:
            raise self.error(f"not a square table: {total} rows of {n} cells (a table without names must be "
                             "square; an edge list has two names on a line, and an optional weight)")
        self._one_item(n)
        labels = [str(i + 1) for i in range(n)]
        found_rows: list[np.ndarray] = []
        found_cols: list[np.ndarray] = []
        found_vals: list[np.ndarray] = []
        for r, row in enumerate([head, *rows]):
            body = 1 + self._body(row, n - 1)
            if body != n:
                raise self.error(f"row {r + 1} has {_cells(body)}, expected {n}", row.number)
            first: float | None = None
            if r != 0 and not _blank(row.first) and row.first != "0":
                try:
                    first = self.value(row.first)
                except KeyError:
                    raise self._bad_cell(labels[r], labels[0], row.first, row.number, 0) from None
            for c, cell in row.bad:
                if c + 1 != r:
                    raise self._bad_cell(labels[r], labels[c + 1], cell, row.number, c + 1)
            cols = row.cols + 1
            vals = row.vals
            if first is not None:
                cols = np.concatenate([[0], cols]).astype(np.int64)
                vals = np.concatenate([[first], vals])
            keep = cols != r
            found_rows.append(np.full(int(keep.sum()), r, dtype=np.int64))
            found_cols.append(cols[keep])
            found_vals.append(vals[keep])
        return self._dsm(labels, found_rows, found_cols, found_vals, self.reading("unlabelled table"))

    def _bad_cell(self, row: str, column: str, cell: Cell, number: int, index: int) -> DsmFileError:
        return self.error(
            f"cell ({row!r}, {column!r}) holds {str(cell)!r} ({self.column(index)}): not a number or a mark "
            "(X, *, TRUE, yes, blank)",
            number, row,
        )

    # -- edge lists

    def _edges(self, line: int, header: tuple[str, ...] | None) -> Dsm:
        """An edge list, after its header (`header`) or from its first line
        (no header): two names a line and, when the header has a third
        column or none, a weight."""
        edges = self.options.edges
        if header is not None and tuple(name.lower() for name in header[:2]) == ("item", "needs"):
            if edges == "feeds":
                raise self.error(f"the header ({', '.join(header)}) says which way the marks point: each "
                                 "line's item needs the other, which --edges feeds contradicts (leave it out)", line)
            edges = "needs"
        direction = edges or "needs"
        width = len(header) if header is not None else 3
        index: dict[str, int] = {}
        rows = array("q")
        cols = array("q")
        data = array("d")
        compact_at = CHUNK
        notes: list[tuple[int, Cell]] = []  # one-cell lines: notes, if nothing follows them (the first few, the last)
        note_count = 0
        what = ", ".join(header) if header is not None else "two names and an optional weight"
        for number, cells in self.rows:
            names = [_name(c) for c in cells]
            while len(names) > 2 and not names[-1]:
                names.pop()
            if len(cells) == 1 and self._title(cells):
                note_count += 1
                if len(notes) == KEPT_NOTES:
                    notes.pop()
                notes.append((number, cells[0]))
                continue
            if notes:
                raise self.error(f"an edge list line holds {what}: found 1 cell, {str(notes[0][1])!r}", notes[0][0])
            if len(names) < 2 or len(names) > width:
                shown = ", ".join(repr(name) for name in names[:4]) + (", …" if len(names) > 4 else "")
                raise self.error(f"an edge list line holds {what}: found {_cells(len(names))} ({shown})", number)
            item, needs = names[0], names[1]
            if not item or not needs:
                raise self.error(f"an item name is blank: the line holds {item!r} and {needs!r}, where an edge "
                                 "list line holds two names", number)
            weight: float | None = 1.0
            if len(names) > 2 and names[2]:
                try:
                    weight = self.value(cells[2])
                except KeyError:
                    raise self.error(f"weight {str(cells[2])!r} of ({item!r}, {needs!r}) is not a number",
                                     number, item) from None
            r = index.setdefault(item, len(index))
            c = index.setdefault(needs, len(index))
            if r != c:
                # A pair listed again replaces its value: 0 (or no, false)
                # removes the mark, so it is kept until the end.
                rows.append(r)
                cols.append(c)
                data.append(0.0 if weight is None else weight)
                if len(rows) >= compact_at:  # many repeated pairs: keep the last of each
                    rows, cols, data = _last_of_each(rows, cols, data)
                    compact_at = max(CHUNK, 2 * len(rows))
        if notes:
            shown = ", ".join(repr(_name(cell)) for _, cell in notes[:2]) + (", …" if note_count > 2 else "")
            self.notes.append(f"{self._span([number for number, _ in notes], note_count)} ({shown}) left out: "
                              f"{'a note' if note_count == 1 else 'notes'} below the edge list")
        labels = list(index)
        if not labels:
            raise self.error("the edge list holds no line after its header")
        self._one_item(len(labels))
        rows, cols, data = _last_of_each(rows, cols, data)
        r_arr = np.frombuffer(rows, dtype=np.int64) if rows else _NO_INDEX
        c_arr = np.frombuffer(cols, dtype=np.int64) if cols else _NO_INDEX
        d_arr = np.frombuffer(data, dtype=np.float64) if data else _NO_VALUE
        if header is None and len(labels) > 2:
            # The first line's names (items 0 and 1) on no other line: perhaps a header.
            alone = np.count_nonzero((r_arr <= 1) | (c_arr <= 1)) == 1
            if alone:
                self.warnings.append(
                    f"{self.where} {line} ({labels[0]!r}, {labels[1]!r}) was read as a mark, but neither name "
                    "occurs on another line: if it is a header, name its columns from,to (or source,target), "
                    "or leave it out with --skip-rows"
                )
        keep = d_arr != 0
        r_arr, c_arr, d_arr = r_arr[keep], c_arr[keep], d_arr[keep]
        if direction == "feeds":
            r_arr, c_arr = c_arr, r_arr
        reading = self.reading("edge list", header=header or (), edges=direction)
        return self._dsm(labels, [r_arr], [c_arr], [d_arr], reading)

    def _one_item(self, n: int) -> None:
        if n < 2:
            raise self.error(f"holds {n} item{'s' if n != 1 else ''}: a matrix to order needs at least 2")

    def _dsm(
        self, labels: list[str], rows: list[np.ndarray], cols: list[np.ndarray], data: list[np.ndarray],
        reading: Reading,
    ) -> Dsm:
        n = len(labels)
        r = np.concatenate(rows) if rows else _NO_INDEX
        c = np.concatenate(cols) if cols else _NO_INDEX
        d = np.concatenate(data) if data else _NO_VALUE
        matrix = scipy.sparse.csr_array((d, (r, c)), shape=(n, n))
        matrix.sort_indices()
        return Dsm(labels, matrix, reading)


def _plural(number: int, what: str) -> str:
    return f"{number} {what}{'' if number == 1 else 's'}"


def _letters(number: int) -> str:
    """A spreadsheet's name of column `number` (1: A, 27: AA)."""
    letters = ""
    while number > 0:
        number, rest = divmod(number - 1, 26)
        letters = chr(65 + rest) + letters
    return letters or "A"


def _whole(cell: Cell) -> int | None:
    """The whole number a cell holds, if it holds one."""
    if isinstance(cell, bool) or cell is None:
        return None
    if isinstance(cell, int):
        return cell
    if isinstance(cell, float):
        return int(cell) if cell.is_integer() else None
    text = cell.strip()
    return int(text) if text.isdigit() and text.isascii() and len(text) < 10 else None


def _last_of_each(
    rows: array[int], cols: array[int], data: array[float]
) -> tuple[array[int], array[int], array[float]]:
    """Each pair once, with the value it was given last (in the order of
    those last listings)."""
    if not rows:
        return rows, cols, data
    r = np.frombuffer(rows, dtype=np.int64)
    c = np.frombuffer(cols, dtype=np.int64)
    d = np.frombuffer(data, dtype=np.float64)
    keys = (r << 32) | c
    _, last = np.unique(keys[::-1], return_index=True)
    keep = np.sort(keys.size - 1 - last)
    return array("q", r[keep].tobytes()), array("q", c[keep].tobytes()), array("d", d[keep].tobytes())
