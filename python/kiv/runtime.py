"""The runtime context: one libkiv NPU object with an open context."""

from __future__ import annotations

import atexit
import numbers
import os
import threading
import warnings
import weakref
from types import TracebackType
from typing import Literal

import libkiv

from . import driver as drivers
from .completion import Dispatcher
from .errors import KivError, check, status_text
from .model import Model

_BACKEND_LOAD_FAIL = 66  # the runtime's own code; libkiv gives it no name

# Runtimes still open when the interpreter exits are closed first, so that no
# driver thread calls into Python while the interpreter is being torn down.
_open_runtimes: weakref.WeakSet[Runtime] = weakref.WeakSet()


@atexit.register
def _close_open_runtimes() -> None:
    for runtime in list(_open_runtimes):
        try:
            runtime.close()
        except Exception:
            pass


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
    driver library. `Runtime.driver` tells what was loaded.
    """

    #: The libkiv NPU object that holds the context, for what this layer does not cover.
    npu: libkiv.NPU
    #: The driver library the runtime loaded.
    driver: drivers.DriverInfo

    def __init__(self, max_idle_jobs: int = 4, driver: str | os.PathLike[str] | None = None) -> None:
        self._max_idle_jobs = check_idle_jobs(max_idle_jobs)
        library = drivers.requested_library(driver)
        self.npu = libkiv.NPU()
        with drivers.chosen(library):
            status = self.npu.kiv_init_context()
        if int(status) == _BACKEND_LOAD_FAIL:
            raise KivError("kiv_init_context", status, status_text(self.npu, status), drivers.load_failure_text(library))
        check(self.npu, "kiv_init_context", status)
        self.driver = drivers.describe_loaded(self.npu, library)
        self._lock = threading.Lock()
        self._models: list[Model] = []
        self._completion: Dispatcher | None = None
        self._closed = False
        self._context_closed = False
        _open_runtimes.add(self)

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return "<kiv.Runtime on %s models=%d%s>" % (self.driver, len(self._models), state)

    @property
    def closed(self) -> bool:
        return self._closed

    def load(self, path: str | os.PathLike[str], max_idle_jobs: int | None = None) -> Model:
        """Loads a zor model container as a Model."""
        idle = self._max_idle_jobs if max_idle_jobs is None else check_idle_jobs(max_idle_jobs)
        with self._lock:
            if self._closed:
                raise ValueError("runtime is closed")
        model = Model(self, path, idle)
        with self._lock:
            self._models.append(model)
        return model

    @property
    def models(self) -> list[Model]:
        """The models loaded through this runtime and not yet unloaded."""
        with self._lock:
            return list(self._models)

    def _dispatcher(self) -> Dispatcher:
        """The runtime's completion thread, started on first use."""
        with self._lock:
            if self._completion is None:
                self._completion = Dispatcher()
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
        _open_runtimes.discard(self)
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

    def _close_context_when_idle(self, raising: bool = True) -> None:
        with self._lock:
            if not self._closed or self._models or self._context_closed:
                return
            self._context_closed = True
            dispatcher = self._completion
        if dispatcher is not None:
            dispatcher.stop()
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
