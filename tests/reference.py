"""Independent pure-Python re-computations used to check the module's results.

Nothing here imports the extension module: these are the formulas written out
again, so that the tests compare the module against a second implementation.
"""

import csv
import math
import pathlib
import struct

DATA_DIR = pathlib.Path(__file__).parent / "data"

U64 = 1 << 64
U64_MAX = U64 - 1

MATRIX_KINDS = ("FeedbackDistance", "FeedbackMarks", "LowerLeftDistance")


def load_dsm(name):
    """Read a labelled square 0/1 matrix; returns (labels, flat row-major floats, n)."""
    with open(DATA_DIR / name, newline="") as handle:
        rows = list(csv.reader(handle))
    labels = rows[0][1:]
    body = [[float(cell) for cell in row[1:]] for row in rows[1:]]
    n = len(labels)
    assert len(body) == n and all(len(row) == n for row in body)
    assert [row[0] for row in rows[1:]] == labels
    return labels, [cell for row in body for cell in row], n


def matrix_dimension(matrix):
    """The dimension a flat matrix of this length stands for, or None if not square."""
    d = int(math.sqrt(float(len(matrix))))
    return d if d * d == len(matrix) else None


def is_mark(value):
    # NaN != 0.0 is true, so NaN is a mark; -0.0 == 0.0, so -0.0 is not.
    return value != 0.0


class IndexOutOfBounds(Exception):
    pass


def _cell(matrix, n, genes, i, j):
    r, c = genes[i], genes[j]
    if r >= n or c >= n:
        raise IndexOutOfBounds("Matrix index out of bounds.")
    return matrix[r * n + c]


def feedback_marks(matrix, genes, offset=None):
    offset = 1 if offset is None else offset
    n = matrix_dimension(matrix)
    L = len(genes)
    m = 0
    for i in range(L - 1):
        for j in range(i + 1, L):
            if is_mark(_cell(matrix, n, genes, i, j)):
                m += 1
    total = ((offset - m) % U64 + (n * (n - 1) % U64) // 2) % U64
    return float(total)


def feedback_distance(matrix, genes, offset=None):
    offset = 1 if offset is None else offset
    n = matrix_dimension(matrix)
    L = len(genes)
    w = 0
    for i in range(L - 1):
        for j in range(i + 1, L):
            if is_mark(_cell(matrix, n, genes, i, j)):
                w += j - i
    term = (((n * n - 1) % U64) * n % U64) // 6
    total = ((offset - w) % U64 + term) % U64
    return float(total)


def lower_left_distance(matrix, genes, offset=None):
    offset = 1 if offset is None else offset
    n = matrix_dimension(matrix)
    L = len(genes)
    v = 0
    for i in range(L):
        for j in range(L):
            if is_mark(_cell(matrix, n, genes, i, j)):
                v += (L - 1 - i) + j
    return float((offset + v) % U64)


SCORERS = {
    "FeedbackMarks": feedback_marks,
    "FeedbackDistance": feedback_distance,
    "LowerLeftDistance": lower_left_distance,
}


def score(kind_name, matrix, genes, offset=None):
    return SCORERS[kind_name](matrix, list(genes), offset)


def statistics(values):
    """(size, min, max, sum, mean, variance) of fitness values, in population order."""
    n = len(values)
    if n == 0:
        return (0, 0.0, 0.0, -0.0, 0.0, 0.0)
    total = -0.0
    for x in values:
        total += x
    mean = total / float(n)
    lo = hi = values[0]
    for x in values[1:]:
        if x < lo:
            lo = x
        if x > hi:
            hi = x
    variance = 0.0
    for x in values:
        d = mean - x
        variance += d * d
    return (n, lo, hi, total, mean, variance)


def same_float(a, b):
    """Float equality that tells -0.0 from 0.0 and takes any NaN as equal to any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def record_tuple(record):
    return (record.size, record.min, record.max, record.sum, record.mean, record.variance)


def same_record(record, expected):
    got = record_tuple(record)
    return got[0] == expected[0] and all(same_float(a, b) for a, b in zip(got[1:], expected[1:]))
