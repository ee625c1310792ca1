"""The figures of kiv bench: latency statistics, throughput, peak memory."""

from __future__ import annotations

import math
import resource
import statistics
from collections.abc import Sequence
from typing import Any

from .timing import Timeline


def percentile(ordered: Sequence[float], fraction: float) -> float:
    """The value below which `fraction` of the sorted values lie (nearest rank)."""
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def latency_ms(latencies: Sequence[float]) -> dict[str, float]:
    """min, mean, standard deviation, median, p90, p99 and max, in milliseconds."""
    ordered = sorted(latencies)
    return {
        name: value * 1e3
        for name, value in (
            ("min", ordered[0]),
            ("mean", statistics.fmean(ordered)),
            ("stdev", statistics.stdev(ordered) if len(ordered) > 1 else 0.0),
            ("median", statistics.median(ordered)),
            ("p90", percentile(ordered, 0.90)),
            ("p99", percentile(ordered, 0.99)),
            ("max", ordered[-1]),
        )
    }


def peak_rss_bytes() -> int:
    """The most memory the process has held resident so far (Linux counts in KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def summary(timeline: Timeline, sets_per_job: int, seconds: float) -> dict[str, Any]:
    """The figures of a finished (or interrupted) run of at least one job."""
    inferences = len(timeline) * sets_per_job
    return {
        "runs": len(timeline),
        "inferences": inferences,
        "seconds": seconds,
        "throughput_per_s": inferences / seconds if seconds else 0.0,
        "latency_ms": latency_ms(timeline.latencies()),
        "peak_rss_bytes": peak_rss_bytes(),
    }
