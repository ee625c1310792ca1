"""The timed runs of kiv bench, in its three modes, and what they record:
when each job started and ended, and the lane it ran in (one lane per job in
flight)."""

from __future__ import annotations

import collections
import dataclasses
import sys
import time
from array import array
from collections.abc import Callable, Iterator, Sequence

from ..job_options import JobOptions
from ..model import Model
from .input_data import Arrays

# The job options of timed run i (None: the model's own).
PerRun = Callable[[int], JobOptions | None]


@dataclasses.dataclass(frozen=True)
class Goal:
    """How long to keep going: at least one run, at least `count` runs and at
    least `seconds` (either may be None)."""

    count: int | None
    seconds: float | None

    def reached(self, done: int, elapsed: float) -> bool:
        return done >= (self.count or 1) and (self.seconds is None or elapsed >= self.seconds)


@dataclasses.dataclass
class Timeline:
    """Start and end of each timed job (perf_counter seconds), its lane and
    the number of the run (which input set it took follows from it);
    `began` is when the timed runs began. Packed arrays, so that a long run
    adds little to the peak memory it reports (8 bytes a figure, not 32).
    When `profiled`, also each job's profile from the driver."""

    profiled: bool = False
    began: float = dataclasses.field(default_factory=time.perf_counter)
    starts: array[float] = dataclasses.field(default_factory=lambda: array("d"))
    ends: array[float] = dataclasses.field(default_factory=lambda: array("d"))
    lanes: array[int] = dataclasses.field(default_factory=lambda: array("i"))
    runs: array[int] = dataclasses.field(default_factory=lambda: array("q"))
    profiles: list[bytes | None] = dataclasses.field(default_factory=list)

    def add(self, start: float, end: float, lane: int, run: int, profile: bytes | None = None) -> None:
        self.starts.append(start)
        self.ends.append(end)
        self.lanes.append(lane)
        self.runs.append(run)
        if self.profiled:
            self.profiles.append(profile)

    def __len__(self) -> int:
        return len(self.starts)

    def latencies(self) -> list[float]:
        return [end - start for start, end in zip(self.starts, self.ends)]


class Progress:
    """A line on the terminal that counts the timed runs; silent elsewhere."""

    def __init__(self, enabled: bool, goal: Goal) -> None:
        self._enabled = enabled
        self._goal = goal
        self._shown = 0.0

    def show(self, done: int, began: float) -> None:
        now = time.perf_counter()
        if not self._enabled or now - self._shown < 0.2:
            return
        self._shown = now
        goals = ["%d runs" % self._goal.count] if self._goal.count else []
        goals += ["%.0f s" % self._goal.seconds] if self._goal.seconds else []
        sys.stderr.write("\r  %d runs, %.1f s of %s " % (done, now - began, " and ".join(goals)))
        sys.stderr.flush()

    def end(self) -> None:
        if self._enabled:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()


# Each mode adds to a timeline the caller holds, which keeps the jobs that
# ended when an interrupt stops the runs.


def one_at_a_time(run: Callable[[int], bytes | None], goal: Goal, progress: Progress, timeline: Timeline) -> None:
    """Calls run(0), run(1), ... one at a time, in lane 0, until the goal is
    reached; each returns its job's profile (or None)."""
    while not goal.reached(len(timeline), time.perf_counter() - timeline.began):
        number = len(timeline)
        start = time.perf_counter()
        profile = run(number)
        timeline.add(start, time.perf_counter(), 0, number, profile)
        progress.show(len(timeline), timeline.began)


def bench_sync(model: Model, sets: Sequence[Arrays], goal: Goal, progress: Progress, timeline: Timeline,
               options: PerRun) -> None:
    one_at_a_time(lambda i: model.run(sets[i % len(sets)], job_options=options(i)).profile, goal, progress,
                  timeline)


def bench_batch(model: Model, batches: Sequence[Sequence[Arrays]], goal: Goal, progress: Progress,
                timeline: Timeline, options: PerRun) -> None:
    """A job is a whole batch queue of input sets (which gives no profile)."""

    def run(i: int) -> None:
        model.run_batch(batches[i % len(batches)], job_options=options(i))

    one_at_a_time(run, goal, progress, timeline)


def bench_async(model: Model, sets: Sequence[Arrays], goal: Goal, in_flight: int, progress: Progress,
                timeline: Timeline, options: JobOptions | None) -> None:
    """Runs the sets as a stream through Model.map, `in_flight` jobs in
    flight, all with `options`: a job's latency runs from the moment map
    takes its inputs (and submits them) to the moment its outputs come back,
    in order, and its lane is its place in the stream modulo `in_flight`. On
    an interrupt the jobs in flight end on their own and are not counted."""
    starts: collections.deque[float] = collections.deque()

    def inputs() -> Iterator[Arrays]:
        submitted = 0
        while not goal.reached(submitted, time.perf_counter() - timeline.began):
            starts.append(time.perf_counter())
            yield sets[submitted % len(sets)]
            submitted += 1

    for number, outputs in enumerate(model.map(inputs(), in_flight=in_flight, job_options=options)):
        timeline.add(starts.popleft(), time.perf_counter(), number % in_flight, number, outputs.profile)
        progress.show(len(timeline), timeline.began)
