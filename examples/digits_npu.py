"""Runs inputs through a loaded graph with the low-level libkiv module in three
ways: synchronous jobs, asynchronous jobs with completion callbacks, and batch
queues. Each returns the outputs in input order and per-inference latencies in
seconds. Every status is checked by hand and outputs come back as raw bytes;
digits_kiv.py does the same through the kiv layer."""

import os
import threading
import time

import numpy as np

import libkiv
from digits_results import RunResult, run_in_batches

# Generous bounds: the machine may be loaded, and a wait that never ends is
# worse than a clear failure.
JOB_TIMEOUT_MS = 60_000
ASYNC_WAIT_S = 120.0


class NpuError(RuntimeError):
    pass


def check(status, what):
    if int(status) != int(libkiv.KIV_STATUS_SUCCESS):
        raise NpuError(f"{what} failed with status {int(status)}")


def standin_driver():
    """The stand-in driver library shipped with kiv (or built beside libkiv.so)."""
    import kiv

    path = kiv.standin_path()
    if path is None:
        raise NpuError("the stand-in NPU driver is not installed")
    return path


class Session:
    """An NPU context with one graph loaded; closes both on exit.

    Outputs are read as raw bytes and viewed as the container's element type,
    one-dimensional (output_shape).
    """

    def __init__(self, container):
        self.dtype = np.dtype(container.dtype)
        self.npu = libkiv.NPU()
        # The programs are the stand-in NPU's: the runtime is pointed at it by
        # name (it loads $AIPU_LIB_PATH, else the system's libaipudrv.so).
        os.environ["AIPU_LIB_PATH"] = standin_driver()
        check(self.npu.kiv_init_context(), "kiv_init_context")
        try:
            status, self.graph_id = self.npu.kiv_load_graph(container.path)
            check(status, f"kiv_load_graph({container.path})")
        except BaseException:
            self.npu.kiv_deinit_context()
            raise
        try:
            self._check_container_shapes(container.path)
            self.output_shape = (self.output_size() // self.dtype.itemsize,)
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.npu.kiv_unload_graph(self.graph_id)
        self.npu.kiv_deinit_context()

    def _check_container_shapes(self, path):
        """The container itself tells the input and output names and shapes."""
        for kind, want in ((libkiv.KIV_TENSOR_TYPE_INPUT, ("x", [1, 64])),
                           (libkiv.KIV_TENSOR_TYPE_OUTPUT, ("logits", [1, 10]))):
            status, name, shape = self.npu.kiv_get_tensor_shape(path, kind, 0)
            check(status, "kiv_get_tensor_shape")
            if (name, shape) != want:
                raise NpuError(f"container describes {name} {shape}, expected {want[0]} {want[1]}")

    def output_size(self):
        desc = self.npu.kiv_get_tensor_descriptor(self.graph_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
        return desc.size

    def create_job(self):
        status, job_id = self.npu.kiv_create_job(self.graph_id)
        check(status, "kiv_create_job")
        return job_id

    def load_input(self, job_id, sample):
        check(self.npu.kiv_load_tensor(job_id, 0, sample), "kiv_load_tensor")

    def read_output(self, job_id):
        status, data = self.npu.kiv_get_tensor(job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
        check(status, "kiv_get_tensor")
        # Outputs come back as raw bytes (uint8) in the type of the last input object.
        return np.frombuffer(bytes(data), dtype=self.dtype).copy()


def run_sync(session, samples):
    """One job per inference: create, load, run to completion, read, clean."""
    npu = session.npu
    outputs, latencies = [], []
    start = time.perf_counter()
    for sample in samples:
        t0 = time.perf_counter()
        job_id = session.create_job()
        try:
            session.load_input(job_id, sample)
            check(npu.kiv_job_infer_sync(job_id, JOB_TIMEOUT_MS), "kiv_job_infer_sync")
            outputs.append(session.read_output(job_id))
        finally:
            npu.kiv_clean_job(job_id)
        latencies.append(time.perf_counter() - t0)
    return RunResult(outputs, latencies, time.perf_counter() - start)


class _Completions:
    """Counts completion callbacks; they arrive on a driver thread."""

    def __init__(self, expected):
        self.expected = expected
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.finished_at = {}
        self.statuses = {}
        self.calls = 0

    def __call__(self, job_id, job_status):
        now = time.perf_counter()
        with self.lock:
            self.calls += 1
            self.finished_at[job_id] = now
            self.statuses[job_id] = int(job_status)
            if self.calls >= self.expected:
                self.done.set()
        return 0


def run_async(session, samples, in_flight=16):
    """Waves of in_flight jobs started with kiv_job_infer_async; each wave
    waits for all its callbacks, then reads the outputs."""
    npu = session.npu
    outputs, latencies = [], []
    callbacks = 0
    start = time.perf_counter()
    for first in range(0, len(samples), in_flight):
        wave = samples[first : first + in_flight]
        completions = _Completions(len(wave))
        jobs, started_at = [], {}
        try:
            for sample in wave:
                job_id = session.create_job()
                jobs.append(job_id)
                session.load_input(job_id, sample)
            for job_id in jobs:
                started_at[job_id] = time.perf_counter()
                check(npu.kiv_job_infer_async(job_id, completions), "kiv_job_infer_async")
            # Event.wait releases the interpreter lock, so the callbacks can run.
            if not completions.done.wait(ASYNC_WAIT_S):
                raise NpuError(f"only {completions.calls} of {len(wave)} completion callbacks within {ASYNC_WAIT_S} s")
            if set(completions.statuses) != set(jobs) or completions.calls != len(jobs):
                raise NpuError(f"{completions.calls} callbacks for jobs {sorted(completions.statuses)}, "
                               f"expected one for each of {sorted(jobs)}")
            for job_id in jobs:
                job_status = completions.statuses[job_id]
                if job_status != int(libkiv.KIV_JOB_STATUS_DONE):
                    raise NpuError(f"job {job_id} completed with job status {job_status}")
                outputs.append(session.read_output(job_id))
                latencies.append(completions.finished_at[job_id] - started_at[job_id])
        finally:
            for job_id in jobs:
                npu.kiv_clean_job(job_id)
        callbacks += completions.calls
    return RunResult(outputs, latencies, time.perf_counter() - start, {"callbacks": callbacks})


def run_batch(session, samples, batch_size=32):
    """One batch queue per batch_size inputs: add a buffer set per input,
    finish the queue, read the results out of the output arrays."""
    npu = session.npu
    graph_id = session.graph_id

    def run_chunk(chunk):
        status, queue_id = npu.kiv_create_batch_queue(graph_id)
        check(status, "kiv_create_batch_queue")
        try:
            # The queue holds bare addresses: these arrays must live until
            # kiv_finish_batch has returned.
            results = [np.zeros(session.output_shape, dtype=session.dtype) for _ in chunk]
            for sample, result in zip(chunk, results):
                check(npu.kiv_add_batch(graph_id, queue_id, [sample], [result]), "kiv_add_batch")
            check(npu.kiv_finish_batch(graph_id, queue_id), "kiv_finish_batch")
        finally:
            npu.kiv_clean_batch_queue(graph_id, queue_id)
        return results

    return run_in_batches(samples, batch_size, run_chunk)


MODES = (("sync", run_sync), ("async", run_async), ("batch", run_batch))
