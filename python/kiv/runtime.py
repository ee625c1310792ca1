"""The runtime context: one libkiv NPU object with an open context."""

from __future__ import annotations

import atexit
import numbers
import os
import threading
import warnings
import weakref
from collections.abc import Sequence
from types import TracebackType
from typing import Literal

import libkiv

from . import _native
from . import driver as drivers
from .completion import Completions
from .errors import KivError, check, status_text
from .job_options import JobOptions, LoadOptions, indexes
from .model import Model

# Runtimes whose context is open, closed or not.
_open_runtimes: weakref.WeakSet[Runtime] = weakref.WeakSet()


@atexit.register
def _close_at_exit() -> None:
    """Closes every context kiv opened before the interpreter goes away, also
    under jobs still running (a job whose end the driver never reports would
    keep it open for good): those jobs are not waited for, and the futures
    still waiting for them get an error."""
    for runtime in list(_open_runtimes):
        runtime._close_now("the interpreter exited")


def check_idle_jobs(value: int) -> int:
    """`max_idle_jobs` as given, if it is a whole number of at least 0."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("max_idle_jobs must be a whole number, not %s" % type(value).__name__)
    if value < 0:
        raise ValueError("max_idle_jobs must not be negative, got %d" % value)
    return int(value)


class Runtime:
    """Owns a runtime context; models loaded through it are closed with it.

    Use it as a context manager, or call close(). `max_idle_jobs` is the
    default number of finished jobs each model keeps for reuse (0: a new job
    per run). `driver` chooses the NPU driver library: None leaves the choice
    to AIPU_LIB_PATH, else the system's libaipudrv.so; "standin" is the
    stand-in NPU shipped with this package; anything else is the path of a
    driver library. `Runtime.driver` tells what was loaded. With `profile`,
    the driver profiles every job, and each result carries the driver's
    profiler tensors (Outputs.profile).
    """

    #: The libkiv NPU object that holds the context, for what this layer does not cover.
    npu: libkiv.NPU
    #: The driver library the runtime loaded.
    driver: drivers.DriverInfo
    #: Whether the driver profiles every job (each result's Outputs.profile).
    profile: bool

    def __init__(
        self, max_idle_jobs: int = 4, driver: str | os.PathLike[str] | None = None, profile: bool = False
    ) -> None:
        self._max_idle_jobs = check_idle_jobs(max_idle_jobs)
        if not isinstance(profile, bool):
            raise TypeError("profile must be True or False, not %s" % type(profile).__name__)
        library = drivers.requested_library(driver)
        self.npu = libkiv.NPU()
        status, failure = _native.init_context(self.npu, None if library is None else os.fsencode(library))
        if failure is not None:
            detail = drivers.load_failure_text(library, failure)
            raise KivError("kiv_init_context", status, status_text(self.npu, status), detail)
        check(self.npu, "kiv_init_context", status)
        self.profile = profile
        if profile:
            self._switch_profiling_on()
        self.driver = drivers.describe_loaded(self.npu, library)
        self._lock = threading.Lock()
        self._models: list[Model] = []
        self._completion: Completions | None = None
        self._closed = False
        self._context_closed = False
        _open_runtimes.add(self)

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return "<kiv.Runtime on %s models=%d%s>" % (self.driver, len(self._models), state)

    @property
    def closed(self) -> bool:
        return self._closed

    def _switch_profiling_on(self) -> None:
        (status,) = self.npu.kiv_ioctl(libkiv.npu, libkiv.KIV_IOCTL_SET_PROFILE, set_profile=1)
        if int(status):
            error = KivError("kiv_ioctl", status, status_text(self.npu, status), "profile=True")
            self.npu.kiv_deinit_context()
            raise error

    def load(
        self,
        path: str | os.PathLike[str],
        *,
        job_options: JobOptions | None = None,
        weights_region: int = 0,
        weight_indexes: Sequence[int] = (),
        extra_weights: str | os.PathLike[str] | None = None,
        max_idle_jobs: int | None = None,
    ) -> Model:
        """Loads a zor model container as a Model.

        `job_options` apply to every job of the model, batch queues
        included; its runs may replace them for one call. `weights_region`
        is the memory region of the graph's weights, `weight_indexes` the
        weights placed there, `extra_weights` a file of further weights for
        the driver to load. `max_idle_jobs` replaces the runtime's default.
        """
        idle = self._max_idle_jobs if max_idle_jobs is None else check_idle_jobs(max_idle_jobs)
        load_options = LoadOptions(weights_region, indexes("weight_indexes", weight_indexes), extra_weights)
        with self._lock:
            if self._closed:
                raise ValueError("runtime is closed")
        model = Model(self, path, idle, job_options, load_options)
        with self._lock:
            self._models.append(model)
        return model

    @property
    def models(self) -> list[Model]:
        """The models loaded through this runtime and not yet unloaded."""
        with self._lock:
            return list(self._models)

    def _completions(self) -> Completions:
        """The runtime's completion thread, started on first use."""
        with self._lock:
            if self._completion is None:
                self._completion = Completions()
            return self._completion

    def _forget(self, model: Model, raising: bool = True) -> None:
        """Called once `model` is unloaded; a closed runtime closes its context
        when its last model is gone. `raising` False: failures are warned
        about, for a thread that only happened to end the model's last job."""
        with self._lock:
            if model in self._models:
                self._models.remove(model)
        self._close_context_when_idle(raising)

    def close(self) -> None:
        """Closes every model, then the context. Idempotent; never waits for jobs.

        A model whose jobs are still running is unloaded as soon as they have
        ended, and the context is closed after it: their outputs still reach
        the futures waiting for them. Failures of what is closed now are
        raised (the first one), after everything was tried.
        """
        with self._lock:
            if self._closed:
                return
            self._closed = True
            models = list(self._models)
        first_error: Exception | None = None
        for model in models:
            try:
                model.close()
            except Exception as err:
                first_error = first_error or err
        try:
            self._close_context_when_idle()
        except Exception as err:
            first_error = first_error or err
        if first_error is not None:
            raise first_error

    def _close_now(self, why: str) -> None:
        """Closes every model and the context at once, without waiting for the
        jobs still running: the futures still waiting get KivError saying
        `why`, and the driver ends the jobs with the context. Failures are
        warned about."""
        with self._lock:
            self._closed = True
            models = list(self._models)
            completions = self._completion
        if completions is not None:
            code = libkiv.KIV_STATUS_ERROR_JOB_EXCEPTION
            detail = "the job had not ended when %s; the runtime was closed without waiting for it" % why
            completions.abandon(KivError("kiv_job_infer_async", code, status_text(self.npu, code), detail))
        for model in models:
            model._close_now()
        self._close_context_when_idle(raising=False)

    def _close_context_when_idle(self, raising: bool = True) -> None:
        with self._lock:
            if not self._closed or self._models or self._context_closed:
                return
            self._context_closed = True
            completions = self._completion
        _open_runtimes.discard(self)
        if completions is not None:
            completions.stop()
        status = self.npu.kiv_deinit_context()
        if int(status) != 0:
            error = KivError("kiv_deinit_context", status, status_text(self.npu, status))
            if raising:
                raise error
            warnings.warn(str(error), RuntimeWarning)

    def __enter__(self) -> Runtime:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]:
        self.close()
        return False
