"""Jobs of one graph kept for reuse, so that repeated runs skip create and clean."""

from __future__ import annotations

import threading

import libkiv

from .errors import check


class JobPool:
    """Idle jobs of one graph.

    A job that completed normally can be started again with new inputs; up to
    `max_idle` such jobs are kept. With `max_idle` 0 every run creates and
    cleans its own job.
    """

    def __init__(self, npu: libkiv.NPU, graph_id: int, max_idle: int) -> None:
        if max_idle < 0:
            raise ValueError("max_idle_jobs must not be negative")
        self._npu = npu
        self._graph_id = graph_id
        self._max_idle = max_idle
        self._idle: list[int] = []
        self._lock = threading.Lock()
        self.created = 0

    def acquire(self) -> int:
        """A job id ready for new inputs."""
        with self._lock:
            if self._idle:
                return self._idle.pop()
        status, job_id = self._npu.kiv_create_job(self._graph_id)
        check(self._npu, "kiv_create_job", status)
        with self._lock:
            self.created += 1
        return job_id

    def release(self, job_id: int, reusable: bool = True) -> None:
        """Returns a job; it is kept when reusable and there is room, else cleaned."""
        if reusable:
            with self._lock:
                if len(self._idle) < self._max_idle:
                    self._idle.append(job_id)
                    return
        self.discard(job_id)

    def discard(self, job_id: int) -> None:
        check(self._npu, "kiv_clean_job", self._npu.kiv_clean_job(job_id))

    @property
    def idle_count(self) -> int:
        with self._lock:
            return len(self._idle)

    def close(self) -> None:
        """Cleans every idle job; raises the first failure after trying them all."""
        with self._lock:
            jobs, self._idle = self._idle, []
        first_error: Exception | None = None
        for job_id in jobs:
            try:
                self.discard(job_id)
            except Exception as err:  # keep cleaning the others
                first_error = first_error or err
        if first_error is not None:
            raise first_error
