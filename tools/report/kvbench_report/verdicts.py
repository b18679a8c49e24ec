"""Whether two sides of a comparison differ, test by test.

The steps of one run are not independent samples: they share the run's
machine state (caches, frequency, other load), so a test over them calls
any two runs different. The samples here are repetitions, as Google
Benchmark's compare tests them: with two or more runs on each side, each
run's mean step time for the test (its aggregate's mean_ms) is one sample,
and Mann-Whitney's U test (two-sided, 5 %) compares the two sets. With one
run on each side, the test's intervals (steps per second in each slice of
its time) are the samples when both sides have at least MIN_INTERVALS of
them, by Welch's t-test; otherwise the difference is shown, untested.
"""

import math
import statistics
from dataclasses import dataclass
from typing import List, Optional

from .runfile import Aggregate, ReportError
from .welch import ALPHA, welch

MIN_INTERVALS = 10

METHOD = ("each run's figure is its mean step time over all threads (the aggregate's "
          "mean_ms); 2 or more runs a side: Mann-Whitney U over the runs' figures; "
          f"one run a side: Welch's t-test over the test's steps per second in each "
          f"interval when both have {MIN_INTERVALS} or more; two-sided, 5 % level")


def _mann_whitney(a: List[float], b: List[float]) -> float:
    try:
        from scipy.stats import mannwhitneyu
    except ImportError as e:
        raise ReportError(f"cannot test across runs: {e} (Debian package python3-scipy)") \
            from None
    p = mannwhitneyu(a, b, alternative="two-sided").pvalue
    # Every figure equal on both sides leaves no spread to rank: no difference.
    return 1.0 if math.isnan(p) else float(p)


def _p_text(p: float) -> str:
    return "p < 0.0001" if p < 0.0001 else f"p = {p:.2g}"


def _change(time_a: float, time_b: float) -> str:
    """B against A as a factor of time: "B is 1.97x slower"."""
    if time_b >= time_a:
        return f"B is {time_b / time_a:.2f}x slower"
    return f"B is {time_a / time_b:.2f}x faster"


@dataclass
class Verdict:
    text: str
    significant: Optional[bool]     # None when not tested


def _untested(time_a: Optional[float], time_b: Optional[float], why: str) -> Verdict:
    if time_a is None or time_b is None or time_a == 0.0:
        return Verdict(f"no difference to show, not tested ({why})", None)
    return Verdict(f"difference {100.0 * (time_b - time_a) / time_a:+.1f} %, "
                   f"not tested ({why})", None)


def _rates(aggregate: Optional[Aggregate]) -> List[float]:
    if aggregate is None or not aggregate.intervals:
        return []
    return [i.steps_per_s for i in aggregate.intervals if i.steps_per_s is not None]


def _tested(time_a: float, time_b: float, p: float, how: str) -> Verdict:
    if p < ALPHA:
        return Verdict(f"{_change(time_a, time_b)}, significant ({_p_text(p)}, {how})", True)
    return Verdict(f"no significant difference (B/A {time_b / time_a:.3f}, "
                   f"{_p_text(p)}, {how})", False)


def judge(side_a: List[Optional[Aggregate]], side_b: List[Optional[Aggregate]]) -> Verdict:
    """The verdict on one test from its aggregate in each run of A and of B
    (None where a run lacks the test)."""
    a = [g.mean_ms for g in side_a if g is not None and g.mean_ms is not None]
    b = [g.mean_ms for g in side_b if g is not None and g.mean_ms is not None]
    if not a or not b:
        return Verdict("no mean step time on " + ("either side" if not a and not b else
                                                  "side A" if not a else "side B"), None)
    time_a, time_b = statistics.mean(a), statistics.mean(b)
    if len(a) >= 2 and len(b) >= 2:
        if time_a <= 0.0 or time_b <= 0.0:
            return _untested(time_a, time_b, "a mean step time of 0")
        p = _mann_whitney(a, b)
        return _tested(time_a, time_b, p, f"Mann-Whitney over {len(a)} and {len(b)} runs")
    if len(side_a) > 1 or len(side_b) > 1:
        return _untested(time_a, time_b, f"{len(a)} and {len(b)} runs with a figure: "
                                         "a test over runs needs 2 or more a side")
    rates_a, rates_b = _rates(side_a[0]), _rates(side_b[0])
    if len(rates_a) < MIN_INTERVALS or len(rates_b) < MIN_INTERVALS:
        return _untested(time_a, time_b, "one run per side: no test of significance")
    w = welch(statistics.mean(rates_a), statistics.variance(rates_a), len(rates_a),
              statistics.mean(rates_b), statistics.variance(rates_b), len(rates_b))
    if w.p is None or statistics.mean(rates_a) <= 0.0 or statistics.mean(rates_b) <= 0.0:
        return _untested(time_a, time_b, f"intervals: {w.reason or 'no steps'}")
    # Time per step goes as 1 / steps per second.
    return _tested(1.0 / statistics.mean(rates_a), 1.0 / statistics.mean(rates_b), w.p,
                   f"Welch over {len(rates_a)} and {len(rates_b)} intervals")
