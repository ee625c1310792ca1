"""Runs inputs through a model with the kiv layer in four ways: Model.run
(synchronous), Model.submit futures with done callbacks (asynchronous),
Model.map (a stream, several jobs in flight) and Model.run_batch (batch
queues). Each returns the outputs in input order and per-inference
latencies in seconds. kiv raises KivError for any failing
status and gives outputs in the model's dtype and shape; digits_npu.py does
the same with the low-level libkiv module."""

import os
import threading
import time

import numpy as np

import kiv
from digits_container import DTYPE_CODES
from digits_results import RunResult, run_in_batches

DTYPE_NAMES = {code: name for name, code in DTYPE_CODES.items()}

# Generous bounds: the machine may be loaded, and a wait that never ends is
# worse than a clear failure.
RUN_TIMEOUT_S = 60.0
ASYNC_WAIT_S = 120.0


class ModelMismatch(RuntimeError):
    pass


class Session:
    """A kiv runtime with the container loaded as a model; closes both on exit.

    Prints the model's tensors and checks them against the container's
    description (name, shape, dtype, quantisation).
    """

    def __init__(self, container):
        # The programs are the stand-in NPU's: it is chosen by name.
        self.runtime = kiv.Runtime(driver="standin")
        try:
            self.model = self.runtime.load(container.path)
            print_tensors(self.model)
            check_tensors(self.model, container.tensors)
        except BaseException:
            self.runtime.close()
            raise
        self.output_shape = self.model.outputs[0].shape

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.runtime.close()  # closes the model too


def print_tensors(model):
    print(f"model {os.path.basename(model.path)} through kiv:")
    for kind, infos in (("input", model.inputs), ("output", model.outputs)):
        for t in infos:
            print(f"  {kind:<6} {t.name:<7} shape {str(t.shape):<8} {str(t.dtype):<8} "
                  f"scale {t.scale:.6g}  zero point {t.zero_point}")
    print()


def check_tensors(model, described):
    """kiv's view of the tensors must be what the container was packed with."""
    got = [_summary(t.name, t.shape, t.dtype, t.scale, t.zero_point) for t in model.inputs + model.outputs]
    want = [_summary(d["name"], d["shape"], DTYPE_NAMES[d["dtype"]], *_quantisation(d)) for d in described]
    if got != want:
        raise ModelMismatch(f"model tensors {got}, container was packed with {want}")


def _quantisation(description):
    """(scale, zero point) of a tensor description; an unquantised tensor reads as (1, 0)."""
    scale = description["scale"][0] if description["scale"] else 1.0
    zero_point = description["zero_point"][0] if description["zero_point"] else 0
    return scale, zero_point


def _summary(name, shape, dtype, scale, zero_point):
    # Scales travel as float32: compare at that precision.
    return name, tuple(shape), np.dtype(dtype), float(np.float32(scale)), int(zero_point)


def run_sync(session, samples):
    """Model.run per sample; finished jobs are reused, so few are ever created."""
    model = session.model
    outputs, latencies = [], []
    start = time.perf_counter()
    for sample in samples:
        t0 = time.perf_counter()
        (logits,) = model.run(sample, timeout=RUN_TIMEOUT_S)
        latencies.append(time.perf_counter() - t0)
        outputs.append(logits)
    return RunResult(outputs, latencies, time.perf_counter() - start, {"jobs created": model.jobs_created})


class _DoneCallbacks:
    """Done callbacks of the submitted futures: when each came, and how often.

    They run on kiv's completion thread (or at once on the submitting thread
    when the future has already finished). Each frees a slot of the window.
    """

    def __init__(self, expected, in_flight):
        self.expected = expected
        self.lock = threading.Lock()
        self.all_called = threading.Event()
        self.slots = threading.BoundedSemaphore(in_flight)
        self.finished_at = {}
        self.calls = {}

    def for_sample(self, index):
        def on_done(_future):
            now = time.perf_counter()
            with self.lock:
                self.calls[index] = self.calls.get(index, 0) + 1
                self.finished_at.setdefault(index, now)
                if len(self.calls) == self.expected:
                    self.all_called.set()
            self.slots.release()

        return on_done

    def check_once_each(self):
        with self.lock:
            wrong = {i: n for i, n in self.calls.items() if n != 1}
            missing = self.expected - len(self.calls)
        if wrong or missing:
            raise ModelMismatch(f"done callbacks: {missing} samples without one, "
                                f"called more than once for {sorted(wrong)}")


def run_async(session, samples, in_flight=16):
    """Model.submit with at most in_flight futures outstanding; each future's
    done callback is counted and must run exactly once."""
    model = session.model
    callbacks = _DoneCallbacks(len(samples), in_flight)
    futures, started_at = [], []
    start = time.perf_counter()
    for index, sample in enumerate(samples):
        if not callbacks.slots.acquire(timeout=ASYNC_WAIT_S):
            raise ModelMismatch(f"no free slot within {ASYNC_WAIT_S} s: done callbacks stopped coming")
        started_at.append(time.perf_counter())
        future = model.submit(sample)
        future.add_done_callback(callbacks.for_sample(index))
        futures.append(future)
    if samples and not callbacks.all_called.wait(ASYNC_WAIT_S):
        raise ModelMismatch(f"only {len(callbacks.calls)} of {len(samples)} done callbacks within {ASYNC_WAIT_S} s")
    wall = time.perf_counter() - start
    callbacks.check_once_each()
    outputs = [future.result()[0] for future in futures]  # raises the job's KivError, if any
    latencies = [callbacks.finished_at[i] - started_at[i] for i in range(len(samples))]
    return RunResult(outputs, latencies, wall, {"callbacks": sum(callbacks.calls.values())})


def run_stream(session, samples):
    """Model.map over the samples as they come from a generator, twice the
    device's cores in flight: a sample's latency runs from the moment the
    stream takes it to the moment its outputs come back, in order."""
    model = session.model
    taken = []

    def frames():
        for sample in samples:
            taken.append(time.perf_counter())
            yield sample

    outputs, latencies = [], []
    created = model.jobs_created
    start = time.perf_counter()
    for index, (logits,) in enumerate(model.map(frames(), timeout=RUN_TIMEOUT_S)):
        latencies.append(time.perf_counter() - taken[index])
        outputs.append(logits)
    return RunResult(outputs, latencies, time.perf_counter() - start,
                     {"jobs created": model.jobs_created - created})


def run_batch(session, samples, batch_size=32):
    """Model.run_batch per batch_size samples (in rounds of batch queues)."""
    model = session.model

    def run_chunk(chunk):
        return [logits for (logits,) in model.run_batch(chunk)]

    return run_in_batches(samples, batch_size, run_chunk)


MODES = (("sync", run_sync), ("async", run_async), ("stream", run_stream), ("batch", run_batch))
