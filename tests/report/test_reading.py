import pytest

from conftest import aggregate, operation, report, result, run_tool, suite_test, write
from kvbench_report import runfile
from kvbench_report.cli import main


def good():
    return report([suite_test(0, "multiple_put", 64, 10)], [aggregate(0, 1.0, 0.5, 10)],
                  [result(0, 0)])


def good_mix():
    doc = good()
    doc["aggregates"][0]["operations"] = {"get": operation(6, hits=5, misses=1),
                                          "put": operation(4)}
    return doc


def edited(path, value=None, base=good):
    """A good report with the field at `path` (dotted, list items by number)
    set to value, or removed when value is None."""
    doc = base()
    *parents, last = path.split(".")
    node = doc
    for key in parents:
        node = node[int(key)] if isinstance(node, list) else node[key]
    del node[last]
    if value is not None:
        node[last] = value
    return doc


@pytest.mark.parametrize("content, message", [
    ("{not json", "not JSON: Expecting property name enclosed in double quotes at line 1 column 2"),
    (b"\xff\xfe{}", "not JSON: not UTF-8 text"),
    ("[1, 2]", "not a kvbench JSON report (no object 'kvbench' at the top)"),
    ({"results": []}, "not a kvbench JSON report (no object 'kvbench' at the top)"),
    (edited("settings.protocol"), "missing field settings.protocol"),
    (edited("tests.0.kind"), "missing field tests[0].kind"),
    (edited("results.0.percentiles_ms.p99"), "missing field results[0].percentiles_ms.p99"),
    (edited("aggregates.0.throughput.steps_per_s"),
     "missing field aggregates[0].throughput.steps_per_s"),
    (edited("aggregates.0.threads", "four"),
     "field aggregates[0].threads: expected a whole number, found a string"),
    (edited("aggregates.0.mean_ms", True),
     "field aggregates[0].mean_ms: expected a number or null, found a boolean"),
    (edited("results.0.test", 3), "field results[0].test: 3 is not the index of a test in 'tests'"),
    (edited("tests", {}), "field tests: expected an array, found an object"),
    (edited("tests.0.size", -1),
     "field tests[0].size: expected a whole number of at least 0, found -1"),
    (edited("aggregates.0.operations", [], base=good_mix),
     "field aggregates[0].operations: expected an object, found an array"),
    (edited("aggregates.0.operations.put.percentiles_ms", base=good_mix),
     "missing field aggregates[0].operations.put.percentiles_ms"),
    (edited("aggregates.0.operations.get.hits", -1, base=good_mix),
     "field aggregates[0].operations.get.hits: expected a whole number of at least 0, found -1"),
])
def test_bad_report_is_one_line_naming_file_and_field(tmp_path, capsys, content, message):
    path = tmp_path / "run.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        write(path, content)
    for argv in (["summary", path], ["plot", path, "-o", tmp_path / "img"],
                 ["compare", write(tmp_path / "ok.json", good()), path]):
        assert main([str(a) for a in argv]) == 2
        out, err = capsys.readouterr()
        assert err == f"kvbench-report: {path}: {message}\n"
    assert not (tmp_path / "img").exists()


def test_process_errors_have_status_2_and_no_traceback(tmp_path):
    cases = [("summary", tmp_path / "missing.json"), ("summary", write(tmp_path / "x", "{}")),
             ("plot", write(tmp_path / "ok.json", good()), "-o", write(tmp_path / "file", "")),
             ("frobnicate",)]
    for args in cases:
        done = run_tool(*args)
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr.startswith("kvbench-report: ") and done.stderr.count("\n") == 1, \
            done.stderr


def test_later_and_extra_fields_are_read_when_present_and_optional(tmp_path):
    doc = good()
    doc["surprise"] = {"new": 1}
    doc["settings"]["rate"] = 5000
    doc["hosts"] = [{"rank": 0, "threads": 2}, {"rank": 1, "threads": 3}]
    doc["settings"]["ranks"] = 2
    agg = doc["aggregates"][0]
    agg["service_percentiles_ms"] = dict(agg["percentiles_ms"], p50=0.5)
    agg["percentiles_ms"]["p99.999"] = 5.5
    agg["mean_ms"] = None
    run = runfile.load(write(tmp_path / "run.json", doc))
    assert (run.threads, run.ranks, run.rate) == (5, 2, 5000.0)
    a = run.aggregates[0]
    assert a.mean_ms is None and a.service[0].ms == 0.5
    assert [p.label for p in a.percentiles] == ["p50", "p90", "p99", "p99.9", "p99.99",
                                                "p99.999", "p100"]
    assert run.results[0].service is None
    plain = runfile.load(write(tmp_path / "plain.json", good()))
    assert (plain.threads, plain.ranks, plain.rate) == (1, None, None)
