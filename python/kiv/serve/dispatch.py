"""Each model's requests become kiv jobs, with a bound on the jobs in flight
(enough to keep the NPU's cores busy) and on the requests waiting for one
(past it, the server answers busy instead of queueing without end), and,
when the model's settings ask for it, gathered into batch queues."""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import dataclasses
import functools
import time
from typing import Any

import numpy.typing as npt

from ..errors import JobTimeout, KivError
from ..inputs import Outputs
from ..model import Model
from .errors import ServeError, Status
from .metrics import ModelMetrics
from .settings import ModelSettings
from .statistics import ModelStatistics

# How long a client refused as busy is told to wait before trying again.
RETRY_AFTER_SECONDS = 1.0
# Jobs that take less (a moving average of the time from submission to end,
# hand-offs included) run on the event loop's thread when nothing else of the
# model is in flight: the loop waits no longer for one.
INLINE_JOB_NS = 500_000

Arrays = list[npt.NDArray[Any]]


@dataclasses.dataclass
class JobRun:
    """The outputs of one request's job, and how long each step took."""

    outputs: Outputs
    batch_size: int
    queue_ns: int  # waiting for a place among the jobs in flight (and, batched, for the batch to fill)
    input_ns: int  # inputs loaded and the job submitted
    infer_ns: int  # from the submission to the job's end, its outputs read


@dataclasses.dataclass
class _Job:
    """A submitted job, as the event loop sees it: the future its request
    awaits (cancelled when the request gives up), and whether it still holds
    its place among the jobs in flight."""

    done: asyncio.Future[Outputs]
    holds_place: bool = True
    ended_ns: int = 0


@dataclasses.dataclass
class _Gathered:
    """A request gathered for a batch, and the future of its outputs."""

    arrays: Arrays
    arrived_ns: int
    done: asyncio.Future[JobRun]


class Dispatcher:
    """Runs the requests of one model. Only the event loop's thread calls it;
    the runtime's completion thread hands each job's end back to the loop."""

    def __init__(self, model: Model, name: str, settings: ModelSettings, statistics: ModelStatistics,
                 metrics: ModelMetrics) -> None:
        self._model = model
        self._name = name
        self._settings = settings
        self._statistics = statistics
        self._metrics = metrics
        self._loop = asyncio.get_running_loop()
        self._free = settings.in_flight
        self._waiters: collections.deque[asyncio.Future[None]] = collections.deque()
        self._gathering: list[_Gathered] = []
        self._batch_timer: asyncio.TimerHandle | None = None
        self._closed = False
        self._recent_job_ns: int | None = None

    @property
    def in_flight(self) -> int:
        """Jobs started and not yet ended (or given up on)."""
        return self._settings.in_flight - self._free

    @property
    def waiting(self) -> int:
        """Requests admitted and not yet started."""
        return len(self._waiters) + len(self._gathering)

    def close(self) -> None:
        """Refuses new requests and fails those still waiting; jobs in
        flight end as they would."""
        self._closed = True
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_exception(self._unloaded())
        self._waiters.clear()
        gathered, self._gathering = self._gathering, []
        for request in gathered:
            if not request.done.done():
                request.done.set_exception(self._unloaded())

    def _unloaded(self) -> ServeError:
        return ServeError(Status.UNAVAILABLE, "model '%s' was unloaded before the request ran" % self._name)

    def _admit(self) -> None:
        """Refuses a request for which there is no room."""
        if self._closed:
            raise self._unloaded()
        if self._free == 0 and self.waiting >= self._settings.max_queue:
            raise ServeError(Status.UNAVAILABLE,
                             "model '%s' is busy: %d jobs in flight and %d requests waiting; try again later"
                             % (self._name, self.in_flight, self.waiting), retry_after=RETRY_AFTER_SECONDS)

    async def _take_place(self) -> None:
        """A place among the jobs in flight, waiting in line for one."""
        if self._free > 0 and not self._waiters:
            self._free -= 1
            return
        waiter = self._loop.create_future()
        self._waiters.append(waiter)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                self._give_back()  # handed a place as the request was cancelled
            elif waiter in self._waiters:
                self._waiters.remove(waiter)
            raise

    def _give_back(self) -> None:
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return
        self._free += 1

    async def run(self, arrays: Arrays, out: Arrays | None) -> JobRun:
        """The outputs of one request's job (in `out` when given).

        :raises ServeError: busy, unloaded, or the job did not end in time.
        :raises KivError: the driver refused or failed the job.
        """
        self._admit()
        if self._settings.batching.enabled and out is None:
            return await self._gather(arrays)
        if self._runs_inline():
            return self._run_inline(arrays, out)
        began = time.perf_counter_ns()
        await self._take_place()
        placed = time.perf_counter_ns()
        job = _Job(self._loop.create_future())
        try:
            future = self._model.submit(*arrays, out=out)
        except BaseException:
            self._give_back()
            raise
        submitted = time.perf_counter_ns()
        future.add_done_callback(functools.partial(self._job_ended, job))
        try:
            async with asyncio.timeout(self._settings.job_timeout):
                outputs = await job.done
        except TimeoutError:
            self._release(job)
            raise self._timed_out() from None
        self._executed(1, submitted - placed, job.ended_ns - submitted)
        self._observe(job.ended_ns - placed)
        return JobRun(outputs, 1, placed - began, submitted - placed, job.ended_ns - submitted)

    # Short jobs on an idle model run on the loop's own thread: a blocking
    # run wakes two threads fewer than a submitted job (the driver's callback
    # thread and the runtime's completion thread), which with one client took
    # 100 to 250 us off each request (bench/bench_serve.py, figure 1). A
    # model's first job, and every job after a long one, is submitted; only a
    # job that hangs would hold the loop (for the model's job_timeout).

    def _runs_inline(self) -> bool:
        return (self._recent_job_ns is not None and self._recent_job_ns < INLINE_JOB_NS
                and self._free == self._settings.in_flight and not self._waiters)

    def _observe(self, ns: int) -> None:
        """Keeps a moving average of the model's job times, a long one counting at once."""
        recent = self._recent_job_ns
        self._recent_job_ns = ns if recent is None or ns > recent else (7 * recent + ns) // 8

    def _run_inline(self, arrays: Arrays, out: Arrays | None) -> JobRun:
        self._free -= 1
        began = time.perf_counter_ns()
        try:
            outputs = self._model.run(*arrays, out=out, timeout=self._settings.job_timeout)
        except JobTimeout:
            raise self._timed_out() from None
        finally:
            self._give_back()
        took = time.perf_counter_ns() - began
        self._observe(took)
        self._executed(1, 0, took)
        return JobRun(outputs, 1, 0, 0, took)

    def _executed(self, batch_size: int, input_ns: int, infer_ns: int) -> None:
        self._statistics.executed(batch_size, input_ns, infer_ns, 0)
        self._metrics.batch(batch_size)

    def _timed_out(self) -> ServeError:
        return ServeError(Status.DEADLINE_EXCEEDED, "model '%s': the job did not end within %gs"
                          % (self._name, self._settings.job_timeout))

    def _release(self, job: _Job) -> None:
        """Gives the job's place back, once: at its end, or when its request
        gave up waiting for it (a job the driver never ends holds none)."""
        if job.holds_place:
            job.holds_place = False
            self._give_back()

    def _job_ended(self, job: _Job, future: concurrent.futures.Future[Outputs]) -> None:
        """On the runtime's completion thread: hands the job's end to the loop."""
        job.ended_ns = time.perf_counter_ns()
        try:
            self._loop.call_soon_threadsafe(self._deliver, job, future)
        except RuntimeError:
            pass  # the loop is closed: the server has stopped

    def _deliver(self, job: _Job, future: concurrent.futures.Future[Outputs]) -> None:
        self._release(job)
        if job.done.done():
            return  # its request gave up: timed out, or the client went away
        error = future.exception()
        if error is not None:
            job.done.set_exception(error)
        else:
            job.done.set_result(future.result())

    # Dynamic batching.

    async def _gather(self, arrays: Arrays) -> JobRun:
        request = _Gathered(arrays, time.perf_counter_ns(), self._loop.create_future())
        self._gathering.append(request)
        batching = self._settings.batching
        if len(self._gathering) >= batching.max_size:
            self._flush()
        elif len(self._gathering) == 1:
            self._batch_timer = self._loop.call_later(batching.max_delay, self._flush)
        try:
            async with asyncio.timeout(self._settings.job_timeout):
                return await asyncio.shield(request.done)
        except TimeoutError:
            raise self._timed_out() from None

    def _flush(self) -> None:
        if self._batch_timer is not None:
            self._batch_timer.cancel()
            self._batch_timer = None
        batch, self._gathering = self._gathering, []
        if batch:
            self._loop.create_task(self._run_batch(batch))

    async def _run_batch(self, batch: list[_Gathered]) -> None:
        """Runs a batch in one batch queue, on a worker thread, and hands
        each request its outputs; a failure fails the whole batch."""
        try:
            await self._take_place()
        except ServeError as error:
            _fail_all(batch, error)
            return
        placed = time.perf_counter_ns()
        try:
            results = await self._loop.run_in_executor(None, self._model.run_batch, [r.arrays for r in batch])
        except (KivError, ValueError, TypeError) as error:
            _fail_all(batch, error)
            return
        finally:
            self._give_back()
        ended = time.perf_counter_ns()
        self._executed(len(batch), 0, ended - placed)
        for request, outputs in zip(batch, results):
            if not request.done.done():
                request.done.set_result(JobRun(outputs, len(batch), placed - request.arrived_ns, 0, ended - placed))


def _fail_all(batch: list[_Gathered], error: Exception) -> None:
    for request in batch:
        if not request.done.done():
            request.done.set_exception(error)
