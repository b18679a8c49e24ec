"""The kvbench-report command line.

Exit status: 0 on success, 2 on any error (a report that cannot be read, an
image directory that cannot be written, a bad command line); every error is
one line on the standard error stream.
"""

import argparse
import os
import sys
from typing import List, Optional

from . import runfile, tables
from .runfile import ReportError

PROG = "kvbench-report"


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other error of the tool; --help shows the usage.
        raise ReportError(f"{message} (see {PROG} --help)")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Plots, summaries and comparisons of kvbench's "
                                            "JSON reports (kvbench --json FILE).")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)
    plot = commands.add_parser("plot", help="draw a run's percentile spectra and throughput")
    plot.add_argument("run", metavar="RUN.json")
    plot.add_argument("-o", "--output", metavar="DIR", required=True,
                      help="directory for the images (created when missing)")
    plot.add_argument("--svg", action="store_true", help="write SVG images beside the PNG ones")

    compare = commands.add_parser("compare", help="compare two runs test by test")
    compare.add_argument("a", metavar="A.json")
    compare.add_argument("b", metavar="B.json")
    compare.add_argument("--plot", metavar="DIR",
                         help="also draw both spectra of each test into DIR")
    compare.add_argument("--svg", action="store_true", help="with --plot, SVG images too")

    summary = commands.add_parser("summary", help="print a run's aggregates, one line per test")
    summary.add_argument("run", metavar="RUN.json")
    return parser


def _image_directory(path: str) -> str:
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        raise ReportError(f"{path}: cannot create the image directory: {e.strerror or e}") from None
    return path


def _drawing():
    try:
        from . import drawing
    except ImportError as e:
        raise ReportError(f"cannot draw: {e} (Debian package python3-matplotlib)") from None
    return drawing


def _written(paths: List[str]):
    for path in paths:
        print(f"wrote {path}")


def _run(args) -> None:
    if args.command == "summary":
        sys.stdout.write(tables.summary(runfile.load(args.run)))
    elif args.command == "compare":
        a, b = runfile.load(args.a), runfile.load(args.b)
        sys.stdout.write(tables.compare(a, b))
        if args.plot is not None:
            pairs, _, _ = tables.match_tests(a, b)
            _written(_drawing().plot_comparison(a, b, pairs, _image_directory(args.plot),
                                                args.svg))
    elif args.command == "plot":
        run = runfile.load(args.run)
        drawing = _drawing()
        _written(drawing.plot_run(run, _image_directory(args.output), args.svg))


def main(argv: Optional[List[str]] = None) -> int:
    try:
        _run(_parser().parse_args(argv))
        sys.stdout.flush()
        return 0
    except ReportError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
    except BrokenPipeError:
        # The reader went away (a pager closed early): nothing more to say.
        sys.stderr.close()
        return 0
    except OSError as e:
        where = e.filename if e.filename else "output"
        print(f"{PROG}: {where}: {e.strerror or e}", file=sys.stderr)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as e:   # a fault of the tool: still one line, never a traceback
        print(f"{PROG}: internal error: {type(e).__name__}: {e}", file=sys.stderr)
    return 2
