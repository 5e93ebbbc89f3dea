"""The matrix of a design structure, as read from a file or built by hand."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Union

if TYPE_CHECKING:  # kept out of the command's start-up
    import scipy.sparse

PathLike = Union[str, "os.PathLike[str]"]

CONVENTION = "row i, column j: item i needs item j; feedback marks lie above the diagonal"
# Longest single cell of a text table (read or written).
MAX_CELL = 64 * 1024
# Most items of a table (a table is n^2 cells) and of a workbook sheet, read or written.
MAX_TABLE_ITEMS = 20_000
# Names written starting with one of these get a leading apostrophe, so that
# spreadsheets show them as text; reading takes it off again (and a name
# that itself starts with such an apostrophe gets a second one).
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
# The field's names for the two ways a matrix is kept.
ROW_NEEDS = "row needs column (IR/FAD: inputs in rows, feedback above the diagonal)"
COLUMN_NEEDS = "column needs row (IC/FBD: inputs in columns, feedback below the diagonal)"

# Characters a terminal may act on, or that reorder or break the text shown:
# control characters (C0, DEL, C1), line and paragraph separators, the
# bidirectional controls and lone surrogates.
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """`text` with every unsafe character written as an escape (\\x07,
    \\u202e): safe to print on a terminal or to draw."""
    return UNSAFE.sub(_escape, text)


@dataclass(frozen=True)
class Reading:
    """How a file was read: its layout, which way its marks point, and what
    was recognised around the matrix and left out.

    `layout` is "labelled table", "unlabelled table" or "edge list".
    `transposed`: the file was read the other way round (`transpose=True`).
    `edges`: how an edge list's line was read, "needs" (the first item
    needs the second) or "feeds" (the first feeds the second, which needs
    it); None for a table. `header`: an edge list's header as written.
    `notes`: what was recognised and left out, in the file's own words;
    `warnings`: what may have been read otherwise than meant.
    """

    layout: str
    transposed: bool = False
    edges: str | None = None
    header: tuple[str, ...] = ()
    sheet: str | None = None
    notes: tuple[str, ...] = ()
    warnings: tuple[str, ...] = ()

    def direction(self) -> str:
        """Which way the file's marks were read, in words."""
        if self.layout != "edge list":
            return COLUMN_NEEDS + ", read transposed" if self.transposed else ROW_NEEDS
        needs = (self.edges != "feeds") != self.transposed
        named = tuple(name.lower() for name in self.header[:2]) == ("item", "needs")
        if named:
            said = "an item, then an item it needs" if needs else "an item, then an item that needs it"
        elif self.header:
            a, b = self.header[0], self.header[1]
            said = (f"the {a!r} item needs the {b!r} item" if needs
                    else f"the {a!r} item feeds the {b!r} item, which needs it")
        else:
            said = "the first item needs the second" if needs else "the first item feeds the second, which needs it"
        if self.transposed:
            return said + " (read transposed)"
        if named:
            return said
        if self.edges == "feeds":
            return said + " (--edges feeds)"
        return said + " (--edges needs, the default; --edges feeds reads the other way)"

    def describe(self) -> str:
        """One sentence: the layout, the direction of the marks, the sheet."""
        where = f"sheet {self.sheet!r}, " if self.sheet else ""
        if self.layout == "edge list":
            header = ("header " + ", ".join(self.header)) if self.header else "no header"
            return f"{where}an edge list ({header}), each line read as {self.direction()}"
        return f"{where}a {self.layout}, read as {self.direction()}"

    def transpose(self) -> Reading:
        return replace(self, transposed=not self.transposed)


@dataclass(frozen=True)
class Dsm:
    """A square dependency matrix with item names.

    `matrix` is a scipy.sparse CSR array of shape (n, n) holding every mark with
    its value (row i, column j: item i needs item j); `labels` names the items.
    `reading` says how a file was read (None for a matrix built by hand).
    """

    labels: list[str]
    matrix: scipy.sparse.csr_array
    reading: Reading | None = field(default=None, compare=False)

    @property
    def n(self) -> int:
        return len(self.labels)

    def __post_init__(self) -> None:
        rows, cols = self.matrix.shape
        if rows != cols or rows != len(self.labels):
            raise ValueError(
                f"a Dsm needs a square matrix with one label per item: "
                f"{rows}x{cols} matrix, {len(self.labels)} labels"
            )


def install_hint(extra: str = "dsm") -> str:
    """The command that adds the optional packages of `extra` the way this
    package was installed: from its source folder (the README's set-up) or
    from a package index."""
    import json
    from urllib.parse import unquote, urlparse

    try:
        from importlib.metadata import distribution

        described = distribution("ovila_genetic_py").read_text("direct_url.json")
        origin = json.loads(described) if described else {}
    except Exception:  # not installed as a distribution, or a damaged record
        origin = {}
    url = origin.get("url", "") if isinstance(origin, dict) else ""
    if url.startswith("file:") and "dir_info" in origin:
        import os

        folder = unquote(urlparse(url).path)
        if os.path.isfile(os.path.join(folder, "pyproject.toml")):
            try:
                same = os.path.samefile(folder, os.getcwd())
            except OSError:
                same = False
            where = "." if same else folder
            return f"pip install '{where}[{extra}]'"
    return f"pip install 'ovila_genetic_py[{extra}]'"


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
        self.where = where
        place = f"{self.path}: " + (f"{where} {line}: " if line is not None else "")
        super().__init__(place + problem)


def escape_name(name: str, *, formula: bool = True) -> str:
    """`name` as a table cell holds it: with a leading apostrophe when a
    spreadsheet would take it for a formula (`formula`, for text tables) or
    when the reader would take off an apostrophe of its own."""
    if (formula and name.startswith(FORMULA_STARTS)) or _escaped(name):
        return "'" + name
    return name


def _escaped(text: str) -> bool:
    return len(text) > 1 and text[0] == "'" and (text[1] in FORMULA_STARTS or text[1] == "'")
