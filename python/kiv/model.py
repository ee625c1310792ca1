"""A loaded graph with numpy-in, numpy-out inference."""

from __future__ import annotations

import asyncio
import concurrent.futures
import math
import numbers
import os
import threading
import warnings
from collections.abc import Iterable, Mapping, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, SupportsInt

import numpy.typing as npt

import libkiv

from . import batch
from ._board import board
from .completion import Job, JobFuture, NativeJob, PendingJob, RunJob
from .container import diagnose
from .errors import JobTimeout, KivError, check, status_text
from .inputs import InputSet, InputValue, Outputs, bind_inputs, outputs_of, unpack_output
from .job_pool import ASYNC, BLOCKING, JobPool
from .tensor_info import TensorInfo, describe_tensors

if TYPE_CHECKING:
    from .runtime import Runtime

_DONE = int(libkiv.KIV_JOB_STATUS_DONE)
_OUTPUT = libkiv.KIV_TENSOR_TYPE_OUTPUT


def _notified_job(model: Model, job_id: int) -> NativeJob | PendingJob:
    """A job whose end is delivered: through the board, natively; through a
    Python callable when the board already holds a job of that id (another
    context's)."""
    serial = board.expect(job_id)
    return NativeJob(model, job_id, serial) if serial else PendingJob(model, job_id)


def checked_timeout(timeout: float | None) -> float | None:
    """`timeout` in seconds as given to a wait: None (no limit) or a number of at least 0."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError("timeout must be None or a number of seconds, not %s" % type(timeout).__name__)
    if math.isnan(timeout) or timeout < 0:
        raise ValueError("timeout must not be negative, got %r" % (timeout,))
    return float(timeout)


def _load_failure_detail(path: str, status: SupportsInt) -> str:
    """The path, and what is wrong with the file when the file is to blame."""
    problem = diagnose(path)
    if problem is None and int(status) == int(libkiv.KIV_STATUS_ERROR_INVALID_GBIN):
        problem = "its NPU executable was refused by the driver"
    return path if problem is None else "%s: %s" % (path, problem)


class Model:
    """A zor container loaded as a graph of a Runtime; create it with Runtime.load.

    Use it as a context manager, or call close(), to unload the graph. All
    methods may be called from several threads at once.
    """

    #: The container's path, as given to Runtime.load.
    path: str
    #: The runtime's id of the loaded graph.
    graph_id: int
    #: The input tensors, in the order runs take them.
    inputs: list[TensorInfo]
    #: The output tensors, in the order runs return them.
    outputs: list[TensorInfo]

    def __init__(self, runtime: Runtime, path: str | os.PathLike[str], max_idle_jobs: int = 4) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError("path must be a str or os.PathLike, not %s" % type(path).__name__)
        self._runtime = runtime
        self._npu: libkiv.NPU = runtime.npu
        self.path = os.fspath(path)
        status, graph_id = self._npu.kiv_load_graph(self.path)
        if int(status) != 0:
            raise KivError(
                "kiv_load_graph", status, status_text(self._npu, status), _load_failure_detail(self.path, status)
            )
        self.graph_id = graph_id
        try:
            self.inputs = describe_tensors(self._npu, graph_id, self.path, libkiv.KIV_TENSOR_TYPE_INPUT)
            self.outputs = describe_tensors(self._npu, graph_id, self.path, libkiv.KIV_TENSOR_TYPE_OUTPUT)
        except BaseException:
            self._npu.kiv_unload_graph(graph_id)
            raise
        self._output_names = tuple(info.name for info in self.outputs)
        self._pool = JobPool(self._npu, graph_id, max_idle_jobs)
        self._state = threading.Lock()
        self._active = 0  # started operations not yet finished
        self._closed = False
        self._unloaded = False

    def __repr__(self) -> str:
        return "<kiv.Model %r graph=%#x inputs=%s outputs=%s%s>" % (
            self.path,
            self.graph_id,
            [i.name for i in self.inputs],
            list(self._output_names),
            " closed" if self._closed else "",
        )

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def jobs_created(self) -> int:
        """How many driver jobs this model has created so far (reuse keeps it low)."""
        return self._pool.created

    # Bookkeeping of the operations that use the graph: the graph is unloaded
    # only once none is left.

    def _begin(self) -> None:
        with self._state:
            if self._closed:
                raise ValueError("model %r is closed" % self.path)
            self._active += 1

    def _end(self) -> None:
        with self._state:
            self._active -= 1
            due = self._closed and self._active == 0 and not self._unloaded
            self._unloaded = self._unloaded or due
        if due:
            self._unload(raising=False)

    def _unload(self, raising: bool) -> None:
        """Cleans the pooled jobs and unloads the graph; every step is tried.

        `raising` False (a deferred unload, run by whichever thread ended the
        last job): failures are warned about instead of raised.
        """
        first_error: Exception | None = None
        try:
            self._pool.close()
        except Exception as err:
            first_error = err
        status = self._npu.kiv_unload_graph(self.graph_id)
        if int(status) != 0 and first_error is None:
            first_error = KivError("kiv_unload_graph", status, status_text(self._npu, status), self.path)
        try:
            self._runtime._forget(self, raising)
        except Exception as err:
            first_error = first_error or err
        if first_error is not None:
            if raising:
                raise first_error
            warnings.warn("closing %s: %s" % (self.path, first_error), RuntimeWarning)

    # Starting a job and collecting its outputs.

    def _prepare(self, arrays: Sequence[npt.NDArray[Any]], kind: str) -> int:
        """A job of the pool, for a run of `kind`, with the inputs loaded;
        counted as an operation."""
        self._begin()
        try:
            job_id = self._pool.acquire(kind)
        except BaseException:
            self._end()
            raise
        try:
            for index, array in enumerate(arrays):
                status = self._npu.kiv_load_tensor(job_id, index, array)
                if int(status):
                    raise KivError("kiv_load_tensor", status, status_text(self._npu, status), self._name(index))
        except BaseException:
            self._drop(job_id)
            raise
        return job_id

    def _drop(self, job_id: int) -> None:
        """Gives up a job that never started."""
        self._release_quietly(job_id)
        self._end()

    def _start(self, arrays: Sequence[npt.NDArray[Any]]) -> NativeJob | PendingJob:
        """Starts a job whose end is delivered to the runtime's completion thread."""
        job_id = self._prepare(arrays, ASYNC)
        job = _notified_job(self, job_id)
        status: libkiv.kiv_status_t | None = None
        try:
            status = self._npu.kiv_job_infer_async(job_id, job.completion)
            check(self._npu, "kiv_job_infer_async", status)
        except BaseException:
            if status is not None and int(status) != 0:
                job.abandon()  # refused: the driver never runs the job
                self._drop(job_id)
            else:
                # Interrupted around a submission the driver may have taken:
                # only its completion may release the job.
                job.route_to(self._runtime._dispatcher())
            raise
        return job

    def _name(self, index: int) -> str:
        return "input '%s'" % self.inputs[index].name

    def _release_quietly(self, job_id: int) -> None:
        """Cleans a job that is not to be reused."""
        try:
            self._pool.discard(job_id)
        except KivError:
            pass  # the job is gone from the pool either way; the first error matters more

    def _outputs(self, job_id: int, job_status: int) -> Outputs:
        """The outputs of an ended job, or the error that stands for them."""
        if job_status != _DONE:
            code = libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
            raise KivError(
                "kiv_job_infer_async",
                code,
                status_text(self._npu, code),
                "job %#x ended with job status %d" % (job_id, job_status),
            )
        results: list[npt.NDArray[Any]] = []
        for info in self.outputs:
            status, data = self._npu.kiv_get_tensor(job_id, _OUTPUT, info.index)
            if int(status):
                raise KivError("kiv_get_tensor", status, status_text(self._npu, status), "output '%s'" % info.name)
            assert data is not None  # a successful read brings the bytes
            results.append(unpack_output(info, data))
        return outputs_of(self._output_names, results)

    def _release(self, job_id: int, job_status: int, kind: str) -> None:
        """Returns a job ended after a run of `kind` to the pool (reused only
        when it ended well)."""
        try:
            self._pool.release(job_id, kind, job_status == _DONE)
        finally:
            self._end()

    def _collect(self, job_id: int, job_status: int) -> Outputs:
        """Outputs of a job that ended after a blocking run; the job goes
        back to the pool either way."""
        try:
            return self._outputs(job_id, job_status)
        finally:
            self._release(job_id, job_status, BLOCKING)

    def _finish_routed(self, job: Job) -> None:
        """Runs on the runtime's dispatcher thread once a routed job has ended:
        the future gets its outputs first, the job goes back to the pool after."""
        assert job.job_status is not None  # routed jobs come here once they ended
        try:
            future = job.future
            if future is None:  # a run() that timed out or was interrupted
                return
            try:
                result = self._outputs(job.job_id, job.job_status)
            except BaseException as err:
                future.set_exception(err)
            else:
                future.set_result(result)
        finally:
            self._release(job.job_id, job.job_status, job.kind)

    # Public inference API.

    def run(self, *inputs: InputValue | Mapping[str, InputValue], timeout: float | None = None) -> Outputs:
        """Runs one inference and returns the outputs (a list, also by output name).

        `inputs` are one value per model input in order, or a single dict by
        input name. Values are numpy arrays of the input's dtype and shape (up
        to dimensions of size 1), bytes-like objects of the exact size, or
        numbers and nested lists whose every value the input's dtype holds
        exactly. The wait for the job lets other Python threads run and
        answers Ctrl-C at once. `timeout` is in seconds; on expiry JobTimeout
        (a KivError and a TimeoutError) is raised. A job left behind by a
        timeout or an interrupt is released in the background when it ends.
        """
        limit = checked_timeout(timeout)
        job_id = self._prepare(bind_inputs(self.inputs, inputs), BLOCKING)
        try:
            status, job_status = board.run(self._npu, job_id, limit)
        except BaseException:  # e.g. KeyboardInterrupt: the job runs on and has to be released
            RunJob(self, job_id).route_to(None)
            raise
        if int(status):
            self._drop(job_id)
            raise KivError("kiv_job_infer_sync", status, status_text(self._npu, status), "job %#x" % job_id)
        if not job_status:
            RunJob(self, job_id).route_to(None)
            assert limit is not None  # only a wait with a limit ends before the job
            raise JobTimeout("Model.run", limit, job_id)
        return self._collect(job_id, job_status)

    def submit(self, *inputs: InputValue | Mapping[str, InputValue]) -> concurrent.futures.Future[Outputs]:
        """Starts one inference and returns a concurrent.futures.Future of its outputs.

        Input errors are raised here; runtime failures of the job are set on
        the future. The outputs are collected on the runtime's completion
        thread, or by a thread that asks the future for its result before the
        job has ended.
        """
        arrays = bind_inputs(self.inputs, inputs)
        future = JobFuture()
        future.set_running_or_notify_cancel()
        job = self._start(arrays)
        job.future = future
        job.route_to(self._runtime._dispatcher())
        if isinstance(job, NativeJob):
            future.job = job
        return future

    async def run_async(self, *inputs: InputValue | Mapping[str, InputValue]) -> Outputs:
        """Awaitable form of run(), for asyncio programs."""
        return await asyncio.wrap_future(self.submit(*inputs))

    def run_batch(self, input_sets: Iterable[InputSet]) -> list[Outputs]:
        """Runs several input sets through one batch queue; returns one output list per set.

        Each element of `input_sets` is what run() takes: a sequence of values
        in input order, a dict by name, or, for a one-input model, the value
        itself. The sets go to the queue in rounds short enough that Ctrl-C
        is answered soon (libkiv waits for each round holding the interpreter
        lock).
        """
        self._begin()
        try:
            results = batch.run_batch(self._npu, self.graph_id, self.inputs, self.outputs, input_sets)
            return [outputs_of(self._output_names, outputs) for outputs in results]
        finally:
            self._end()

    # Lifetime.

    def close(self) -> None:
        """Unloads the graph, or, while jobs are still running, marks the model
        closed and leaves the unload to the end of its last job. Never waits.
        Idempotent."""
        with self._state:
            if self._closed:
                return
            self._closed = True
            due = self._active == 0
            self._unloaded = due
        if due:
            self._unload(raising=True)

    def __enter__(self) -> Model:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]:
        self.close()
        return False
