"""The `ovila-dsm` command: order a design structure matrix kept in a file.

    ovila-dsm sequence FILE [-o ORDERED.csv|.xlsx|.txt|.json] [--plot PICTURE]
                            [--report REPORT.html] [--json] [--seed N]
                            [--time-limit S] [--method auto|heuristic|sga]
    ovila-dsm blocks FILE [--json]

A mistake in what is asked (a file that cannot be read, an output that cannot
be written, a bad option) ends with exit status 2 and one line on standard
error; an internal failure with exit status 1; Ctrl-C with 130.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import threading
import time
from pathlib import Path
from typing import Any, NoReturn, TextIO

from ._bands import Blocks, blocks, feedback_count, tears
from ._dsm import CONVENTION, Dsm
from ._read import DsmFileError, read_dsm

PROG = "ovila-dsm"
OUTPUTS = {".csv": "table", ".tsv": "table", ".xlsx": "workbook", ".txt": "order", ".json": "json"}
REPORTS = (".html", ".htm")
# Orders longer than this are not listed on the terminal (write them with -o).
LISTED = 200


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _Progress:
    """A live line on standard error while a search runs longer than a second.

    The search reports when it has news; a small thread redraws the line
    four times a second in between, so the time left keeps counting down.
    """

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = False
        self.told = False
        self.live = stream.isatty()
        self.last: Any = None
        self.since = time.monotonic()
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.ticker: threading.Thread | None = None

    def __call__(self, progress: Any) -> None:
        with self.lock:
            self.last, self.since = progress, time.monotonic()
        if progress.seconds < 1.0:
            return
        if not self.live:
            # Into a log: one line, once.
            if not self.told:
                self.told = True
                self.stream.write(f"{PROG}: searching for up to {progress.time_limit:g} s "
                                  "(Ctrl-C stops and keeps the best order found so far)\n")
                self.stream.flush()
            return
        if self.ticker is None:
            self.ticker = threading.Thread(target=self._tick, daemon=True)
            self.ticker.start()
        self._draw()

    def _tick(self) -> None:
        while not self.done.wait(0.25):
            self._draw()

    def _draw(self) -> None:
        with self.lock:
            progress = self.last
            if progress is None or self.done.is_set():
                return
            seconds = progress.seconds + time.monotonic() - self.since
            left = max(progress.time_limit - seconds, 0.0)
            line = (f"searching: best so far {progress.feedback_marks} feedback marks, "
                    f"lower bound {progress.lower_bound}, {left:.0f} s left (Ctrl-C stops and keeps the best)")
            self.stream.write("\r" + line[:150] + "\x1b[K")
            self.stream.flush()
            self.shown = True

    def clear(self) -> None:
        self.done.set()
        if self.ticker is not None:
            self.ticker.join()
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Order the items of a design structure matrix (DSM) so that few marks are feedback "
        f"marks. Convention: {CONVENTION}.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def source(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "file", metavar="FILE",
            help="the matrix: a labelled table (names in the first row and column), an unlabelled square "
            "table, or an edge list with the header item,needs[,weight]; CSV, TSV or semicolon text "
            "(gzip accepted) or an .xlsx workbook",
        )
        sub.add_argument("--transpose", action="store_true",
                         help="the file is kept the other way round: column j needs row i (default: row i needs column j)")
        sub.add_argument("--sheet", metavar="NAME", help="sheet of an .xlsx workbook (default: the first)")

    run = commands.add_parser(
        "sequence", help="search the best order and write it",
        description="Search the order of the items with the fewest feedback marks, print it and write the "
        f"requested files. Convention: {CONVENTION}.",
    )
    source(run)
    run.add_argument("-o", "--output", metavar="PATH", action="append", default=[],
                     help="write the reordered matrix (.csv, .tsv, .xlsx colour-coded), the order (.txt, one "
                     "name per line) or the result (.json); may be given several times (default: none)")
    run.add_argument("--plot", metavar="PICTURE",
                     help="draw the matrix before and after, blocks outlined (.png, .svg or .pdf; needs "
                     "matplotlib) (default: none)")
    run.add_argument("--report", metavar="REPORT.html",
                     help="write a self-contained HTML report: summary, picture, blocks, bands, tears, "
                     "settings (default: none)")
    run.add_argument("--json", action="store_true",
                     help="print only the JSON result on standard output (default: a readable summary)")
    run.add_argument("--seed", type=int, default=None,
                     help="seed of the search, for a reproducible result (default: a fresh one, printed)")
    run.add_argument("--time-limit", type=float, default=10.0, metavar="S",
                     help="seconds the search may take (default: 10)")
    run.add_argument("--method", choices=("auto", "heuristic", "sga"), default="auto",
                     help="auto: search and proof of optimality; heuristic: search only; sga: the genetic "
                     "algorithm (default: auto)")

    show = commands.add_parser(
        "blocks", help="the blocks and bands only (no search)",
        description="List the strongly connected blocks (items that need each other) in an order that leaves "
        "no feedback mark between blocks, and the band of each block (no search within blocks). "
        f"Convention: {CONVENTION}.",
    )
    source(show)
    show.add_argument("--json", action="store_true",
                      help="print the blocks and bands as JSON (default: a readable list)")
    return parser


def _check_output(path: str, allowed: tuple[str, ...], what: str) -> None:
    suffix = Path(path).suffix.lower()
    if suffix not in allowed:
        raise DsmFileError(path, f"unknown {what} format {suffix or '(no extension)'!r}: use {', '.join(allowed)}")
    folder = Path(path).parent
    if not folder.is_dir():
        raise DsmFileError(path, f"the folder {str(folder)!r} does not exist")
    if Path(path).is_dir():
        raise DsmFileError(path, "is a folder")


def _check_args(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    if args.command != "sequence":
        return
    if not math.isfinite(args.time_limit) or args.time_limit < 0:
        parser.error(f"--time-limit must be a non-negative number of seconds, not {args.time_limit}")
    if args.seed is not None and not 0 <= args.seed < 2**64:
        parser.error(f"--seed must be between 0 and 2**64 - 1, not {args.seed}")
    for path in args.output:
        _check_output(path, tuple(OUTPUTS), "output")
    for path in [*args.output, args.plot, args.report]:
        if path and Path(path).resolve() == Path(args.file).resolve():
            raise DsmFileError(path, "is the input file: choose another name for the output")
    if args.report:
        _check_output(args.report, REPORTS, "report")
    if args.plot:
        from ._plot import FORMATS

        _check_output(args.plot, tuple(FORMATS), "picture")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise DsmFileError(args.plot, "drawing needs matplotlib: pip install 'ovila_genetic_py[plot]'") from None
    if any(Path(p).suffix.lower() == ".xlsx" for p in args.output):
        try:
            import openpyxl  # noqa: F401
        except ImportError:
            raise DsmFileError(next(p for p in args.output if p.lower().endswith(".xlsx")),
                               "writing .xlsx needs openpyxl: pip install 'ovila_genetic_py[excel]'") from None


def _writing(path: str, write: Any) -> None:
    """Run `write`, turning a failure of the file system into a DsmFileError."""
    try:
        write()
    except OSError as error:
        raise DsmFileError(path, f"cannot write: {error.strerror or error}") from None


def _sequence(args: argparse.Namespace, dsm: Dsm, out: TextIO) -> int:
    from ._sequence import Interrupted, sequence
    from ._write import MAX_TABLE_ITEMS, MAX_WORKBOOK_ITEMS, result, write_csv, write_json, write_order, write_xlsx

    for path in args.output:  # outputs too large to write are refused before the search
        kind = OUTPUTS[Path(path).suffix.lower()]
        if kind == "workbook" and dsm.n > MAX_WORKBOOK_ITEMS or kind == "table" and dsm.n > MAX_TABLE_ITEMS:
            raise DsmFileError(path, f"{dsm.n} items are too many for a {kind}: write the order (.txt) or JSON")
    progress = _Progress(sys.stderr)
    interrupted = False
    try:
        found = sequence(dsm, seed=args.seed, time_limit=args.time_limit, method=args.method, progress=progress)
    except Interrupted as stop:
        found = stop.best
        interrupted = True
    finally:
        progress.clear()
    if interrupted:
        print(f"{PROG}: interrupted: writing the best order found so far "
              f"({found.feedback_marks} feedback marks, {'proven optimal' if found.optimal else 'not proven optimal'})",
              file=sys.stderr)
    before = feedback_count(dsm, list(range(dsm.n)))
    settings = {"file": args.file, "transpose": args.transpose, "sheet": args.sheet,
                "time_limit": args.time_limit, "method": args.method, "seed": found.seed}
    data = result(dsm, found, before=before, settings=settings, interrupted=interrupted)

    for path in args.output:
        kind = OUTPUTS[Path(path).suffix.lower()]
        if kind == "table":
            delimiter = "\t" if path.lower().endswith(".tsv") else ","
            _writing(path, lambda: write_csv(path, dsm, found.order, delimiter=delimiter))
        elif kind == "workbook":
            _writing(path, lambda: write_xlsx(path, dsm, found))
        elif kind == "order":
            _writing(path, lambda: write_order(path, dsm, found.order))
        else:
            _writing(path, lambda: write_json(path, data))
    picture_png = None
    if args.plot or args.report:
        from ._plot import picture, picture_format

        if args.plot:
            fmt = picture_format(args.plot)
            image = picture(dsm, found, fmt=fmt, interrupted=interrupted)
            _writing(args.plot, lambda: Path(args.plot).write_bytes(image))
            if fmt == "png":
                picture_png = image
        if args.report and picture_png is None:
            try:
                picture_png = picture(dsm, found, fmt="png", interrupted=interrupted)
            except ImportError:  # no matplotlib: a report without the picture
                picture_png = None
    if args.report:
        from ._report import report_html

        page = report_html(dsm, found, source=os.path.basename(args.file), settings=settings,
                           picture_png=picture_png, interrupted=interrupted)
        _writing(args.report, lambda: Path(args.report).write_text(page, encoding="utf-8"))

    if args.json:
        json.dump(data, out, ensure_ascii=False)
        out.write("\n")
    else:
        _summary(args, dsm, found, data, before, out)
    return 130 if interrupted else 0


def _summary(args: argparse.Namespace, dsm: Dsm, found: Any, data: dict[str, Any], before: int, out: TextIO) -> None:
    names = dsm.labels
    if found.optimal:
        status = "proven optimal"
    else:
        status = f"not proven optimal: no order has fewer than {found.lower_bound}"
    big = data["blocks"]
    print(f"{args.file}: {dsm.n} items, {data['marks']} marks ({CONVENTION})", file=out)
    print(f"Feedback marks: {before} in the given order -> {found.feedback_marks} in the best order found "
          f"({status}; {found.seconds:.1f} s, seed {found.seed})", file=out)
    print(f"Blocks of more than one item: {len(big)} ({sum(map(len, big))} items); bands: {data['bands']}", file=out)
    if dsm.n <= LISTED:
        print("Best order:", file=out)
        for position, i in enumerate(found.order, start=1):
            print(f"  {position:>{len(str(dsm.n))}}. {names[i]}", file=out)
        torn = tears(dsm, found.order)
        if torn:
            print("Tears (item needs a later item):", file=out)
            for a, b in torn:
                print(f"  {names[a]}  needs  {names[b]}", file=out)
    else:
        print(f"Best order: {dsm.n} items, not listed here (write it with -o order.txt, or --report)", file=out)
    for path in [*args.output, args.plot, args.report]:
        if path:
            print(f"Wrote {path}", file=out)


def _blocks(args: argparse.Namespace, dsm: Dsm, out: TextIO) -> int:
    found: Blocks = blocks(dsm)
    names = dsm.labels
    big = [(k, block) for k, block in enumerate(found.blocks) if len(block) > 1]
    if args.json:
        data = {
            "convention": CONVENTION,
            "items": dsm.n,
            "blocks": [[names[i] for i in block] for _, block in big],
            "bands": max(found.bands, default=0),
            "band_of": {names[i]: band for block, band in zip(found.blocks, found.bands) for i in block},
            "order": [names[i] for i in found.order],
            "feedback_marks": feedback_count(dsm, found.order),
        }
        json.dump(data, out, ensure_ascii=False)
        out.write("\n")
        return 0
    print(f"{args.file}: {dsm.n} items ({CONVENTION})", file=out)
    print(f"Blocks of more than one item: {len(big)} ({sum(len(b) for _, b in big)} items); "
          f"bands: {max(found.bands, default=0)}; the blocks in this order leave "
          f"{feedback_count(dsm, found.order)} feedback marks, all inside blocks", file=out)
    for number, (k, block) in enumerate(big, start=1):
        print(f"Block {number} (band {found.bands[k]}, {len(block)} items): "
              + ", ".join(names[i] for i in block), file=out)
    by_band: dict[int, list[str]] = {}
    for block, band in zip(found.blocks, found.bands):
        by_band.setdefault(band, []).extend(names[i] for i in block)
    for band in sorted(by_band):
        members = by_band[band]
        listed = ", ".join(members) if dsm.n <= LISTED else f"{len(members)} item{'' if len(members) == 1 else 's'}"
        print(f"Band {band}: {listed}", file=out)
    return 0


def main(argv: list[str] | None = None) -> int:
    """Run the command; returns the exit status."""
    status = _main(argv)
    _leave_search_threads(status)
    return status


def _leave_search_threads(status: int) -> None:
    """After Ctrl-C a proof's solver may still be running on a helper thread
    until its time limit. Give helper threads a moment to end, then leave
    without waiting for them."""
    helpers = [t for t in threading.enumerate() if t.name == "ovila-dsm" and t.is_alive()]
    deadline = time.monotonic() + 1.0
    for thread in helpers:
        thread.join(max(deadline - time.monotonic(), 0.0))
    if any(thread.is_alive() for thread in helpers):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)


def _main(argv: list[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        _check_args(args, parser)
        try:
            dsm = read_dsm(args.file, transpose=args.transpose, sheet=args.sheet)
        except OSError as error:
            raise DsmFileError(args.file, error.strerror or str(error)) from None
        if args.command == "blocks":
            return _blocks(args, dsm, sys.stdout)
        return _sequence(args, dsm, sys.stdout)
    except DsmFileError as error:
        _stop_progress_line()
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        _stop_progress_line()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except Exception as error:  # an internal failure: one line, the details on demand
        if os.environ.get("OVILA_DSM_DEBUG"):
            raise
        print(f"{PROG}: internal error: {type(error).__name__}: {error} "
              "(set OVILA_DSM_DEBUG=1 for the details)", file=sys.stderr)
        return 1


def _stop_progress_line() -> None:
    if sys.stderr.isatty():
        sys.stderr.write("\r\x1b[K")


if __name__ == "__main__":
    sys.exit(main())
