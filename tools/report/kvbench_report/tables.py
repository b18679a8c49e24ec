"""The text tables: a run's aggregates, and two runs side by side."""

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from .figures import run_title
from .runfile import Aggregate, Operation, Percentile, Run, Test
from .welch import NAME as WELCH_NAME, Welch, welch

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


def sample_variance(a: Aggregate) -> Optional[float]:
    """kvbench's standard deviation divides by n; Welch's test wants n - 1."""
    if a.standard_deviation_ms is None or a.iterations < 2:
        return None
    return a.standard_deviation_ms ** 2 * a.iterations / (a.iterations - 1)


def mean_test(a: Optional[Aggregate], b: Optional[Aggregate]) -> Welch:
    if a is None or b is None:
        return Welch(None, None, None, "no result")
    return welch(a.mean_ms, sample_variance(a), a.iterations,
                 b.mean_ms, sample_variance(b), b.iterations)


@dataclass
class Line:
    figure: str
    a: Optional[float]
    b: Optional[float]
    ratio: Optional[float]
    note: str = ""


COMPARED_PERCENTILES = ("p50", "p99", "p99.9")


def compare_lines(a: Optional[Aggregate], b: Optional[Aggregate]) -> List[Line]:
    """The compared figures of one test: mean (with Welch's verdict), p50,
    p99, p99.9 and throughput, each with the ratio B/A."""
    def figures(x: Optional[Aggregate]):
        if x is None:
            return [None] * (2 + len(COMPARED_PERCENTILES))
        return ([x.mean_ms] + [percentile(x.percentiles, p) for p in COMPARED_PERCENTILES] +
                [x.throughput.steps_per_s])
    names = ["mean ms"] + [f"{p} ms" for p in COMPARED_PERCENTILES] + ["steps/s"]
    lines = [Line(n, va, vb, ratio(va, vb)) for n, va, vb in zip(names, figures(a), figures(b))]
    lines[0].note = mean_test(a, b).verdict()
    return lines


def _failures(name: str, x: Optional[Aggregate]) -> str:
    if x is None:
        return f"{name}: no result"
    if x.failed_threads:
        return f"{name}: {x.failed_threads} of {x.threads} threads failed"
    return ""


def compare(a: Run, b: Run) -> str:
    out = [f"A: {a.path}: kvbench {a.version}, {run_title(a)}",
           f"B: {b.path}: kvbench {b.version}, {run_title(b)}",
           f"mean: {WELCH_NAME}, on the aggregates' means, standard deviations and step counts"]
    pairs, only_a, only_b = match_tests(a, b)
    if not pairs:
        out += ["", "no test is in both reports (tests match by kind, size and count)"]
    for ta, tb in pairs:
        ga, gb = a.aggregates.get(ta.index), b.aggregates.get(tb.index)
        out += ["", f"{ta.label} (A test {ta.index}, B test {tb.index}): {ta.description}"]
        failures = "; ".join(f for f in (_failures("A", ga), _failures("B", gb)) if f)
        if failures:
            out.append(f"  {failures}")
        rows = [["", "A", "B", "B/A", ""]]
        for line in compare_lines(ga, gb):
            rows.append([line.figure, number(line.a), number(line.b),
                         "-" if line.ratio is None else f"{line.ratio:.3f}", line.note])
        out += ["  " + line for line in align(rows, left=1)]
    if only_a or only_b:
        out.append("")
    out += [f"only in A: test {t.index}, {t.label}" for t in only_a]
    out += [f"only in B: test {t.index}, {t.label}" for t in only_b]
    return "\n".join(out) + "\n"
