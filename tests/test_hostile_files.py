"""read_dsm on files from strangers: sources that never end, bombs that
unpack far beyond their size, workbooks that lie about themselves, and the
process-wide state a reader must leave alone."""

import csv
import gzip
import os
import subprocess
import sys
import textwrap
import threading
import zipfile

import numpy as np
import pytest

from ovila_dsm import DsmFileError, read_dsm
from ovila_dsm import _read

from test_dsm_read import GOOD, check, write

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PACKAGE = "http://schemas.openxmlformats.org/package/2006/relationships"


def workbook(path, rows, *, dimension=None, strings=(), sheets=True):
    """A workbook made by hand: cells that are str go to the shared strings."""
    table = list(strings)
    body = []
    for r, row in enumerate(rows, start=1):
        cells = []
        for c, value in enumerate(row):
            if value is None:
                continue
            ref = f"{chr(65 + c)}{r}"
            if isinstance(value, str):
                table.append(value)
                cells.append(f'<c r="{ref}" t="s"><v>{len(table) - 1}</v></c>')
            else:
                cells.append(f'<c r="{ref}"><v>{value}</v></c>')
        body.append(f'<row r="{r}">{"".join(cells)}</row>')
    declared = f'<dimension ref="{dimension}"/>' if dimension else ""
    listed = f'<sheet name="dsm" sheetId="1" r:id="rId1"/>' if sheets else ""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", (
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            '<Override PartName="/xl/workbook.xml" '
            'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
            '<Override PartName="/xl/worksheets/sheet1.xml" '
            'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
            '<Override PartName="/xl/sharedStrings.xml" '
            'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>'
            "</Types>"))
        z.writestr("_rels/.rels", f'<Relationships xmlns="{PACKAGE}"><Relationship Id="rId1" '
                   f'Type="{REL}/officeDocument" Target="xl/workbook.xml"/></Relationships>')
        z.writestr("xl/workbook.xml", f'<workbook xmlns="{MAIN}" xmlns:r="{REL}"><sheets>{listed}</sheets></workbook>')
        z.writestr("xl/_rels/workbook.xml.rels", (
            f'<Relationships xmlns="{PACKAGE}">'
            f'<Relationship Id="rId1" Type="{REL}/worksheet" Target="worksheets/sheet1.xml"/>'
            f'<Relationship Id="rId2" Type="{REL}/sharedStrings" Target="sharedStrings.xml"/></Relationships>'))
        z.writestr("xl/worksheets/sheet1.xml",
                   f'<worksheet xmlns="{MAIN}">{declared}<sheetData>{"".join(body)}</sheetData></worksheet>')
        z.writestr("xl/sharedStrings.xml", f'<sst xmlns="{MAIN}" count="{len(table)}" uniqueCount="{len(table)}">'
                   + "".join(f"<si><t>{s}</t></si>" for s in table) + "</sst>")
    return path


FOUR = [[None, "A", "B", "C", "D"], ["A", None, "x", None, None], ["B", None, None, "x", None],
        ["C", None, None, None, "x"], ["D", "x", None, None, None]]


def test_workbooks_that_lie_about_themselves(tmp_path):
    pytest.importorskip("openpyxl")
    # A stale declared extent (A1:C3) covering less than the table: ignored.
    dsm = read_dsm(workbook(tmp_path / "stale.xlsx", FOUR, dimension="A1:C3"))
    assert (dsm.labels, dsm.matrix.nnz) == (["A", "B", "C", "D"], 4)
    # Far more shared strings than cells to use them: refused before they are loaded.
    with pytest.raises(DsmFileError, match="holds 50012 shared strings for 12 cells"):
        read_dsm(workbook(tmp_path / "strings.xlsx", FOUR, strings=["padding"] * 50_000))
    assert read_dsm(workbook(tmp_path / "some.xlsx", FOUR, strings=["unused"] * 100)).n == 4
    with pytest.raises(DsmFileError, match="holds no worksheet"):
        read_dsm(workbook(tmp_path / "empty.xlsx", FOUR, sheets=False))


def test_sources_whose_size_is_not_known_are_read_up_to_the_cap(tmp_path, monkeypatch):
    with pytest.raises(DsmFileError, match="binary data"):
        read_dsm("/dev/zero")
    monkeypatch.setattr(_read, "MAX_BYTES", 100_000)
    # A pipe (size 0) carrying a valid edge list longer than the cap.
    fifo = tmp_path / "edges.csv"
    os.mkfifo(fifo)

    def feed():
        try:
            with open(fifo, "wb") as out:
                out.write(b"item,needs\n" + b"a,b\n" * 100_000)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feed)
    writer.start()
    with pytest.raises(DsmFileError, match="larger than 0 MiB: too large"):
        read_dsm(fifo)
    writer.join()
    # A workbook needs a file it can seek in: from a pipe it is refused, not waited for.
    read, write_end = os.pipe()
    os.write(write_end, b"PK\x03\x04" + b"\x00" * 100)
    os.close(write_end)
    try:
        with pytest.raises(DsmFileError, match="a workbook is read from a file, not from a pipe"):
            read_dsm(f"/dev/fd/{read}")
    finally:
        os.close(read)
    # One endless line: refused once it is longer than its cells can be.
    endless = tmp_path / "line.csv.gz"
    endless.write_bytes(gzip.compress(b"x" * 90_000))
    with pytest.raises(DsmFileError, match=f"line 1: .*a cell holds more than {_read.MAX_CELL}"):
        read_dsm(endless)


def test_a_bomb_costs_memory_for_its_matrix_not_its_text(tmp_path):
    # 32 MB of text (a 4000-item table without marks) in 56 KB of gzip.
    bomb = tmp_path / "bomb.csv.gz"
    names = [f"n{i}" for i in range(4000)]
    zeros = ("," + ",".join(["0"] * 4000) + "\n").encode()
    with gzip.open(bomb, "wb") as out:
        out.write(("," + ",".join(names) + "\n").encode())
        for name in names:
            out.write(name.encode() + zeros)
    script = textwrap.dedent(f"""
        import resource
        import ovila_dsm
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        dsm = ovila_dsm.read_dsm({str(bomb)!r})
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(dsm.n, dsm.matrix.nnz, grown // 1024)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    n, marks, grown_mib = map(int, done.stdout.split())
    assert (n, marks) == (4000, 0)
    assert grown_mib < 40  # the whole text alone is 31 MiB


@pytest.mark.parametrize("variant", sorted(GOOD))
def test_pieces_cut_anywhere_read_the_same(tmp_path, monkeypatch, variant):
    # Read in pieces of 3 bytes: CRLF, UTF-8 sequences and quoted cells are cut.
    monkeypatch.setattr(_read, "CHUNK", 3)
    encoding, text = GOOD[variant]
    check(read_dsm(write(tmp_path, encoding, text)))


def test_stray_bytes_and_repeated_edges(tmp_path):
    # UTF-8 names stay UTF-8 when one byte is not: that byte is Windows-1252.
    mixed = tmp_path / "mixed.csv"
    mixed.write_bytes("item,needs\nAñá,B\n".encode() + b"Caf\xe9,B\n")
    assert read_dsm(mixed).labels == ["Añá", "B", "Café"]
    # The last value listed for a pair counts, 0 included.
    for lines, value in [("a,b,5\na,b,0\n", None), ("a,b,0\na,b,5\n", 5.0), ("a,b,5\na,b,no\nb,a,2\n", None)]:
        dsm = read_dsm(write(tmp_path, "utf-8", "item,needs,weight\n" + lines))
        dense = dsm.matrix.toarray()
        assert (dense[0, 1] or None) == value, lines


def test_the_csv_field_limit_is_left_alone(tmp_path, monkeypatch):
    calls = []
    real = csv.field_size_limit
    monkeypatch.setattr(csv, "field_size_limit", lambda *limit: calls.append(limit) or real(*limit))
    encoding, text = GOOD["comma"]
    check(read_dsm(write(tmp_path, encoding, text)))
    assert all(limit == () for limit in calls)
    # The reader's own cap holds whatever the process-wide limit is.
    monkeypatch.setattr(csv, "field_size_limit", real)
    old = real(10**9)
    try:
        long_cell = write(tmp_path, "utf-8", ',A,B\nA,0,"' + "x" * (_read.MAX_CELL + 1) + '"\nB,0,0\n')
        with pytest.raises(DsmFileError, match="line 2: not a readable table"):
            read_dsm(long_cell)
    finally:
        real(old)
    np.testing.assert_array_equal(read_dsm(write(tmp_path, "utf-8", "0,1\n1,0\n")).matrix.toarray(), [[0, 1], [1, 0]])
