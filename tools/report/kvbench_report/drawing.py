"""The images, drawn with matplotlib from the points that figures.py prepares.

Figures are made without pyplot, so nothing depends on a display or on
global state; every image has the same size in pixels, but for a
timeline, which grows by a panel for each test.
"""

import math
import os
from typing import List

from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter
from matplotlib.transforms import offset_copy

from . import figures
from .figures import Series
from .runfile import Run, Test

WIDTH_IN, HEIGHT_IN, DPI = 9.0, 5.6, 100
SIZE_PX = (int(WIDTH_IN * DPI), int(HEIGHT_IN * DPI))

_STYLE = {  # role: line width, alpha, line style
    "aggregate": (2.6, 1.0, "-"),
    "service": (2.0, 1.0, "--"),
    "thread": (0.9, 0.35, "-"),
    "operation": (1.4, 0.9, "-"),
}
_COLOURS = ["#1f5fa8", "#d2601a"]   # run A (or the only run), run B
# A mix test's operation types, each in a colour of its own beside the
# aggregate's blue; names kvbench does not write get the last one.
_OPERATION_COLOURS = {"get": "#2a9d3f", "put": "#c43c39", "update": "#8a4fb5",
                      "remove": "#8c6d31", "read_modify_write": "#d4a017"}
_OTHER_OPERATION_COLOUR = "#555555"
# A timeline's lines: steps per second in the run's blue, the two
# percentiles in colours of their own, failed steps in red.
_TIMELINE_COLOURS = {"p50": "#2a9d3f", "p99": "#8a4fb5", "failures": "#c43c39"}
PANEL_HEIGHT_IN = 2.1    # a timeline grows by this much for each test
MAX_DOTTED_INTERVALS = 120


def _figure() -> Figure:
    return Figure(figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI, layout="constrained")


def _save(figure: Figure, directory: str, name: str, svg: bool) -> List[str]:
    paths = [os.path.join(directory, name + ".png")]
    if svg:
        paths.append(os.path.join(directory, name + ".svg"))
    for path in paths:
        figure.savefig(path)
    return paths


def _draw_series(axes, series: List[Series], colour: str, max_x: float, prefix: str = ""):
    drawn_thread_label = False
    for s in series:
        width, alpha, style = _STYLE[s.role]
        # A log axis has no place for 0 ms; p100 goes to the "max" column.
        xs = [max_x if math.isinf(x) else x for x, y in s.points if y > 0]
        ys = [y for _, y in s.points if y > 0]
        label = prefix + s.label
        if s.role == "thread":
            label = prefix + "each thread" if not drawn_thread_label else None
            drawn_thread_label = True
        axes.plot(xs, ys, linestyle=style, linewidth=width, alpha=alpha, color=colour,
                  marker="o" if s.role != "thread" else None, markersize=3.5, label=label)


def _spectrum_axes(axes, max_x: float, has_service: bool):
    ticks = figures.NINES_TICKS + [(max_x, figures.MAX_LABEL)]
    axes.set_xticks([x for x, _ in ticks], [label for _, label in ticks])
    axes.set_xlim(0.0, max_x + 0.25)
    axes.set_yscale("log")
    # 1, 2 and 5 of every decade are labelled: a tail seldom spans more than
    # two decades, and one label a decade leaves most of it unreadable.
    axes.yaxis.set_major_locator(LogLocator(base=10.0, subs=(1.0, 2.0, 5.0)))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    axes.yaxis.set_minor_formatter(NullFormatter())
    axes.set_xlabel("percentile (%)")
    axes.set_ylabel("time per step (ms)" if has_service else "latency per step (ms)")
    axes.grid(True, which="major", alpha=0.3)
    axes.grid(True, which="minor", axis="y", alpha=0.1)


def _no_data(axes, text: str):
    axes.text(0.5, 0.5, text, transform=axes.transAxes, ha="center", va="center")


def spectrum_image(run: Run, test: Test, directory: str, svg: bool) -> List[str]:
    series = figures.spectrum(run, test)
    max_x = figures.max_position(series)
    figure = _figure()
    axes = figure.add_subplot()
    # Threads first, so that the aggregate is drawn over them.
    _draw_series(axes, [s for s in series if s.role == "thread"], _COLOURS[0], max_x)
    for s in series:
        if s.role == "operation":
            _draw_series(axes, [s], _OPERATION_COLOURS.get(s.label, _OTHER_OPERATION_COLOUR),
                         max_x)
    _draw_series(axes, [s for s in series if s.role not in ("thread", "operation")],
                 _COLOURS[0], max_x)
    _spectrum_axes(axes, max_x, any(s.role == "service" for s in series))
    if series:
        axes.legend(loc="upper left")
    else:
        _no_data(axes, "no successful result")
    figure.suptitle(f"Latency spectrum of test {test.index}: {test.label}\n"
                    f"{figures.run_title(run)}")
    return _save(figure, directory, figures.file_name("spectrum", test), svg)


def compare_image(a: Run, ta: Test, b: Run, tb: Test, directory: str, svg: bool) -> List[str]:
    sa = figures.spectrum(a, ta, threads=False, operations=False)
    sb = figures.spectrum(b, tb, threads=False, operations=False)
    max_x = figures.max_position(sa + sb)
    figure = _figure()
    axes = figure.add_subplot()
    _draw_series(axes, sa, _COLOURS[0], max_x, "A, ")
    _draw_series(axes, sb, _COLOURS[1], max_x, "B, ")
    _spectrum_axes(axes, max_x, any(s.role == "service" for s in sa + sb))
    if sa or sb:
        axes.legend(loc="upper left")
    else:
        _no_data(axes, "no successful result")
    figure.suptitle(f"Latency spectrum of {ta.label}\n"
                    f"A: {os.path.basename(a.path)}: {figures.run_title(a)}\n"
                    f"B: {os.path.basename(b.path)}: {figures.run_title(b)}", fontsize="medium")
    return _save(figure, directory, figures.file_name("compare", ta), svg)


def _bars(axes, bars: List[figures.Bars], total, each, label: str, scale: float = 1.0):
    colour = _COLOURS[0]
    positions = range(len(bars))
    heights = [(total(b) or 0.0) / scale for b in bars]
    axes.bar(positions, heights, width=0.6, color=colour, alpha=0.75, label="all threads")
    labelled = False
    for x, b in zip(positions, bars):
        values = [v / scale for v in each(b)]
        if total(b) is None:
            axes.annotate("no result", (x, 0), ha="center", va="bottom")
        if values:
            # The spread over threads: each thread's value and their range.
            axes.vlines(x, min(values), max(values), color="black", linewidth=1.2,
                        label=None if labelled else "each thread and their range")
            axes.plot([x] * len(values), values, linestyle="none", marker="_", markersize=12,
                      color="black")
            labelled = True
    axes.set_xticks(list(positions), [b.label for b in bars], fontsize="small")
    axes.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,g}"))
    axes.set_ylabel(label)
    axes.grid(True, axis="y", alpha=0.3)
    axes.legend(loc="upper right", fontsize="small")


def throughput_image(run: Run, directory: str, svg: bool) -> List[str]:
    bars = figures.throughput_bars(run)
    figure = _figure()
    steps, band = figure.subplots(2, 1, sharex=True)
    _bars(steps, bars, lambda b: b.steps_per_s, lambda b: b.thread_steps_per_s,
          "throughput (steps/s)")
    largest = max([b.bytes_per_s or 0.0 for b in bars] + [0.0])
    factor, prefix = figures.binary_unit(largest)
    _bars(band, bars, lambda b: b.bytes_per_s, lambda b: b.thread_bytes_per_s,
          f"bandwidth ({prefix}B/s)", factor)
    figure.suptitle(f"Throughput and bandwidth per test\n{figures.run_title(run)}")
    return _save(figure, directory, "throughput", svg)


def plot_run(run: Run, directory: str, svg: bool) -> List[str]:
    paths = []
    for test in run.tests:
        paths += spectrum_image(run, test, directory, svg)
    paths += throughput_image(run, directory, svg)
    return paths


def _values(values) -> List[float]:
    """None (no value) and values a log axis cannot hold as gaps in a line."""
    return [math.nan if v is None or v <= 0 else v for v in values]


def _timeline_panel(steps, panel: figures.Timeline):
    title = f"test {panel.test.index}: {panel.test.label}"
    if panel.failed_steps:
        title += (f", {panel.failed_steps:,} failed step"
                  f"{'' if panel.failed_steps == 1 else 's'}")
    steps.set_title(title, fontsize="medium", loc="left")
    steps.set_ylabel("steps/s")
    steps.grid(True, alpha=0.3)
    if not panel.seconds:
        steps.set_yticks([])
        _no_data(steps, "no intervals")
        return
    steps.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,g}"))
    # An empty interval's rate is 0 and drawn so: it is a stall.
    # Points mark the intervals while they can be told apart.
    dots = 2.5 if len(panel.seconds) <= MAX_DOTTED_INTERVALS else 0.0
    steps.plot(panel.seconds, [math.nan if v is None else v for v in panel.steps_per_s],
               color=_COLOURS[0], linewidth=1.8, marker="o", markersize=dots)
    steps.set_ylim(bottom=0.0)
    red = _TIMELINE_COLOURS["failures"]
    half = panel.width_s / 2.0
    for middle, _ in panel.failures:
        if half > 0:
            steps.axvspan(middle - half, middle + half, color=red, alpha=0.2, linewidth=0)
    if panel.failures:
        # A mark on the panel's top edge, seen however narrow the interval.
        steps.plot([x for x, _ in panel.failures], [1.0] * len(panel.failures),
                   transform=steps.get_xaxis_transform(), linestyle="none", marker="v",
                   markersize=7, color=red, clip_on=False, gid="failures")
    latency = steps.twinx()
    for name, values in (("p50", panel.p50_ms), ("p99", panel.p99_ms)):
        latency.plot(panel.seconds, _values(values), color=_TIMELINE_COLOURS[name],
                     linewidth=1.2, linestyle="--", marker=".", markersize=dots * 1.2)
    if any(v is not None and v > 0 for v in panel.p50_ms + panel.p99_ms):
        latency.set_yscale("log")
        latency.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        latency.yaxis.set_minor_formatter(NullFormatter())
    latency.set_ylabel("latency (ms)")


def _timeline_legend(axes, failures: bool):
    """One legend for all panels, under the last one."""
    handles = [Line2D([], [], color=_COLOURS[0], linewidth=1.8, marker="o", markersize=2.5,
                      label="steps/s (left axis)")]
    handles += [Line2D([], [], color=_TIMELINE_COLOURS[name], linewidth=1.2, linestyle="--",
                       marker=".", markersize=3, label=f"{name} (ms, right axis)")
                for name in ("p50", "p99")]
    if failures:
        handles.append(Line2D([], [], color=_TIMELINE_COLOURS["failures"], linestyle="none",
                              marker="v", markersize=7, label="interval with failed steps"))
    # Below the time axis's label, however tall the panel.
    below = offset_copy(axes.transAxes, fig=axes.figure, y=-36, units="points")
    axes.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, 0.0),
                bbox_transform=below, ncol=len(handles), fontsize="small", frameon=False)


def timeline_figure(run: Run) -> Figure:
    """One panel per test, stacked over a shared time axis: the aggregate's
    steps per second in each interval, its p50 and p99 on a second axis,
    and the intervals with failed steps marked."""
    panels = figures.timeline(run)
    height = max(HEIGHT_IN, 1.6 + PANEL_HEIGHT_IN * len(panels))
    figure = Figure(figsize=(WIDTH_IN, height), dpi=DPI, layout="constrained")
    grid = figure.subplots(max(len(panels), 1), 1, sharex=True, squeeze=False)
    for axes, panel in zip(grid[:, 0], panels):
        _timeline_panel(axes, panel)
    ends = [x + p.width_s / 2.0 for p in panels for x in p.seconds]
    if ends:
        grid[0, 0].set_xlim(0.0, max(ends))
    grid[-1, 0].set_xlabel("time from the run's start (s)")
    _timeline_legend(grid[-1, 0], any(p.failures for p in panels))
    width = figures.interval_width_s(run)
    figure.suptitle(f"Timeline of the run{f', intervals of {width:g} s' if width else ''}\n"
                    f"{figures.run_title(run)}", fontsize="medium")
    return figure


def timeline_image(run: Run, directory: str, svg: bool) -> List[str]:
    return _save(timeline_figure(run), directory, "timeline", svg)


def plot_comparison(a: Run, b: Run, pairs, directory: str, svg: bool = False) -> List[str]:
    paths = []
    for ta, tb in pairs:
        paths += compare_image(a, ta, b, tb, directory, svg)
    return paths
