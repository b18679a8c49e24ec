import pytest

from conftest import aggregate, operation, report, suite_test, write
from kvbench_report import runfile, tables
from kvbench_report.cli import main

# Two runs by hand. B lists its tests in another order: tests match by kind,
# size and count, never by index. Means and standard deviations are in ms;
# kvbench's standard deviation divides by n, so the sample variance is
# sd^2 * n / (n - 1).
A = report(
    [suite_test(0, "multiple_put", 64, 1000), suite_test(1, "multiple_put_get_delete", 256, 5),
     suite_test(2, "single_put_multiple_get", 64, 5), suite_test(3, "multiple_put_remain", 64, 1),
     suite_test(4, "multiple_put", 64, 2000)],
    [aggregate(0, 0.010, 0.002, 1000, (0.009, 0.015, 0.02, 0.04, 0.05, 0.06), 100000.0),
     aggregate(1, 10.0, 1.0, 5), aggregate(2, 10.0, 1.0, 5), aggregate(3, 2.0, 0.0, 1),
     aggregate(4, 1.0, 0.1, 2000)])
B = report(
    [suite_test(0, "multiple_put_get_delete", 256, 5), suite_test(1, "multiple_put", 64, 1000),
     suite_test(2, "single_put_multiple_get", 64, 5), suite_test(3, "multiple_put_remain", 64, 1),
     suite_test(4, "multiple_put", 64, 3000)],
    [aggregate(0, 11.5, 1.0, 5), aggregate(1, 0.012, 0.002, 1000,
                                           (0.0099, 0.016, 0.03, 0.03, 0.05, 0.06), 80000.0),
     aggregate(2, 12.5, 1.0, 5), aggregate(3, 3.0, 0.0, 1, threads=2, failed=1)],
    protocol="redis", threads=2)

# Ratios B/A of mean, p50, p99, p99.9 and steps/s; one run a side without
# intervals: the difference of the means, untested (the steps of one run are
# not independent samples).
EXPECTED = {
    # mean 0.012/0.010, p50 0.0099/0.009, p99 0.03/0.02, p99.9 0.03/0.04,
    # steps/s 80000/100000.
    "multiple_put": ([1.2, 1.1, 1.5, 0.75, 0.8], "+20.0 %"),
    "multiple_put_get_delete": ([1.15, 1.0, 1.0, 1.0, 1.0], "+15.0 %"),
    "single_put_multiple_get": ([1.25, 1.0, 1.0, 1.0, 1.0], "+25.0 %"),
    "multiple_put_remain": ([1.5, 1.0, 1.0, 1.0, 1.0], "+50.0 %"),
}


@pytest.fixture
def runs(tmp_path):
    return write(tmp_path / "a.json", A), write(tmp_path / "b.json", B)


def test_compare_matches_tests_and_gives_worked_out_ratios_and_verdicts(runs, capsys):
    a, b = (runfile.load(p) for p in runs)
    pairs, only_a, only_b = tables.match_tests(a, b)
    assert [(ta.index, tb.index) for ta, tb in pairs] == [(0, 1), (1, 0), (2, 2), (3, 3)]
    assert [t.label for t in only_a + only_b] == ["multiple_put 64 B × 2000",
                                                  "multiple_put 64 B × 3000"]
    for ta, tb in pairs:
        ratios, verdict = EXPECTED[ta.kind]
        lines = tables.compare_lines(a.aggregates[ta.index], b.aggregates[tb.index])
        assert [l.figure for l in lines] == ["mean ms", "p50 ms", "p99 ms", "p99.9 ms", "steps/s"]
        assert [l.ratio for l in lines] == pytest.approx(ratios), ta.kind

    assert main(["compare", *runs]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[2].startswith("figures: verdicts: each run's figure is its mean step time")
    assert "multiple_put 64 B × 1000 (A test 0, B test 1): multiple_put of 64 B, 1000 times" in out
    assert "  B: 1 of 2 threads failed" in out
    assert [l.split() for l in out if l.startswith("  mean ms")][0] == \
        ["mean", "ms", "0.01", "0.012", "1.200"]
    assert out[-7:-5] == ["only in A: test 4, multiple_put 64 B × 2000",
                          "only in B: test 4, multiple_put 64 B × 3000"]
    assert out[-4:] == [f"test {ta.index} ({ta.label}): difference {EXPECTED[ta.kind][1]}, "
                        "not tested (one run per side: no test of significance)"
                        for ta, _ in pairs]


def test_summary_is_one_aligned_line_per_test(runs, capsys):
    assert main(["summary", runs[1]]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].endswith("b.json: kvbench 1.0.0, redis, store at 127.0.0.1:6379, 2 threads, "
                           "2026-12-09 10:15 UTC")
    head, rows = out[1], out[2:]
    assert head.split() == ["#", "test", "threads", "failed", "steps", "steps/s", "bandwidth",
                            "mean", "ms", "sd", "ms", "p50", "ms", "p90", "ms", "p99", "ms",
                            "p99.9", "ms", "p99.99", "ms", "max", "ms"]
    assert [r.split()[0] for r in rows] == ["0", "1", "2", "3", "4"]
    # Right-aligned columns: every figure ends where its heading ends.
    end = head.index("steps/s") + len("steps/s")
    assert rows[1][:end].endswith(" 80000") and rows[1].split()[6:14] == \
        ["1", "0", "1000", "80000", "4.9", "MiB/s", "0.012", "0.002"]
    assert rows[3].split()[6:8] == ["2", "1"] and rows[4].endswith(" -  no result")


def test_summary_puts_a_row_per_operation_under_a_mix_test(tmp_path, capsys):
    # 1000 steps over a span of 1 s: 880 gets that found their entry and 20
    # that did not, 100 puts.
    mix = aggregate(0, 0.5, 0.1, 1000, steps_per_s=1000.0)
    mix["operations"] = {"get": operation(900, (0.1, 0.2, 0.3, 0.4, 0.5, 0.6), 880, 20),
                         "put": operation(100)}
    doc = report([suite_test(0, "mix", 100, 1000), suite_test(1, "multiple_put", 64, 10)],
                 [mix, aggregate(1, 1.0, 0.5, 10)])
    path = write(tmp_path / "mix.json", doc)
    assert main(["summary", path]) == 0
    out = capsys.readouterr().out.splitlines()
    head, rows = out[1], out[2:]
    assert [r.split()[0] for r in rows] == ["0", "get", "put", "1"]
    assert rows[1].split() == ["get", "(97.8", "%", "hits)", "900", "900",
                               "0.1", "0.2", "0.3", "0.4", "0.5", "0.6"]
    assert rows[2].split() == ["put", "100", "100", "1", "2", "3", "4", "5", "6"]
    # Under the test's own label, each figure in its column.
    assert rows[1].index("get") == rows[0].index("mix") + 2
    for column, value in (("steps", "900"), ("p50 ms", "0.1"), ("max ms", "0.6")):
        end = head.index(column) + len(column)
        assert rows[1][:end].endswith(" " + value), column
    # The same file without the operations: the summary of any other run.
    del mix["operations"]
    assert main(["summary", write(tmp_path / "plain.json", doc)]) == 0
    assert capsys.readouterr().out.splitlines()[2:] == [rows[0], rows[3]]
