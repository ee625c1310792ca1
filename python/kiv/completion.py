"""Completion of asynchronously started jobs.

The driver reports a finished job by calling a Python callable on a thread of
its own. The callable only records the outcome and wakes whoever waits: it
must return quickly and must not call back into the runtime, which may still
be inside the driver's completion path. Reading outputs and releasing the job
happen afterwards on the waiting thread or on the Dispatcher's thread.
"""

import queue
import threading
import traceback


class PendingJob:
    """One started job, from submission until its outputs have been collected."""

    def __init__(self, model, job_id):
        self.model = model
        self.job_id = job_id
        self.job_status = None
        self.future = None
        self._done = threading.Event()
        self._lock = threading.Lock()
        self._route = None

    def on_complete(self, job_id, job_status):
        """The completion callable handed to kiv_job_infer_async (driver thread)."""
        with self._lock:
            self.job_status = int(job_status)
            route = self._route
            self._done.set()
        if route is not None:
            route.put(self)
        return 0

    def wait(self, timeout=None):
        """True when the job completed within `timeout` seconds (None: no limit).

        The wait releases the interpreter lock, so other Python threads run.
        """
        return self._done.wait(timeout)

    @property
    def done(self):
        return self._done.is_set()

    def route_to(self, dispatcher_queue):
        """Hands the job to a dispatcher once it completes (at once if it already has)."""
        with self._lock:
            if not self._done.is_set():
                self._route = dispatcher_queue
                return
        dispatcher_queue.put(self)


_STOP = object()


class Dispatcher:
    """A thread that finishes completed jobs on behalf of futures and abandoned waits."""

    def __init__(self, name="kiv-completion"):
        self.queue = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._loop, name=name, daemon=True)
        self._thread.start()

    def _loop(self):
        while True:
            pending = self.queue.get()
            if pending is _STOP:
                return
            try:
                pending.model._finish_routed(pending)
            except Exception:  # never let one job stop the completion of the others
                traceback.print_exc()

    def stop(self):
        """Finishes what is queued, then ends the thread."""
        self.queue.put(_STOP)
        if threading.current_thread() is not self._thread:
            self._thread.join()
