"""The matrix of a design structure, as read from a file or built by hand."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # kept out of the command's start-up
    import scipy.sparse

CONVENTION = "row i, column j: item i needs item j; feedback marks lie above the diagonal"

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
class Dsm:
    """A square dependency matrix with item names.

    `matrix` is a scipy.sparse CSR array of shape (n, n) holding every mark with
    its value (row i, column j: item i needs item j); `labels` names the items.
    """

    labels: list[str]
    matrix: scipy.sparse.csr_array

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
