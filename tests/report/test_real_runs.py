"""kvbench-report on JSON reports of real kvbench runs (local protocol,
the suite of conftest.SUITE, on 1 and on 2 threads)."""

import json
import math
import re

import pytest

from conftest import png_size, run_tool
from kvbench_report import drawing, figures, runfile
from kvbench_report.cli import main


def test_summary_and_compare_of_real_runs(kvbench_runs, capsys):
    one, two = kvbench_runs
    done = run_tool("summary", two)
    assert done.returncode == 0 and done.stderr == ""
    rows = done.stdout.splitlines()[2:]
    assert [r.split()[:8] for r in rows] == [
        ["0", "multiple_put", "64", "B", "×", "300", "2", "0"],
        ["1", "multiple_put_get_delete", "256", "B", "×", "200", "2", "0"],
        ["2", "single_put_multiple_get", "1024", "B", "×", "400", "2", "0"]]

    assert main(["compare", one, two]) == 0
    out = capsys.readouterr().out
    assert "only in" not in out
    verdicts = re.findall(r"^test \d+ \(.*\): .*(significant|not tested)", out, re.MULTILINE)
    assert len(verdicts) == 3


def test_plots_of_a_real_run_show_its_percentiles(kvbench_runs, tmp_path, capsys):
    path = kvbench_runs[1]
    with open(path) as f:
        doc = json.load(f)
    run = runfile.load(path)
    for test in run.tests:
        series = figures.spectrum(run, test)
        agg = next(a for a in doc["aggregates"] if a["test"] == test.index)
        threads = [r for r in doc["results"] if r["test"] == test.index]
        assert [s.role for s in series] == ["aggregate", "thread", "thread"]
        for s, source in zip(series, [agg] + threads):
            want = sorted((float(key[1:]), ms) for key, ms in source["percentiles_ms"].items())
            assert [ms for _, ms in s.points] == [ms for _, ms in want]
            assert [x for x, _ in s.points] == pytest.approx(
                [math.inf if q == 100 else -math.log10(1 - q / 100) for q, _ in want])

    assert main(["plot", path, "-o", str(tmp_path)]) == 0
    images = sorted(tmp_path.iterdir())
    assert [p.name for p in images] == ["spectrum-0-multiple_put.png",
                                        "spectrum-1-multiple_put_get_delete.png",
                                        "spectrum-2-single_put_multiple_get.png", "throughput.png"]
    for image in images:
        assert png_size(image) == drawing.SIZE_PX
