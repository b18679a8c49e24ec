"""compare over repeated runs: the runs, not the steps, are the samples."""

import random
import re

import pytest

from conftest import aggregate, report, suite_test, write
from kvbench_report.cli import main

TESTS = [suite_test(0, "multiple_put", 64, 1000), suite_test(1, "mix", 100, 1000)]


def runs(tmp_path, name, count, slower=1.0, intervals=0, seed=1, **settings):
    """`count` reports of the same two tests: means of 0.010 and 0.020 ms
    (times `slower`) with 1 % noise, and `intervals` slices of each test."""
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        aggs = []
        for test, mean in ((0, 0.010), (1, 0.020)):
            m = mean * slower * rng.gauss(1.0, 0.01)
            agg = aggregate(test, m, m / 2, 1000, steps_per_s=1.0 / m * 1000)
            if intervals:
                agg["intervals"] = [{"start_ms": 100.0 * k, "steps": 100, "bytes": 6400,
                                     "steps_per_s": rng.gauss(1000.0 / m, 10.0 / m),
                                     "percentiles_ms": {}} for k in range(intervals)]
            aggs.append(agg)
        doc = report(TESTS, aggs, **settings)
        paths.append(write(tmp_path / f"{name}{i}.json", doc))
    return paths


def verdicts(capsys):
    return [line for line in capsys.readouterr().out.splitlines() if line.startswith("test ")]


@pytest.mark.parametrize("n, slower, expected", [
    (5, 1.0, r"no significant difference \(B/A (?:0\.9[89]|1\.0[01])\d, p = 0\.\d+, "
             r"Mann-Whitney over 5 and 5 runs\)"),
    # All of B above all of A: the smallest exact two-sided p, 2 / C(10, 5).
    (5, 2.0, r"B is (?:1\.9|2\.0)\dx slower, significant \(p = 0\.0079, "
             r"Mann-Whitney over 5 and 5 runs\)"),
    (5, 0.5, r"B is (?:1\.9|2\.0)\dx faster, significant \(p = 0\.0079, "),
    # Three runs a side can never reach 5 %: the smallest two-sided p is 0.1.
    (3, 2.0, r"no significant difference \(B/A (?:2\.0|1\.9)\d\d, p = 0\.1, "
             r"Mann-Whitney over 3 and 3 runs\)"),
])
def test_repeated_runs_are_tested_with_mann_whitney(tmp_path, capsys, n, slower, expected):
    pytest.importorskip("scipy")
    a = runs(tmp_path, "a", n, seed=1)
    b = runs(tmp_path, "b", n, slower=slower, seed=2)
    assert main(["compare", *a, "--", *b]) == 0
    lines = verdicts(capsys)
    assert [line.split(":")[0] for line in lines] == ["test 0 (multiple_put 64 B × 1000)",
                                                      "test 1 (mix 100 B × 1000)"]
    for line in lines:
        assert re.search(expected, line), line


def test_one_run_a_side_uses_intervals_or_is_not_tested(tmp_path, capsys):
    # The figures of identical runs: only the noise differs.
    a, b = runs(tmp_path, "a", 1, intervals=20), runs(tmp_path, "b", 1, 2.0, intervals=20)
    assert main(["compare", a[0], b[0]]) == 0
    assert all(", significant (p < 0.0001, Welch over 20 and 20 intervals)" in v and
               "slower" in v for v in verdicts(capsys))
    a = runs(tmp_path, "few", 1, intervals=9)
    assert main(["compare", a[0], b[0]]) == 0
    assert all(v.endswith("not tested (one run per side: no test of significance)")
               for v in verdicts(capsys))
    plain = runs(tmp_path, "plain", 1)
    assert main(["compare", plain[0], plain[0]]) == 0
    assert verdicts(capsys) == [
        "test 0 (multiple_put 64 B × 1000): difference +0.0 %, not tested (one run per side: "
        "no test of significance)",
        "test 1 (mix 100 B × 1000): difference +0.0 %, not tested (one run per side: "
        "no test of significance)"]


def test_no_shared_test_is_status_1_and_a_bad_command_line_2(tmp_path, capsys):
    a = runs(tmp_path, "a", 1)[0]
    other = write(tmp_path / "other.json",
                  report([suite_test(0, "multiple_get", 8, 5)], [aggregate(0, 1.0, 0.1, 5)]))
    assert main(["compare", a, other]) == 1
    out = capsys.readouterr().out
    assert "no test is in both reports" in out and "\ntest " not in out
    assert main(["compare", a, a, a]) == 2
    assert "compare takes A.json B.json" in capsys.readouterr().err


@pytest.mark.parametrize("change, named", [
    ({"protocol": "redis"}, "protocol: local and redis"),
    ({"threads": 4}, "threads: 1 and 4"),
    ({"connections": 8}, "connections: 1 and 8"),
    ({"rate": 5000.0}, "rate: None and 5000.0"),
    ({"test_file": "other.cfg"}, "suite: tests and other.cfg"),
])
def test_settings_that_differ_are_warned_of(tmp_path, capsys, change, named):
    a = runs(tmp_path, "a", 1)[0]
    doc = report(TESTS, [aggregate(0, 0.01, 0.005, 1000), aggregate(1, 0.02, 0.01, 1000)])
    doc["settings"].update(change)
    b = write(tmp_path / "b.json", doc)
    assert main(["compare", a, b]) == 0
    err = capsys.readouterr().err
    assert err.startswith(f"kvbench-report: warning: {a} and {b} differ in {named}")
    assert err.count("\n") == 1
    assert main(["compare", a, a]) == 0 and capsys.readouterr().err == ""
