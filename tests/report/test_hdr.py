"""export-hdr: the log's lines, and its histogram decoded by hand (inflate,
the V2 header, zig-zag LEB128 counts with runs of zeros), as HdrHistogram's
readers do; no HdrHistogram library is at hand to read it."""

import base64
import struct
import zlib

from conftest import aggregate, report, result, suite_test, write
from kvbench_report.cli import main
from kvbench_report.hdrlog import LEGEND, Layout


def decode(text):
    """(lowest value of the counts' slot, count) of each non-empty slot."""
    raw = base64.b64decode(text)
    cookie, length = struct.unpack(">ii", raw[:8])
    assert cookie & ~0xf0 == 0x1c849304 and length == len(raw) - 8
    body = zlib.decompress(raw[8:])
    cookie, size, offset, digits, lowest, highest, ratio = struct.unpack(">iiiiqqd", body[:40])
    assert (cookie & ~0xf0, size, offset, digits, lowest, ratio) == \
        (0x1c849303, len(body) - 40, 0, 3, 1, 1.0)
    counts, index, at = [], 0, 40
    while at < len(body):
        value, shift = 0, 0
        while True:
            byte = body[at]
            at += 1
            value |= (byte & 0x7f) << shift
            shift += 7
            if not byte & 0x80:
                break
        value = (value >> 1) ^ -(value & 1)
        if value < 0:
            index -= value
        else:
            if value:
                counts.append((Layout().value(index), value))
            index += 1
    return counts, highest


def test_export_hdr_round_trips_the_counts(tmp_path, capsys):
    agg = aggregate(0, 0.5, 0.1, 1111, p=(0.4, 0.5, 0.9, 1, 1, 2))
    # Buckets in ms: below 1 µs, 1.5 µs, 0.5 ms, 2.0005 s, and the overflow.
    agg["histogram"] = {"lower_ms": [None, 0.0014, 0.4995, 2000.0, 3600000.0],
                        "upper_ms": [0.0009, 0.0015, 0.5, 2000.5, None],
                        "counts": [1, 10, 1000, 99, 1]}
    thread = result(0, 1)
    thread.update(start_ms=12.5, span_ms=980.0,
                  histogram={"lower_ms": [0.001], "upper_ms": [0.001], "counts": [7]})
    doc = report([suite_test(0, "multiple_put", 64, 1111)], [agg], [thread])
    run = write(tmp_path / "run.json", doc)

    out = tmp_path / "agg.hlog"
    assert main(["export-hdr", run, "--test", "0", "-o", str(out)]) == 0
    lines = out.read_text().splitlines()
    assert lines[1:5] == ["#[Histogram log format version 1.3]",
                          "#[StartTime: 1796811300.000 (seconds since epoch), "
                          "Wed Dec 09 10:15:00 UTC 2026]",
                          "#[BaseTime: 1796811300.000 (seconds since epoch)]", LEGEND]
    start, length, top, code = lines[5].split(",")
    # The aggregate starts with its first thread.
    assert (start, length, top) == ("0.013", "1.000", "3600000.000")
    counts, highest = decode(code)
    assert highest == 3600000 * 10**6
    # Values in ns at 3 digits: exact below 2048, within 1/1024 above.
    exact = [(900, 1), (1500, 10)]
    assert counts[:2] == exact and [c for _, c in counts[2:]] == [1000, 99, 1]
    for (value, _), want in zip(counts[2:], (500000, 2000500000, 3600000 * 10**6)):
        assert want - want / 1024 <= value <= want

    assert main(["export-hdr", run, "--test", "0", "--thread", "1", "-o", str(out)]) == 0
    start, length, _, code = out.read_text().splitlines()[5].split(",")
    assert (start, length, decode(code)[0]) == ("0.013", "0.980", [(1000, 7)])
    capsys.readouterr()
    for args, message in ((["--test", "3"], "no test 3"),
                          (["--test", "0", "--thread", "4"], "no test 0's result of thread 4")):
        assert main(["export-hdr", run, *args, "-o", str(out)]) == 2
        assert capsys.readouterr().err == f"kvbench-report: {run}: {message}\n"
