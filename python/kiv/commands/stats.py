"""The figures of kiv bench: latency statistics, throughput, peak memory."""

from __future__ import annotations

import math
import resource
import statistics
from collections.abc import Sequence
from typing import Any

from .timing import Timeline

DEFAULT_PERCENTILES = (50.0, 90.0, 99.0)


def percentiles_option(text: str) -> tuple[float, ...]:
    """The value of --percentiles: numbers above 0 and at most 100, comma-separated."""
    try:
        values = tuple(float(word) for word in text.split(","))
    except ValueError:
        raise ValueError("takes numbers separated by commas, such as 50,90,99, not %r" % text) from None
    if not all(0 < value <= 100 for value in values):
        raise ValueError("takes numbers above 0 and at most 100, not %r" % text)
    return tuple(sorted(set(values)))


def percentile_key(value: float) -> str:
    """"p50", "p99.9"."""
    return "p%g" % value


def _rank(count: int, percent: float) -> int:
    """The nearest rank of a percentile among `count` sorted values, from 1
    (the product first: 99.9 * 1000 / 100 is 999, 0.999 * 1000 is not)."""
    return max(1, math.ceil(percent * count / 100))


def percentile(ordered: Sequence[float], percent: float) -> float:
    """The value below which `percent` % of the sorted values lie (nearest rank)."""
    return ordered[_rank(len(ordered), percent) - 1]


def latency_ms(latencies: Sequence[float], percentiles: Sequence[float]) -> dict[str, float | None]:
    """min, mean, standard deviation (None for one run), the percentiles
    and max, in milliseconds."""
    ordered = sorted(latencies)
    figures: dict[str, float | None] = {
        "min": ordered[0] * 1e3,
        "mean": statistics.fmean(ordered) * 1e3,
        "stdev": statistics.stdev(ordered) * 1e3 if len(ordered) > 1 else None,
    }
    figures.update({percentile_key(p): percentile(ordered, p) * 1e3 for p in percentiles})
    figures["max"] = ordered[-1] * 1e3
    return figures


def few_runs_notes(runs: int, percentiles: Sequence[float]) -> list[str]:
    """What the figures of so few runs cannot tell: a percentile whose rank
    is the last run is only the slowest run; one run has no spread."""
    notes = ["1 run has no standard deviation"] if runs == 1 else []
    for p in percentiles:
        if p == 100 or _rank(runs, p) < runs:
            continue
        needed = runs + 1
        while _rank(needed, p) == needed:
            needed += 1
        notes.append("%s needs at least %d runs; of %d it is the slowest" % (percentile_key(p), needed, runs))
    return notes


def peak_rss_bytes() -> int:
    """The most memory the process has held resident so far (Linux counts in KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def summary(timeline: Timeline, sets_per_run: int, seconds: float, percentiles: Sequence[float]) -> dict[str, Any]:
    """The figures of a finished (or interrupted) run of at least one job."""
    inferences = len(timeline) * sets_per_run
    return {
        "runs": len(timeline),
        "inferences": inferences,
        "inferences_per_run": sets_per_run,
        "seconds": seconds,
        "throughput_per_s": inferences / seconds if seconds else 0.0,
        "latency_ms": latency_ms(timeline.latencies(), percentiles),
        "peak_rss_bytes": peak_rss_bytes(),
    }
