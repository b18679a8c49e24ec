"""timeline: each test's intervals over the run's time, one panel per test."""

import pytest

from conftest import aggregate, percentiles, png_size, report, suite_test, write
from kvbench_report import drawing, figures, runfile
from kvbench_report.cli import main

TESTS = [suite_test(0, "multiple_put", 64, 1000), suite_test(1, "mix", 100, 1000),
         suite_test(2, "multiple_get", 64, 10)]


def interval(start_ms, steps, failures=0, p50=0.05, p99=0.2):
    empty = steps == 0
    return {"start_ms": start_ms, "steps": steps, "bytes": steps * 64, "failures": failures,
            "steps_per_s": steps * 2.0,
            "percentiles_ms": percentiles(*(None if empty else v
                                            for v in (p50, 0.1, p99, 1.0, 2.0, 3.0)))}


def timed_run(tmp_path, interval_s=0.5):
    """Test 0 with a stall (a slow interval, then an empty one), test 1 with
    failed steps in two intervals, test 2 never started (no intervals)."""
    a0 = aggregate(0, 0.02, 0.01, 1000)
    a0["intervals"] = [interval(100.0, 400), interval(600.0, 50, p99=40.0),
                       interval(1100.0, 0), interval(1600.0, 380)]
    a1 = aggregate(1, 0.02, 0.01, 1000)
    a1["intervals"] = [interval(2100.0, 400), interval(2600.0, 390, failures=4),
                       interval(3100.0, 395, failures=2)]
    a2 = aggregate(2, None, None, 0, threads=0)
    a2["intervals"] = []
    doc = report(TESTS, [a0, a1, a2])
    doc["settings"]["interval_s"] = interval_s
    return write(tmp_path / "run.json", doc)


def test_a_panel_per_test_with_rate_percentiles_and_failures(tmp_path, capsys):
    run = runfile.load(timed_run(tmp_path))
    panels = figures.timeline(run)
    assert [p.test.index for p in panels] == [0, 1, 2]
    stalled, failing, idle = panels
    # Each interval at its middle, in seconds from the run's start.
    assert stalled.seconds == pytest.approx([0.35, 0.85, 1.35, 1.85])
    assert stalled.steps_per_s == [800.0, 100.0, 0.0, 760.0]
    assert stalled.p50_ms == [0.05, 0.05, None, 0.05]
    assert stalled.p99_ms == [0.2, 40.0, None, 0.2]
    assert stalled.failures == [] and failing.failures == [(pytest.approx(2.85), 4),
                                                          (pytest.approx(3.35), 2)]
    assert failing.failed_steps == 6 and idle.seconds == []

    figure = drawing.timeline_figure(run)
    # A panel's own axes carry its title; its latency axis is a twin beside it.
    titled = [a for a in figure.axes if a.get_title(loc="left")]
    assert [a.get_title(loc="left") for a in titled] == \
        ["test 0: multiple_put 64 B × 1000", "test 1: mix 100 B × 1000, 6 failed steps",
         "test 2: multiple_get 64 B × 10"]
    marks = [[list(line.get_xdata()) for line in a.lines if line.get_gid() == "failures"]
             for a in titled]
    assert marks == [[], [pytest.approx([2.85, 3.35])], []]
    assert titled[0].get_xlim() == titled[2].get_xlim() == pytest.approx((0.0, 3.6))

    out = tmp_path / "img"
    assert main(["timeline", str(tmp_path / "run.json"), "-o", str(out), "--svg"]) == 0
    assert sorted(p.name for p in out.iterdir()) == ["timeline.png", "timeline.svg"]
    width, height = png_size(out / "timeline.png")
    assert width == drawing.SIZE_PX[0] and height > drawing.SIZE_PX[1]   # grows with the tests
    assert f"wrote {out / 'timeline.png'}" in capsys.readouterr().out

    # Without the setting, the intervals' length is the step between their starts.
    run.interval_s = None
    assert figures.interval_width_s(run) == 0.5


def test_a_report_without_intervals_is_refused(tmp_path, capsys):
    path = write(tmp_path / "run.json", report(TESTS[:1], [aggregate(0, 0.02, 0.01, 1000)]))
    assert main(["timeline", path, "-o", str(tmp_path / "img")]) == 2
    assert capsys.readouterr().err == \
        f"kvbench-report: {path}: no intervals: run kvbench with --interval S\n"
    assert not (tmp_path / "img").exists()


def test_intervals_read_new_fields_and_older_reports(tmp_path):
    new = runfile.load(timed_run(tmp_path))
    slow = new.aggregates[0].intervals[1]
    assert (slow.start_ms, slow.steps, slow.bytes, slow.failures, slow.steps_per_s) == \
        (600.0, 50, 3200, 0, 100.0)
    assert [(p.label, p.ms) for p in slow.percentiles] == \
        [("p50", 0.05), ("p90", 0.1), ("p99", 40.0), ("p99.9", 1.0), ("p99.99", 2.0),
         ("p100", 3.0)]
    assert new.aggregates[0].intervals[2].percentile_ms("p99") is None
    assert new.interval_s == 0.5

    # Before bytes, failures and percentiles: start, steps and rate only.
    old = aggregate(0, 0.02, 0.01, 1000)
    old["intervals"] = [{"start_ms": 0.0, "steps": 10, "steps_per_s": 20.0}]
    run = runfile.load(write(tmp_path / "old.json", report(TESTS[:1], [old])))
    assert run.aggregates[0].intervals == [runfile.Interval(0.0, 10, 20.0)]
    assert run.interval_s is None

    old["intervals"][0]["failures"] = -1
    with pytest.raises(runfile.ReportError,
                       match=r"field aggregates\[0\]\.intervals\[0\]\.failures: expected a "
                             r"whole number of at least 0, found -1"):
        runfile.load(write(tmp_path / "bad.json", report(TESTS[:1], [old])))
