"""The points and bars the images show, prepared without drawing anything.

The spectrum's horizontal axis counts "nines": the percentile q sits at
-log10(1 - q / 100), so 90 is at 1, 99 at 2, 99.9 at 3 and so on, as
HdrHistogram's percentile plots draw it. The maximum (p100) has no finite
place on that axis; it is drawn one step right of the last nines tick.
"""

import math
from dataclasses import dataclass, field
from datetime import datetime
from decimal import Decimal
from typing import List, Optional, Tuple

from .runfile import Interval, Percentile, ReportError, Run, Test

# The ticks of the nines axis: (position, label).
NINES_TICKS = [(math.log10(2.0), "50"), (1.0, "90"), (2.0, "99"), (3.0, "99.9"),
               (4.0, "99.99"), (5.0, "99.999")]
MAX_LABEL = "max"


def nines(q: float) -> float:
    """The position of percentile q (0 < q < 100) on the nines axis; in
    decimal arithmetic, so that 99.99 lands exactly on 4."""
    return float(-(1 - Decimal(repr(q)) / 100).log10())


def max_position(series: List["Series"]) -> float:
    """Where p100 goes: one step right of the last tick and of every finite point."""
    last = NINES_TICKS[-1][0]
    for s in series:
        for x, _ in s.points:
            if not math.isinf(x):
                last = max(last, x)
    return math.floor(last) + 1.0


@dataclass
class Series:
    label: str
    role: str                     # "aggregate", "thread", "service" or "operation"
    points: List[Tuple[float, float]] = field(default_factory=list)   # (nines, ms); p100 at inf


def spectrum_points(percentiles: Optional[List[Percentile]]) -> List[Tuple[float, float]]:
    """The (nines, ms) points of the percentiles that have a value, p100 at infinity."""
    points = []
    for p in percentiles or []:
        if p.ms is not None:
            points.append((math.inf if p.q >= 100.0 else nines(p.q), p.ms))
    return points


def spectrum(run: Run, test: Test, threads: bool = True,
             operations: bool = True) -> List[Series]:
    """The lines of one test's spectrum: the aggregate, its service time when
    the run measured both, each operation type of a mix test over all
    threads (labelled with the operation's name), and each thread's line."""
    series = []
    aggregate = run.aggregates.get(test.index)
    if aggregate is not None:
        ok = aggregate.threads - aggregate.failed_threads
        everyone = (f"all {threads_text(ok)}" if not aggregate.failed_threads else
                    f"{ok} of {aggregate.threads} threads, the others failed")
        service = spectrum_points(aggregate.service)
        # With a service time beside it, the latency is the response time
        # (from when each step was due).
        points = spectrum_points(aggregate.percentiles)
        if points:
            series.append(Series(f"response time, {everyone}" if service else everyone,
                                 "aggregate", points))
        if service:
            series.append(Series(f"service time, {everyone}", "service", service))
        if operations:
            for op in aggregate.operations:
                points = spectrum_points(op.percentiles)
                if points:
                    series.append(Series(op.name, "operation", points))
    if threads:
        for r in run.results_of(test.index):
            points = spectrum_points(r.percentiles) if r.success else []
            if points:
                series.append(Series(f"thread #{r.thread}", "thread", points))
    return series


@dataclass
class Bars:
    """Throughput of one test: the aggregate over all threads, and each thread's."""
    label: str
    steps_per_s: Optional[float]
    bytes_per_s: Optional[float]
    thread_steps_per_s: List[float]
    thread_bytes_per_s: List[float]


def binary_unit(largest: float) -> Tuple[float, str]:
    """The power of 1024 and its prefix that suit values up to `largest`."""
    factor, prefix = 1.0, ""
    for next_prefix in ("Ki", "Mi", "Gi", "Ti", "Pi", "Ei", "Zi", "Yi"):
        if largest < factor * 1024.0:
            break
        factor, prefix = factor * 1024.0, next_prefix
    return factor, prefix


def throughput_bars(run: Run) -> List[Bars]:
    bars = []
    for test in run.tests:
        aggregate = run.aggregates.get(test.index)
        done = [r for r in run.results_of(test.index) if r.success]
        bars.append(Bars(
            label=f"{test.index}: {test.kind}\n{test.size} B × {test.count}",
            steps_per_s=aggregate.throughput.steps_per_s if aggregate else None,
            bytes_per_s=aggregate.throughput.bytes_per_s if aggregate else None,
            thread_steps_per_s=[r.throughput.steps_per_s for r in done
                                if r.throughput.steps_per_s is not None],
            thread_bytes_per_s=[r.throughput.bytes_per_s for r in done
                                if r.throughput.bytes_per_s is not None],
        ))
    return bars


def started(run: Run) -> str:
    """The run's start as "2026-12-09 14:02 UTC", or the report's text when it is not ISO 8601."""
    text = run.started_at
    try:
        moment = datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith("Z") else text)
    except ValueError:
        return text
    if moment.utcoffset() is not None and moment.utcoffset().total_seconds() == 0:
        return moment.strftime("%Y-%m-%d %H:%M UTC")
    return moment.strftime("%Y-%m-%d %H:%M %z").rstrip()


def threads_text(n: int) -> str:
    return f"{n} thread{'' if n == 1 else 's'}"


def run_title(run: Run) -> str:
    """Store, protocol, threads and date of a run, on one line."""
    store = "in-process store" if run.protocol == "local" else f"store at {run.daemon}"
    threads = threads_text(run.threads)
    if run.ranks is not None and run.ranks > 1:
        threads += f" on {run.ranks} ranks"
    rate = f", {run.rate:g} steps/s per thread" if run.rate is not None else ""
    return f"{run.protocol}, {store}, {threads}{rate}, {started(run)}"


def file_name(prefix: str, test: Test) -> str:
    """A file name for a test's image, safe whatever the kind's text."""
    kind = "".join(c if c.isalnum() or c in "_-" else "_" for c in test.kind)
    return f"{prefix}-{test.index}-{kind}"


@dataclass
class Timeline:
    """One test's panel of a timeline: its aggregate's intervals, each at its
    middle in seconds from the run's start. A value is None where the
    interval has none (percentiles of an interval without steps)."""
    test: Test
    seconds: List[float]
    steps_per_s: List[Optional[float]]
    p50_ms: List[Optional[float]]
    p99_ms: List[Optional[float]]
    failures: List[Tuple[float, int]]     # (middle in s, failed steps) where there were any
    width_s: float                        # the length of an interval

    @property
    def failed_steps(self) -> int:
        return sum(n for _, n in self.failures)


def interval_width_s(run: Run) -> float:
    """The intervals' length: the run's setting, or else the shortest step
    between the starts of a test's consecutive intervals (0 with none)."""
    if run.interval_s is not None and run.interval_s > 0:
        return run.interval_s
    gaps = []
    for aggregate in run.aggregates.values():
        starts = [i.start_ms for i in aggregate.intervals or [] if i.start_ms is not None]
        gaps += [b - a for a, b in zip(starts, starts[1:]) if b > a]
    return min(gaps) / 1000.0 if gaps else 0.0


def timeline(run: Run) -> List[Timeline]:
    """A panel for every test of the run, from its aggregate's intervals."""
    if not any(a.intervals is not None for a in run.aggregates.values()):
        raise ReportError(f"{run.path}: no intervals: run kvbench with --interval S")
    width = interval_width_s(run)
    panels = []
    for test in run.tests:
        aggregate = run.aggregates.get(test.index)
        slices: List[Interval] = [i for i in (aggregate.intervals if aggregate else None) or []
                                  if i.start_ms is not None]
        middles = [i.start_ms / 1000.0 + width / 2.0 for i in slices]
        panels.append(Timeline(
            test=test,
            seconds=middles,
            steps_per_s=[i.steps_per_s for i in slices],
            p50_ms=[i.percentile_ms("p50") for i in slices],
            p99_ms=[i.percentile_ms("p99") for i in slices],
            failures=[(x, i.failures) for x, i in zip(middles, slices) if i.failures],
            width_s=width,
        ))
    return panels
