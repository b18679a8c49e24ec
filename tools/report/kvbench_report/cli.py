"""The kvbench-report command line.

Exit status: 0 on success, 1 when a comparison's sides share no test, 2 on
any error (a report that cannot be read, an image directory that cannot be
written, a bad command line); every error is one line on the standard error
stream, as is every warning (sides of a comparison run with other settings).
"""

import argparse
import os
import sys
from typing import List, Optional, Tuple

from . import figures, hdrlog, runfile, tables
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

    timeline = commands.add_parser("timeline", help="draw each test's steps per second and "
                                                    "latency over the run's time")
    timeline.add_argument("run", metavar="RUN.json")
    timeline.add_argument("-o", "--output", metavar="DIR", required=True,
                          help="directory for the image (created when missing)")
    timeline.add_argument("--svg", action="store_true", help="an SVG image too")

    compare = commands.add_parser(
        "compare", help="compare two runs, or repeated runs of two sides, test by test",
        usage=f"{PROG} compare [-h] [--plot DIR] [--svg] A.json B.json\n"
              f"       {PROG} compare [-h] [--plot DIR] [--svg] A.json... -- B.json...")
    compare.add_argument("runs", metavar="RUN.json", nargs="+",
                         help="A.json B.json, or the runs of side A, --, the runs of side B")
    compare.add_argument("--plot", metavar="DIR",
                         help="also draw both spectra of each test into DIR")
    compare.add_argument("--svg", action="store_true", help="with --plot, SVG images too")

    summary = commands.add_parser("summary", help="print a run's aggregates, one line per test")
    summary.add_argument("run", metavar="RUN.json")

    export = commands.add_parser("export-hdr", help="write a test's histogram as an "
                                                    "HdrHistogram interval log")
    export.add_argument("run", metavar="RUN.json")
    export.add_argument("--test", metavar="N", type=int, required=True,
                        help="the test's index in the report")
    which = export.add_mutually_exclusive_group()
    which.add_argument("--thread", metavar="T", type=int,
                       help="the result of thread T (default: the aggregate)")
    which.add_argument("--aggregate", action="store_true",
                       help="the aggregate over all threads (the default)")
    export.add_argument("-o", "--output", metavar="FILE", required=True)
    return parser


def _split_sides(argv: List[str]) -> Tuple[List[str], Optional[List[str]]]:
    """compare's arguments before and after a lone "--" (side A's runs and
    options, then side B's runs), or all of them and None."""
    if argv and argv[0] == "compare" and "--" in argv:
        at = argv.index("--")
        return argv[:at], argv[at + 1:]
    return argv, None


def _parse(argv: Optional[List[str]]):
    argv = list(sys.argv[1:] if argv is None else argv)
    head, tail = _split_sides(argv)
    args = _parser().parse_args(head)
    if args.command != "compare":
        return args
    if tail is None:
        if len(args.runs) != 2:
            raise ReportError("compare takes A.json B.json, or the runs of A, --, the runs "
                              f"of B (see {PROG} --help)")
        args.a, args.b = [args.runs[0]], [args.runs[1]]
        return args
    rest = _parser().parse_args(["compare"] + tail)
    args.a, args.b = args.runs, rest.runs
    args.plot = rest.plot if rest.plot is not None else args.plot
    args.svg = args.svg or rest.svg
    return args


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


def _run(args) -> int:
    if args.command == "summary":
        sys.stdout.write(tables.summary(runfile.load(args.run)))
    elif args.command == "compare":
        a = [runfile.load(path) for path in args.a]
        b = [runfile.load(path) for path in args.b]
        for warning in tables.mismatches(a, b):
            print(f"{PROG}: {warning}", file=sys.stderr)
        text, shared = tables.compare_sides(a, b)
        sys.stdout.write(text)
        if args.plot is not None:
            # The images show the first run of each side.
            pairs, _, _ = tables.match_tests(a[0], b[0])
            _written(_drawing().plot_comparison(a[0], b[0], pairs,
                                                _image_directory(args.plot), args.svg))
        return 0 if shared else 1
    elif args.command == "export-hdr":
        hdrlog.export(runfile.load(args.run), args.test, args.thread, args.output)
        print(f"wrote {args.output}")
    elif args.command == "plot":
        run = runfile.load(args.run)
        drawing = _drawing()
        _written(drawing.plot_run(run, _image_directory(args.output), args.svg))
    elif args.command == "timeline":
        run = runfile.load(args.run)
        figures.timeline(run)    # a report without intervals fails before anything is drawn
        drawing = _drawing()
        _written(drawing.timeline_image(run, _image_directory(args.output), args.svg))
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    try:
        status = _run(_parse(argv))
        sys.stdout.flush()
        return status
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
