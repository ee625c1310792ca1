"""A loaded graph with numpy-in, numpy-out inference."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
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

from . import _native, batch
from .container import diagnose
from .errors import JobTimeout, KivError, ModelFormatError, check, status_text
from .inputs import InputSet, InputValue, Outputs, bind_inputs, outputs_of, unpack_output
from .job_options import JobOptions, LoadOptions
from .job_pool import ASYNC, BLOCKING, JobPool, Use
from .tensor_info import TensorInfo, container_tensors, describe_tensors

if TYPE_CHECKING:
    from .runtime import Runtime

_DONE = int(libkiv.KIV_JOB_STATUS_DONE)
_OUTPUT = libkiv.KIV_TENSOR_TYPE_OUTPUT
_PROFILER = libkiv.KIV_TENSOR_TYPE_PROFILER


def checked_timeout(timeout: float | None) -> float | None:
    """`timeout` in seconds as given to a wait: None (no limit) or a number of
    at least 0; infinity, and any timeout too long to wait out, also mean no
    limit."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError("timeout must be None or a number of seconds, not %s" % type(timeout).__name__)
    if math.isnan(timeout):
        raise ValueError("timeout must be a number of seconds, got %r" % (timeout,))
    if timeout < 0:
        raise ValueError("timeout must not be negative, got %r" % (timeout,))
    return float(timeout)


def checked_job_options(job_options: JobOptions | None, default: JobOptions) -> JobOptions:
    if job_options is None:
        return default
    if not isinstance(job_options, JobOptions):
        raise TypeError("job_options must be None or a kiv.JobOptions, not %s" % type(job_options).__name__)
    return job_options


def _load_failure(npu: libkiv.NPU, path: str, status: SupportsInt, options: LoadOptions) -> KivError:
    """The error of a failed load: a ModelFormatError when what the file holds
    is to blame, else a KivError naming the path (and, for a file that cannot
    be opened, why, or the load option the driver refused)."""
    problem = diagnose(path)
    message = status_text(npu, status)
    blamed = options.blame(status) if problem is None else None
    if blamed is not None:
        return KivError("kiv_load_graph", status, message, "%s: %s" % (path, blamed))
    if problem is None and int(status) == int(libkiv.KIV_STATUS_ERROR_INVALID_GBIN):
        problem = "its NPU executable was refused by the driver"
    if problem is None:
        return KivError("kiv_load_graph", status, message, path)
    if int(status) == int(libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL):
        return KivError("kiv_load_graph", status, message, "%s: %s" % (path, problem))
    return ModelFormatError("kiv_load_graph", status, message, path, problem)


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
    #: The options of the model's jobs, unless a run gives its own.
    job_options: JobOptions

    def __init__(
        self,
        runtime: Runtime,
        path: str | os.PathLike[str],
        max_idle_jobs: int = 4,
        job_options: JobOptions | None = None,
        load_options: LoadOptions | None = None,
    ) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError("path must be a str or os.PathLike, not %s" % type(path).__name__)
        self.job_options = checked_job_options(job_options, JobOptions())
        load_options = load_options or LoadOptions()
        self._runtime = runtime
        self._npu: libkiv.NPU = runtime.npu
        self.path = os.fspath(path)
        status, graph_id = self._npu.kiv_load_graph(self.path, load_options.load_graph_config())
        if int(status) != 0:
            raise _load_failure(self._npu, self.path, status, load_options)
        self.graph_id = graph_id
        try:
            tensors = container_tensors(self.path)
            self.inputs = describe_tensors(self._npu, graph_id, tensors, libkiv.KIV_TENSOR_TYPE_INPUT)
            self.outputs = describe_tensors(self._npu, graph_id, tensors, libkiv.KIV_TENSOR_TYPE_OUTPUT)
            self._profilers = self._profiler_count() if runtime.profile else 0
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

    @property
    def build_version(self) -> int:
        """The build version number of the graph, as the driver reports it."""
        status, version = self._npu.kiv_ioctl(
            libkiv.npu, libkiv.KIV_IOCTL_GET_KIVBIN_BUILDVERSION, graph_id=self.graph_id
        )
        check(self._npu, "kiv_ioctl", status, "the build version of %s" % self.path)
        return int(version)

    def _profiler_count(self) -> int:
        status, count = self._npu.kiv_get_tensor_count(self.graph_id, _PROFILER)
        check(self._npu, "kiv_get_tensor_count", status, "the profiler tensors of %s" % self.path)
        return int(count)

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

    def _prepare(self, arrays: Sequence[npt.NDArray[Any]], use: Use) -> int:
        """A job of the pool, for a run of `use`, with the inputs loaded;
        counted as an operation."""
        self._begin()
        try:
            job_id = self._pool.acquire(use)
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
        return outputs_of(self._output_names, results, self._profile(job_id))

    def _profile(self, job_id: int) -> bytes | None:
        """The job's profiler tensors, joined; None when there are none."""
        if not self._profilers:
            return None
        parts = []
        for index in range(self._profilers):
            status, data = self._npu.kiv_get_tensor(job_id, _PROFILER, index)
            if int(status):
                raise KivError("kiv_get_tensor", status, status_text(self._npu, status), "profiler tensor %d" % index)
            assert data is not None  # a successful read brings the bytes
            parts.append(bytes(data))
        return b"".join(parts)

    def _release(self, job_id: int, job_status: int, use: Use) -> None:
        """Returns a job ended after a run of `use` to the pool (reused only
        when it ended well)."""
        try:
            self._pool.release(job_id, use, job_status == _DONE)
        finally:
            self._end()

    def _collect(self, job_id: int, job_status: int, use: Use) -> Outputs:
        """Outputs of a job that ended after a blocking run; the job goes
        back to the pool either way."""
        try:
            return self._outputs(job_id, job_status)
        finally:
            self._release(job_id, job_status, use)

    def _finish(self, job_id: int, use: Use, future: concurrent.futures.Future[Outputs], job_status: int) -> None:
        """Runs on the runtime's completion thread once a submitted job has
        ended: the outputs are read and the job goes back to the pool before
        the future gets the outputs, so that the thread waiting for them
        wakes when nothing is left to do here that would hold it up."""
        result: Outputs | BaseException
        try:
            result = self._outputs(job_id, job_status)
        except BaseException as err:
            result = err
        try:
            self._release(job_id, job_status, use)
        finally:
            if isinstance(result, BaseException):
                future.set_exception(result)
            else:
                future.set_result(result)

    def _release_when_ended(self, job_id: int, use: Use) -> None:
        """A job that a run left running (a timeout, Ctrl-C): a thread of its
        own waits for its end and releases it."""

        def wait_then_release() -> None:
            try:
                status, job_status = _native.wait(self._npu, job_id)
            except BaseException:
                status = None
            self._release(job_id, job_status if status == 0 else 0, use)  # reused only when it ended well

        threading.Thread(target=wait_then_release, name="kiv-job-%x" % job_id, daemon=True).start()

    # Public inference API.

    def run(
        self,
        *inputs: InputValue | Mapping[str, InputValue],
        timeout: float | None = None,
        job_options: JobOptions | None = None,
    ) -> Outputs:
        """Runs one inference and returns the outputs (a list, also by output name).

        `inputs` are one value per model input in order, or a single dict by
        input name. Values are numpy arrays of the input's dtype and shape (up
        to dimensions of size 1), bytes-like objects of the exact size, or
        numbers and nested lists whose every value the input's dtype holds
        exactly. The wait for the job lets other Python threads run and
        answers Ctrl-C at once. `timeout` is in seconds; on expiry JobTimeout
        (a KivError and a TimeoutError) is raised. A job left behind by a
        timeout or an interrupt is released in the background when it ends.
        `job_options` replace the model's for this run.
        """
        limit = checked_timeout(timeout)
        use = (BLOCKING, checked_job_options(job_options, self.job_options))
        job_id = self._prepare(bind_inputs(self.inputs, inputs), use)
        try:
            status, job_status = _native.run(self._npu, job_id, limit)
        except BaseException:  # e.g. KeyboardInterrupt: the job runs on and has to be released
            self._release_when_ended(job_id, use)
            raise
        if int(status):
            self._drop(job_id)
            raise KivError("kiv_job_infer_sync", status, status_text(self._npu, status), "job %#x" % job_id)
        if not job_status:
            self._release_when_ended(job_id, use)
            assert limit is not None  # only a wait with a limit ends before the job
            raise JobTimeout("Model.run", limit, job_id)
        return self._collect(job_id, job_status, use)

    def submit(
        self, *inputs: InputValue | Mapping[str, InputValue], job_options: JobOptions | None = None
    ) -> concurrent.futures.Future[Outputs]:
        """Starts one inference and returns a concurrent.futures.Future of its outputs.

        Input errors, and a driver's refusal to start the job, are raised
        here; runtime failures of the job are set on the future. The outputs
        are collected on the runtime's completion thread. `job_options`
        replace the model's for this run.
        """
        arrays = bind_inputs(self.inputs, inputs)
        use = (ASYNC, checked_job_options(job_options, self.job_options))
        future: concurrent.futures.Future[Outputs] = concurrent.futures.Future()
        future.set_running_or_notify_cancel()
        job_id = self._prepare(arrays, use)
        self._runtime._completions().submit(self._npu, job_id, future, functools.partial(self._finish, job_id, use, future))
        return future

    async def run_async(
        self, *inputs: InputValue | Mapping[str, InputValue], job_options: JobOptions | None = None
    ) -> Outputs:
        """Awaitable form of run(), for asyncio programs."""
        return await asyncio.wrap_future(self.submit(*inputs, job_options=job_options))

    def run_batch(self, input_sets: Iterable[InputSet], job_options: JobOptions | None = None) -> list[Outputs]:
        """Runs several input sets through one batch queue; returns one output list per set.

        Each element of `input_sets` is what run() takes: a sequence of values
        in input order, a dict by name, or, for a one-input model, the value
        itself. The sets go to the queue in rounds short enough that Ctrl-C
        is answered soon (libkiv waits for each round holding the interpreter
        lock). `job_options` replace the model's for these sets; the outputs
        of a batch carry no profile.
        """
        options = checked_job_options(job_options, self.job_options)
        self._begin()
        try:
            results = batch.run_batch(self._npu, self.graph_id, self.inputs, self.outputs, input_sets, options)
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

    def _close_now(self) -> None:
        """Unloads the graph at once, also under jobs still running (the
        context is closed right after, which ends them); failures are warned
        about."""
        with self._state:
            self._closed = True
            due = not self._unloaded
            self._unloaded = True
        if due:
            self._unload(raising=False)

    def __enter__(self) -> Model:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]:
        self.close()
        return False
