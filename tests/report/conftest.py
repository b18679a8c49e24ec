"""Shared helpers of the kvbench-report tests: hand-made reports, and real
runs of the kvbench built beside the tests (path in $KVBENCH)."""

import json
import os
import subprocess
import sys

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(SOURCE, "tools", "report", "kvbench-report")
sys.path.insert(0, os.path.dirname(TOOL))

PERCENTILES = ("p50", "p90", "p99", "p99.9", "p99.99", "p100")


def percentiles(*values):
    return dict(zip(PERCENTILES, values))


def suite_test(index, kind, size, count):
    return {"index": index, "kind": kind, "size": size, "count": count,
            "description": f"{kind} of {size} B, {count} times"}


def aggregate(test, mean, sd, steps, p=(1, 2, 3, 4, 5, 6), steps_per_s=1000.0, threads=1,
              failed=0):
    return {"test": test, "threads": threads, "failed_threads": failed, "iterations": steps,
            "bytes": steps * 64, "span_ms": 1000.0,
            "throughput": {"steps_per_s": steps_per_s, "bytes_per_s": steps_per_s * 64},
            "mean_ms": mean, "standard_deviation_ms": sd, "min_ms": p[0] / 2, "max_ms": p[-1],
            "percentiles_ms": percentiles(*p)}


def operation(steps, p=(1, 2, 3, 4, 5, 6), hits=None, misses=None):
    """One operation type of a mix test's figures; hits and misses but for a put."""
    op = {"steps": steps}
    if hits is not None:
        op.update(hits=hits, misses=misses)
    op["percentiles_ms"] = percentiles(*p)
    return op


def result(test, thread, p=(1, 2, 3, 4, 5, 6), steps_per_s=1000.0, success=True):
    return {"thread": thread, "test": test, "success": success, "iterations": 10,
            "throughput": {"steps_per_s": steps_per_s, "bytes_per_s": steps_per_s * 64},
            "percentiles_ms": percentiles(*p)}


def report(tests, aggregates, results=(), protocol="local", threads=1):
    """A report with the fields the tool reads."""
    return {"kvbench": {"version": "1.0.0"}, "started_at": "2026-12-09T10:15:00Z",
            "settings": {"protocol": protocol, "daemon": "127.0.0.1:6379", "threads": threads},
            "tests": list(tests), "results": list(results), "aggregates": list(aggregates)}


def write(path, document):
    with open(path, "w") as f:
        f.write(document if isinstance(document, str) else json.dumps(document))
    return str(path)


def run_tool(*args):
    """kvbench-report as a user starts it: a process of its own."""
    return subprocess.run([sys.executable, TOOL] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=120)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", path
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


SUITE = "tests\n{\n" + "".join(
    f"    {kind}\n    {{\n        size {size}\n        count {count}\n    }}\n"
    for kind, size, count in (("multiple_put", 64, 300), ("multiple_put_get_delete", 256, 200),
                              ("single_put_multiple_get", 1024, 400))) + "}\n"


@pytest.fixture(scope="session")
def kvbench_runs(tmp_path_factory):
    """JSON reports of two real local runs, on 1 and on 2 threads."""
    kvbench = os.environ.get("KVBENCH")
    if not kvbench or not os.access(kvbench, os.X_OK):
        pytest.skip("no built kvbench: set KVBENCH to its path (CTest does)")
    usage = subprocess.run([kvbench, "--help"], capture_output=True, text=True, timeout=60)
    if "--json" not in usage.stdout + usage.stderr:
        pytest.skip(f"{kvbench} has no --json option yet: real-run tests wait for it")
    folder = tmp_path_factory.mktemp("runs")
    suite = write(folder / "suite.cfg", SUITE)
    runs = []
    for threads in (1, 2):
        out = folder / f"run{threads}.json"
        subprocess.run([kvbench, "--protocol", "local", "-f", suite, "--threads", str(threads),
                        "-o", str(folder / f"run{threads}.csv"), "--json", str(out)],
                       check=True, capture_output=True, timeout=300)
        runs.append(str(out))
    return runs
