"""Best orders of design structure matrices: blocks, exact search with proofs,
fast local search, files in and out."""

from ._dsm import CONVENTION, Dsm
from ._sequence import Interrupted, Progress, Sequencing, sequence

__all__ = ["CONVENTION", "Dsm", "Interrupted", "Progress", "Sequencing", "sequence"]
