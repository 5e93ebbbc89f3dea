"""Best orders of design structure matrices: blocks, exact search with proofs,
fast local search, files in and out."""

from ._bands import Blocks, bands, blocks, tears
from ._dsm import CONVENTION, Dsm
from ._read import DsmFileError, read_dsm
from ._sequence import Interrupted, Progress, Sequencing, sequence
from ._write import result, write_csv, write_json, write_order, write_xlsx

__all__ = [
    "CONVENTION",
    "Blocks",
    "Dsm",
    "DsmFileError",
    "Interrupted",
    "Progress",
    "Sequencing",
    "bands",
    "blocks",
    "read_dsm",
    "result",
    "sequence",
    "tears",
    "write_csv",
    "write_json",
    "write_order",
    "write_xlsx",
]
