"""Jobs of one graph kept for reuse, so that repeated runs skip create and clean."""

from __future__ import annotations

import functools

import libkiv

from . import _native
from .errors import check, failure
from .job_options import JobOptions, blame_job_options, create_job_config, dump_config
from .lifetime import try_all
from .locks import owned_lock

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
    run of the same kind (BLOCKING or ASYNC) with equal options. Up to
    `max_idle` idle jobs are kept; when the pool is full, the one idle for
    longest makes room, whatever it was last used for. With `max_idle` 0
    every run creates and cleans its own job. Once closed, jobs returned to
    the pool are dropped: they go with the context.
    """

    def __init__(self, npu: libkiv.NPU, graph_id: int, max_idle: int) -> None:
        if max_idle < 0:
            raise ValueError("max_idle_jobs must not be negative")
        self._npu = npu
        self._graph_id = graph_id
        self._max_idle = max_idle
        self._idle: list[tuple[Use, int]] = []  # the longest idle first
        self._lock = owned_lock(self)
        self._closed = False
        self.created = 0

    def acquire(self, use: Use) -> int:
        """A job id ready for new inputs and a run of `use`: the job of that
        use released last, else a new one."""
        with self._lock:
            for index in range(len(self._idle) - 1, -1, -1):
                if self._idle[index][0] == use:
                    return self._idle.pop(index)[1]
        job_id = self._create(use[1])
        with self._lock:
            self.created += 1
        return job_id

    def _create(self, options: JobOptions) -> int:
        """A new job with `options`; KivError naming the options the driver refused."""
        status, job_id = self._npu.kiv_create_job(self._graph_id, create_job_config(options))
        if int(status):
            raise failure(self._npu, "kiv_create_job", status, blame_job_options(options, "kiv_create_job", status))
        dump = dump_config(options)
        if dump is not None:
            status = self._npu.kiv_config_job(job_id, dump[0], dump[1])
            if int(status):
                self.discard(job_id)
                raise failure(self._npu, "kiv_config_job", status, blame_job_options(options, "kiv_config_job", status))
        return job_id

    def release(self, job_id: int, use: Use, reusable: bool = True) -> None:
        """Returns a job after a run of `use`; it is kept when reusable,
        pushing out the longest idle job when the pool is full, else cleaned."""
        pushed_out: int | None = job_id
        with self._lock:
            if self._closed:
                return
            if reusable and self._max_idle:
                self._idle.append((use, job_id))
                pushed_out = self._idle.pop(0)[1] if len(self._idle) > self._max_idle else None
        if pushed_out is not None:
            self.discard(pushed_out)

    def discard(self, job_id: int) -> None:
        """Cleans a job, without the interpreter lock: a driver may wait for a job still running."""
        check(self._npu, "kiv_clean_job", _native.clean_job(self._npu, job_id))

    def keep_at_least(self, count: int) -> None:
        """Keeps up to `count` idle jobs from now on, if it keeps any (a
        stream reuses as many jobs as it has in flight)."""
        with self._lock:
            if self._max_idle:
                self._max_idle = max(self._max_idle, count)

    def close(self) -> None:
        """Cleans every idle job; raises the first failure after trying them all."""
        with self._lock:
            self._closed = True
            jobs, self._idle = self._idle, []
        try_all(functools.partial(self.discard, job_id) for _, job_id in jobs)

    def forget(self) -> None:
        """Drops every idle job without cleaning it: the context's close frees them."""
        with self._lock:
            self._closed = True
            self._idle = []
