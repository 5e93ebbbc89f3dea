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
