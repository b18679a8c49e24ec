"""The text tables: a run's aggregates, and two runs side by side."""

import statistics
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from .figures import run_title
from .runfile import Aggregate, Operation, Percentile, Run, Test
from . import verdicts

_BINARY_PREFIXES = ["", "Ki", "Mi", "Gi", "Ti", "Pi", "Ei", "Zi", "Yi"]


def number(value: Optional[float]) -> str:
    """Four significant digits; large numbers (steps per second) in whole units."""
    if value is None:
        return "-"
    return f"{value:.0f}" if abs(value) >= 1e4 else f"{value:.4g}"


def bandwidth(value: Optional[float]) -> str:
    """Bytes per second with a binary prefix, as kvbench's console writes them."""
    if value is None:
        return "-"
    prefix = 0
    while value >= 1024.0 and prefix + 1 < len(_BINARY_PREFIXES):
        value /= 1024.0
        prefix += 1
    return f"{value:.1f} {_BINARY_PREFIXES[prefix]}B/s"


def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
    if a is None or b is None or a == 0.0:
        return None
    return b / a


def percentile(percentiles: Sequence[Percentile], label: str) -> Optional[float]:
    for p in percentiles:
        if p.label == label:
            return p.ms
    return None


def align(rows: List[List[str]], left: int = 0) -> List[str]:
    """Columns padded to their widest cell; the first `left` columns flush left."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.ljust(w) if i < left else cell.rjust(w)
                 for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


SUMMARY_PERCENTILES = ("p50", "p90", "p99", "p99.9", "p99.99")


def _operation_row(op: Operation, a: Aggregate) -> List[str]:
    """A row under a mix test for one of its operation types: its steps, their
    rate over the test's span, its percentiles, and the share of hits among
    its look-ups (all but a put's)."""
    label = f"  {op.name}"
    looked_up = (op.hits or 0) + (op.misses or 0)
    if op.hits is not None and looked_up:
        label += f" ({100.0 * op.hits / looked_up:.1f} % hits)"
    per_s = op.steps / (a.span_ms / 1000.0) if a.span_ms else None
    return (["", label, "", "", str(op.steps), number(per_s), "", "", ""] +
            [number(percentile(op.percentiles, p)) for p in SUMMARY_PERCENTILES] +
            [number(percentile(op.percentiles, "p100"))])


def summary(run: Run) -> str:
    head = ["#", "test", "threads", "failed", "steps", "steps/s", "bandwidth", "mean ms",
            "sd ms"] + [f"{p} ms" for p in SUMMARY_PERCENTILES] + ["max ms"]
    rows = [head]
    for test in run.tests:
        a = run.aggregates.get(test.index)
        if a is None:
            rows.append([str(test.index), test.label, "-", "-", "-", "no result"] +
                        [""] * (len(head) - 6))
            continue
        rows.append([str(test.index), test.label, str(a.threads), str(a.failed_threads),
                     str(a.iterations), number(a.throughput.steps_per_s),
                     bandwidth(a.throughput.bytes_per_s), number(a.mean_ms),
                     number(a.standard_deviation_ms)] +
                    [number(percentile(a.percentiles, p)) for p in SUMMARY_PERCENTILES] +
                    [number(a.max_ms)])
        rows += [_operation_row(op, a) for op in a.operations]
    lines = [f"{run.path}: kvbench {run.version}, {run_title(run)}"] + align(rows, left=2)
    return "\n".join(lines) + "\n"


def match_tests(a: Run, b: Run) -> Tuple[List[Tuple[Test, Test]], List[Test], List[Test]]:
    """Tests of A and B with the same kind, size and count, paired in suite
    order (the n-th such test of A with the n-th of B), and those left over."""
    waiting: Dict[Tuple[str, int, int], List[Test]] = {}
    for t in b.tests:
        waiting.setdefault((t.kind, t.size, t.count), []).append(t)
    pairs, only_a = [], []
    for t in a.tests:
        queue = waiting.get((t.kind, t.size, t.count))
        if queue:
            pairs.append((t, queue.pop(0)))
        else:
            only_a.append(t)
    paired_b = {id(tb) for _, tb in pairs}
    only_b = [t for t in b.tests if id(t) not in paired_b]
    return pairs, only_a, only_b


@dataclass
class Line:
    figure: str
    a: Optional[float]
    b: Optional[float]
    ratio: Optional[float]
    note: str = ""


COMPARED_PERCENTILES = ("p50", "p99", "p99.9")


def _figures(x: Optional[Aggregate]) -> List[Optional[float]]:
    if x is None:
        return [None] * (2 + len(COMPARED_PERCENTILES))
    return ([x.mean_ms] + [percentile(x.percentiles, p) for p in COMPARED_PERCENTILES] +
            [x.throughput.steps_per_s])


def _median_figures(side: Sequence[Optional[Aggregate]]) -> List[Optional[float]]:
    """Each figure's median over a side's runs (its value for a single run)."""
    columns = zip(*(_figures(x) for x in side))
    return [statistics.median(known) if known else None
            for known in ([v for v in column if v is not None] for column in columns)]


def compare_lines(a, b) -> List[Line]:
    """The compared figures of one test: mean, p50, p99, p99.9 and throughput,
    each with the ratio B/A. a and b are aggregates, or lists of them (one
    per run of the side), whose figures' medians are compared."""
    side_a = a if isinstance(a, list) else [a]
    side_b = b if isinstance(b, list) else [b]
    names = ["mean ms"] + [f"{p} ms" for p in COMPARED_PERCENTILES] + ["steps/s"]
    return [Line(n, va, vb, ratio(va, vb))
            for n, va, vb in zip(names, _median_figures(side_a), _median_figures(side_b))]


def _failures(name: str, x: Optional[Aggregate]) -> str:
    if x is None:
        return f"{name}: no result"
    if x.failed_threads:
        return f"{name}: {x.failed_threads} of {x.threads} threads failed"
    return ""


def _side_failures(name: str, runs: List[Run], side: List[Optional[Aggregate]]) -> str:
    if len(runs) == 1:
        return _failures(name, side[0])
    return "; ".join(_failures(f"{name} {run.path}", x) for run, x in zip(runs, side)
                     if _failures("", x))


def _same_test(first: Run, other: Run) -> Dict[int, Test]:
    """The test of `other` that each test of `first` matches, by index of `first`'s."""
    if other is first:
        return {t.index: t for t in first.tests}
    return {ta.index: tb for ta, tb in match_tests(first, other)[0]}


def _side(runs: List[Run], test: Test) -> List[Optional[Aggregate]]:
    """The test's aggregate in each run of a side; `test` is of the side's first run."""
    found = []
    for run in runs:
        twin = _same_test(runs[0], run).get(test.index)
        found.append(run.aggregates.get(twin.index) if twin is not None else None)
    return found


def _settings(run: Run) -> List[Tuple[str, object]]:
    return [("protocol", run.protocol), ("threads", run.threads),
            ("connections", run.connections), ("rate", run.rate),
            ("suite", (run.test_file, tuple(t.description for t in run.tests)))]


def mismatches(runs_a: List[Run], runs_b: List[Run]) -> List[str]:
    """Warnings for settings in which a run differs from A's first run."""
    first = runs_a[0]
    warnings = []
    for name, value in _settings(first):
        for run in runs_a[1:] + runs_b:
            other = dict(_settings(run))[name]
            if other != value:
                if name == "suite":
                    shown = (f"{first.test_file or 'tests'} and "
                             f"{run.test_file or 'tests'} (or their descriptions)")
                else:
                    shown = f"{value} and {other}"
                warnings.append(f"warning: {first.path} and {run.path} differ in {name}: "
                                f"{shown}")
    return warnings


def compare(a, b) -> str:
    """Two sides, each a run or a list of runs, test by test."""
    return compare_sides(a if isinstance(a, list) else [a],
                         b if isinstance(b, list) else [b])[0]


def compare_sides(runs_a: List[Run], runs_b: List[Run]) -> Tuple[str, bool]:
    """The comparison's text, and whether the sides share a test."""
    out = [f"A: {r.path}: kvbench {r.version}, {run_title(r)}" for r in runs_a]
    out += [f"B: {r.path}: kvbench {r.version}, {run_title(r)}" for r in runs_b]
    several = len(runs_a) > 1 or len(runs_b) > 1
    out.append("figures: " + ("each the median over the side's runs; " if several else "") +
               "verdicts: " + verdicts.METHOD)
    pairs, only_a, only_b = match_tests(runs_a[0], runs_b[0])
    if not pairs:
        out += ["", "no test is in both reports (tests match by kind, size and count)"]
    judged = []
    for ta, tb in pairs:
        ga, gb = _side(runs_a, ta), _side(runs_b, tb)
        out += ["", f"{ta.label} (A test {ta.index}, B test {tb.index}): {ta.description}"]
        failures = "; ".join(f for f in (_side_failures("A", runs_a, ga),
                                         _side_failures("B", runs_b, gb)) if f)
        if failures:
            out.append(f"  {failures}")
        rows = [["", "A", "B", "B/A"]]
        for line in compare_lines(ga, gb):
            rows.append([line.figure, number(line.a), number(line.b),
                         "-" if line.ratio is None else f"{line.ratio:.3f}"])
        out += ["  " + line for line in align(rows, left=1)]
        judged.append(f"test {ta.index} ({ta.label}): {verdicts.judge(ga, gb).text}")
    if only_a or only_b:
        out.append("")
    out += [f"only in A: test {t.index}, {t.label}" for t in only_a]
    out += [f"only in B: test {t.index}, {t.label}" for t in only_b]
    if judged:
        out += [""] + judged
    return "\n".join(out) + "\n", bool(pairs)
