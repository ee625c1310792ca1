"""kiv bench --trace: every timed job as a complete event of the trace event
format (JSON object form), which trace viewers such as Perfetto and
chrome://tracing open.

The host's jobs are one process, a thread row (lane) per job in flight. With
--profile and a profile in the stand-in NPU's layout, the device is a second
process beside it, a row per core: each job's span on the device, when the
core ran it, with its operations as slices nested in it, and a flow (an
arrow, to a viewer) from the job's host span to its device span. Both share
one time axis, microseconds since the timed runs began, since the profile's
clock is the host's (kiv.commands.device_time).
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from ..standin_profile import StandinProfile
from .timing import Timeline

HOST_PID, DEVICE_PID = 1, 2


def _names(pid: int, process: str, threads: dict[int, str]) -> list[dict[str, Any]]:
    """Metadata events naming a process and its thread rows."""
    events = [{"name": "process_name", "ph": "M", "pid": pid, "tid": 0, "args": {"name": process}}]
    events += [{"name": "thread_name", "ph": "M", "pid": pid, "tid": tid, "args": {"name": name}}
               for tid, name in sorted(threads.items())]
    return events


def _span(name: str, category: str, pid: int, tid: int, start_us: float, duration_us: float,
          args: dict[str, Any]) -> dict[str, Any]:
    return {"name": name, "cat": category, "ph": "X", "pid": pid, "tid": tid, "ts": start_us, "dur": duration_us,
            "args": args}


def _flow(phase: str, label: str, number: int, pid: int, tid: int, ts: float) -> dict[str, Any]:
    """One end of a job's flow: "s" binds to the slice enclosing `ts` on its
    row, "f" with the binding point "e" too (without it, to the next slice
    to begin); the two share a category, a name and an id."""
    event = {"name": label, "cat": "flow", "ph": phase, "id": number, "pid": pid, "tid": tid, "ts": ts}
    if phase == "f":
        event["bp"] = "e"
    return event


def device_events(timeline: Timeline, runs: Sequence[StandinProfile], job_name: str,
                  numbers: dict[int, int]) -> list[dict[str, Any]]:
    """Each job's span on its core, its operations nested in it, and a flow
    from its host span, which starts at the job's submit; `numbers` gives
    each timeline entry's job number, as on the host's row."""
    began_ns = timeline.began * 1e9
    events = _names(DEVICE_PID, "NPU", {run.core: "core %d" % run.core for run in runs})
    for entry, run in enumerate(runs):
        start_us = (run.start_ns - began_ns) / 1e3
        number = numbers[entry]
        label = "%s %d" % (job_name, number)
        events.append(_span(label, "device", DEVICE_PID, run.core, start_us, run.duration_ns / 1e3,
                            {"run": timeline.runs[entry], "core": run.core}))
        events += [_span(op.name, "operation", DEVICE_PID, run.core, start_us + op.start_ns / 1e3,
                         op.duration_ns / 1e3, {"index": op.index, "job": label})
                   for op in run.operations]
        # Each end lies inside its span, not on an edge another slice may
        # share: the flow leaves the host span halfway to the device's start,
        # and ends before the first operation begins, where the device span
        # itself, not an operation nested in it, encloses it.
        host_start, host_end = ((t - timeline.began) * 1e6 for t in (timeline.starts[entry], timeline.ends[entry]))
        first_ns = min((op.start_ns for op in run.operations), default=run.duration_ns)
        events += [_flow("s", label, number, HOST_PID, timeline.lanes[entry],
                         host_start + max(0.0, min(start_us, host_end) - host_start) / 2),
                   _flow("f", label, number, DEVICE_PID, run.core, start_us + first_ns / 2e3)]
    return events


def trace_events(timeline: Timeline, title: str, job_name: str,
                 runs: Sequence[StandinProfile] | None = None) -> dict[str, Any]:
    """The trace document: the host's jobs, a complete event ("ph": "X")
    each from its start (submit) to its end, numbered in the order they
    started; and with `runs` (each entry's profile), the device's."""
    order = sorted(range(len(timeline)), key=lambda i: timeline.starts[i])
    numbers = {entry: number for number, entry in enumerate(order)}
    events = _names(HOST_PID, title, {lane: "lane %d" % lane for lane in set(timeline.lanes)})
    for entry in order:
        start, end = timeline.starts[entry], timeline.ends[entry]
        events.append(_span("%s %d" % (job_name, numbers[entry]), job_name, HOST_PID, timeline.lanes[entry],
                            (start - timeline.began) * 1e6, (end - start) * 1e6, {"run": timeline.runs[entry]}))
    if runs is not None:
        events += device_events(timeline, runs, job_name, numbers)
    return {"traceEvents": events, "displayTimeUnit": "ms"}


def write_trace(path: str, timeline: Timeline, title: str, job_name: str,
                runs: Sequence[StandinProfile] | None = None) -> None:
    with open(path, "w") as f:
        json.dump(trace_events(timeline, title, job_name, runs), f)
