"""kiv bench --csv: one row per timed run, in the order the runs started,
for a spreadsheet or a script."""

from __future__ import annotations

import csv
from collections.abc import Callable, Sequence

from .timing import Timeline

COLUMNS = ("run", "start_ms", "latency_ms", "sample")


def _cell(value: float) -> str:
    return str(value) if isinstance(value, int) else "%.6f" % value


def write_csv(path: str, timeline: Timeline, sample_of: Callable[[int], str],
              extra: Sequence[tuple[str, Sequence[float]]] = ()) -> None:
    """The runs of the timeline: their number, start (milliseconds since the
    timed runs began), latency in milliseconds and the sample they took
    (`sample_of(run)`); then a column for each of `extra` (a name, and a
    value per entry of the timeline)."""
    order = sorted(range(len(timeline)), key=lambda i: timeline.starts[i])
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(COLUMNS + tuple(name for name, _ in extra))
        for i in order:
            run = timeline.runs[i]
            row = [run, "%.6f" % ((timeline.starts[i] - timeline.began) * 1e3),
                   "%.6f" % ((timeline.ends[i] - timeline.starts[i]) * 1e3), sample_of(run)]
            writer.writerow(row + [_cell(values[i]) for _, values in extra])
