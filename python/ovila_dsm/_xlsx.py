"""A small writer of .xlsx workbooks (SpreadsheetML): sheets of text and
numbers with fills, borders, bold and rotated text, a frozen first row and
column, and column widths; nothing else.

It writes the sheet's XML directly, a row at a time, so that a workbook of
1,000 items (a million cells, of which only the marks and outlines are
written) takes well under a second. Text is written as inline strings, never
as formulas; the caller refuses beforehand what XML cannot hold.
"""

from __future__ import annotations

import math
import zipfile
from collections.abc import Iterable, Sequence
from typing import IO, NamedTuple, Union

Value = Union[str, int, float, None]

_TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
_PACKAGE = "http://schemas.openxmlformats.org/package/2006/relationships"
_RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_OFFICE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
_SHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"


class Look(NamedTuple):
    """How a cell looks: fill colour (RRGGBB, "" for none), bold, text
    rotated by 90 degrees, and which of its sides (left, right, top, bottom)
    carry a medium border."""

    fill: str = ""
    bold: bool = False
    rotate: bool = False
    sides: tuple[bool, bool, bool, bool] = (False, False, False, False)


PLAIN = Look()
BORDER_COLOUR = "1F4E79"


def escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def column_name(index: int) -> str:
    """The letters of column `index` (0: A, 26: AA)."""
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(65 + rest) + letters
    return letters


class Sheet:
    """A sheet being built: rows of (value, look) cells, None for an empty
    cell; a frozen first row and column when `freeze`."""

    def __init__(self, title: str, widths: Sequence[float] = (), freeze: bool = False) -> None:
        self.title = title
        self.widths = list(widths)
        self.freeze = freeze
        self.rows: list[str] = []


class Workbook:
    def __init__(self) -> None:
        self.sheets: list[Sheet] = []
        self.looks: dict[Look, int] = {PLAIN: 0}
        self.letters: list[str] = []

    def sheet(self, title: str, widths: Sequence[float] = (), freeze: bool = False) -> Sheet:
        sheet = Sheet(title, widths, freeze)
        self.sheets.append(sheet)
        return sheet

    def style(self, look: Look) -> int:
        index = self.looks.get(look)
        if index is None:
            index = self.looks[look] = len(self.looks)
        return index

    def _letters(self, count: int) -> list[str]:
        while len(self.letters) < count:
            self.letters.append(column_name(len(self.letters)))
        return self.letters

    def row(self, sheet: Sheet, cells: Iterable[tuple[int, Value, Look]]) -> None:
        """Appends a row of (column index, value, look) cells, in column order;
        a None value with a look is an empty cell that shows its look."""
        number = len(sheet.rows) + 1
        parts = [f'<row r="{number}">']
        letters = self.letters
        for column, value, look in cells:
            if column >= len(letters):
                letters = self._letters(column + 1)
            style = self.looks.get(look)
            if style is None:
                style = self.style(look)
            where = f'<c r="{letters[column]}{number}"' + (f' s="{style}"' if style else "")
            if value is None:
                parts.append(where + "/>")
            elif isinstance(value, str):
                parts.append(f'{where} t="inlineStr"><is><t xml:space="preserve">{escape(value)}</t></is></c>')
            elif isinstance(value, float) and not math.isfinite(value):
                parts.append(f'{where} t="inlineStr"><is><t>X</t></is></c>')  # a mark without a number
            else:
                parts.append(f"{where}><v>{_number(value)}</v></c>")
        parts.append("</row>")
        sheet.rows.append("".join(parts))

    def save(self, handle: IO[bytes]) -> None:
        with zipfile.ZipFile(handle, "w", zipfile.ZIP_DEFLATED, compresslevel=3) as archive:
            count = len(self.sheets)
            archive.writestr("[Content_Types].xml", (
                f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="{_TYPES}">'
                '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                '<Default Extension="xml" ContentType="application/xml"/>'
                '<Override PartName="/xl/workbook.xml" '
                'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
                '<Override PartName="/xl/styles.xml" '
                'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>'
                + "".join(f'<Override PartName="/xl/worksheets/sheet{k}.xml" ContentType="{_SHEET_TYPE}"/>'
                          for k in range(1, count + 1))
                + "</Types>"))
            archive.writestr("_rels/.rels", (
                f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="{_PACKAGE}">'
                f'<Relationship Id="rId1" Type="{_OFFICE}officeDocument" Target="xl/workbook.xml"/>'
                "</Relationships>"))
            archive.writestr("xl/workbook.xml", (
                f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<workbook xmlns="{_MAIN}" '
                f'xmlns:r="{_RELS}"><bookViews><workbookView/></bookViews><sheets>'
                + "".join(f'<sheet name="{escape(sheet.title)}" sheetId="{k}" r:id="rId{k}"/>'
                          for k, sheet in enumerate(self.sheets, start=1))
                + "</sheets></workbook>"))
            archive.writestr("xl/_rels/workbook.xml.rels", (
                f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="{_PACKAGE}">'
                + "".join(f'<Relationship Id="rId{k}" Type="{_OFFICE}worksheet" Target="worksheets/sheet{k}.xml"/>'
                          for k in range(1, count + 1))
                + f'<Relationship Id="rId{count + 1}" Type="{_OFFICE}styles" Target="styles.xml"/>'
                "</Relationships>"))
            archive.writestr("xl/styles.xml", self._styles())
            for k, sheet in enumerate(self.sheets, start=1):
                with archive.open(f"xl/worksheets/sheet{k}.xml", "w", force_zip64=True) as part:
                    part.write(self._head(sheet, k == 1).encode("utf-8"))
                    for start in range(0, len(sheet.rows), 256):
                        part.write("".join(sheet.rows[start : start + 256]).encode("utf-8"))
                    part.write(b"</sheetData></worksheet>")

    def _head(self, sheet: Sheet, selected: bool) -> str:
        view = '<sheetView workbookViewId="0"' + (' tabSelected="1">' if selected else ">")
        if sheet.freeze:
            view += ('<pane xSplit="1" ySplit="1" topLeftCell="B2" activePane="bottomRight" state="frozen"/>'
                     '<selection pane="bottomRight" activeCell="B2" sqref="B2"/>')
        view += "</sheetView>"
        runs: list[list[float]] = []  # [first column, last column, width]
        for k, width in enumerate(sheet.widths, start=1):
            if runs and runs[-1][2] == width:
                runs[-1][1] = k
            else:
                runs.append([k, k, width])
        widths = "".join(f'<col min="{first:g}" max="{last:g}" width="{width:g}" customWidth="1"/>'
                         for first, last, width in runs)
        return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<worksheet xmlns="{_MAIN}">'
                f"<sheetViews>{view}</sheetViews><sheetFormatPr defaultRowHeight=\"15\"/>"
                + (f"<cols>{widths}</cols>" if widths else "") + "<sheetData>")

    def _styles(self) -> str:
        fills = ["", "gray125"]
        borders: list[tuple[bool, bool, bool, bool]] = [(False, False, False, False)]
        xfs = []
        for look in self.looks:  # in the order of their indices
            if look.fill and look.fill not in fills:
                fills.append(look.fill)
            if look.sides not in borders:
                borders.append(look.sides)
            fill = fills.index(look.fill) if look.fill else 0
            border = borders.index(look.sides)
            attributes = (f'numFmtId="0" fontId="{int(look.bold)}" fillId="{fill}" borderId="{border}" xfId="0"'
                          + (' applyFont="1"' if look.bold else "") + (' applyFill="1"' if fill else "")
                          + (' applyBorder="1"' if border else "") + (' applyAlignment="1"' if look.rotate else ""))
            xfs.append(f'<xf {attributes}><alignment textRotation="90"/></xf>' if look.rotate
                       else f"<xf {attributes}/>")

        def fill_xml(colour: str) -> str:
            if colour in ("", "gray125"):
                return f'<fill><patternFill patternType="{colour or "none"}"/></fill>'
            return (f'<fill><patternFill patternType="solid"><fgColor rgb="FF{colour}"/>'
                    '<bgColor indexed="64"/></patternFill></fill>')

        def border_xml(sides: tuple[bool, bool, bool, bool]) -> str:
            parts = []
            for name, present in zip(("left", "right", "top", "bottom"), sides):
                parts.append(f'<{name} style="medium"><color rgb="FF{BORDER_COLOUR}"/></{name}>' if present
                             else f"<{name}/>")
            return "<border>" + "".join(parts) + "<diagonal/></border>"

        return (
            f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<styleSheet xmlns="{_MAIN}">'
            '<fonts count="2"><font><sz val="11"/><name val="Calibri"/><family val="2"/></font>'
            '<font><b/><sz val="11"/><name val="Calibri"/><family val="2"/></font></fonts>'
            f'<fills count="{len(fills)}">' + "".join(fill_xml(colour) for colour in fills) + "</fills>"
            f'<borders count="{len(borders)}">' + "".join(border_xml(sides) for sides in borders) + "</borders>"
            '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
            f'<cellXfs count="{len(xfs)}">' + "".join(xfs) + "</cellXfs>"
            '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
            "</styleSheet>"
        )


def _number(value: float | int) -> str:
    if isinstance(value, int):
        return str(value)
    if value.is_integer() and abs(value) < 2**53:
        return str(int(value))
    return repr(value)
