"""read_dsm over the files people keep, and the files written back."""

import gzip
import zipfile
from pathlib import Path

import numpy as np
import pytest

import ovila_dsm
from ovila_dsm import DsmFileError, read_dsm
from ovila_dsm import _read

ROOT = Path(__file__).resolve().parent.parent
DATA = Path(__file__).resolve().parent / "data"
SHARED = ROOT.parent / "shared" / "data"

# The reference: "Añá" needs "B, c", "B, c" needs "C" (weight 2), "C" needs "Añá".
NAMES = ["Añá", "B, c", "C"]
DENSE = np.array([[0, 1, 0], [0, 0, 2], [1, 0, 0]], dtype=float)

GOOD = {
    "comma": ('utf-8', ',Añá,"B, c",C\nAñá,0,1,0\n"B, c",0,0,2\nC,1,0,0\n'),
    "semicolon": ("utf-8", ";Añá;B, c;C\nAñá;0;1;0\nB, c;;;2,0\nC;1;;\n"),
    "tab": ("utf-8", "\tAñá\tB, c\tC\nAñá\t\t1\t\nB, c\t\t\t2\nC\t1\t\t\n"),
    "bom, CRLF, blank lines at the end": ("utf-8-sig", ',Añá,"B, c",C\r\nAñá,0,1,0\r\n"B, c",0,0,2\r\nC,1,0,0\r\n\r\n\r\n'),
    "windows-1252": ("cp1252", ',Añá,"B, c",C\nAñá,0,1,0\n"B, c",0,0,2\nC,1,0,0\n'),
    "utf-16 (spreadsheet unicode text)": ("utf-16", "\tAñá\tB, c\tC\r\nAñá\t\t1\t\r\nB, c\t\t\t2\r\nC\t1\t\t\r\n"),
    "latin-1": ("latin-1", ';Añá;B, c;C\nAñá;0;1;0\nB, c;0;0;2\nC;1;0;0\n'),
    "rows in another order": ("utf-8", ',Añá,"B, c",C\nC,1,0,0\nAñá,0,1,0\n"B, c",0,0,2\n'),
    "words and symbols": ("utf-8", ',Añá,"B, c",C\nAñá,no,X,FALSE\n"B, c",,,2\nC,•,false,\n'),
    "more words": ("utf-8", ',Añá,"B, c",C\nAñá,,yes,\n"B, c",,,2\nC,TRUE,,\n'),
    "diagonal holds anything": ("utf-8", ',Añá,"B, c",C\nAñá,Añá,*,0\n"B, c",0,X,2\nC,x,0,7\n'),
    "no corner cell": ("utf-8", 'Añá,"B, c",C\nAñá,0,1,0\n"B, c",0,0,2\nC,1,0,0\n'),
    "trailing empty cells": ("utf-8", ',Añá,"B, c",C,,\nAñá,0,1,0,,\n"B, c",0,0,2,\nC,1,0,0\n'),
    "edge list": ("utf-8", 'item,needs,weight\nAñá,"B, c",1\n"B, c",C,2\nC,Añá,\n'),
    "edge list, semicolon": ("utf-8", "Item;Needs;Weight\nAñá;B, c;1\nB, c;C;2,0\nC;Añá;1\n"),
}


def write(tmp_path: Path, encoding: str, text: str, name: str = "dsm.csv") -> Path:
    path = tmp_path / name
    path.write_bytes(text.encode(encoding))
    return path


def check(dsm: ovila_dsm.Dsm, names=NAMES, dense=DENSE) -> None:
    assert dsm.labels == names
    np.testing.assert_array_equal(dsm.matrix.toarray(), dense)


@pytest.mark.parametrize("variant", sorted(GOOD))
def test_good_variants_give_the_same_matrix(tmp_path, variant):
    encoding, text = GOOD[variant]
    check(read_dsm(write(tmp_path, encoding, text)))


def test_gzip_edge_list_and_transpose(tmp_path):
    path = tmp_path / "edges.tsv.gz"
    path.write_bytes(gzip.compress("item\tneeds\tweight\nAñá\tB, c\t1\nB, c\tC\t2\nC\tAñá\t1\n".encode()))
    check(read_dsm(path))
    # Kept the other way round: column needs row.
    encoding, text = ("utf-8", ',Añá,"B, c",C\nAñá,0,0,1\n"B, c",1,0,0\nC,0,2,0\n')
    check(read_dsm(write(tmp_path, encoding, text), transpose=True))


def test_unlabelled_square_table_keeps_every_item(tmp_path):
    dsm = read_dsm(write(tmp_path, "utf-8", "0,1,0\n0,0,2\n1,0,0\n"))
    check(dsm, names=["1", "2", "3"])
    dsm = read_dsm(write(tmp_path, "utf-8", ",1,\n,,2\n1,,\n"))  # blank diagonal
    check(dsm, names=["1", "2", "3"])
    # Names that are numbers, matching on both sides: a labelled table.
    dsm = read_dsm(write(tmp_path, "utf-8", ",10,20,30\n10,0,1,0\n20,0,0,2\n30,1,0,0\n"))
    check(dsm, names=["10", "20", "30"])
    dsm = read_dsm(write(tmp_path, "utf-8", "tasks,1,2,3\n3,1,0,0\n1,0,1,0\n2,0,0,2\n"))  # a title in the corner
    check(dsm, names=["1", "2", "3"])


def test_workbook(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    book.active.title = "notes"
    sheet = book.create_sheet("dsm")
    for row in [[None, "Añá", "B, c", "C"], ["Añá", 0, "x", None], ["B, c", None, None, 2], ["C", True, 0, None]]:
        sheet.append(row)
    path = tmp_path / "dsm.xlsx"
    book.save(path)
    check(read_dsm(path, sheet="dsm"))
    with pytest.raises(DsmFileError, match="no sheet named 'other'"):
        read_dsm(path, sheet="other")


def named_marks(dsm: ovila_dsm.Dsm) -> dict[tuple[str, str], float]:
    coo = dsm.matrix.tocoo()
    return {(dsm.labels[r], dsm.labels[c]): float(v) for r, c, v in zip(coo.row, coo.col, coo.data)}


REFERENCE = {("Añá", "B, c"): 1.0, ("B, c", "C"): 2.0, ("C", "Añá"): 1.0}
TABLE = ',Añá,"B, c",C\nAñá,,X,\n"B, c",,,2\nC,X,,\n'

# (file text, options, what the reading says: layout and a phrase of its description or notes)
LAYOUTS = {
    "from,to": ('from,to,weight\nAñá,"B, c",1\n"B, c",C,2\nC,Añá,1\n', {}, "edge list",
                "'from' item needs the 'to'"),
    "source;target, decimal comma": ("Source;Target;Value\nAñá;B, c;1\nB, c;C;2,0\nC;Añá;1\n", {}, "edge list",
                                     "--edges needs, the default"),
    "no header, weights on some lines": ("Añá\tB, c\nB, c\tC\t2\nC\tAñá\n", {}, "edge list", "no header"),
    "no header, feeds": ('"B, c",Añá\nC,"B, c",2\nAñá,C\n', {"edges": "feeds"}, "edge list",
                         "the first item feeds the second"),
    "a header this reader does not know": ("Task,Depends on,Strength\nAñá,\"B, c\",1\n\"B, c\",C,2\nC,Añá,1\n",
                                           {}, "edge list", "'Task' item needs the 'Depends on' item"),
    "titles above": ("DSM of the pump project,,,\n\nRevision 3\n" + TABLE, {}, "labelled table",
                     "lines 1 and 3 ('DSM of the pump project', 'Revision 3') left out: titles above the matrix"),
    "a note below": (TABLE + "Legend: X means the row needs the column\n", {}, "labelled table",
                     "line 5 ('Legend: X means the row needs the column') left out: a note below"),
    "numbered items, named columns": (',,Añá,"B, c",C\n1,Añá,,X,\n2,"B, c",,,2\n3,C,X,,\n', {}, "labelled table",
                                      "column 1 left out: it numbers the items"),
    "numbered items, numbered columns": ('#,Name,1,2,3\n1,Añá,Añá,1,\n2,"B, c",,"B, c",2\n3,C,1,,C\n', {},
                                         "labelled table", "the columns are numbered 1 to 3"),
    "rows and columns left out as asked": ('Pump project,rev 3\n,,Añá,"B, c",C\ng1,Añá,0,1,0\n'
                                           'g1,"B, c",0,0,2\ng2,C,1,0,0\n', {"skip_rows": 1, "skip_columns": 1},
                                           "labelled table", "the first 1 line and the first 1 column left out"),
    "no corner cell, rows in another order": ('Añá,"B, c",C\n"B, c",0,0,2\nC,1,0,0\nAñá,0,1,0\n', {},
                                              "labelled table", "row needs column"),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_layouts_practitioners_keep(tmp_path, layout):
    text, options, kind, said = LAYOUTS[layout]
    dsm = read_dsm(write(tmp_path, "utf-8", text), **options)
    assert named_marks(dsm) == REFERENCE
    assert sorted(dsm.labels) == sorted(NAMES)
    assert dsm.reading.layout == kind
    assert said in " ".join([dsm.reading.describe(), *dsm.reading.notes])


def test_edge_lists_that_are_not_and_headers_that_may_be(tmp_path):
    # Tables of two or three items that could pass for edge lists are tables.
    for text in (",A,B\nA,0,1\nB,1,0\n", "A,B\nA,0,1\nB,1,0\n", "0,1\n1,0\n", "0,1,0\n0,0,2\n1,0,0\n"):
        assert read_dsm(write(tmp_path, "utf-8", text)).reading.layout.endswith("table"), text
    # Numbers as names, no header.
    dsm = read_dsm(write(tmp_path, "utf-8", "1\t2\n2\t3\n3\t1\n4\t1\n", name="g.tsv"))
    assert dsm.labels == ["1", "2", "3", "4"] and dsm.reading.layout == "edge list"
    # A first line whose names occur nowhere else is read as a mark, with a warning saying so.
    dsm = read_dsm(write(tmp_path, "utf-8", "Task,Depends on\nA,B\nB,C\nC,A\n"))
    assert dsm.n == 5 and "neither name occurs on another line" in dsm.reading.warnings[0]
    # The header item,needs says which way marks point: --edges feeds contradicts it.
    with pytest.raises(DsmFileError, match="contradicts"):
        read_dsm(write(tmp_path, "utf-8", "item,needs\nA,B\n"), edges="feeds")
    # Transposed, an edge list reads the other way, and says so.
    dsm = read_dsm(write(tmp_path, "utf-8", "from,to\nA,B\nB,C\n"), transpose=True)
    assert named_marks(dsm) == {("B", "A"): 1.0, ("C", "B"): 1.0} and "read transposed" in dsm.reading.describe()
    # Notes below an edge list: left out, counted, the first few named.
    dsm = read_dsm(write(tmp_path, "utf-8", "from,to\nA,B\nB,C\n" + "see the plan\n" * 10))
    assert dsm.reading.notes == ("10 lines from line 4 to line 13 ('see the plan', 'see the plan', …) left out: "
                                 "notes below the edge list",)
    with pytest.raises(DsmFileError, match="line 4: an edge list line holds from, to: found 1 cell"):
        read_dsm(write(tmp_path, "utf-8", "from,to\nA,B\nB,C\nnot a note\nC,D\n"))
    # Said of a table, --edges changes nothing, and the reading says so.
    dsm = read_dsm(write(tmp_path, "utf-8", TABLE), edges="feeds")
    assert named_marks(dsm) == REFERENCE and "--edges feeds is for edge lists" in dsm.reading.warnings[0]
    with pytest.raises(ValueError, match="edges must be"):
        read_dsm(write(tmp_path, "utf-8", "from,to\nA,B\n"), edges="up")


def test_refusals_say_what_was_seen_and_what_was_expected(tmp_path):
    cases = [
        # A header without its corner cell over rows that omit their trailing blanks.
        ("A,B,C\nA,,X\nB\nC,X\n", "row 1 ('A') has 2 cells after its name, expected 3, one for each column "
         "the first row names (a row whose last cells are blank still holds them"),
        # Numbers beside the names that break off: the column is not recognised,
        # and the refusal says how to leave it out.
        (",,A,B,C\n1,A,,1,\n2,B,,,1\n4,C,1,,\n", "the first row names no item above column 2"),
        ("Notes only\nNothing else here\n", "holds no matrix: its 2 lines each hold one cell of text ('Notes only', "
         "'Nothing else here')"),
        ("from,to\nA,B,C,D\n", "an edge list line holds from, to: found 4 cells ('A', 'B', 'C', 'D')"),
        (",A,B,C\nA,,1,\nB,,,1\n", "not a square table: 3 column names but 2 rows; no row for 'C'"),
    ]
    for text, message in cases:
        with pytest.raises(DsmFileError) as caught:
            read_dsm(write(tmp_path, "utf-8", text))
        assert message in str(caught.value), text
    assert "--skip-columns" in str(pytest.raises(DsmFileError, read_dsm, write(
        tmp_path, "utf-8", ",,A,B,C\n1,A,,1,\n2,B,,,1\n4,C,1,,\n")).value)


def test_workbook_layouts(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    book.active.title = "Notes"
    for line in ("About this matrix", "X: the row needs the column"):
        book.active.append([line])
    sheet = book.create_sheet("DSM")
    sheet.append(["Pump project"])
    sheet.append([])
    for row in [[None, None, "Añá", "B, c", "C"], [1, "Añá", None, "x", None], [2, "B, c", None, None, 2],
                [3, "C", "x", None, None]]:
        sheet.append(row)
    book.save(tmp_path / "dsm.xlsx")
    with pytest.raises(DsmFileError) as caught:
        read_dsm(tmp_path / "dsm.xlsx")
    assert "(on sheet 'Notes', the first; the workbook also has 'DSM': name the sheet" in str(caught.value)
    dsm = read_dsm(tmp_path / "dsm.xlsx", sheet="DSM")
    assert named_marks(dsm) == REFERENCE
    assert dsm.reading.describe().startswith("sheet 'DSM', a labelled table")
    assert dsm.reading.notes == ("row 1 ('Pump project') left out: a title above the matrix",
                                 "column A left out: it numbers the items 1, 2, 3, … beside their names")


MISTAKES = [
    # (file text, message, line)
    ("", "the file is empty", None),
    ("\n\n", "the file is empty", None),
    (",A\nA,0\n", "holds 1 item", None),
    (",A,A\nA,0,1\nB,1,0\n", "duplicate column name 'A'", 1),
    (",A,B\nA,0,1\nA,1,0\n", "duplicate row name 'A'", 3),
    (",A,B\nA,0,1\nC,1,0\n", "row 2 ('C') has no column of that name", 3),
    (",A,B,C\nA,0,1,0\nB,1,0,0\n", "not a square table: 3 column names but 2 rows; no row for 'C'", None),
    (",A,B\nA,0,1\nB,0\n", "row 2 ('B') has 1 cell after its name, expected 2", 3),
    (",A,B\nA,0,maybe\nB,1,0\n", "cell ('A', 'B') holds 'maybe'", 2),
    (",A,B\nA,0,nan\nB,1,0\n", "cell ('A', 'B') holds 'nan'", 2),
    ("0,1,0\n1,0,1\n", "not a square table: 2 rows of 3 cells", None),
    ("item,needs\nA,B,C\n", "found 3 cells", 2),
    ("item,needs\nA,\n", "an item name is blank", 2),
    ("item,needs,weight\nA,B,heavy\n", "weight 'heavy'", 2),
    ("item,needs\nA,A\n", "holds 1 item", None),
    (",A,B\nA" + "," * 90_000 + "\nB,0,0\n", "more than 80004 cells on one line", 2),
    (",A,B\n" + "A,0," + '"' + "x" * (_read.MAX_CELL + 10) + '"\nB,0,0\n', "not a readable table", 2),
]


@pytest.mark.parametrize("text, message, line", MISTAKES)
def test_mistakes_name_the_file_line_and_problem(tmp_path, text, message, line):
    path = write(tmp_path, "utf-8", text)
    with pytest.raises(DsmFileError, match=None) as caught:
        read_dsm(path)
    error = caught.value
    assert message in str(error)
    assert str(error).startswith(str(path) + ": ")
    assert error.line == line


def test_unreadable_files(tmp_path, monkeypatch):
    binary = tmp_path / "picture.csv"
    binary.write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00\x00")
    with pytest.raises(DsmFileError, match="binary"):
        read_dsm(binary)
    fake = write(tmp_path, "utf-8", ",A,B\nA,0,1\nB,1,0\n", name="dsm.xlsx")
    with pytest.raises(DsmFileError, match="not a readable .xlsx"):
        read_dsm(fake)
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    book.active.cell(row=1_000_000, column=100, value=1)  # a sheet spanning 100 million cells, holding one
    book.save(tmp_path / "wide.xlsx")
    with pytest.raises(DsmFileError, match="not a square table: 1 rows of 100 cells"):
        read_dsm(tmp_path / "wide.xlsx")
    # Entities inside a sheet's XML (the "billion laughs") are refused, on one line.
    with zipfile.ZipFile(tmp_path / "wide.xlsx") as good, zipfile.ZipFile(tmp_path / "bomb.xlsx", "w") as bad:
        for item in good.infolist():
            data = good.read(item.filename)
            if item.filename == "xl/worksheets/sheet1.xml":
                data = (b'<?xml version="1.0"?><!DOCTYPE worksheet [<!ENTITY a "aaaaaaaaaa">'
                        b'<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>' + data.replace(b"<v>1</v>", b"<v>&b;</v>"))
            bad.writestr(item, data)
    with pytest.raises(DsmFileError, match="not a readable .xlsx workbook") as caught:
        read_dsm(tmp_path / "bomb.xlsx")
    assert "\n" not in str(caught.value)
    with pytest.raises(DsmFileError, match="save the sheet as .xlsx or CSV"):
        read_dsm(write(tmp_path, "utf-8", "x", name="old.xls"))
    # A gzip bomb stops at the size cap, not at the end of the data.
    monkeypatch.setattr(_read, "MAX_BYTES", 10_000)
    bomb = tmp_path / "bomb.csv.gz"
    bomb.write_bytes(gzip.compress(b"item,needs\n" + b"A,B\n" * 100_000))
    with pytest.raises(DsmFileError, match="too large"):
        read_dsm(bomb)


REAL = [
    ("process-13-tasks.csv", 13, 52),
    ("flowsheet-problem-1.csv", 6, 30),
    ("flowsheet-problem-2.csv", 12, 21),
    ("flowsheet-problem-3.csv", 15, 35),
    ("flowsheet-problem-4.csv", 19, 31),
    ("flowsheet-problem-6.csv", 29, 37),
    ("flowsheet-problem-9.csv", 50, 79),
]


@pytest.mark.parametrize("name, items, marks", REAL)
def test_real_files(name, items, marks):
    dsm = read_dsm(DATA / name)
    assert dsm.n == items
    assert dsm.matrix.nnz == marks


@pytest.mark.skipif(not (SHARED / "debian-packages.edges.tsv.gz").exists(), reason="shared data not present")
def test_large_edge_list_and_its_blocks():
    dsm = read_dsm(SHARED / "debian-packages.edges.tsv.gz")
    assert (dsm.n, dsm.matrix.nnz) == (60_577, 292_902)
    found = ovila_dsm.blocks(dsm)
    sizes = sorted(len(b) for b in found.blocks if len(b) > 1)
    assert (len(sizes), sum(sizes), sizes[-3:]) == (975, 2898, [23, 37, 243])
