"""A loaded graph with numpy-in, numpy-out inference."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import math
import numbers
import os
import warnings
import weakref
from collections.abc import AsyncIterable, AsyncIterator, Callable, Iterable, Iterator, Mapping
from types import TracebackType
from typing import Any, Literal, SupportsInt, cast

import numpy as np
import numpy.typing as npt

import libkiv

from . import _native, batch, streams
from .completion import GIVEN_UP, Future
from .container import diagnose
from .context import Context
from .errors import JobTimeout, KivError, ModelFormatError, check, failure, status_text
from .inputs import (
    InputSet,
    InputValue,
    OutputArrays,
    Outputs,
    OutputTargets,
    bind_inputs,
    bind_outputs,
    input_args,
    outputs_of,
)
from .job_options import JobOptions, LoadOptions, blame_load_options, load_graph_config
from .job_pool import ASYNC, BLOCKING, JobPool, Use
from .lifetime import check_owned, close_quietly, is_closed, lifetime
from .tensor_info import TensorInfo, container_tensors, describe_tensors

_DONE = int(libkiv.KIV_JOB_STATUS_DONE)
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
    blamed = blame_load_options(options, status) if problem is None else None
    if blamed is not None:
        return failure(npu, "kiv_load_graph", status, "%s: %s" % (path, blamed))
    if problem is None and int(status) == int(libkiv.KIV_STATUS_ERROR_INVALID_GBIN):
        problem = "its NPU executable was refused by the driver"
    if problem is None:
        return failure(npu, "kiv_load_graph", status, path)
    if int(status) == int(libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL):
        return failure(npu, "kiv_load_graph", status, "%s: %s" % (path, problem))
    return ModelFormatError("kiv_load_graph", status, status_text(npu, status), path, problem)


def _release_steps(context: Context, pool: JobPool, graph_id: int, path: str) -> tuple[Callable[[], object], ...]:
    """What releases a loaded graph: its idle jobs cleaned and the graph
    unloaded (the model's use of the runtime goes back right after, with
    the lifetime's release). A context given up at exit is closed whole:
    then nothing is asked of the driver."""
    if context.life.state == "given up":
        return (pool.forget,)

    def unload() -> None:
        status = context.npu.kiv_unload_graph(graph_id)
        if int(status) != 0:
            raise failure(context.npu, "kiv_unload_graph", status, path)

    return (pool.close, unload)


class Model:
    """A zor container loaded as a graph of a Runtime; models come from Runtime.load.

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

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("models come from Runtime.load")

    @classmethod
    def _load(
        cls,
        context: Context,
        path: str | os.PathLike[str],
        max_idle_jobs: int = 4,
        job_options: JobOptions | None = None,
        load_options: LoadOptions | None = None,
    ) -> Model:
        """Loads the container at `path` as a graph of `context` (Runtime.load)."""
        model = cls.__new__(cls)
        model._set_up(context, path, max_idle_jobs, job_options, load_options)
        return model

    def _set_up(
        self,
        context: Context,
        path: str | os.PathLike[str],
        max_idle_jobs: int,
        job_options: JobOptions | None,
        load_options: LoadOptions | None,
    ) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError("path must be a str or os.PathLike, not %s" % type(path).__name__)
        self.job_options = checked_job_options(job_options, JobOptions())
        load_options = load_options or LoadOptions()
        self._context = context
        self._npu: libkiv.NPU = context.npu
        self.path = os.fspath(path)
        status, graph_id = self._npu.kiv_load_graph(self.path, load_graph_config(load_options))
        if int(status) != 0:
            raise _load_failure(self._npu, self.path, status, load_options)
        self.graph_id = graph_id
        try:
            tensors = container_tensors(self.path)
            self.inputs = describe_tensors(self._npu, graph_id, tensors, libkiv.KIV_TENSOR_TYPE_INPUT)
            self.outputs = describe_tensors(self._npu, graph_id, tensors, libkiv.KIV_TENSOR_TYPE_OUTPUT)
            self._profilers = self._profiler_count() if self._context.profile else 0
        except BaseException:
            self._npu.kiv_unload_graph(graph_id)
            raise
        self._output_names = tuple(info.name for info in self.outputs)
        self._input_sizes = [info.size for info in self.inputs]
        self._output_sizes = [info.size for info in self.outputs]
        self._pool = JobPool(self._npu, graph_id, max_idle_jobs)
        # Users: runs under way and jobs not yet finished.
        self._life = lifetime(
            "Model",
            "model %r" % self.path,
            functools.partial(_release_steps, context, self._pool, graph_id, self.path),
        )
        # A model nothing refers to any more is closed as close() closes it;
        # only then does the graph take its use of the runtime, which its
        # release gives back, so that no interrupt can leave that use taken.
        weakref.finalize(self, close_quietly, self._life).atexit = False
        try:
            self._life.hold(context.life)
        except BaseException:
            close_quietly(self._life)  # the runtime was closed meanwhile: the graph goes
            raise

    def __repr__(self) -> str:
        return "<kiv.Model %r graph=%#x inputs=%s outputs=%s%s>" % (
            self.path,
            self.graph_id,
            [i.name for i in self.inputs],
            list(self._output_names),
            " closed" if self.closed else "",
        )

    @property
    def closed(self) -> bool:
        """Whether close() was called (the graph is unloaded once its last job has ended)."""
        return is_closed(self._life)

    @property
    def jobs_created(self) -> int:
        """How many driver jobs this model has created so far (reuse keeps it low)."""
        return self._pool.created

    @property
    def in_flight(self) -> int:
        """How many of this model's jobs have started and not yet ended (runs
        waiting for their job, submitted jobs whose end the driver has not
        reported yet, and jobs a timeout or Ctrl-C left running). A program
        can hold back its submissions on it (map does that by itself)."""
        return self._life.in_flight

    @property
    def build_version(self) -> int:
        """The build version number of the graph, as the driver reports it.

        :raises KivError: the driver cannot tell the graph's build version.
        """
        with self._life:
            status, version = self._npu.kiv_ioctl(
                libkiv.npu, libkiv.KIV_IOCTL_GET_KIVBIN_BUILDVERSION, graph_id=self.graph_id
            )
        check(self._npu, "kiv_ioctl", status, "the build version of %s" % self.path)
        return int(version)

    def _profiler_count(self) -> int:
        status, count = self._npu.kiv_get_tensor_count(self.graph_id, _PROFILER)
        check(self._npu, "kiv_get_tensor_count", status, "the profiler tensors of %s" % self.path)
        return int(count)

    # Starting a job and collecting its outputs. Each runs inside a use of
    # the model's lifetime (`with self._life`), which no interrupt can leave
    # raised or dropped; a job handed to the completion thread takes a use
    # of its own there, in the same native call that hands it over.

    def _prepare(self, arrays: list[npt.NDArray[Any]], use: Use) -> int:
        """A job of the pool, for a run of `use`, with the inputs loaded."""
        job_id = self._pool.acquire(use)
        try:
            failed, status = _native.load_inputs(self._npu, job_id, arrays, self._input_sizes)
            if failed >= 0:
                if status is None:
                    raise _resized(self._name(failed), arrays[failed], self._input_sizes[failed])
                raise failure(self._npu, "kiv_load_tensor", status, self._name(failed))
        except BaseException:
            self._drop(job_id)
            raise
        return job_id

    def _drop(self, job_id: int) -> None:
        """Cleans a job that never started; it is gone from the pool either
        way, and the error that led here matters more than one of cleaning."""
        try:
            self._pool.discard(job_id)
        except KivError:
            pass

    def _name(self, index: int) -> str:
        return "input '%s'" % self.inputs[index].name

    def _outputs(self, job_id: int, job_status: int, api: str, targets: list[npt.NDArray[Any]] | None) -> Outputs:
        """The outputs of an ended job, or the error that stands for them;
        `api` is the call that ran the job, named when the job failed. With
        `targets` (the caller's arrays, checked) the runtime writes each
        output straight into its array, and those are the outputs."""
        if job_status != _DONE:
            code = libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
            raise failure(self._npu, api, code, "job %#x ended with job status %d" % (job_id, job_status))
        # New arrays are zero-filled by the read (natively, and at the least
        # cost for large ones), so that what a driver does not write holds
        # nothing of the heap's earlier contents; the caller's are not.
        fresh = targets is None
        arrays = [np.empty(info.shape, info.dtype) for info in self.outputs] if targets is None else targets
        failed, status = _native.read_outputs(self._npu, job_id, arrays, self._output_sizes, fresh)
        if failed >= 0:
            name = "output '%s'" % self.outputs[failed].name
            if status is None:
                raise _resized(name, arrays[failed], self._output_sizes[failed])
            raise failure(self._npu, "kiv_get_tensor", status, name)
        return outputs_of(self._output_names, arrays, self._profile(job_id))

    def _profile(self, job_id: int) -> bytes | None:
        """The job's profiler tensors, joined; None when there are none."""
        if not self._profilers:
            return None
        parts = []
        for index in range(self._profilers):
            status, data = self._npu.kiv_get_tensor(job_id, _PROFILER, index)
            if int(status):
                raise failure(self._npu, "kiv_get_tensor", status, "profiler tensor %d" % index)
            assert data is not None  # a successful read brings the bytes
            parts.append(bytes(data))
        return b"".join(parts)

    def _collect(self, job_id: int, job_status: int, use: Use, targets: list[npt.NDArray[Any]] | None) -> Outputs:
        """Outputs of a job that ended after a blocking run; the job goes
        back to the pool either way."""
        try:
            return self._outputs(job_id, job_status, "kiv_job_infer_sync", targets)
        finally:
            self._pool.release(job_id, use, job_status == _DONE)

    def _finish(
        self,
        job_id: int,
        use: Use,
        future: Future,
        targets: OutputTargets | None,
        job_status: int,
    ) -> None:
        """Runs on the runtime's completion thread once a submitted job has
        ended: the outputs are read and the job goes back to the pool before
        the future gets the outputs, so that the thread waiting for them
        wakes when nothing is left to do here that would hold it up."""
        if job_status == GIVEN_UP:
            future.settle(_given_up(self._npu))
            return
        result: Outputs | BaseException
        try:
            result = self._outputs(job_id, job_status, "kiv_job_infer_async", _arrays_of(targets))
        except BaseException as err:
            result = err
        try:
            self._release_ended(job_id, use, job_status)
        finally:
            future.settle(result)

    def _release_ended(self, job_id: int, use: Use, job_status: int) -> None:
        """Returns a job that ended on the completion thread to the pool
        (reused only when it ended well); a failure is warned about."""
        if job_status == GIVEN_UP:
            return  # the context is closed without asking the driver about its jobs
        try:
            self._pool.release(job_id, use, job_status == _DONE)
        except KivError as err:
            warnings.warn(str(err), RuntimeWarning)

    # Public inference API.

    def run(
        self,
        *inputs: InputValue | Mapping[str, InputValue],
        timeout: float | None = None,
        job_options: JobOptions | None = None,
        out: OutputArrays | None = None,
    ) -> Outputs:
        """Runs one inference and returns the outputs (a list, also by output name).

        The wait for the job lets other Python threads run and answers
        Ctrl-C at once. A job left behind by a timeout or an interrupt is
        released in the background when it ends.

        :param inputs: one value per model input in order, or a single dict
            by input name. Values are numpy arrays of the input's dtype and
            shape (up to dimensions of size 1), bytes-like objects of the
            exact size, or numbers and nested lists: whole numbers in range
            for an integer dtype; for a float dtype, integers it holds
            exactly and real values, which are rounded to its precision.
        :param timeout: the longest wait for the job, in seconds (None: no
            limit); on expiry JobTimeout (a KivError and a TimeoutError) is
            raised.
        :param job_options: replace the model's for this run.
        :param out: arrays of the caller's for the outputs (a sequence in
            output order, a dict by output name, or the Outputs of an
            earlier run): the runtime writes each output straight into its
            array, no new array is made and nothing is zero-filled first,
            and the outputs returned are those arrays. Each must have the
            output's dtype and shape and be writable and C-contiguous, else
            ValueError (TypeError for what is not a numpy array) names the
            output and what is wrong. Bytes that a driver does not write
            (one that writes an output short) keep what the array held
            before: the caller's own data, never another job's.
        :raises TypeError: an input of the wrong kind or dtype (named), an
            ``out`` array that is no numpy array, or a ``timeout`` or
            ``job_options`` of the wrong type.
        :raises ValueError: an input of the wrong shape or with values its
            dtype cannot hold (named), an ``out`` array the output does not
            fit (named, with what is wrong), a negative ``timeout``, or the
            model is closed.
        :raises JobTimeout: the job did not end within ``timeout``.
        :raises KivError: the driver refused the job or its options, a status
            query failed (named), or the job ended with an exception.
        """
        limit = checked_timeout(timeout)
        use = (BLOCKING, checked_job_options(job_options, self.job_options))
        arrays = bind_inputs(self.inputs, inputs)
        targets = bind_outputs(self.outputs, out)
        with self._life:
            job_id = self._prepare(arrays, use)
            # A job left running (a timeout, Ctrl-C, an unanswered status
            # query) goes to the completion thread in the native call that
            # ran it, which releases it once the driver says it ended: it is
            # never cleaned while it runs, and the model stays in use.
            finish = functools.partial(self._release_ended, job_id, use)
            completions = self._context.completions
            failed, status, job_status = _native.run(self._npu, job_id, limit, self._life, completions, finish)
            if failed == "kiv_job_infer_sync":  # the job did not start
                self._drop(job_id)
            elif failed is None and job_status:
                return self._collect(job_id, job_status, use, _arrays_of(targets))
        if failed is not None:
            raise failure(self._npu, failed, status, "job %#x" % job_id)
        assert limit is not None  # only a wait with a limit ends before the job
        raise JobTimeout("Model.run", limit, job_id)

    def submit(
        self,
        *inputs: InputValue | Mapping[str, InputValue],
        job_options: JobOptions | None = None,
        out: OutputArrays | None = None,
    ) -> concurrent.futures.Future[Outputs]:
        """Starts one inference and returns a concurrent.futures.Future of its outputs.

        Input errors, and a driver's refusal to start the job, are raised
        here; runtime failures of the job are set on the future. The outputs
        are collected on the runtime's completion thread, which also runs the
        future's done-callbacks, one after another; what a callback raises is
        logged, as concurrent.futures does.

        :param inputs: as for `run`.
        :param job_options: replace the model's for this run.
        :param out: as for `run`: the outputs are written into the caller's
            arrays once the job ended, and the future holds them; they are
            the job's until then.
        :raises TypeError: as `run`, for the inputs, ``out`` and ``job_options``.
        :raises ValueError: as `run`, for the inputs and ``out``, or the model
            is closed.
        :raises KivError: the driver refused to start the job. A job that
            fails once started sets its `KivError` on the future instead.
        """
        arrays = bind_inputs(self.inputs, inputs)
        targets = bind_outputs(self.outputs, out)
        use = (ASYNC, checked_job_options(job_options, self.job_options))
        future = Future()
        future.set_running_or_notify_cancel()
        with self._life:
            job_id = self._prepare(arrays, use)
            future.job_id = job_id
            try:
                finish = functools.partial(self._finish, job_id, use, future, targets)
            except BaseException:
                self._drop(job_id)
                raise
            # One native call files the job and starts it: once it returns,
            # the completion thread finishes the job, also when the driver
            # refused it (the error is raised here as well). When the model
            # was closed meanwhile, the use is refused and the job cleaned.
            status = self._context.completions.submit(self._npu, job_id, self._life, finish)
        check(self._npu, "kiv_job_infer_async", status, "job %#x" % job_id)
        return future

    async def run_async(
        self,
        *inputs: InputValue | Mapping[str, InputValue],
        job_options: JobOptions | None = None,
        out: OutputArrays | None = None,
    ) -> Outputs:
        """Awaitable form of run(), for asyncio programs.

        Cancelling it (``task.cancel()``, ``asyncio.wait_for``) cannot call
        the job back from the device: the job runs to its end and its
        outputs are dropped. Without `out`, the CancelledError comes at
        once. With `out`, it comes once the runtime is done with the
        caller's arrays (the job has ended and its outputs were written, or
        it failed), so that the arrays are the caller's again when it does;
        a second cancellation does not cut that wait short.

        :param inputs: as for `run`.
        :param job_options: replace the model's for this run.
        :param out: as for `run`.
        :raises TypeError: as `submit`.
        :raises ValueError: as `submit`.
        :raises KivError: the driver refused to start the job, or (awaited)
            the job failed.
        """
        future = self.submit(*inputs, job_options=job_options, out=out)
        waiting = asyncio.wrap_future(future)
        if out is None:
            return await waiting
        try:
            return await asyncio.shield(waiting)
        except asyncio.CancelledError:
            await _until_done(waiting)
            raise

    # Streams.

    def map(
        self,
        inputs: Iterable[InputSet],
        *,
        in_flight: int | None = None,
        job_options: JobOptions | None = None,
        timeout: float | None = None,
    ) -> Iterator[Outputs]:
        """Runs one inference per input set and yields the outputs in the order of `inputs`.

        A set that fails (its inputs refused, or its job) raises its error
        at its position; an error of `inputs` itself comes after the outputs
        before it. Closing the iterator early, dropping it, or Ctrl-C while
        iterating leaves the jobs in flight to end on their own: their
        outputs are dropped, the jobs released, and the model can be closed
        at any time.

            for (y,) in model.map(frames, in_flight=8):
                show(y)

        :param inputs: the input sets, each what run_batch() takes: the
            values in input order, a dict by input name, or, for a one-input
            model, the value itself. Read lazily (a generator of frames
            works), never more than `in_flight` jobs ahead of the consumer.
        :param in_flight: the most jobs started and not yet consumed: twice
            the device's core count by default, which keeps every core busy.
            The model keeps as many idle jobs for reuse (unless its
            max_idle_jobs is 0), so that a stream creates no job after its
            first `in_flight`.
        :param job_options: replace the model's for these sets.
        :param timeout: the longest wait for each result, in seconds (None:
            no limit); on expiry JobTimeout is raised.
        :raises TypeError: ``in_flight``, ``timeout`` or ``job_options`` of the
            wrong type (at once); while iterating, as `run` for an input set.
        :raises ValueError: ``in_flight`` below 1 or a negative ``timeout`` (at
            once); while iterating, as `run` for an input set, or the model
            is closed.
        :raises JobTimeout: while iterating, a result did not come within
            ``timeout``.
        :raises KivError: while iterating, the job of a set failed, or the
            driver refused it.
        """
        depth, limit, options = self._stream_settings(in_flight, timeout, job_options)
        return streams.stream(functools.partial(self._submit_set, options=options), iter(inputs), depth, limit)

    def map_async(
        self,
        inputs: Iterable[InputSet] | AsyncIterable[InputSet],
        *,
        in_flight: int | None = None,
        job_options: JobOptions | None = None,
        timeout: float | None = None,
    ) -> AsyncIterator[Outputs]:
        """The asyncio form of map(): an async iterator of the outputs, in
        order, over an iterable or an async iterable of input sets, with the
        same rules.

            async for (y,) in model.map_async(frames()):
                await send(y)

        :param inputs: as for `map`, also an async iterable.
        :param in_flight: as for `map`.
        :param job_options: as for `map`.
        :param timeout: as for `map`.
        :raises TypeError: as `map`.
        :raises ValueError: as `map`.
        :raises JobTimeout: as `map`.
        :raises KivError: as `map`.
        """
        depth, limit, options = self._stream_settings(in_flight, timeout, job_options)
        return streams.stream_async(functools.partial(self._submit_set, options=options), inputs, depth, limit)

    def _stream_settings(
        self, in_flight: int | None, timeout: float | None, job_options: JobOptions | None
    ) -> tuple[int, float | None, JobOptions]:
        check_owned(self._life)  # before the pool's lock
        if in_flight is None:
            depth = 2 * self._context.cores if self._context.cores else 8
        elif isinstance(in_flight, bool) or not isinstance(in_flight, numbers.Integral):
            raise TypeError("in_flight must be a whole number, not %s" % type(in_flight).__name__)
        elif in_flight < 1:
            raise ValueError("in_flight must be at least 1, got %d" % in_flight)
        else:
            depth = int(in_flight)
        settings = depth, checked_timeout(timeout), checked_job_options(job_options, self.job_options)
        self._pool.keep_at_least(depth)
        return settings

    def _submit_set(self, item: InputSet, options: JobOptions) -> concurrent.futures.Future[Outputs]:
        """A submitted input set of a stream, or a future holding why it could not be."""
        try:
            args = cast("tuple[InputValue | Mapping[str, InputValue], ...]", input_args(self.inputs, item))
            return self.submit(*args, job_options=options)
        except Exception as err:  # raised at the set's position, as a failed job's
            failed = Future()
            failed.settle(err)
            return failed

    def run_batch(self, input_sets: Iterable[InputSet], job_options: JobOptions | None = None) -> list[Outputs]:
        """Runs several input sets through batch queues; returns one output list per set.

        The sets go in rounds, each round a batch queue of its own that is
        created, finished and cleaned before the next: the first round
        holds one set, and each later one as many as the last round's speed
        fits in about 50 ms (at most eight times the last), so that Ctrl-C
        is answered soon (libkiv waits for a queue holding the interpreter
        lock). Dumps asked for in `job_options` name a set by its round's
        queue and its number in the round: on the stand-in NPU, four sets
        with the prefix ``b`` write ``b_256_0_input0.bin`` (the first round,
        queue 256), then ``b_257_0_...``, ``b_257_1_...`` and ``b_257_2_...``
        (the second round, queue 257). The outputs of a batch carry no
        profile.

        :param input_sets: each what run() takes: a sequence of values in
            input order, a dict by name, or, for a one-input model, the
            value itself.
        :param job_options: replace the model's for these sets.
        :raises TypeError: an input set of the wrong kind or dtype (named).
        :raises ValueError: an input set of the wrong shape or values, or the
            model is closed.
        :raises KivError: the driver refused the batch queue, its options or
            a set, or a set ended with an exception.
        """
        options = checked_job_options(job_options, self.job_options)
        with self._life:
            results = batch.run_batch(self._npu, self.graph_id, self.inputs, self.outputs, input_sets, options)
        return [outputs_of(self._output_names, outputs) for outputs in results]

    # Lifetime.

    def close(self) -> None:
        """Unloads the graph, or, while jobs are still running, marks the model
        closed and leaves the unload to the end of its last job. Never waits.
        Idempotent. In a forked child, a model of the parent's is left alone.

        :raises KivError: unloading the graph or cleaning its jobs failed.
        """
        self._life.close()

    def __enter__(self) -> Model:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]:
        self.close()
        return False


async def _until_done(waiting: asyncio.Future[Outputs]) -> None:
    """Waits for `waiting` to be done, whatever it ends with, through any
    cancellation of the waiting task."""
    while not waiting.done():
        try:
            await asyncio.shield(waiting)
        except asyncio.CancelledError:
            continue
        except Exception:
            break
    if not waiting.cancelled():
        waiting.exception()  # retrieved: the caller was cancelled and will not ask


def _arrays_of(targets: OutputTargets | None) -> list[npt.NDArray[Any]] | None:
    return None if targets is None else targets.arrays


def _resized(what: str, array: npt.NDArray[Any], size: int) -> ValueError:
    """The error of an array whose length changed after it was checked (it
    was resized by another thread): nothing was moved to or from it."""
    return ValueError(
        "%s: the array holds %d bytes where the tensor takes %d: it was resized" % (what, array.nbytes, size)
    )


def _given_up(npu: libkiv.NPU) -> KivError:
    code = libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
    detail = "the job had not ended when the interpreter exited; the runtime was closed without waiting for it"
    return failure(npu, "kiv_job_infer_async", code, detail)
