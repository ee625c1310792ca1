"""kiv bench --plot: the latency distribution and latency over time as a PNG,
SVG or PDF file, drawn with matplotlib, an optional dependency imported only
here."""

from __future__ import annotations

import importlib
import importlib.util
import os
from collections.abc import Mapping
from typing import Any

import numpy as np

from .timing import Timeline
from .usage import UsageError

# The formats a plot is written in, by the file's suffix.
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# The image is WIDTH x HEIGHT pixels (in PNG).
WIDTH, HEIGHT, DPI = 1000, 400, 100
# The line styles of the percentiles marked, in turn.
STYLES = ("-", "--", ":", "-.")
PACKAGE = "python3-matplotlib"


def _missing() -> UsageError:
    return UsageError(
        "--plot needs matplotlib, which is not installed: install the Debian package %s (apt-get install %s); "
        "everything else works without it" % (PACKAGE, PACKAGE)
    )


def plot_format(path: str) -> str:
    """The format the suffix of `path` names; UsageError for any other."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        raise UsageError("--plot %s: the plot is written as PNG, SVG or PDF, as the file's suffix says (%s)" % (
            path, ", ".join(FORMATS)))
    return FORMATS[suffix]


def require_matplotlib() -> None:
    """UsageError naming the package when matplotlib is not installed. Looked
    up, not imported: the import would add to the memory a run reports."""
    if importlib.util.find_spec("matplotlib") is None:
        raise _missing()


def _pyplot() -> Any:
    """matplotlib.pyplot, drawing into files."""
    try:
        matplotlib = importlib.import_module("matplotlib")
        matplotlib.use("Agg")  # no display: files only
        return importlib.import_module("matplotlib.pyplot")
    except ImportError:
        raise _missing() from None


def write_plot(path: str, timeline: Timeline, latency: Mapping[str, float | None], title: str, unit: str) -> None:
    """A histogram of the latencies with the percentiles marked, beside
    each job's latency against when it started."""
    plt = _pyplot()
    figure, (histogram, over_time) = plt.subplots(1, 2, figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI)
    milliseconds = [value * 1e3 for value in timeline.latencies()]
    # Logarithmic bins: a few slow runs, a hundred times the median, would
    # otherwise squeeze the usual ones into a single bar.
    low = max(min(milliseconds), 1e-6)
    bins = np.geomspace(low, max(max(milliseconds), low * 1.01), 60)
    histogram.hist(milliseconds, bins=bins, color="tab:blue")
    histogram.set_xscale("log")
    marks = [(name, value) for name, value in latency.items() if name.startswith("p") and value is not None]
    for (name, value), style in zip(marks, STYLES * len(marks)):
        histogram.axvline(value, color="tab:red", linestyle=style, label="%s %.3f ms" % (name, value))
    histogram.set(xlabel="latency per %s, ms" % unit, ylabel="runs", title="distribution")
    histogram.legend()
    over_time.semilogy([start - timeline.began for start in timeline.starts], milliseconds, ".", markersize=2)
    for (name, value), style in zip(marks, STYLES * len(marks)):
        over_time.axhline(value, color="tab:red", linestyle=style, label=name)
    over_time.set(xlabel="start of the run, s", ylabel="latency per %s, ms" % unit, title="over time")
    over_time.legend()
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(path, format=plot_format(path))
    plt.close(figure)
