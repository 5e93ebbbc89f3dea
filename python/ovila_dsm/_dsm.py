"""The matrix of a design structure, as read from a file or built by hand."""

from __future__ import annotations

from dataclasses import dataclass

import scipy.sparse

CONVENTION = "row i, column j: item i needs item j; feedback marks lie above the diagonal"


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
