"""kiv bench --trace: every timed job as a complete event of the trace event
format (JSON object form), which trace viewers such as Perfetto and
chrome://tracing open. A lane is a thread row: one per job in flight."""

from __future__ import annotations

import json
from typing import Any

from .timing import Timeline

PID = 1


def trace_events(timeline: Timeline, title: str, job_name: str) -> dict[str, Any]:
    """The trace document: a name for the process and each lane, then one
    complete event ("ph": "X") per job, from its start to its end, in
    microseconds since the timed runs began."""
    events: list[dict[str, Any]] = [{"name": "process_name", "ph": "M", "pid": PID, "tid": 0, "args": {"name": title}}]
    for lane in sorted(set(timeline.lanes)):
        events.append({"name": "thread_name", "ph": "M", "pid": PID, "tid": lane, "args": {"name": "lane %d" % lane}})
    jobs = sorted(zip(timeline.starts, timeline.ends, timeline.lanes))
    for number, (start, end, lane) in enumerate(jobs):
        events.append({
            "name": "%s %d" % (job_name, number), "cat": job_name, "ph": "X", "pid": PID, "tid": lane,
            "ts": (start - timeline.began) * 1e6, "dur": (end - start) * 1e6,
        })
    return {"traceEvents": events, "displayTimeUnit": "ms"}


def write_trace(path: str, timeline: Timeline, title: str, job_name: str) -> None:
    with open(path, "w") as f:
        json.dump(trace_events(timeline, title, job_name), f)
