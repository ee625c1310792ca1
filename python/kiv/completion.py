"""Completion of asynchronously started jobs.

Three kinds of started job, by how their end is learnt:

- RunJob (Model.run): started without a completion callable; the caller
  waits through the runtime's status query, natively, without the
  interpreter lock (_board.py), so nothing stands between the job's end
  and its waiter. Left behind by a timeout or Ctrl-C, a thread of its own
  waits for it and releases it.
- NativeJob (Model.submit): completed through the native completion board:
  the driver's thread records the end without the interpreter lock and
  wakes the thread waiting in the future's result(), or else the runtime's
  completion thread (the Dispatcher).
- PendingJob: the same through a Python callable, which the driver's
  thread calls with the interpreter lock; used when the board already holds
  a job of the same id (another context's).

Reading outputs and releasing the job happen on the waiting thread or on
the Dispatcher's thread, never on the driver's.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import threading
import time
import traceback
from collections.abc import Callable
from typing import TYPE_CHECKING

import libkiv

from ._board import board
from .errors import check
from .job_pool import ASYNC, BLOCKING

if TYPE_CHECKING:
    from .inputs import Outputs
    from .model import Model

# What a job's end is reported through: called with the job id and its job status.
Completion = Callable[[int, libkiv.kiv_job_status_t], int]


class RunJob:
    """A job started without a completion callable, waited for through the status query."""

    __slots__ = ("model", "job_id", "job_status", "future")
    completion = None
    kind = BLOCKING  # how the pool may reuse the job

    def __init__(self, model: Model, job_id: int) -> None:
        self.model = model
        self.job_id = job_id
        self.job_status: int | None = None
        self.future: concurrent.futures.Future[Outputs] | None = None

    def wait(self, timeout: float | None = None) -> bool:
        """True when the job ended within `timeout` seconds (None: no limit).

        The interpreter lock is released meanwhile; Ctrl-C ends the wait.
        """
        status, job_status = board.wait_through_status(self.model._npu, self.job_id, timeout)
        check(self.model._npu, "kiv_get_job_status", status, "job %#x" % self.job_id)
        if job_status == 0:
            return False
        self.job_status = job_status
        return True

    def abandon(self) -> None:
        pass

    def route_to(self, dispatcher: Dispatcher | None) -> None:
        """No completion comes for this job: a thread of its own waits for its end."""
        threading.Thread(target=self._finish_when_ended, name="kiv-job-%x" % self.job_id, daemon=True).start()

    def _finish_when_ended(self) -> None:
        try:
            ended = self.wait()
        except Exception:
            ended = False
        if ended:
            self.model._finish_routed(self)


class NativeJob:
    """One started job completed through the board, until its outputs are collected."""

    __slots__ = ("model", "job_id", "serial", "job_status", "future", "dispatcher")
    completion: Completion = board.notify
    kind = ASYNC

    def __init__(self, model: Model, job_id: int, serial: int) -> None:
        self.model = model
        self.job_id = job_id
        self.serial = serial  # tells this job from a later one with the same id
        self.job_status: int | None = None
        self.future: concurrent.futures.Future[Outputs] | None = None
        self.dispatcher: Dispatcher | None = None

    def abandon(self) -> None:
        """The driver refused the job: it never ends, so it leaves the board."""
        board.forget(self.job_id)

    def route_to(self, dispatcher: Dispatcher) -> None:
        """Hands the job to a dispatcher once it ends (at once if it has)."""
        self.dispatcher = dispatcher
        dispatcher.take(self)

    def finish_here(self, timeout: float | None) -> None:
        """Waits up to `timeout` seconds for the job on this thread and
        finishes it here, when its end comes while this thread waits: one
        hand-off to the dispatcher's thread less for a caller that waits for
        the future anyway. Otherwise the dispatcher finishes it."""
        dispatcher = self.dispatcher
        if dispatcher is None:
            return
        try:
            status = board.wait(self.job_id, self.serial, timeout)
        except KeyError:  # ended before (or while not) waited for: the dispatcher has it
            return
        if status is None:
            return
        self.job_status = status
        dispatcher.release(self.job_id)
        self.model._finish_routed(self)


class JobFuture(concurrent.futures.Future["Outputs"]):
    """The future of a submitted job. A thread that asks for its result
    before the job has ended waits for the job itself and collects the
    outputs on the spot; otherwise the runtime's completion thread does."""

    def __init__(self) -> None:
        super().__init__()
        self.job: NativeJob | None = None

    def result(self, timeout: float | None = None) -> Outputs:
        job = self.job
        if job is None or self.done():
            return super().result(timeout)
        deadline = None if timeout is None else time.monotonic() + timeout
        job.finish_here(timeout)
        left = None if deadline is None else max(0.0, deadline - time.monotonic())
        return super().result(left)


class PendingJob:
    """One started job completed through a Python callable (the fallback)."""

    kind = ASYNC

    def __init__(self, model: Model, job_id: int) -> None:
        self.model = model
        self.job_id = job_id
        self.job_status: int | None = None
        self.future: concurrent.futures.Future[Outputs] | None = None
        self._done = threading.Event()
        self._lock = threading.Lock()
        self._dispatcher: Dispatcher | None = None

    def completion(self, job_id: int, job_status: libkiv.kiv_job_status_t) -> int:
        """The completion callable handed to kiv_job_infer_async (driver thread)."""
        with self._lock:
            self.job_status = int(job_status)
            dispatcher = self._dispatcher
            self._done.set()
        if dispatcher is not None:
            dispatcher.post(self)
        return 0

    def wait(self, timeout: float | None = None) -> bool:
        """True when the job completed within `timeout` seconds (None: no limit)."""
        return self._done.wait(timeout)

    def abandon(self) -> None:
        pass

    def route_to(self, dispatcher: Dispatcher) -> None:
        with self._lock:
            if not self._done.is_set():
                self._dispatcher = dispatcher
                return
        dispatcher.post(self)


# Every kind of started job.
Job = RunJob | NativeJob | PendingJob


class _Stop:
    """The mark that ends a dispatcher's thread."""


_STOP = _Stop()


class Dispatcher:
    """A thread that finishes ended jobs on behalf of futures and abandoned waits."""

    def __init__(self, name: str = "kiv-completion") -> None:
        self.queue = board.Queue()
        self._routed: dict[int, NativeJob] = {}  # job id -> NativeJob, until its end arrives
        self._tickets: dict[int, PendingJob | _Stop] = {}  # ticket -> PendingJob or _STOP
        self._numbers = itertools.count()
        self.thread = threading.Thread(target=self._loop, name=name, daemon=True)
        self.thread.start()

    def take(self, job: NativeJob) -> None:
        """Receives the end of a board job (recorded before the board may report it)."""
        self._routed[job.job_id] = job
        board.route(job.job_id, self.queue)

    def release(self, job_id: int) -> None:
        """Forgets a board job whose end a waiting thread took."""
        self._routed.pop(job_id, None)

    def post(self, item: PendingJob | _Stop) -> None:
        """Queues a Python-side item (a completed PendingJob, or the stop mark)."""
        ticket = next(self._numbers)
        self._tickets[ticket] = item
        self.queue.post(ticket)

    def _next(self) -> NativeJob | PendingJob | _Stop:
        # The dicts are only filled before the entry that names them is
        # posted, and each of their operations is atomic: no lock.
        entry = self.queue.get()
        assert entry is not None  # waited for without a time limit
        kind, ident, status = entry
        if kind == board.JOB:
            job = self._routed.pop(ident)
            job.job_status = status
            return job
        return self._tickets.pop(ident)

    def _loop(self) -> None:
        while True:
            job = self._next()
            if isinstance(job, _Stop):
                return
            try:
                job.model._finish_routed(job)
            except Exception:  # never let one job stop the completion of the others
                traceback.print_exc()

    def stop(self) -> None:
        """Finishes what is queued, then ends the thread."""
        self.post(_STOP)
        if threading.current_thread() is not self.thread:
            self.thread.join()
