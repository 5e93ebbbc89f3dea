"""Best orders of design structure matrices: blocks, exact search with proofs,
fast local search, files in and out."""

from __future__ import annotations

import importlib

TYPE_CHECKING = False  # typing itself is not loaded: the command's start-up stays short
if TYPE_CHECKING:
    from typing import Any

    from ._bands import Blocks, bands, blocks, tears
    from ._dsm import CONVENTION, Dsm, DsmFileError, Reading
    from ._plot import draw
    from ._read import read_dsm
    from ._report import report_html, write_report
    from ._sequence import Interrupted, Progress, Sequencing, sequence
    from ._write import result, write_csv, write_json, write_order, write_xlsx

# Each public name and the module that defines it. The modules are loaded on
# first use, so that the command (ovila_dsm.cli) starts before numpy and
# scipy load, and can answer Ctrl-C from its very start.
_HOMES = {
    "CONVENTION": "_dsm",
    "Blocks": "_bands",
    "Dsm": "_dsm",
    "DsmFileError": "_dsm",
    "Interrupted": "_sequence",
    "Progress": "_sequence",
    "Reading": "_dsm",
    "Sequencing": "_sequence",
    "bands": "_bands",
    "blocks": "_bands",
    "draw": "_plot",
    "read_dsm": "_read",
    "report_html": "_report",
    "result": "_write",
    "sequence": "_sequence",
    "tears": "_bands",
    "write_csv": "_write",
    "write_json": "_write",
    "write_order": "_write",
    "write_report": "_report",
    "write_xlsx": "_write",
}

__all__ = [
    "CONVENTION",
    "Blocks",
    "Dsm",
    "DsmFileError",
    "Interrupted",
    "Progress",
    "Reading",
    "Sequencing",
    "bands",
    "blocks",
    "draw",
    "read_dsm",
    "report_html",
    "result",
    "sequence",
    "tears",
    "write_csv",
    "write_json",
    "write_order",
    "write_report",
    "write_xlsx",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        try:  # a module of the package, as an attribute once it is loaded
            return importlib.import_module(f"{__name__}.{name}")
        except ModuleNotFoundError as missing:
            if missing.name != f"{__name__}.{name}":
                raise
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
