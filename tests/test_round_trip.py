"""Everything the writers write reads back to the same names and marks; what
a format cannot hold is refused before anything is written."""

import json
import os
import string

import numpy as np
import pytest
import scipy.sparse
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import ovila_dsm
from ovila_dsm import Dsm, DsmFileError, Sequencing, read_dsm
from ovila_dsm._write import check_names, replacing

pytest.importorskip("openpyxl")

# Characters that break naive readers and writers: delimiters and their
# spaced forms, quotes, apostrophes and formula starts, line ends, controls,
# white space, a BOM, a bidirectional override, a lone surrogate, an emoji.
COMMON = list(", ;\t\"'=+-@\u202e\ufeff😀éab1.")
RARE = list("\r\n\x07\x00\x85\u2028\ud800")


def _name(core: str, dice: int, rare: str, at: int) -> str:
    core = core.strip() or "x"
    return core[:at] + rare + core[at:] if dice == 7 else core  # now and then a rare character


NAMES = st.lists(st.builds(_name, st.text(alphabet=COMMON, min_size=1, max_size=8), st.integers(0, 9),
                           st.sampled_from(RARE), st.integers(0, 8)), min_size=2, max_size=5, unique=True)
WRITERS = {"table": "out.csv", "tsv": "out.tsv", "workbook": "out.xlsx", "order": "out.txt", "json": "out.json"}


def write(kind: str, folder, dsm: Dsm, found: Sequencing):
    path = folder / WRITERS[kind]
    if kind in ("table", "tsv"):
        ovila_dsm.write_csv(path, dsm, found.order, delimiter="\t" if kind == "tsv" else ",")
    elif kind == "workbook":
        ovila_dsm.write_xlsx(path, dsm, found)
    elif kind == "order":
        ovila_dsm.write_order(path, dsm, found.order)
    else:
        ovila_dsm.write_json(path, ovila_dsm.result(dsm, found))
    return path


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(names=NAMES)
@example(names=["a, b", "c, d", "e"])  # a TSV whose names hold ", "
@example(names=["a; b", "c; d", "e"])  # a CSV whose names hold "; "
@example(names=["'=x", "''", "'", "=y", "-1"])  # apostrophes of the names' own
@example(names=["a\rb", "c\r\nd", "e\nf"])
def test_what_is_written_reads_back_or_is_refused_before(tmp_path_factory, names):
    n = len(names)
    rng = np.random.default_rng(n)
    dense = np.where(rng.random((n, n)) < 0.5, rng.integers(1, 4, (n, n)), 0).astype(float)
    np.fill_diagonal(dense, 0)
    dsm = Dsm(list(names), scipy.sparse.csr_array(dense))
    order = list(range(n))[::-1]
    found = Sequencing(order=order, labels=[names[i] for i in order], feedback_marks=0, lower_bound=0,
                       optimal=True, blocks=[[i] for i in order], seconds=0.0, method="auto", seed=1)
    for kind in WRITERS:
        folder = tmp_path_factory.mktemp(kind)
        try:
            check_names(folder / WRITERS[kind], names, "table" if kind == "tsv" else kind)
        except DsmFileError:
            with pytest.raises(DsmFileError):
                write(kind, folder, dsm, found)
            assert os.listdir(folder) == [], kind  # refused before anything was written
            continue
        path = write(kind, folder, dsm, found)
        if kind == "order":
            assert path.read_text(encoding="utf-8").split("\n") == found.labels + [""]
        elif kind == "json":
            text = path.read_text(encoding="utf-8")
            assert not any(c in text for c in "\x85\u2028\u202e\ud800")  # escaped, still the same data
            assert json.loads(text)["order"] == found.labels
        else:
            back = read_dsm(path)
            assert back.labels == found.labels, kind
            np.testing.assert_array_equal(back.matrix.toarray(), dense[np.ix_(order, order)])


def test_refusals_name_the_item_and_the_format(tmp_path):
    cases = [
        (["a", "a"], "json", "two items are named 'a'"),
        (["a", ""], "table", "item 2 has no name"),
        (["a", " b"], "table", "the name ' b' begins or ends with white space"),
        (["a", "b\x07"], "workbook", "holds the character '\\x07', which a .xlsx workbook cannot hold"),
        (["a", "b\rc"], "workbook", "holds the character '\\r'"),
        (["a", "b\nc"], "order", "holds a line break"),
        (["a", "b" * 70_000], "table", "is 70000 characters long: a CSV/TSV table holds at most 65536"),
        (["a", "b" * 40_000], "workbook", "holds at most 32767"),
    ]
    for names, kind, message in cases:
        with pytest.raises(DsmFileError, match=None) as caught:
            check_names(tmp_path / "out", names, kind)
        assert message in str(caught.value) and "\n" not in str(caught.value), (names[1][:5], kind)
    check_names(tmp_path / "out", ["a", "b\x07", "=c"], "table")  # what a table holds


def test_an_interrupted_write_leaves_the_old_file_whole(tmp_path):
    old = tmp_path / "out.csv"
    old.write_text("old content\n")
    os.chmod(old, 0o640)
    with pytest.raises(KeyboardInterrupt):
        with replacing(old) as handle:
            handle.write("half of the new")
            raise KeyboardInterrupt
    assert old.read_text() == "old content\n" and os.listdir(tmp_path) == ["out.csv"]
    with replacing(old) as handle:
        handle.write("new\n")
    assert old.read_text() == "new\n" and os.stat(old).st_mode & 0o777 == 0o640
    # A symbolic link keeps pointing where it did; its target is what changes.
    link = tmp_path / "link.csv"
    link.symlink_to(old)
    with replacing(link) as handle:
        handle.write("through the link\n")
    assert link.is_symlink() and old.read_text() == "through the link\n"
    assert sorted(os.listdir(tmp_path)) == ["link.csv", "out.csv"]


def test_names_printable_escapes_what_a_terminal_acts_on():
    from ovila_dsm._dsm import printable

    hostile = "\x1b]0;title\x07\x1b]52;c;cHduZWQ=\x07\x1b[2J\x9b\u202eevil\ud800"
    shown = printable(hostile)
    assert all(c in string.printable or c.isalpha() for c in shown)
    assert shown == "\\x1b]0;title\\x07\\x1b]52;c;cHduZWQ=\\x07\\x1b[2J\\x9b\\u202eevil\\ud800"
    assert printable("Añá 😀, tab-free") == "Añá 😀, tab-free"
