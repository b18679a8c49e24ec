"""A test's histogram as an HdrHistogram interval log, for HdrHistogram's own
tools (HistogramLogProcessor, plotters of .hlog files).

Values are in nanoseconds, the unit those tools assume by default (they
divide by 10^6 to show milliseconds). Each bucket of the report counts as
its upper edge (the overflow bucket as its lower edge), recorded at 3
significant digits from 1 ns. The histogram is written in the V2 encoding:
a 40-byte header, then the counts, each zig-zag LEB128 coded with runs of
empty counts as one negative number, all deflated (zlib) behind the
compressed cookie and length, in base64 on the log's one interval line.
"""

import base64
import struct
import time
import zlib
from datetime import datetime
from typing import Dict, List, Optional, Tuple

from .runfile import Histogram, ReportError, Run

SIGNIFICANT_DIGITS = 3
LOWEST_NS = 1
# Cookies of the V2 encoding; 0x10 marks 64-bit counts, as HdrHistogram writes them.
ENCODING_COOKIE = 0x1c849303 | 0x10
COMPRESSED_COOKIE = 0x1c849304 | 0x10
_HEADER = ">iiiiqqd"    # cookie, counts' length, index offset, digits, lowest, highest, ratio
LEGEND = '"StartTimestamp","Interval_Length","Interval_Max","Interval_Compressed_Histogram"'
MAX_UNIT_RATIO = 1e6    # Interval_Max in milliseconds


class Layout:
    """Where a value lands in the counts array of a histogram that tracks
    from 1 at SIGNIFICANT_DIGITS digits: sub-buckets of unit width up to
    2 * 10^digits, then buckets of doubling width, each with half of them."""

    def __init__(self, digits: int = SIGNIFICANT_DIGITS):
        single_unit = 2 * 10 ** digits
        self.half_magnitude = max((single_unit - 1).bit_length(), 1) - 1
        self.half_count = 1 << self.half_magnitude
        self.mask = (2 * self.half_count) - 1

    def index(self, value: int) -> int:
        bucket = (value | self.mask).bit_length() - (self.half_magnitude + 1)
        sub = value >> bucket
        return ((bucket + 1) << self.half_magnitude) + sub - self.half_count

    def value(self, index: int) -> int:
        """The lowest value that lands at index."""
        bucket = (index >> self.half_magnitude) - 1
        sub = (index & (self.half_count - 1)) + self.half_count
        if bucket < 0:
            sub -= self.half_count
            bucket = 0
        return sub << bucket


def _zigzag_leb128(value: int) -> bytes:
    v = (value << 1) ^ (value >> 63)
    v &= (1 << 64) - 1
    out = bytearray()
    for _ in range(8):
        if v < 0x80:
            out.append(v)
            return bytes(out)
        out.append((v & 0x7f) | 0x80)
        v >>= 7
    out.append(v & 0xff)    # the ninth byte holds 8 bits
    return bytes(out)


def values_ns(histogram: Histogram) -> List[Tuple[int, int]]:
    """(value in ns, count) of each bucket: its upper edge, or the lower one
    for the overflow bucket."""
    found = []
    for low, high, count in zip(histogram.lower_ms, histogram.upper_ms, histogram.counts):
        edge = high if high is not None else low
        if edge is not None and count:
            found.append((max(0, round(edge * 1e6)), count))
    return found


def encode(values: List[Tuple[int, int]]) -> bytes:
    """The V2 compressed encoding of a histogram holding these (value, count)."""
    layout = Layout()
    counts: Dict[int, int] = {}
    for value, count in values:
        at = layout.index(value)
        counts[at] = counts.get(at, 0) + count
    limit = max(counts) + 1 if counts else 0
    body = bytearray()
    at = 0
    while at < limit:
        count = counts.get(at, 0)
        at += 1
        if count:
            body += _zigzag_leb128(count)
            continue
        zeros = 1
        while at < limit and not counts.get(at, 0):
            zeros += 1
            at += 1
        body += _zigzag_leb128(-zeros if zeros > 1 else 0)
    highest = max([2 * LOWEST_NS] + [v for v, _ in values])
    header = struct.pack(_HEADER, ENCODING_COOKIE, len(body), 0, SIGNIFICANT_DIGITS,
                         LOWEST_NS, highest, 1.0)
    packed = zlib.compress(header + bytes(body))
    return struct.pack(">ii", COMPRESSED_COOKIE, len(packed)) + packed


def _epoch(started_at: str) -> float:
    text = started_at[:-1] + "+00:00" if started_at.endswith("Z") else started_at
    try:
        return datetime.fromisoformat(text).timestamp()
    except ValueError:
        return 0.0


def log(run: Run, test: int, thread: Optional[int]) -> str:
    """The interval log of one test's aggregate (thread None) or of one thread's result."""
    if not any(t.index == test for t in run.tests):
        raise ReportError(f"{run.path}: no test {test}")
    if thread is None:
        source = run.aggregates.get(test)
        what = f"test {test}'s aggregate"
        starts = [r.start_ms for r in run.results_of(test) if r.start_ms is not None]
        start_ms = min(starts) if starts else 0.0
        span_ms = source.span_ms if source is not None else None
    else:
        source = next((r for r in run.results_of(test) if r.thread == thread), None)
        what = f"test {test}'s result of thread {thread}"
        start_ms = source.start_ms if source is not None and source.start_ms else 0.0
        span_ms = source.span_ms if source is not None else None
    if source is None:
        raise ReportError(f"{run.path}: no {what}")
    if source.histogram is None:
        raise ReportError(f"{run.path}: {what} has no histogram")
    values = values_ns(source.histogram)
    start = _epoch(run.started_at)
    stamp = time.strftime("%a %b %d %H:%M:%S UTC %Y", time.gmtime(start))
    top = max([v for v, _ in values], default=0)
    code = base64.b64encode(encode(values)).decode("ascii")
    return "".join([
        f"#kvbench-report export-hdr: {run.path}, {what}, values in nanoseconds\n",
        "#[Histogram log format version 1.3]\n",
        f"#[StartTime: {start:.3f} (seconds since epoch), {stamp}]\n",
        f"#[BaseTime: {start:.3f} (seconds since epoch)]\n",
        LEGEND + "\n",
        f"{start_ms / 1000.0:.3f},{(span_ms or 0.0) / 1000.0:.3f},"
        f"{top / MAX_UNIT_RATIO:.3f},{code}\n",
    ])


def export(run: Run, test: int, thread: Optional[int], path: str) -> None:
    text = log(run, test, thread)
    with open(path, "w") as f:
        f.write(text)
