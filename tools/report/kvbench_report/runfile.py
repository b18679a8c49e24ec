"""Reading a kvbench JSON report into plain records.

Every field the tool uses is checked on the way in, so that a bad file ends
in one ReportError naming the file and the field instead of a failure deep
inside a plot. Fields the tool does not use are not looked at, so reports
with more fields read as well. Figures that kvbench could not compute (NaN,
infinities) are written as null and read as None.
"""

import dataclasses
import json
import math
import re
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple


class ReportError(Exception):
    """A report that cannot be read; the message names the file and, where
    there is one, the field."""


@dataclass(frozen=True)
class Percentile:
    label: str             # the key in the report, "p99.9"
    q: float               # the percentile, 99.9
    ms: Optional[float]    # None when the report holds null


@dataclass
class Test:
    index: int
    kind: str
    size: int
    count: int
    description: str

    @property
    def label(self) -> str:
        return f"{self.kind} {self.size} B × {self.count}"


@dataclass
class Throughput:
    steps_per_s: Optional[float]
    bytes_per_s: Optional[float]


@dataclass
class Histogram:
    """Non-empty buckets of step times; a bucket holds the whole-nanosecond
    durations from its lower to its upper edge, both included. The first
    bucket may have no lower edge, the last (overflow) no upper edge."""
    lower_ms: List[Optional[float]]
    upper_ms: List[Optional[float]]
    counts: List[int]


@dataclass
class Interval:
    """A slice of a test's time: the steps it finished and their rate, and in
    reports that have them, their bytes, failed steps and percentiles (None
    when the report lacks them; a percentile is None for an empty slice)."""
    start_ms: Optional[float]
    steps: int
    steps_per_s: Optional[float]
    bytes: Optional[int] = None
    failures: Optional[int] = None
    percentiles: Optional[List[Percentile]] = None

    def percentile_ms(self, label: str) -> Optional[float]:
        """The value of the percentile with this key ("p99"), or None."""
        for p in self.percentiles or []:
            if p.label == label:
                return p.ms
        return None


@dataclass
class Result:
    thread: int
    test: int
    success: bool
    iterations: int
    throughput: Throughput
    percentiles: List[Percentile]
    service: Optional[List[Percentile]]   # service time, from open-loop runs
    start_ms: Optional[float] = None      # first step's start from the run's start
    span_ms: Optional[float] = None
    histogram: Optional[Histogram] = None
    intervals: Optional[List[Interval]] = None


@dataclass
class Operation:
    """One operation type of a mix test, over the threads of an aggregate."""
    name: str                 # "get", "put", "update", "remove", "read_modify_write"
    steps: int
    hits: Optional[int]       # None for a put, which looks no entry up
    misses: Optional[int]
    percentiles: List[Percentile]


@dataclass
class Aggregate:
    test: int
    threads: int
    failed_threads: int
    iterations: int
    bytes: int
    span_ms: Optional[float]
    throughput: Throughput
    mean_ms: Optional[float]
    standard_deviation_ms: Optional[float]
    min_ms: Optional[float]
    max_ms: Optional[float]
    percentiles: List[Percentile]
    service: Optional[List[Percentile]]
    # Mix tests: each operation type the test used, in the report's order.
    operations: List[Operation] = dataclasses.field(default_factory=list)
    histogram: Optional[Histogram] = None
    intervals: Optional[List[Interval]] = None


@dataclass
class Run:
    path: str
    version: str
    started_at: str
    protocol: str
    daemon: str
    threads: int                    # over all ranks where the report has them
    ranks: Optional[int]
    rate: Optional[float]           # requested steps per second per thread
    tests: List[Test]
    results: List[Result]
    aggregates: Dict[int, Aggregate]    # by test index
    connections: int = 1                # per thread; older reports have none
    test_file: Optional[str] = None
    interval_s: Optional[float] = None  # the length of an interval, when the run had them

    def results_of(self, test: int) -> List[Result]:
        return [r for r in self.results if r.test == test]


# The percentiles every report holds; more keys of the same shape are read too.
REQUIRED_PERCENTILES = ("p50", "p90", "p99", "p99.9", "p99.99", "p100")
_PERCENTILE_KEY = re.compile(r"p(\d+(?:\.\d+)?)\Z")


def _kind_of(value) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


class _Field:
    """One value of the document and the path that leads to it."""

    def __init__(self, path: str, value, where: str = ""):
        self.path = path
        self.value = value
        self.where = where

    def fail(self, message: str):
        raise ReportError(f"{self.path}: field {self.where}: {message}")

    def _expected(self, what: str):
        self.fail(f"expected {what}, found {_kind_of(self.value)}")

    def _child_name(self, name: str) -> str:
        return f"{self.where}.{name}" if self.where else name

    def has(self, name: str) -> bool:
        return isinstance(self.value, dict) and name in self.value

    def get(self, name: str) -> "_Field":
        if not isinstance(self.value, dict):
            self._expected("an object")
        if name not in self.value:
            raise ReportError(f"{self.path}: missing field {self._child_name(name)}")
        return _Field(self.path, self.value[name], self._child_name(name))

    def optional(self, name: str) -> Optional["_Field"]:
        """The field, or None when it is absent or null."""
        if not self.has(name) or self.value[name] is None:
            return None
        return self.get(name)

    def items(self) -> List["_Field"]:
        if not isinstance(self.value, list):
            self._expected("an array")
        return [_Field(self.path, v, f"{self.where}[{i}]") for i, v in enumerate(self.value)]

    def keys(self) -> List[str]:
        if not isinstance(self.value, dict):
            self._expected("an object")
        return list(self.value)

    def text(self) -> str:
        if not isinstance(self.value, str):
            self._expected("a string")
        return self.value

    def flag(self) -> bool:
        if not isinstance(self.value, bool):
            self._expected("true or false")
        return self.value

    def count(self) -> int:
        """A whole number of at least 0 (a float without a fraction passes)."""
        v = self.value
        if isinstance(v, float) and v.is_integer():
            v = int(v)
        if isinstance(v, bool) or not isinstance(v, int):
            self._expected("a whole number")
        if v < 0:
            self.fail(f"expected a whole number of at least 0, found {v}")
        return v

    def number(self) -> Optional[float]:
        """A number, or None for null and for NaN."""
        v = self.value
        if v is None:
            return None
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            self._expected("a number or null")
        v = float(v)
        return None if math.isnan(v) else v


def _percentiles(field: _Field, required=REQUIRED_PERCENTILES) -> List[Percentile]:
    for key in required:
        field.get(key)
    found = []
    for key in field.keys():
        match = _PERCENTILE_KEY.match(key)
        if match:
            q = float(match.group(1))
            if 0 < q <= 100:
                found.append(Percentile(key, q, field.get(key).number()))
    return sorted(found, key=lambda p: p.q)


def _optional_percentiles(field: _Field, name: str) -> Optional[List[Percentile]]:
    sub = field.optional(name)
    return None if sub is None else _percentiles(sub)


def _operations(field: _Field) -> List[Operation]:
    """The operation types of a mix test's figures; none for the other kinds."""
    table = field.optional("operations")
    if table is None:
        return []
    found = []
    for name in table.keys():
        op = table.get(name)
        hits, misses = op.optional("hits"), op.optional("misses")
        found.append(Operation(name, op.get("steps").count(),
                               hits.count() if hits is not None else None,
                               misses.count() if misses is not None else None,
                               _percentiles(op.get("percentiles_ms"))))
    return found


def _histogram(field: _Field) -> Optional[Histogram]:
    h = field.optional("histogram")
    if h is None:
        return None
    lower = [b.number() for b in h.get("lower_ms").items()]
    upper = [b.number() for b in h.get("upper_ms").items()]
    counts = [c.count() for c in h.get("counts").items()]
    if not len(lower) == len(upper) == len(counts):
        h.fail("lower_ms, upper_ms and counts differ in length")
    return Histogram(lower, upper, counts)


def _intervals(field: _Field) -> Optional[List[Interval]]:
    table = field.optional("intervals")
    if table is None:
        return None
    found = []
    for i in table.items():
        start = i.optional("start_ms")
        size, failures = i.optional("bytes"), i.optional("failures")
        # An interval's percentiles are read as far as they go: a slice holds
        # whichever keys its report wrote.
        percentiles = i.optional("percentiles_ms")
        found.append(Interval(start.number() if start is not None else None,
                              i.get("steps").count(), i.get("steps_per_s").number(),
                              bytes=size.count() if size is not None else None,
                              failures=failures.count() if failures is not None else None,
                              percentiles=(_percentiles(percentiles, required=())
                                           if percentiles is not None else None)))
    return found


def _optional_number(field: _Field, name: str) -> Optional[float]:
    sub = field.optional(name)
    return None if sub is None else sub.number()


def _throughput(field: _Field) -> Throughput:
    t = field.get("throughput")
    return Throughput(t.get("steps_per_s").number(), t.get("bytes_per_s").number())


def _test_index(field: _Field, tests: Dict[int, Test]) -> int:
    index = field.count()
    if index not in tests:
        field.fail(f"{index} is not the index of a test in 'tests'")
    return index


def _threads(root: _Field, settings: _Field) -> Tuple[int, Optional[int]]:
    """Threads over the whole run, and the number of ranks when there are several."""
    threads = settings.get("threads").count()
    ranks = settings.optional("ranks")
    hosts = root.optional("hosts")
    if hosts is not None:
        per_host = [h.get("threads").count() for h in hosts.items()]
        if per_host:
            threads = sum(per_host)
    return threads, (ranks.count() if ranks is not None else None)


def parse(path: str, document) -> Run:
    root = _Field(path, document)
    if not isinstance(document, dict) or not isinstance(document.get("kvbench"), dict):
        raise ReportError(f"{path}: not a kvbench JSON report (no object 'kvbench' at the top)")

    settings = root.get("settings")
    threads, ranks = _threads(root, settings)
    rate = settings.optional("rate")
    connections = settings.optional("connections")
    test_file = settings.optional("test_file")
    interval_s = settings.optional("interval_s")

    tests: Dict[int, Test] = {}
    for t in root.get("tests").items():
        index_field = t.get("index")
        index = index_field.count()
        if index in tests:
            index_field.fail(f"index {index} appears twice")
        tests[index] = Test(index, t.get("kind").text(), t.get("size").count(),
                            t.get("count").count(), t.get("description").text())

    results = []
    for r in root.get("results").items():
        results.append(Result(
            thread=r.get("thread").count(),
            test=_test_index(r.get("test"), tests),
            success=r.get("success").flag(),
            iterations=r.get("iterations").count(),
            throughput=_throughput(r),
            percentiles=_percentiles(r.get("percentiles_ms")),
            service=_optional_percentiles(r, "service_percentiles_ms"),
            start_ms=_optional_number(r, "start_ms"),
            span_ms=_optional_number(r, "span_ms"),
            histogram=_histogram(r),
            intervals=_intervals(r),
        ))

    aggregates: Dict[int, Aggregate] = {}
    for a in root.get("aggregates").items():
        test_field = a.get("test")
        test = _test_index(test_field, tests)
        if test in aggregates:
            test_field.fail(f"test {test} has a second aggregate")
        aggregates[test] = Aggregate(
            test=test,
            threads=a.get("threads").count(),
            failed_threads=a.get("failed_threads").count(),
            iterations=a.get("iterations").count(),
            bytes=a.get("bytes").count(),
            span_ms=a.get("span_ms").number(),
            throughput=_throughput(a),
            mean_ms=a.get("mean_ms").number(),
            standard_deviation_ms=a.get("standard_deviation_ms").number(),
            min_ms=a.get("min_ms").number(),
            max_ms=a.get("max_ms").number(),
            percentiles=_percentiles(a.get("percentiles_ms")),
            service=_optional_percentiles(a, "service_percentiles_ms"),
            operations=_operations(a),
            histogram=_histogram(a),
            intervals=_intervals(a),
        )

    return Run(
        path=path,
        version=root.get("kvbench").get("version").text(),
        started_at=root.get("started_at").text(),
        protocol=settings.get("protocol").text(),
        daemon=settings.get("daemon").text(),
        threads=threads,
        ranks=ranks,
        rate=rate.number() if rate is not None else None,
        tests=sorted(tests.values(), key=lambda t: t.index),
        results=results,
        aggregates=aggregates,
        connections=connections.count() if connections is not None else 1,
        test_file=test_file.text() if test_file is not None else None,
        interval_s=interval_s.number() if interval_s is not None else None,
    )


def load(path: str) -> Run:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ReportError(f"{path}: cannot read: {e.strerror or e}") from None
    try:
        document = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise ReportError(f"{path}: not JSON: not UTF-8 text") from None
    except json.JSONDecodeError as e:
        raise ReportError(
            f"{path}: not JSON: {e.msg} at line {e.lineno} column {e.colno}") from None
    except RecursionError:
        raise ReportError(f"{path}: not JSON: nested too deeply") from None
    return parse(path, document)
