"""A loaded graph with numpy-in, numpy-out inference."""

import asyncio
import concurrent.futures
import os
import threading

import libkiv

from . import batch
from .completion import PendingJob
from .errors import KivError, check, status_text
from .inputs import bind_inputs, unpack_output
from .job_pool import JobPool
from .tensor_info import describe_tensors

_DONE = int(libkiv.KIV_JOB_STATUS_DONE)


class Model:
    """A zor container loaded as a graph of a Runtime; create it with Runtime.load.

    Use it as a context manager, or call close(), to unload the graph. All
    methods may be called from several threads at once.
    """

    def __init__(self, runtime, path, max_idle_jobs=4):
        self._runtime = runtime
        self._npu = runtime.npu
        self.path = os.fspath(path)
        status, graph_id = self._npu.kiv_load_graph(self.path)
        check(self._npu, "kiv_load_graph", status, self.path)
        self.graph_id = graph_id
        try:
            self.inputs = describe_tensors(self._npu, graph_id, self.path, libkiv.KIV_TENSOR_TYPE_INPUT)
            self.outputs = describe_tensors(self._npu, graph_id, self.path, libkiv.KIV_TENSOR_TYPE_OUTPUT)
        except BaseException:
            self._npu.kiv_unload_graph(graph_id)
            raise
        self._pool = JobPool(self._npu, graph_id, max_idle_jobs)
        self._state = threading.Condition()
        self._active = 0  # started operations not yet finished
        self._closed = False

    def __repr__(self):
        return "<kiv.Model %r graph=%#x inputs=%s outputs=%s%s>" % (
            self.path,
            self.graph_id,
            [i.name for i in self.inputs],
            [o.name for o in self.outputs],
            " closed" if self._closed else "",
        )

    @property
    def closed(self):
        return self._closed

    @property
    def jobs_created(self):
        """How many driver jobs this model has created so far (reuse keeps it low)."""
        return self._pool.created

    # Bookkeeping of operations that use the graph, so close() can wait for them.

    def _begin(self):
        with self._state:
            if self._closed:
                raise ValueError("model %r is closed" % self.path)
            self._active += 1

    def _end(self):
        with self._state:
            self._active -= 1
            self._state.notify_all()

    # Starting a job and collecting its outputs.

    def _start(self, arrays):
        self._begin()
        try:
            job_id = self._pool.acquire()
        except BaseException:
            self._end()
            raise
        try:
            for index, array in enumerate(arrays):
                check(self._npu, "kiv_load_tensor", self._npu.kiv_load_tensor(job_id, index, array), self._name(index))
            pending = PendingJob(self, job_id)
            check(self._npu, "kiv_job_infer_async", self._npu.kiv_job_infer_async(job_id, pending.on_complete))
        except BaseException:
            self._release_quietly(job_id, reusable=False)
            self._end()
            raise
        return pending

    def _name(self, index):
        return "input '%s'" % self.inputs[index].name

    def _release_quietly(self, job_id, reusable):
        try:
            self._pool.release(job_id, reusable)
        except KivError:
            pass  # the job is gone from the pool either way; the first error matters more

    def _collect(self, pending):
        """Outputs of a completed job; the job goes back to the pool either way."""
        reusable = pending.job_status == _DONE
        try:
            if not reusable:
                code = libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
                raise KivError(
                    "kiv_job_infer_async",
                    code,
                    status_text(self._npu, code),
                    "job %#x ended with job status %d" % (pending.job_id, pending.job_status),
                )
            results = []
            for info in self.outputs:
                status, data = self._npu.kiv_get_tensor(pending.job_id, libkiv.KIV_TENSOR_TYPE_OUTPUT, info.index)
                check(self._npu, "kiv_get_tensor", status, "output '%s'" % info.name)
                results.append(unpack_output(info, data))
            return results
        finally:
            try:
                self._pool.release(pending.job_id, reusable)
            finally:
                self._end()

    def _finish_routed(self, pending):
        """Runs on the runtime's dispatcher thread once a routed job has completed."""
        future = pending.future
        if future is None:  # a run() that timed out: only the job needs releasing
            try:
                self._collect(pending)
            except Exception:
                pass
            return
        try:
            result = self._collect(pending)
        except BaseException as err:
            future.set_exception(err)
        else:
            future.set_result(result)

    # Public inference API.

    def run(self, *inputs, timeout=None):
        """Runs one inference and returns the outputs as a list of arrays.

        `inputs` are one value per model input in order, or a single dict by
        input name. Values are numpy arrays of the input's dtype (any shape
        with the right element count), bytes-like objects of the exact size,
        or nested lists converted to the input's dtype. The wait for the job
        lets other Python threads run. `timeout` is in seconds; on expiry a
        KivError with KIV_STATUS_ERROR_TIMEOUT is raised and the job is
        released in the background when it completes.
        """
        arrays = bind_inputs(self.inputs, inputs)
        pending = self._start(arrays)
        try:
            completed = pending.wait(timeout)
        except BaseException:  # e.g. KeyboardInterrupt: the job still has to be released
            pending.route_to(self._runtime._completion_queue())
            raise
        if not completed:
            pending.route_to(self._runtime._completion_queue())
            code = libkiv.KIV_STATUS_ERROR_TIMEOUT
            raise KivError("kiv_job_infer_async", code, status_text(self._npu, code), "no completion in %ss" % timeout)
        return self._collect(pending)

    def submit(self, *inputs):
        """Starts one inference and returns a concurrent.futures.Future of its output list.

        Input errors are raised here; runtime failures of the job are set on
        the future. The outputs are collected on the runtime's completion thread.
        """
        arrays = bind_inputs(self.inputs, inputs)
        future = concurrent.futures.Future()
        future.set_running_or_notify_cancel()
        pending = self._start(arrays)
        pending.future = future
        pending.route_to(self._runtime._completion_queue())
        return future

    async def run_async(self, *inputs):
        """Awaitable form of run(), for asyncio programs."""
        return await asyncio.wrap_future(self.submit(*inputs))

    def run_batch(self, input_sets):
        """Runs several input sets through one batch queue; returns one output list per set.

        Each element of `input_sets` is what run() takes: a sequence of values
        in input order, a dict by name, or, for a one-input model, the value
        itself. libkiv waits for the batch with the interpreter lock held.
        """
        self._begin()
        try:
            return batch.run_batch(self._npu, self.graph_id, self.inputs, self.outputs, input_sets)
        finally:
            self._end()

    # Lifetime.

    def close(self):
        """Waits for started jobs, cleans the pooled jobs and unloads the graph. Idempotent."""
        with self._state:
            if self._closed:
                return
            self._closed = True
            self._state.wait_for(lambda: self._active == 0)
        try:
            self._pool.close()
        finally:
            self._runtime._forget(self)
            check(self._npu, "kiv_unload_graph", self._npu.kiv_unload_graph(self.graph_id), self.path)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False
