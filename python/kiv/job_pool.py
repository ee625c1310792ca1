"""Jobs of one graph kept for reuse, so that repeated runs skip create and clean."""

from __future__ import annotations

import threading

import libkiv

from .errors import check


# How a job last ran. A job last run asynchronously may still hold that run's
# result for a blocking wait: the driver's blocking call on it hands back that
# result instead of running the job again. So a job is only reused by the
# kind of run it served.
BLOCKING = "blocking"
ASYNC = "async"


class JobPool:
    """Idle jobs of one graph.

    A job that completed normally can be started again with new inputs, by a
    run of the same kind (BLOCKING or ASYNC); up to `max_idle` such jobs are
    kept. With `max_idle` 0 every run creates and cleans its own job. Once
    closed, jobs returned to the pool are dropped: they went with the graph.
    """

    def __init__(self, npu: libkiv.NPU, graph_id: int, max_idle: int) -> None:
        if max_idle < 0:
            raise ValueError("max_idle_jobs must not be negative")
        self._npu = npu
        self._graph_id = graph_id
        self._max_idle = max_idle
        self._idle: dict[str, list[int]] = {BLOCKING: [], ASYNC: []}
        self._lock = threading.Lock()
        self._closed = False
        self.created = 0

    def acquire(self, kind: str) -> int:
        """A job id ready for new inputs and a run of `kind`."""
        with self._lock:
            idle = self._idle[kind]
            if idle:
                return idle.pop()
        status, job_id = self._npu.kiv_create_job(self._graph_id)
        check(self._npu, "kiv_create_job", status)
        with self._lock:
            self.created += 1
        return job_id

    def release(self, job_id: int, kind: str, reusable: bool = True) -> None:
        """Returns a job after a run of `kind`; it is kept when reusable and
        there is room, else cleaned."""
        with self._lock:
            if self._closed:
                return
            if reusable and self._idle_total() < self._max_idle:
                self._idle[kind].append(job_id)
                return
        self.discard(job_id)

    def _idle_total(self) -> int:
        return sum(len(jobs) for jobs in self._idle.values())

    def discard(self, job_id: int) -> None:
        check(self._npu, "kiv_clean_job", self._npu.kiv_clean_job(job_id))

    @property
    def idle_count(self) -> int:
        with self._lock:
            return self._idle_total()

    def close(self) -> None:
        """Cleans every idle job; raises the first failure after trying them all."""
        with self._lock:
            self._closed = True
            jobs = [job_id for kind in self._idle.values() for job_id in kind]
            self._idle = {BLOCKING: [], ASYNC: []}
        first_error: Exception | None = None
        for job_id in jobs:
            try:
                self.discard(job_id)
            except Exception as err:  # keep cleaning the others
                first_error = first_error or err
        if first_error is not None:
            raise first_error
