"""`read_dsm`: a design structure matrix from the files people keep.

Accepted: labelled tables (names in the first row and first column, rows
matched to columns by name), unlabelled square tables, edge lists with the
header `item,needs` (or `item,needs,weight`), as CSV/TSV/semicolon text in
UTF-8 (with or without BOM), UTF-16 with BOM or Windows-1252/Latin-1,
gzip-compressed or not, and Excel workbooks (.xlsx). Files are untrusted: sizes are capped, workbooks
are read in read-only mode with the XML protections of defusedxml.
"""

from __future__ import annotations

import csv
import gzip
import io
import math
import os
import zipfile
from array import array
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Union

import numpy as np
import scipy.sparse

from ._dsm import Dsm

PathLike = Union[str, "os.PathLike[str]"]
Cell = Union[str, int, float, bool, None]

# A file (after decompression) larger than this is refused before it is parsed.
MAX_BYTES = 512 * 1024**2
# Longest single cell of a text table.
MAX_CELL = 64 * 1024
# Most items of a table (a table is n^2 cells) and of a workbook sheet.
MAX_TABLE_ITEMS = 20_000
# Most cells read from a workbook.
MAX_SHEET_CELLS = 50_000_000

MARK_WORDS = {"x": 1.0, "*": 1.0, "•": 1.0, "true": 1.0, "yes": 1.0}
BLANK_WORDS = {"", "false", "no"}
EDGE_HEADERS = (("item", "needs"), ("item", "needs", "weight"))
# Names written starting with one of these get a leading apostrophe, so that
# spreadsheets show them as text; reading takes it off again.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


class DsmFileError(ValueError):
    """A file that cannot be read (or written) as a design structure matrix.

    `path` names the file, `line` the line (row of a sheet) when one is to
    blame, `name` the item name involved, if any.
    """

    def __init__(
        self,
        path: PathLike,
        problem: str,
        *,
        line: int | None = None,
        name: str | None = None,
        where: str = "line",
    ) -> None:
        self.path = str(path)
        self.problem = problem
        self.line = line
        self.name = name
        place = f"{self.path}: " + (f"{where} {line}: " if line is not None else "")
        super().__init__(place + problem)


def read_dsm(path: PathLike, *, transpose: bool = False, sheet: str | None = None) -> Dsm:
    """Read the matrix of `path` (row i, column j: item i needs item j).

    `transpose=True` reads matrices kept the other way round (column j needs
    row i). `sheet` picks a sheet of a workbook by name (default: the first).
    Raises `DsmFileError` (a ValueError) naming the file, the line and the
    problem, and OSError when the file cannot be opened.
    """
    path = Path(path)
    with open(path, "rb") as handle:
        head = handle.read(4)
    if head.startswith(b"PK\x03\x04") or path.suffix.lower() in (".xlsx", ".xlsm"):
        rows, where = _sheet_rows(path, sheet), "row"
        delimiter = ""
    else:
        if sheet is not None:
            raise DsmFileError(path, "a sheet name is only meaningful for an .xlsx workbook")
        if path.suffix.lower() in (".xls", ".ods"):
            raise DsmFileError(path, f"{path.suffix} files are not read: save the sheet as .xlsx or CSV")
        text = _text(path, gzipped=head.startswith(b"\x1f\x8b"))
        delimiter = _delimiter(path, text)
        rows, where = _text_rows(path, text, delimiter), "line"
    table = _Table(path, rows, delimiter, where)
    dsm = table.read()
    if transpose:
        dsm = Dsm(dsm.labels, scipy.sparse.csr_array(dsm.matrix.T))
    return dsm


# -- text files


def _text(path: Path, gzipped: bool) -> str:
    raw: bytes
    if gzipped:
        try:
            with gzip.open(path, "rb") as handle:
                raw = handle.read(MAX_BYTES + 1)
        except (OSError, EOFError, gzip.BadGzipFile) as error:
            raise DsmFileError(path, f"damaged gzip file ({error})") from None
    else:
        if path.stat().st_size > MAX_BYTES:
            raise DsmFileError(path, f"larger than {MAX_BYTES // 1024**2} MiB: too large to read")
        raw = path.read_bytes()
    if len(raw) > MAX_BYTES:
        raise DsmFileError(path, f"larger than {MAX_BYTES // 1024**2} MiB once decompressed: too large to read")
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):  # UTF-16, as spreadsheets save "Unicode text"
        try:
            return raw.decode("utf-16")
        except UnicodeDecodeError:
            raise DsmFileError(path, "damaged UTF-16 text") from None
    if b"\x00" in raw[:65536]:
        raise DsmFileError(path, "not a text table (it holds binary data)")
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        try:
            text = raw.decode("cp1252")
        except UnicodeDecodeError:
            text = raw.decode("latin-1")
    return text


def _delimiter(path: Path, text: str) -> str:
    """The delimiter that splits the first line into the most cells
    (ties: tab, then semicolon, then comma)."""
    first = next((line for line in io.StringIO(text) if line.strip()), None)
    if first is None:
        raise DsmFileError(path, "the file is empty")
    best, most = ",", 0
    for candidate in ("\t", ";", ","):
        try:
            cells = next(csv.reader([first[: 4 * MAX_CELL]], delimiter=candidate))
        except (csv.Error, StopIteration):
            continue
        if len(cells) > most:
            best, most = candidate, len(cells)
    return best


def _text_rows(path: Path, text: str, delimiter: str) -> Iterator[tuple[int, list[Cell]]]:
    """(line number, cells) of every line that holds something."""
    reader = csv.reader(_lines(path, text, delimiter), delimiter=delimiter, strict=False)
    old_limit = csv.field_size_limit(MAX_CELL)
    try:
        line = 1
        while True:
            try:
                cells = next(reader)
            except StopIteration:
                return
            except csv.Error as error:
                raise DsmFileError(path, f"not a readable table ({error})", line=reader.line_num) from None
            if any(cell.strip() for cell in cells):
                yield line, list(cells)
            line = reader.line_num + 1
    finally:
        csv.field_size_limit(old_limit)


def _lines(path: Path, text: str, delimiter: str) -> Iterator[str]:
    """The lines of `text`; a line with far more cells than any table can
    have is refused before it is split (memory stays bounded)."""
    most = 4 * (MAX_TABLE_ITEMS + 1)
    for number, line in enumerate(io.StringIO(text, newline=""), start=1):
        if len(line) > most and line.count(delimiter) > most:
            raise DsmFileError(path, f"more than {most} cells on one line: not a matrix this program reads",
                               line=number)
        yield line


# -- workbooks


def _sheet_rows(path: Path, sheet: str | None) -> Iterator[tuple[int, list[Cell]]]:
    try:
        import openpyxl
    except ImportError:
        raise DsmFileError(
            path, "reading .xlsx needs openpyxl and defusedxml: pip install 'ovila_genetic_py[excel]'"
        ) from None
    if not getattr(openpyxl, "DEFUSEDXML", False):
        raise DsmFileError(
            path, "reading .xlsx safely needs defusedxml: pip install 'ovila_genetic_py[excel]'"
        )
    try:
        with zipfile.ZipFile(path) as archive:
            unpacked = sum(info.file_size for info in archive.infolist())
    except (zipfile.BadZipFile, OSError) as error:
        raise DsmFileError(path, f"not a readable .xlsx workbook ({error})") from None
    if unpacked > MAX_BYTES:
        raise DsmFileError(path, f"larger than {MAX_BYTES // 1024**2} MiB once unpacked: too large to read")
    try:
        book = openpyxl.load_workbook(path, read_only=True, data_only=True)
    except Exception as error:  # openpyxl raises many kinds for damaged or hostile files
        raise _unreadable(path, error) from None
    try:
        if sheet is None:
            ws = book.worksheets[0]
        elif sheet in book.sheetnames:
            ws = book[sheet]
        else:
            raise DsmFileError(path, f"no sheet named {sheet!r} (sheets: {', '.join(book.sheetnames)})")
        if not hasattr(ws, "iter_rows"):
            raise DsmFileError(path, f"sheet {ws.title!r} is a chart, not a table")
        columns, rows = ws.max_column or 0, ws.max_row or 0
        if columns > MAX_TABLE_ITEMS + 1 or columns * rows > MAX_SHEET_CELLS:
            raise DsmFileError(path, f"sheet {ws.title!r} spans {rows} rows and {columns} columns: too many to read")
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
            while row and (row[-1] is None or (isinstance(row[-1], str) and not row[-1].strip())):
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


def _name(cell: Cell) -> str:
    if cell is None:
        return ""
    if isinstance(cell, float) and cell.is_integer():
        cell = int(cell)
    text = str(cell).strip()
    if len(text) > 1 and text[0] == "'" and text[1] in FORMULA_STARTS:
        text = text[1:]
    return text


def _cells(count: int) -> str:
    return f"{count} cell{'' if count == 1 else 's'}"


class _Table:
    def __init__(self, path: Path, rows: Iterable[tuple[int, list[Cell]]], delimiter: str, where: str) -> None:
        self.path = path
        self.rows = iter(rows)
        self.decimal_comma = delimiter == ";"
        self.where = where
        self.values: dict[str, float | None] = {}

    def error(self, problem: str, line: int | None = None, name: str | None = None) -> DsmFileError:
        return DsmFileError(self.path, problem, line=line, name=name, where=self.where)

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

    def read(self) -> Dsm:
        first = next(self.rows, None)
        if first is None:
            raise self.error("the file is empty")
        line, header = first
        names = [_name(cell) for cell in header]
        if tuple(name.lower() for name in names) in EDGE_HEADERS:
            return self._edges(len(names) == 3)
        rest = list(self.rows)
        if self._labelled(header, rest):
            return self._labelled_table(line, header, rest)
        return self._unlabelled_table([first] + rest)

    def _labelled(self, header: list[Cell], rest: list[tuple[int, list[Cell]]]) -> bool:
        top = header[1:]
        side = [cells[0] for _, cells in rest]
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

    def _labelled_table(self, line: int, header: list[Cell], rest: list[tuple[int, list[Cell]]]) -> Dsm:
        names = [_name(cell) for cell in header]
        while names and not names[-1]:
            names.pop()
        if names and names[0] and len(rest) == len(names) and len(self._fit(rest[0][1], len(names) + 1)) == len(names) + 1:
            header = [None] + header  # no corner cell: the first row holds only names
        columns = [_name(cell) for cell in header[1:]]
        while columns and not columns[-1]:
            columns.pop()  # trailing empty cells of a spreadsheet export
        n = len(columns)
        self._check_size(n, line)
        index: dict[str, int] = {}
        for position, name in enumerate(columns):
            if not name:
                raise self.error(f"column {position + 2} has no name", line)
            if name in index:
                raise self.error(f"duplicate column name {name!r}", line, name)
            index[name] = position
        if len(rest) != n:
            side = {_name(cells[0]) for _, cells in rest}
            missing = [name for name in columns if name not in side][:3]
            extra = [name for name in side if name not in index][:3]
            hint = "".join(
                [f"; no row for {', '.join(map(repr, missing))}" if missing else "",
                 f"; no column for {', '.join(map(repr, extra))}" if extra else ""]
            )
            raise self.error(f"not a square table: {n} column names but {len(rest)} rows{hint}")
        self._one_item(n)
        rows: list[np.ndarray] = []
        cols: list[np.ndarray] = []
        data: list[np.ndarray] = []
        seen: dict[str, int] = {}
        for count, (number, cells) in enumerate(rest, start=1):
            name = _name(cells[0])
            if not name:
                raise self.error(f"row {count} has no name", number)
            if name in seen:
                raise self.error(f"duplicate row name {name!r} (also on {self.where} {seen[name]})", number, name)
            if name not in index:
                raise self.error(f"row {count} ({name!r}) has no column of that name", number, name)
            seen[name] = number
            body = self._fit(cells[1:], n)
            if len(body) != n:
                raise self.error(
                    f"row {count} ({name!r}) has {_cells(len(body))}, expected {n}", number, name
                )
            r = index[name]
            c_idx, vals = self._row_marks(body, r, number, name, columns)
            rows.append(np.full(len(c_idx), r, dtype=np.int64))
            cols.append(c_idx)
            data.append(vals)
        return self._dsm(columns, rows, cols, data)

    def _unlabelled_table(self, rows_in: list[tuple[int, list[Cell]]]) -> Dsm:
        n = len(rows_in[0][1])
        self._check_size(n, rows_in[0][0])
        if len(rows_in) != n:
            raise self.error(f"not a square table: {len(rows_in)} rows of {n} cells "
                             "(a table without names must be square; an edge list needs the header item,needs)")
        self._one_item(n)
        labels = [str(i + 1) for i in range(n)]
        rows: list[np.ndarray] = []
        cols: list[np.ndarray] = []
        data: list[np.ndarray] = []
        for r, (number, cells) in enumerate(rows_in):
            cells = self._fit(cells, n)
            if len(cells) != n:
                raise self.error(f"row {r + 1} has {_cells(len(cells))}, expected {n}", number)
            c_idx, vals = self._row_marks(cells, r, number, labels[r], labels)
            rows.append(np.full(len(c_idx), r, dtype=np.int64))
            cols.append(c_idx)
            data.append(vals)
        return self._dsm(labels, rows, cols, data)

    def _fit(self, cells: list[Cell], n: int) -> list[Cell]:
        """Trailing empty cells dropped; a sheet row padded (a sheet does
        not keep its empty trailing cells)."""
        if len(cells) > n and not any(_name(c) for c in cells[n:]):
            return cells[:n]
        if len(cells) < n and self.where == "row":
            return cells + [None] * (n - len(cells))
        return cells

    def _row_marks(
        self, cells: Sequence[Cell], r: int, number: int, name: str, columns: list[str]
    ) -> tuple[np.ndarray, np.ndarray]:
        found_cols: list[int] = []
        found_vals: list[float] = []
        value = self.value
        for c, cell in enumerate(cells):
            if c == r or cell is None or cell == "" or cell == "0":
                continue
            try:
                mark = value(cell)
            except KeyError:
                raise self.error(
                    f"cell ({name!r}, {columns[c]!r}) holds {str(cell)!r}: not a number or a mark "
                    "(X, *, TRUE, yes, blank)",
                    number,
                    name,
                ) from None
            if mark is not None:
                found_cols.append(c)
                found_vals.append(mark)
        return np.array(found_cols, dtype=np.int64), np.array(found_vals, dtype=np.float64)

    def _edges(self, weighted: bool) -> Dsm:
        index: dict[str, int] = {}
        rows = array("q")
        cols = array("q")
        data = array("d")
        width = 3 if weighted else 2
        for number, cells in self.rows:
            names = [_name(c) for c in cells]
            while len(names) > width and not names[-1]:
                names.pop()
            if len(names) < 2 or len(names) > width or (len(names) == 3 and not weighted):
                raise self.error(f"an edge list line holds item,needs{',weight' if weighted else ''}: "
                                 f"found {len(names)} cells", number)
            item, needs = names[0], names[1]
            if not item or not needs:
                raise self.error("an item name is blank", number)
            weight: float | None = 1.0
            if weighted and len(cells) > 2 and names[2]:
                try:
                    weight = self.value(cells[2])
                except KeyError:
                    raise self.error(f"weight {str(cells[2])!r} of ({item!r}, {needs!r}) is not a number",
                                     number, item) from None
            r = index.setdefault(item, len(index))
            c = index.setdefault(needs, len(index))
            if weight is not None and r != c:
                rows.append(r)
                cols.append(c)
                data.append(weight)
        labels = list(index)
        if not labels:
            raise self.error("the edge list holds no line after its header")
        self._one_item(len(labels))
        r_arr = np.frombuffer(rows, dtype=np.int64) if rows else np.zeros(0, dtype=np.int64)
        c_arr = np.frombuffer(cols, dtype=np.int64) if cols else np.zeros(0, dtype=np.int64)
        d_arr = np.frombuffer(data, dtype=np.float64) if data else np.zeros(0, dtype=np.float64)
        # A pair listed twice is one mark; the last value counts.
        keys = r_arr * len(labels) + c_arr
        _, last = np.unique(keys[::-1], return_index=True)
        keep = np.sort(keys.size - 1 - last)
        return self._dsm(labels, [r_arr[keep]], [c_arr[keep]], [d_arr[keep]])

    def _one_item(self, n: int) -> None:
        if n < 2:
            raise self.error(f"holds {n} item{'s' if n != 1 else ''}: a matrix to order needs at least 2")

    def _dsm(
        self, labels: list[str], rows: list[np.ndarray], cols: list[np.ndarray], data: list[np.ndarray]
    ) -> Dsm:
        n = len(labels)
        r = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
        c = np.concatenate(cols) if cols else np.zeros(0, dtype=np.int64)
        d = np.concatenate(data) if data else np.zeros(0, dtype=np.float64)
        matrix = scipy.sparse.csr_array((d, (r, c)), shape=(n, n))
        matrix.sort_indices()
        return Dsm(labels, matrix)
