"""Jobs of one graph kept for reuse, so that repeated runs skip create and clean."""

import threading

from .errors import check


class JobPool:
    """Idle jobs of one graph.

    A job that completed normally can be started again with new inputs; up to
    `max_idle` such jobs are kept. With `max_idle` 0 every run creates and
    cleans its own job.
    """

    def __init__(self, npu, graph_id, max_idle):
        if max_idle < 0:
            raise ValueError("max_idle_jobs must not be negative")
        self._npu = npu
        self._graph_id = graph_id
        self._max_idle = max_idle
        self._idle = []
        self._lock = threading.Lock()
        self.created = 0

    def acquire(self):
        """A job id ready for new inputs."""
        with self._lock:
            if self._idle:
                return self._idle.pop()
        status, job_id = self._npu.kiv_create_job(self._graph_id)
        check(self._npu, "kiv_create_job", status)
        with self._lock:
            self.created += 1
        return job_id

    def release(self, job_id, reusable=True):
        """Returns a job; it is kept when reusable and there is room, else cleaned."""
        if reusable:
            with self._lock:
                if len(self._idle) < self._max_idle:
                    self._idle.append(job_id)
                    return
        self.discard(job_id)

    def discard(self, job_id):
        check(self._npu, "kiv_clean_job", self._npu.kiv_clean_job(job_id))

    @property
    def idle_count(self):
        with self._lock:
            return len(self._idle)

    def close(self):
        """Cleans every idle job; raises the first failure after trying them all."""
        with self._lock:
            jobs, self._idle = self._idle, []
        first_error = None
        for job_id in jobs:
            try:
                self.discard(job_id)
            except Exception as err:  # keep cleaning the others
                first_error = first_error or err
        if first_error is not None:
            raise first_error
