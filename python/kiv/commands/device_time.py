"""The device's side of kiv bench's time (--profile): each timed job's
latency split, from the driver's profile, into the wait before the device
started it, the device's time and the host's share after it; and each
operation's time over the runs.

The split needs the profile's clock to be the one the command times with.
The stand-in NPU's profile clock is the host's monotonic clock
(CLOCK_MONOTONIC), and so is time.perf_counter on Linux: no offset.
"""

from __future__ import annotations

import statistics
import time
from collections.abc import Sequence
from typing import Any

from ..standin_profile import StandinProfile, decode_profile
from .info import columns
from .stats import percentile
from .timing import Timeline

PARTS = (
    ("queue_wait", "queue wait", "submit to device start"),
    ("device", "device", "device start to end"),
    ("host", "host", "device end to result"),
)


def same_clock() -> bool:
    """Whether time.perf_counter reads the clock the stand-in's profile does."""
    return "CLOCK_MONOTONIC" in time.get_clock_info("perf_counter").implementation


def decoded(profiles: Sequence[bytes | None]) -> list[StandinProfile] | None:
    """The profiles in the stand-in NPU's layout; None when any is not."""
    runs = [None if data is None else decode_profile(data) for data in profiles]
    if not runs or any(run is None for run in runs):
        return None
    return [run for run in runs if run is not None]


def splits_ms(timeline: Timeline, runs: Sequence[StandinProfile]) -> list[tuple[float, float, float]]:
    """Per timed job, (queue wait, device, host) in milliseconds."""
    parts = []
    for start, end, run in zip(timeline.starts, timeline.ends, runs):
        device_start, device_end = run.start_ns / 1e9, (run.start_ns + run.duration_ns) / 1e9
        parts.append(((device_start - start) * 1e3, run.duration_ns / 1e6, (end - device_end) * 1e3))
    return parts


def _median_p99(values: Sequence[float]) -> dict[str, float]:
    ordered = sorted(values)
    return {"median": statistics.median(ordered), "p99": percentile(ordered, 99)}


def split_summary(parts: Sequence[tuple[float, float, float]]) -> dict[str, dict[str, float]]:
    """The median and p99 of each part, in microseconds (of parts in milliseconds)."""
    return {key: _median_p99([p[i] * 1e3 for p in parts]) for i, (key, _, _) in enumerate(PARTS)}


def operation_summary(runs: Sequence[StandinProfile]) -> dict[str, Any]:
    """Over the runs: the cores that ran them, the job's time, and per
    operation its min, median and p99 in microseconds and its share of the
    device's time."""
    device_ns = sum(run.duration_ns for run in runs)
    operations = []
    for position, first in enumerate(runs[0].operations):
        times = sorted(run.operations[position].duration_ns / 1e3 for run in runs if len(run.operations) > position)
        operations.append({
            "index": first.index, "name": first.name, "min_us": times[0],
            "median_us": statistics.median(times), "p99_us": percentile(times, 99),
            "share": sum(times) * 1e3 / device_ns if device_ns else 0.0,
        })
    jobs = sorted(run.duration_ns / 1e3 for run in runs)
    return {
        "layout": "standin", "runs": len(runs), "cores": sorted({run.core for run in runs}),
        "job_us": {"min": jobs[0], "median": statistics.median(jobs), "p99": percentile(jobs, 99)},
        "operations": operations,
    }


def split_text(summary: dict[str, dict[str, float]]) -> list[str]:
    rows = [("  part", "", "median us", "p99 us")] + [
        ("  " + label, what, "%.1f" % summary[key]["median"], "%.1f" % summary[key]["p99"])
        for key, label, what in PARTS
    ]
    return ["latency split, from the driver's profile:"] + columns(rows)


def operations_text(summary: dict[str, Any]) -> list[str]:
    cores = summary["cores"]
    head = "device time over %d profiled run%s on core%s %s: job median %.1f us, p99 %.1f us" % (
        summary["runs"], "" if summary["runs"] == 1 else "s", "" if len(cores) == 1 else "s",
        ", ".join(map(str, cores)), summary["job_us"]["median"], summary["job_us"]["p99"])
    rows = [("  op", "name", "min us", "median us", "p99 us", "share")] + [
        ("  %d" % op["index"], op["name"], "%.1f" % op["min_us"], "%.1f" % op["median_us"], "%.1f" % op["p99_us"],
         "%.1f%%" % (100 * op["share"]))
        for op in summary["operations"]
    ]
    return [head] + columns(rows)


def profile_figures(timeline: Timeline) -> tuple[dict[str, Any], dict[str, dict[str, float]] | None]:
    """The profile summary of the timed runs, and the latency split (None
    when the profiles cannot give it: none, a layout kiv does not know, or
    another clock)."""
    given = [data for data in timeline.profiles if data is not None]
    if not given:
        return {"layout": None, "runs": 0, "bytes": 0}, None
    runs = decoded(timeline.profiles)
    if runs is None:
        return {"layout": "unknown", "runs": len(given), "bytes": len(given[0])}, None
    split = split_summary(splits_ms(timeline, runs)) if same_clock() else None
    return operation_summary(runs), split


def profile_lines(profile: dict[str, Any], split: dict[str, dict[str, float]] | None) -> list[str]:
    """The text of kiv bench --profile: the split, then the operations; or
    why there is neither."""
    if profile["layout"] is None:
        return ["profile: the driver gave none; host times only"]
    if profile["layout"] == "unknown":
        return ["profile: %d bytes per run, in a layout kiv does not know; host times only" % profile["bytes"]]
    lines = split_text(split) if split is not None else ["latency split: the profile's clock is not this one"]
    return lines + operations_text(profile)


def csv_columns(timeline: Timeline) -> list[tuple[str, Sequence[float]]]:
    """Per timed run, from its profile: the core, the three parts of its
    latency and each operation's time, in milliseconds; none when the
    profiles are not in the stand-in's layout."""
    runs = decoded(timeline.profiles) if timeline.profiled else None
    if runs is None:
        return []
    parts = splits_ms(timeline, runs)
    table: list[tuple[str, Sequence[float]]] = [("core", [run.core for run in runs])]
    table += [("%s_ms" % key, [p[i] for p in parts]) for i, (key, _, _) in enumerate(PARTS)]
    for position, op in enumerate(runs[0].operations):
        times = [run.operations[position].duration_ns / 1e6 if len(run.operations) > position else 0.0 for run in runs]
        table.append(("op%d_%s_ms" % (op.index, op.name), times))
    return table
