"""Jobs of one graph kept for reuse, so that repeated runs skip create and clean."""

from __future__ import annotations

import threading

import libkiv

from .errors import KivError, check, status_text
from .job_options import JobOptions

# How a job last ran. A job last run asynchronously may still hold that run's
# result for a blocking wait: the driver's blocking call on it hands back that
# result instead of running the job again. So a job is only reused by the
# kind of run it served.
BLOCKING = "blocking"
ASYNC = "async"

# What an idle job can be reused for: the kind of run it served, and the
# options it was created with.
Use = tuple[str, JobOptions]


class JobPool:
    """Idle jobs of one graph.

    A job that completed normally can be started again with new inputs, by a
    run of the same kind (BLOCKING or ASYNC) with equal options; up to
    `max_idle` such jobs are kept. With `max_idle` 0 every run creates and
    cleans its own job. Once closed, jobs returned to the pool are dropped:
    they went with the graph.
    """

    def __init__(self, npu: libkiv.NPU, graph_id: int, max_idle: int) -> None:
        if max_idle < 0:
            raise ValueError("max_idle_jobs must not be negative")
        self._npu = npu
        self._graph_id = graph_id
        self._max_idle = max_idle
        self._idle: dict[Use, list[int]] = {}
        self._lock = threading.Lock()
        self._closed = False
        self.created = 0

    def acquire(self, use: Use) -> int:
        """A job id ready for new inputs and a run of `use`."""
        with self._lock:
            idle = self._idle.get(use)
            if idle:
                return idle.pop()
        job_id = self._create(use[1])
        with self._lock:
            self.created += 1
        return job_id

    def _create(self, options: JobOptions) -> int:
        """A new job with `options`; KivError naming the options the driver refused."""
        status, job_id = self._npu.kiv_create_job(self._graph_id, options._create_job_config())
        if int(status):
            raise KivError("kiv_create_job", status, status_text(self._npu, status), options._blame("kiv_create_job", status))
        dump = options._dump_config()
        if dump is not None:
            status = self._npu.kiv_config_job(job_id, dump[0], dump[1])
            if int(status):
                self._npu.kiv_clean_job(job_id)
                raise KivError("kiv_config_job", status, status_text(self._npu, status), options._blame("kiv_config_job", status))
        return job_id

    def release(self, job_id: int, use: Use, reusable: bool = True) -> None:
        """Returns a job after a run of `use`; it is kept when reusable and
        there is room, else cleaned."""
        with self._lock:
            if self._closed:
                return
            if reusable and self._idle_total() < self._max_idle:
                self._idle.setdefault(use, []).append(job_id)
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
            jobs = [job_id for idle in self._idle.values() for job_id in idle]
            self._idle = {}
        first_error: Exception | None = None
        for job_id in jobs:
            try:
                self.discard(job_id)
            except Exception as err:  # keep cleaning the others
                first_error = first_error or err
        if first_error is not None:
            raise first_error
