"""The `ovila-dsm` command: order a design structure matrix kept in a file.

    ovila-dsm sequence FILE [-o ORDERED.csv|.xlsx|.txt|.json] [--plot PICTURE]
                            [--report REPORT.html] [--json] [--seed N]
                            [--time-limit S] [--method auto|heuristic|sga]
                            [--objective marks|weight|distance] [--no-tie-break]
    ovila-dsm blocks FILE [--json]
    (either with [--transpose] [--edges needs|feeds] [--sheet NAME]
     [--skip-rows N] [--skip-columns N])
    ovila-dsm --version

A mistake in what is asked (a file that cannot be read, an output that cannot
be written, a bad option) ends with exit status 2 and one line on standard
error; an internal failure with exit status 1; Ctrl-C, at any moment, with
130. Nothing is printed raw that came from a file: names and paths are
printed with their control characters escaped.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

from ._dsm import CONVENTION, install_hint, printable

if TYPE_CHECKING:
    from ._dsm import Dsm

# The package's modules that need numpy and scipy are imported once the
# command has taken charge of Ctrl-C (see `main`).

PROG = "ovila-dsm"
OUTPUTS = {".csv": "table", ".tsv": "table", ".xlsx": "workbook", ".txt": "order", ".json": "json"}
REPORTS = (".html", ".htm")
# Orders longer than this are not listed on the terminal (write them with -o).
LISTED = 200


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {printable(message)} (see {self.prog} --help)\n")


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


BANDS = ("bands: levels of items that can proceed in parallel once the feedback marks are set aside (an item's "
         "band is one more than the latest band among the earlier items it needs)")


class _Version(argparse.Action):
    """--version: the installed version, looked up only when asked."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            number = version("ovila_genetic_py")
        except PackageNotFoundError:
            number = "(not installed as a package)"
        sys.stdout.write(f"{PROG} {number} (ovila_genetic_py)\n")
        parser.exit(0)


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Order the items of a design structure matrix (DSM) so that few marks are feedback "
        f"marks. Convention: {CONVENTION}.",
    )
    parser.add_argument("--version", action=_Version, help="print the version and end")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def source(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "file", metavar="FILE",
            help="the matrix: a labelled table (names in the first row and column), an unlabelled square "
            "table, or an edge list (two names a line and an optional weight, with the header item,needs, "
            "from,to or source,target, or none); CSV, TSV or semicolon text (gzip accepted) or an .xlsx "
            "workbook. A title row above the matrix, notes below it and a column numbering the items "
            "are recognised and left out",
        )
        sub.add_argument("--transpose", action="store_true",
                         help="the file is kept IC/FBD, column needs row: column j needs row i, feedback below the "
                         "diagonal (default: IR/FAD, row needs column: row i needs column j, feedback above the "
                         "diagonal); results are shown and written IR/FAD either way")
        sub.add_argument("--edges", choices=("needs", "feeds"), default=None,
                         help="how a line of an edge list reads: needs: the first item needs the second; feeds: the "
                         "first item feeds the second (the second needs the first) (default: needs; a header "
                         "item,needs says it itself)")
        sub.add_argument("--sheet", metavar="NAME", help="sheet of an .xlsx workbook (default: the first)")
        sub.add_argument("--skip-rows", type=_count, default=0, metavar="N",
                         help="leave out the first N lines (sheet rows), for text above the matrix that is not "
                         "recognised by itself (default: 0)")
        sub.add_argument("--skip-columns", type=_count, default=0, metavar="N",
                         help="leave out the first N columns, for columns left of the names that are not "
                         "recognised by themselves (default: 0)")

    run = commands.add_parser(
        "sequence", help="search the best order and write it",
        description="Search the order of the items with the fewest feedback marks, print it and write the "
        f"requested files. Convention: {CONVENTION}. The summary lists {BANDS}.",
    )
    source(run)
    run.add_argument("-o", "--output", metavar="PATH", action="append", default=[],
                     help="write the reordered matrix (.csv, .tsv, .xlsx colour-coded), the order (.txt, one "
                     "name per line) or the result (.json); may be given several times (default: none)")
    run.add_argument("--plot", metavar="PICTURE",
                     help="draw the matrix before and after, blocks outlined (.png, .svg or .pdf; needs "
                     "matplotlib) (default: none)")
    run.add_argument("--report", metavar="REPORT.html",
                     help="write a self-contained HTML report: summary, a zoomable picture of the matrix, blocks, "
                     "bands, tears, order, settings (default: none)")
    run.add_argument("--json", action="store_true",
                     help="print only the JSON result on standard output (default: a readable summary)")
    run.add_argument("--seed", type=int, default=None,
                     help="seed of the search, for a reproducible result (default: a fresh one, printed)")
    run.add_argument("--time-limit", type=float, default=10.0, metavar="S",
                     help="seconds the search may take (default: 10)")
    run.add_argument("--objective", choices=("marks", "weight", "distance"), default="marks",
                     help="what the best order has least of: marks, the number of feedback marks; weight, their "
                     "total value (X or TRUE counts 1); distance, their total distance from the diagonal "
                     "(default: marks)")
    run.add_argument("--no-tie-break", dest="tie_break", action="store_false",
                     help="take the first best order found instead of, among the orders equal in the objective, "
                     "the one whose feedback marks lie closest to the diagonal, then the one nearest the file's "
                     "order (a little faster; default: the tie-break)")
    run.add_argument("--method", choices=("auto", "heuristic", "sga"), default="auto",
                     help="auto: search and proof of optimality; heuristic: search only; sga: the genetic "
                     "algorithm (default: auto)")

    show = commands.add_parser(
        "blocks", help="the blocks and bands only (no search)",
        description="List the strongly connected blocks (items that need each other) in an order that leaves "
        "no feedback mark between blocks (the order in which sequence lists them; the items of a block in the "
        f"file's order, no search within blocks), and the {BANDS}, for that order. Convention: {CONVENTION}.",
    )
    source(show)
    show.add_argument("--json", action="store_true",
                      help="print the blocks and bands as JSON (default: a readable list)")
    return parser


def _check_output(path: str, allowed: tuple[str, ...], what: str) -> None:
    from ._dsm import DsmFileError

    suffix = Path(path).suffix.lower()
    if suffix not in allowed:
        raise DsmFileError(path, f"unknown {what} format {suffix or '(no extension)'!r}: use {', '.join(allowed)}")
    folder = Path(path).parent
    if not folder.is_dir():
        raise DsmFileError(path, f"the folder {str(folder)!r} does not exist")
    if Path(path).is_dir():
        raise DsmFileError(path, "is a folder")


def _same_file(path: str, other: str) -> bool:
    """Whether the two paths name one file (a hard or symbolic link to it included)."""
    try:
        return os.path.samefile(path, other)
    except OSError:
        return Path(path).resolve() == Path(other).resolve()


def _check_args(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    from ._dsm import DsmFileError

    if args.command != "sequence":
        return
    from ._checks import check_seed, check_time_limit

    try:
        check_time_limit(args.time_limit, "--time-limit")
        if args.seed is not None:
            check_seed(args.seed, "--seed")
    except ValueError as error:
        parser.error(str(error))
    for path in args.output:
        _check_output(path, tuple(OUTPUTS), "output")
    for path in [*args.output, args.plot, args.report]:
        if path and _same_file(path, args.file):
            raise DsmFileError(path, "is the input file: choose another name for the output")
    if args.report:
        _check_output(args.report, REPORTS, "report")
    if args.plot:
        from ._plot import FORMATS

        _check_output(args.plot, tuple(FORMATS), "picture")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise DsmFileError(args.plot, f"drawing needs matplotlib: {install_hint()}") from None


def _writing(path: str, write: Any, what: str = "") -> None:
    """Run `write`, turning a failure of the file system into a DsmFileError;
    on a terminal, a line says what is being written meanwhile."""
    from ._dsm import DsmFileError

    shown = _status(f"writing {printable(path)}" + (f" ({what})" if what else "") + " …")
    try:
        write()
    except OSError as error:
        raise DsmFileError(path, f"cannot write: {error.strerror or error}") from None
    finally:
        if shown:
            _stop_progress_line()


def _status(text: str) -> bool:
    """A passing line on standard error when it is a terminal (nothing in a log)."""
    try:
        if sys.stderr is None or not sys.stderr.isatty():
            return False
        sys.stderr.write(f"\r{PROG}: {text[:150]}\x1b[K")
        sys.stderr.flush()
        return True
    except (OSError, ValueError):
        return False


def _terminated(signum: int, frame: object) -> None:
    """SIGTERM while outputs are written: the temporary files go, then the
    process ends by the signal as it would have."""
    from ._write import pending

    _remove(pending)
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def _remove(paths: set[str]) -> None:
    for path in list(paths):
        try:
            os.unlink(path)
        except OSError:
            pass


def _settings(args: argparse.Namespace, dsm: Dsm) -> dict[str, Any]:
    """How the file was read and searched, as the JSON result and the report
    record it (the input's file name only, not where it lies)."""
    return {"file": os.path.basename(args.file), "read_as": dsm.reading.describe() if dsm.reading else None,
            "transpose": args.transpose, "edges": args.edges, "sheet": args.sheet, "skip_rows": args.skip_rows,
            "skip_columns": args.skip_columns}


def _sequence(args: argparse.Namespace, dsm: Dsm, out: TextIO) -> int:
    """Refuse what cannot be done, search, write every output, say what was found."""
    from ._bands import feedback_count
    from ._write import json_text, result

    _refuse_before_search(args, dsm)
    found, interrupted = _search(args, dsm)
    before = feedback_count(dsm, list(range(dsm.n)))
    settings = {**_settings(args, dsm), "time_limit": args.time_limit, "method": args.method,
                "objective": args.objective, "tie_break": args.tie_break, "seed": found.seed}
    data = result(dsm, found, before=before, settings=settings, interrupted=interrupted)
    _write_all(args, dsm, found, data, interrupted, settings)
    if args.json:
        out.write(json_text(data) + "\n")
    else:
        _summary(args, dsm, found, data, before, out)
    return 130 if interrupted else 0


def _refuse_before_search(args: argparse.Namespace, dsm: Dsm) -> None:
    """Outputs that cannot be written and values that cannot be weights end
    the command before the search, not after it."""
    from ._dsm import MAX_TABLE_ITEMS, DsmFileError
    from ._write import MAX_WORKBOOK_ITEMS, check_names

    for path in args.output:
        kind = OUTPUTS[Path(path).suffix.lower()]
        if kind == "workbook" and dsm.n > MAX_WORKBOOK_ITEMS or kind == "table" and dsm.n > MAX_TABLE_ITEMS:
            raise DsmFileError(path, f"{dsm.n} items are too many for a {kind}: write the order (.txt) or JSON")
        check_names(path, dsm.labels, kind)
    if args.objective == "weight":
        from ._graph import coerce
        from ._objective import check_weights

        try:
            check_weights(coerce(dsm, None))
        except ValueError as error:
            raise DsmFileError(args.file, str(error)) from None


def _search(args: argparse.Namespace, dsm: Dsm) -> tuple[Any, bool]:
    """The best order found, and whether Ctrl-C ended the search (the best
    order so far then), with a live line on the terminal while it runs."""
    from ._sequence import Interrupted, sequence

    if args.plot:
        from ._plot import load

        # matplotlib takes about half a second to load: it loads while the search runs.
        threading.Thread(target=_quietly, args=(load,), name="ovila-dsm-matplotlib", daemon=True).start()
    progress = _Progress(sys.stderr)
    interrupted = False
    try:
        found = sequence(dsm, seed=args.seed, time_limit=args.time_limit, method=args.method, progress=progress,
                         objective=args.objective, tie_break=args.tie_break)
    except Interrupted as stop:
        _interrupts.handled = True
        found = stop.best
        interrupted = True
    finally:
        progress.clear()
    if interrupted:
        print(f"{PROG}: interrupted: writing the best order found so far "
              f"({found.feedback_marks} feedback marks, {'proven optimal' if found.optimal else 'not proven optimal'})",
              file=sys.stderr)
    return found, interrupted


def _write_all(
    args: argparse.Namespace, dsm: Dsm, found: Any, data: dict[str, Any], interrupted: bool, settings: dict[str, Any]
) -> None:
    """Every output, with SIGTERM on the way removing the files half written."""
    in_main_thread = threading.current_thread() is threading.main_thread()
    if in_main_thread:
        previous = signal.signal(signal.SIGTERM, _terminated)
    try:
        _write_outputs(args, dsm, found, data, interrupted, settings)
    finally:
        if in_main_thread:
            signal.signal(signal.SIGTERM, previous)


def _quietly(call: Any) -> None:
    try:
        call()
    except Exception:  # told when the picture is drawn
        pass


def _write_outputs(
    args: argparse.Namespace, dsm: Dsm, found: Any, data: dict[str, Any], interrupted: bool, settings: dict[str, Any]
) -> None:
    """Every file asked for, each written whole or not at all."""
    from ._write import write_csv, write_json, write_order, write_xlsx

    size = f"{dsm.n:,} items"
    for path in args.output:
        kind = OUTPUTS[Path(path).suffix.lower()]
        if kind == "table":
            delimiter = "\t" if path.lower().endswith(".tsv") else ","
            _writing(path, lambda: write_csv(path, dsm, found.order, delimiter=delimiter), f"the matrix, {size}")
        elif kind == "workbook":
            _writing(path, lambda: write_xlsx(path, dsm, found), f"the workbook, {size}")
        elif kind == "order":
            _writing(path, lambda: write_order(path, dsm, found.order), f"the order, {size}")
        else:
            _writing(path, lambda: write_json(path, data), "the result")
    if args.plot:
        from ._plot import draw

        _writing(args.plot, lambda: draw(dsm, found, args.plot, interrupted=interrupted), f"the picture, {size}")
    if args.report:
        from ._report import write_report

        _writing(args.report, lambda: write_report(args.report, dsm, found, source=os.path.basename(args.file),
                                                   settings=settings, interrupted=interrupted), f"the report, {size}")


def _read_as(args: argparse.Namespace, dsm: Dsm, out: TextIO) -> None:
    """The lines that say how the file was read."""
    reading = dsm.reading
    if reading is not None:
        print(f"The file: {printable(reading.describe())}", file=out)
        for note in reading.notes:
            print(f"  {printable(note)}", file=out)
    print(f"Shown as: {CONVENTION}", file=out)


def _summary(args: argparse.Namespace, dsm: Dsm, found: Any, data: dict[str, Any], before: int, out: TextIO) -> None:
    from ._bands import tear_distances, tear_values, tears, weighted
    from ._objective import OBJECTIVE_WORDS, tie_break_words

    names = [printable(name) for name in dsm.labels]
    big = data["blocks"]
    valued = weighted(dsm) or found.objective == "weight"
    print(f"{printable(args.file)}: {dsm.n} items, {data['marks']} marks", file=out)
    _read_as(args, dsm, out)
    ties = f"; {tie_break_words(found.objective)}" if found.tie_break else ""
    print(f"Objective: {OBJECTIVE_WORDS[found.objective]}{ties}", file=out)
    if found.optimal:
        status = "proven optimal" + (", the tie-break too" if found.tie_break_optimal else "")
    else:
        status = f"not proven optimal: no order has less than {_value(found.lower_bound)}"
    status = f" ({status}; {found.seconds:.1f} s, seed {found.seed})"
    # The objective's line says what was proven.
    lines = {
        "marks": f"Feedback marks: {before} in the given order -> {found.feedback_marks} in the best order found",
        "weight": f"Total value of the feedback marks: {_value(data['feedback_weight_before'])} in the given order "
                  f"-> {_value(data['feedback_weight'])} in the best order found",
        "distance": f"Total distance of the feedback marks from the diagonal: {data['feedback_distance_before']} "
                    f"in the given order -> {data['feedback_distance']} in the best order found",
    }
    if not valued:
        del lines["weight"]
    for objective, line in lines.items():
        print(line + (status if objective == found.objective else ""), file=out)
    print(f"Blocks of more than one item: {len(big)} ({sum(map(len, big))} items); bands: {data['bands']} "
          "(levels that can proceed in parallel once the feedback marks are set aside)", file=out)
    if dsm.n <= LISTED:
        print("Best order:", file=out)
        for position, i in enumerate(found.order, start=1):
            print(f"  {position:>{len(str(dsm.n))}}. {names[i]}", file=out)
        torn = tears(dsm, found.order)
        if torn:
            print(f"Tears (item needs a later item{', value' if valued else ''}, places above the diagonal): "
                  f"{len(torn)}", file=out)
            values = tear_values(dsm, found.order)
            distances = tear_distances(dsm, found.order)
            for (a, b), value, distance in zip(torn, values, distances):
                extra = f"{_value(value)}, " if valued else ""
                print(f"  {names[a]}  needs  {names[b]}  ({extra}{distance})", file=out)
    else:
        print(f"Best order: {dsm.n} items, not listed here (write it with -o order.txt, or --report)", file=out)
    for path in [*args.output, args.plot, args.report]:
        if path:
            print(f"Wrote {printable(path)}", file=out)


def _value(value: float) -> str:
    return str(int(value)) if float(value).is_integer() and abs(value) < 2**53 else f"{value:.6g}"


def _blocks(args: argparse.Namespace, dsm: Dsm, out: TextIO) -> int:
    from ._bands import Blocks, blocks, feedback_count, feedback_weight
    from ._write import json_text

    found: Blocks = blocks(dsm)
    band = found.item_bands
    order = found.order
    big = [block for block in found.blocks if len(block) > 1]
    if args.json:
        labels = dsm.labels
        data = {
            "convention": CONVENTION,
            "read_as": dsm.reading.describe() if dsm.reading else None,
            "file": os.path.basename(args.file),
            "items": dsm.n,
            "blocks": [[labels[i] for i in block] for block in big],
            "bands": found.band_count,
            "band_of": {labels[i]: band[i] for i in order},
            "order": [labels[i] for i in order],
            "feedback_marks": feedback_count(dsm, order),
            "feedback_weight": feedback_weight(dsm, order),
        }
        out.write(json_text(data) + "\n")
        return 0
    names = [printable(name) for name in dsm.labels]
    print(f"{printable(args.file)}: {dsm.n} items", file=out)
    _read_as(args, dsm, out)
    print(f"Blocks of more than one item: {len(big)} ({sum(len(b) for b in big)} items), listed in the order "
          f"sequence lists them, each block's items in the file's order; this order leaves "
          f"{feedback_count(dsm, order)} feedback marks, all inside blocks", file=out)
    print(f"Bands of this order: {found.band_count} (levels that can proceed in parallel once the feedback marks "
          "are set aside)", file=out)
    for number, block in enumerate(big, start=1):
        low, high = min(band[i] for i in block), max(band[i] for i in block)
        span = f"band {low}" if low == high else f"bands {low} to {high}"
        print(f"Block {number} ({len(block)} items, {span}): " + ", ".join(names[i] for i in block), file=out)
    by_band: dict[int, list[str]] = {}
    for i in order:
        by_band.setdefault(band[i], []).append(names[i])
    for level in sorted(by_band):
        members = by_band[level]
        listed = ", ".join(members) if dsm.n <= LISTED else f"{len(members)} item{'' if len(members) == 1 else 's'}"
        print(f"Band {level}: {listed}", file=out)
    return 0


class _Interrupts:
    """The command's SIGINT handler. The first Ctrl-C raises KeyboardInterrupt
    (the search stops and the best order found is written); any later one,
    or one once the command is leaving, ends the process at once with 130,
    its temporary files removed: no second exception can escape half-way
    through the handling of the first.

    An exception raised by a signal handler is lost when the handler runs
    inside a callback (a finalizer, a weak reference's callback while modules
    load): `check` raises it again where the command can act on it."""

    def __init__(self) -> None:
        self.raised = False
        self.handled = False
        self.leaving = False

    def __call__(self, signum: int, frame: object) -> None:
        if not self.raised and not self.leaving:
            self.raised = True
            raise KeyboardInterrupt
        _exit_now(130, "interrupted")

    def check(self) -> None:
        if self.raised and not self.handled:
            self.handled = True
            raise KeyboardInterrupt


_interrupts = _Interrupts()  # the handler of the running command (a fresh one per `main`)


def _exit_now(status: int, message: str) -> NoReturn:
    from ._write import pending

    _remove(pending)
    try:
        os.write(2, f"\r{PROG}: {message}\n".encode())
    except OSError:
        pass
    os._exit(status)


def main(argv: list[str] | None = None) -> int:
    """Run the command; returns the exit status.

    Ctrl-C is taken in charge first of all (the modules that take time to
    load are loaded after). Called with `argv`, the caller's handler is put
    back at the end."""
    global _interrupts
    interrupts = _interrupts = _Interrupts()
    handled = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, interrupts) if handled else None
    try:
        try:
            status = _main(argv)
            interrupts.check()
            _leave_search_threads(status)
            _flush(sys.stdout)
        except KeyboardInterrupt:
            interrupts.handled = True
            _stop_progress_line()
            _say("interrupted")
            status = 130
        return status
    finally:
        interrupts.leaving = True
        if handled and argv is not None and previous is not None:
            signal.signal(signal.SIGINT, previous)
        elif handled and argv is None:
            # The status is decided and everything written: a Ctrl-C while
            # the interpreter ends changes nothing (a handler of ours would
            # be reset to the default, which kills the process).
            signal.signal(signal.SIGINT, signal.SIG_IGN)


def _leave_search_threads(status: int) -> None:
    """After Ctrl-C a proof's solver may still be running on a helper thread
    until its time limit. Give helper threads a moment to end, then leave
    without waiting for them."""
    helpers = [t for t in threading.enumerate() if t.name == "ovila-dsm" and t.is_alive()]
    deadline = time.monotonic() + 1.0
    for thread in helpers:
        thread.join(max(deadline - time.monotonic(), 0.0))
    if any(thread.is_alive() for thread in helpers):
        _flush(sys.stdout)
        _flush(sys.stderr)
        os._exit(status)


def _say(message: str) -> None:
    """One line on standard error (nothing if it cannot be written)."""
    try:
        print(f"{PROG}: {printable(message)}", file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


def _flush(stream: TextIO | None) -> None:
    """Flushes an output stream; a reader that went away (`| head`) is no
    failure, and the stream is quietly dropped."""
    if stream is None:
        return
    try:
        stream.flush()
    except BrokenPipeError:
        _drop(stream)


def _drop(stream: TextIO) -> None:
    """Points the stream's descriptor at the null device, so that nothing
    left in it fails again when the interpreter ends."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _standard_streams() -> str | None:
    """Makes the standard streams safe to use: a closed descriptor 0, 1 or 2
    is held by the null device (no file the command opens may take its
    number), a closed standard error writes nowhere, and names that the
    terminal's encoding cannot show are escaped. Returns the problem when
    standard output is closed (the result would be lost)."""
    for descriptor in (0, 1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            try:
                null = os.open(os.devnull, os.O_RDWR)
                if null != descriptor:
                    os.dup2(null, descriptor)
                    os.close(null)
            except OSError:
                pass
    if sys.stderr is None:
        sys.stderr = open(2, "w", encoding="utf-8", errors="backslashreplace", closefd=False)  # noqa: SIM115
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            try:
                reconfigure(errors="backslashreplace")
            except (OSError, ValueError):
                pass
    if sys.stdout is None:
        return "standard output is closed: nowhere to write the result"
    return None


def _main(argv: list[str] | None) -> int:
    problem = _standard_streams()
    if problem is not None:
        _say(problem)
        return 2
    parser = _parser()
    args = parser.parse_args(argv)
    from ._dsm import DsmFileError
    from ._read import read_dsm

    try:
        _check_args(args, parser)
        try:
            dsm = read_dsm(args.file, transpose=args.transpose, sheet=args.sheet, edges=args.edges,
                           skip_rows=args.skip_rows, skip_columns=args.skip_columns)
        except OSError as error:
            raise DsmFileError(args.file, error.strerror or str(error)) from None
        _interrupts.check()
        for warning in dsm.reading.warnings if dsm.reading else ():
            _say(f"{args.file}: check: {warning}")
        if args.command == "blocks":
            return _blocks(args, dsm, sys.stdout)
        return _sequence(args, dsm, sys.stdout)
    except DsmFileError as error:
        _stop_progress_line()
        _say(str(error))
        return 2
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): nothing more to say.
        _drop(sys.stdout)
        return 0
    except Exception as error:  # an internal failure: one line, the details on demand
        if _interrupts.raised and not _interrupts.handled:
            raise KeyboardInterrupt from None  # a failure that Ctrl-C caused (a module left half loaded)
        if os.environ.get("OVILA_DSM_DEBUG"):
            raise
        _stop_progress_line()
        _say(f"internal error: {type(error).__name__}: {error} (set OVILA_DSM_DEBUG=1 for the details)")
        return 1


def _stop_progress_line() -> None:
    try:
        if sys.stderr is not None and sys.stderr.isatty():
            sys.stderr.write("\r\x1b[K")
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
