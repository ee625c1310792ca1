"""Completion of asynchronously started jobs.

Three kinds of started job, by how their end is learnt:

- RunJob (Model.run): started without a completion callable; the caller
  waits through the runtime's status query, natively, without the
  interpreter lock (_board.py), so nothing stands between the job's end
  and its waiter. Left behind by a timeout or Ctrl-C, a thread of its own
  waits for it and releases it.
- NativeJob (Model.submit): completed through the native completion board:
  the driver's thread records the end without the interpreter lock and
  wakes the runtime's completion thread (the Dispatcher).
- PendingJob: the same through a Python callable, which the driver's
  thread calls with the interpreter lock; used when the board already holds
  a job of the same id (another context's).

Reading outputs and releasing the job happen on the waiting thread or on
the Dispatcher's thread, never on the driver's.
"""

import itertools
import threading
import traceback

from ._board import board
from .errors import check


class RunJob:
    """A job started without a completion callable, waited for through the status query."""

    __slots__ = ("model", "job_id", "job_status", "future")
    completion = None

    def __init__(self, model, job_id):
        self.model = model
        self.job_id = job_id
        self.job_status = None
        self.future = None

    def wait(self, timeout=None):
        """True when the job ended within `timeout` seconds (None: no limit).

        The interpreter lock is released meanwhile; Ctrl-C ends the wait.
        """
        status, job_status = board.wait_through_status(self.model._npu, self.job_id, timeout)
        check(self.model._npu, "kiv_get_job_status", status, "job %#x" % self.job_id)
        if job_status == 0:
            return False
        self.job_status = job_status
        return True

    def abandon(self):
        pass

    def route_to(self, dispatcher):
        """No completion comes for this job: a thread of its own waits for its end."""
        threading.Thread(target=self._finish_when_ended, name="kiv-job-%x" % self.job_id, daemon=True).start()

    def _finish_when_ended(self):
        try:
            ended = self.wait()
        except Exception:
            ended = False
        if ended:
            self.model._finish_routed(self)


class NativeJob:
    """One started job completed through the board, until its outputs are collected."""

    __slots__ = ("model", "job_id", "job_status", "future")
    completion = board.notify

    def __init__(self, model, job_id):
        self.model = model
        self.job_id = job_id
        self.job_status = None
        self.future = None

    def wait(self, timeout=None):
        """True when the job ended within `timeout` seconds (None: no limit).

        The interpreter lock is released meanwhile; Ctrl-C ends the wait.
        """
        status = board.wait(self.job_id, timeout)
        if status is None:
            return False
        self.job_status = status
        return True

    def abandon(self):
        """The driver refused the job: it never ends, so it leaves the board."""
        board.forget(self.job_id)

    def route_to(self, dispatcher):
        """Hands the job to a dispatcher once it ends (at once if it has)."""
        dispatcher.take(self)


class PendingJob:
    """One started job completed through a Python callable (the fallback)."""

    def __init__(self, model, job_id):
        self.model = model
        self.job_id = job_id
        self.job_status = None
        self.future = None
        self._done = threading.Event()
        self._lock = threading.Lock()
        self._dispatcher = None

    def completion(self, job_id, job_status):
        """The completion callable handed to kiv_job_infer_async (driver thread)."""
        with self._lock:
            self.job_status = int(job_status)
            dispatcher = self._dispatcher
            self._done.set()
        if dispatcher is not None:
            dispatcher.post(self)
        return 0

    def wait(self, timeout=None):
        """True when the job completed within `timeout` seconds (None: no limit)."""
        return self._done.wait(timeout)

    def abandon(self):
        pass

    def route_to(self, dispatcher):
        with self._lock:
            if not self._done.is_set():
                self._dispatcher = dispatcher
                return
        dispatcher.post(self)


_STOP = object()


class Dispatcher:
    """A thread that finishes ended jobs on behalf of futures and abandoned waits."""

    def __init__(self, name="kiv-completion"):
        self.queue = board.Queue()
        self._routed = {}  # job id -> NativeJob, until its end arrives
        self._tickets = {}  # ticket -> PendingJob or _STOP
        self._numbers = itertools.count()
        self.thread = threading.Thread(target=self._loop, name=name, daemon=True)
        self.thread.start()

    def take(self, job):
        """Receives the end of a board job (recorded before the board may report it)."""
        self._routed[job.job_id] = job
        board.route(job.job_id, self.queue)

    def post(self, item):
        """Queues a Python-side item (a completed PendingJob, or the stop mark)."""
        ticket = next(self._numbers)
        self._tickets[ticket] = item
        self.queue.post(ticket)

    def _next(self):
        # The dicts are only filled before the entry that names them is
        # posted, and each of their operations is atomic: no lock.
        kind, ident, status = self.queue.get()
        if kind == board.JOB:
            job = self._routed.pop(ident)
            job.job_status = status
            return job
        return self._tickets.pop(ident)

    def _loop(self):
        while True:
            job = self._next()
            if job is _STOP:
                return
            try:
                job.model._finish_routed(job)
            except Exception:  # never let one job stop the completion of the others
                traceback.print_exc()

    def stop(self):
        """Finishes what is queued, then ends the thread."""
        self.post(_STOP)
        if threading.current_thread() is not self.thread:
            self.thread.join()
