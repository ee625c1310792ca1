"""The driver's profiles of runs, as kiv run and kiv bench show them: a
table per operation when the profile is in the stand-in NPU's layout, and
its size otherwise."""

from __future__ import annotations

import statistics
from collections.abc import Sequence
from typing import Any

from ..standin_profile import StandinProfile, decode_profile
from .info import columns


def _decoded(profiles: Sequence[bytes]) -> list[StandinProfile] | None:
    decoded = [decode_profile(data) for data in profiles]
    return None if not decoded or any(p is None for p in decoded) else [p for p in decoded if p is not None]


def profile_summary(profiles: Sequence[bytes | None]) -> dict[str, Any]:
    """The profiles of several runs of one model: per operation (the stand-in's
    layout) the median start and duration in microseconds, the cores that ran
    the jobs and the median job time; else only their size."""
    given = [p for p in profiles if p is not None]
    if not given:
        return {"runs": len(profiles), "bytes": 0}
    decoded = _decoded(given)
    if decoded is None:
        return {"runs": len(given), "bytes": len(given[0])}
    operations = []
    for position, first in enumerate(decoded[0].operations):
        ran = [p.operations[position] for p in decoded if len(p.operations) > position]
        operations.append({
            "index": first.index, "name": first.name,
            "start_us": statistics.median(op.start_ns for op in ran) / 1e3,
            "duration_us": statistics.median(op.duration_ns for op in ran) / 1e3,
        })
    return {
        "runs": len(decoded),
        "cores": sorted({p.core for p in decoded}),
        "job_us": statistics.median(p.duration_ns for p in decoded) / 1e3,
        "operations": operations,
    }


def profile_text(summary: dict[str, Any]) -> str:
    """The summary as lines: a table of operations, or the profile's size."""
    if "operations" not in summary:
        if not summary["bytes"]:
            return "profile: the driver gave none"
        return "profile: %d bytes per run, in a layout kiv does not know" % summary["bytes"]
    head = "profile (median of %d run%s): job %.1f us on core%s %s" % (
        summary["runs"], "" if summary["runs"] == 1 else "s", summary["job_us"],
        "" if len(summary["cores"]) == 1 else "s", ", ".join(map(str, summary["cores"])))
    rows = [("  op", "name", "start us", "duration us")] + [
        ("  %d" % op["index"], op["name"], "%.1f" % op["start_us"], "%.1f" % op["duration_us"])
        for op in summary["operations"]
    ]
    return "\n".join([head] + columns(rows))
