import math

from conftest import aggregate, operation, png_size, report, result, suite_test, write
from kvbench_report import drawing, figures, runfile
from kvbench_report.cli import main

NINES = {"p50": math.log10(2), "p90": 1.0, "p99": 2.0, "p99.9": 3.0, "p99.99": 4.0,
         "p100": math.inf}


def two_thread_run(tmp_path, service):
    agg = aggregate(0, 0.02, 0.01, 2000, (0.01, 0.02, 0.05, 0.2, 0.6, 1.3), 150000.0, threads=3,
                    failed=1)
    if service:
        agg["service_percentiles_ms"] = dict(agg["percentiles_ms"], p50=0.008, p99=None)
    doc = report([suite_test(0, "multiple_put", 64, 1000), suite_test(1, "multiple_put", 64, 10)],
                 [agg],
                 [result(0, 0, (0.011, 0.02, 0.06, 0.25, 0.7, 1.3), 80000.0),
                  result(0, 1, (0.009, 0.018, 0.045, 0.15, 0.5, 0.9), 70000.0),
                  result(0, 2, success=False), result(1, 0, success=False)], threads=2)
    return doc, runfile.load(write(tmp_path / "run.json", doc))


def expected_points(percentiles):
    return sorted(((NINES[k], v) for k, v in percentiles.items() if v is not None),
                  key=lambda p: p[0])


def test_prepared_points_are_the_reports_figures(tmp_path):
    for service in (False, True):
        doc, run = two_thread_run(tmp_path, service)
        agg, results = doc["aggregates"][0], doc["results"]
        lines = figures.spectrum(run, run.tests[0])
        want = [("aggregate", agg["percentiles_ms"])]
        if service:
            want.append(("service", agg["service_percentiles_ms"]))
        want += [("thread", r["percentiles_ms"]) for r in results[:2]]   # not the failed one
        assert [(s.role, s.points) for s in lines] == \
            [(role, expected_points(p)) for role, p in want]
        assert lines[0].label == \
            ("response time, " if service else "") + "2 of 3 threads, the others failed"
        assert figures.spectrum(run, run.tests[1]) == []
        assert figures.max_position(lines) == 6.0

    bars = figures.throughput_bars(run)
    assert [(b.steps_per_s, b.thread_steps_per_s, b.thread_bytes_per_s) for b in bars] == \
        [(150000.0, [80000.0, 70000.0], [80000.0 * 64, 70000.0 * 64]), (None, [], [])]
    assert figures.binary_unit(1023.0) == (1.0, "") and \
        figures.binary_unit(5 * 2**20) == (2**20, "Mi")


def test_images_are_pngs_of_the_set_size(tmp_path, capsys):
    doc, _ = two_thread_run(tmp_path, service=True)
    run = write(tmp_path / "run.json", doc)
    assert main(["plot", run, "-o", str(tmp_path / "img"), "--svg"]) == 0
    assert main(["compare", run, run, "--plot", str(tmp_path / "cmp")]) == 0
    names = ["spectrum-0-multiple_put", "spectrum-1-multiple_put", "throughput"]
    assert sorted(p.name for p in (tmp_path / "img").iterdir()) == \
        sorted(n + e for n in names for e in (".png", ".svg"))
    assert sorted(p.name for p in (tmp_path / "cmp").iterdir()) == \
        ["compare-0-multiple_put.png", "compare-1-multiple_put.png"]
    for png in list((tmp_path / "img").glob("*.png")) + list((tmp_path / "cmp").iterdir()):
        assert png_size(png) == drawing.SIZE_PX == (900, 560)
    assert (tmp_path / "img" / "throughput.svg").read_text().lstrip().startswith("<?xml")
    assert f"wrote {tmp_path / 'img' / 'throughput.png'}" in capsys.readouterr().out


def test_a_mix_tests_spectrum_has_a_line_per_operation(tmp_path):
    doc, _ = two_thread_run(tmp_path, service=False)
    ops = {"get": operation(1500, (0.01, 0.015, 0.04, 0.1, 0.5, 1.3), 1400, 100),
           "update": operation(500, (0.02, 0.03, 0.06, 0.3, None, 0.9), 500, 0)}
    doc["aggregates"][0]["operations"] = ops
    path = write(tmp_path / "mix.json", doc)
    run = runfile.load(path)
    lines = figures.spectrum(run, run.tests[0])
    # After the aggregate's line, before the threads'.
    assert [(s.role, s.label) for s in lines[:3]] == \
        [("aggregate", "2 of 3 threads, the others failed"), ("operation", "get"),
         ("operation", "update")]
    assert [s.points for s in lines[1:3]] == \
        [expected_points(ops["get"]["percentiles_ms"]),
         expected_points(ops["update"]["percentiles_ms"])]
    assert [s.role for s in lines[3:]] == ["thread", "thread"]
    # A comparison draws the aggregates only.
    assert [s.role for s in figures.spectrum(run, run.tests[0], threads=False,
                                             operations=False)] == ["aggregate"]
    assert main(["plot", path, "-o", str(tmp_path / "img")]) == 0
    assert png_size(tmp_path / "img" / "spectrum-0-multiple_put.png") == drawing.SIZE_PX
