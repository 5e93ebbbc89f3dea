"""The entry point of the `ovila-dsm` command (`ovila_dsm.cli.main`).

Loading it makes Ctrl-C end the process quietly with status 130 until the
command installs its own handler: a Ctrl-C while the interpreter loads the
rest of the package gives no traceback.
"""

from __future__ import annotations

import os
import signal


def _early(signum: int, frame: object) -> None:
    try:
        os.write(2, b"ovila-dsm: interrupted\n")
    except OSError:
        pass
    os._exit(130)


try:
    signal.signal(signal.SIGINT, _early)
except ValueError:  # loaded outside the main thread: not the command
    pass


def main() -> int:
    from .cli import main as run

    return run()
