"""The runtime context: one libkiv NPU object with an open context."""

from __future__ import annotations

import numbers
import os
import weakref
from collections.abc import Sequence
from types import TracebackType
from typing import Literal

import libkiv

from . import _native
from . import driver as drivers
from .driver import DriverInfo
from .context import Context
from .device import Device
from .device import describe as describe_device
from .errors import check, failure
from .job_options import JobOptions, LoadOptions, indexes
from .lifetime import check_owned, close_quietly, is_closed, try_all
from .locks import owned_lock
from .model import Model


def check_idle_jobs(value: int) -> int:
    """`max_idle_jobs` as given, if it is a whole number of at least 0."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("max_idle_jobs must be a whole number, not %s" % type(value).__name__)
    if value < 0:
        raise ValueError("max_idle_jobs must not be negative, got %d" % value)
    return int(value)


class Runtime:
    """Owns a runtime context; models loaded through it are closed with it.

    Use it as a context manager, or call close(). `Runtime.driver` tells
    which driver library was loaded. A runtime nothing refers to any more
    is closed as close() closes it. In a forked child, a runtime of the
    parent's (and its models) refuses every call with KivError: the child
    opens a runtime of its own.

    :param driver: the NPU driver library, the one argument given by
        position: None leaves the choice to AIPU_LIB_PATH, else the
        system's libaipudrv.so; ``"standin"`` is the stand-in NPU shipped
        with this package; anything else is the path of a driver library.
    :param max_idle_jobs: the default number of finished jobs each model
        keeps for reuse (0: a new job per run).
    :param profile: the driver profiles every job, and each result carries
        the driver's profiler tensors (Outputs.profile).
    :param error_lines: with False, libkiv prints nothing about the
        runtime's failures, which the exceptions report: no "[PY UMD ERROR]"
        line, no line of the container reader about a model file, and no
        record of the runtime's log about a driver or model that cannot be
        loaded unless KIV_LOG_LEVEL asks for the log.
    :raises KivError: the driver library cannot be loaded or opened (status
        66 says which library was tried and why, and how to choose the
        stand-in instead), or profiling cannot be switched on.
    :raises FileNotFoundError: ``driver="standin"`` where the stand-in NPU is
        not installed with the package.
    :raises TypeError: an argument of the wrong type, or a number as the
        first argument, which is the driver (``max_idle_jobs`` goes by
        keyword).
    :raises ValueError: ``max_idle_jobs`` below 0, or an empty ``driver``.
    """

    #: The libkiv NPU object that holds the context, for what this layer does not cover.
    npu: libkiv.NPU
    #: The driver library the runtime loaded.
    driver: DriverInfo
    #: Whether the driver profiles every job (each result's Outputs.profile).
    profile: bool
    #: Whether libkiv prints its own lines about the runtime's failures.
    error_lines: bool

    def __init__(
        self,
        driver: str | os.PathLike[str] | None = None,
        *,
        max_idle_jobs: int = 4,
        profile: bool = False,
        error_lines: bool = True,
    ) -> None:
        if isinstance(driver, numbers.Integral) and not isinstance(driver, bool):
            # Up to 0.2.0 the first parameter was max_idle_jobs.
            raise TypeError(
                "the first argument of kiv.Runtime is the driver; give max_idle_jobs by keyword: "
                "kiv.Runtime(max_idle_jobs=%d)" % driver
            )
        self._max_idle_jobs = check_idle_jobs(max_idle_jobs)
        for name, value in (("profile", profile), ("error_lines", error_lines)):
            if not isinstance(value, bool):
                raise TypeError("%s must be True or False, not %s" % (name, type(value).__name__))
        library = drivers.requested_library(driver)
        self.npu = libkiv.NPU()
        self.error_lines = error_lines
        _native.set_error_lines(self.npu, error_lines)
        status, unusable = _native.init_context(self.npu, None if library is None else os.fsencode(library))
        if unusable is not None:
            raise failure(self.npu, "kiv_init_context", status, drivers.load_failure_text(library, unusable))
        check(self.npu, "kiv_init_context", status)
        self.profile = profile
        if profile:
            self._switch_profiling_on()
        self.driver = drivers.describe_loaded(self.npu, library)
        self._context = Context(self.npu, profile)
        # The models loaded; a load files its model, or finds the runtime
        # closed, under the lock in which close() takes them and closes it.
        self._lock = owned_lock(self)
        self._models: weakref.WeakSet[Model] = weakref.WeakSet()
        # A runtime nothing refers to any more is closed as close() closes it.
        weakref.finalize(self, close_quietly, self._context.life).atexit = False

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return "<kiv.Runtime on %s models=%d%s>" % (self.driver, len(self._live_models()), state)

    @property
    def closed(self) -> bool:
        """Whether close() was called (the context is closed once its last model is gone)."""
        return is_closed(self._context.life)

    def _switch_profiling_on(self) -> None:
        (status,) = self.npu.kiv_ioctl(libkiv.npu, libkiv.KIV_IOCTL_SET_PROFILE, set_profile=1)
        if int(status):
            error = failure(self.npu, "kiv_ioctl", status, "profile=True")
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

        A model nothing refers to any more is closed as close() closes it.

        :param path: the container file.
        :param job_options: options of every job of the model, batch queues
            included; its runs may replace them for one call.
        :param weights_region: the memory region of the graph's weights.
        :param weight_indexes: the weights placed in that region.
        :param extra_weights: a file of further weights for the driver to load.
        :param max_idle_jobs: replaces the runtime's default for this model.
        :raises ModelFormatError: the file holds no usable model container
            (empty, not a container, truncated, no subgraph, an executable
            the driver refuses).
        :raises KivError: the file cannot be opened, or the driver refuses
            the graph or a load option (the error names the option); in a
            forked child, the runtime is the parent's.
        :raises TypeError: an argument of the wrong type (``job_options`` not
            a `JobOptions`, say).
        :raises ValueError: the runtime is closed (also by another thread
            while the model loaded: it is unloaded again), or an option does
            not fit its field.
        """
        idle = self._max_idle_jobs if max_idle_jobs is None else check_idle_jobs(max_idle_jobs)
        load_options = LoadOptions(weights_region, indexes("weight_indexes", weight_indexes), extra_weights)
        with self._context.life:  # the context stays open while the graph loads
            model = Model._load(self._context, path, idle, job_options, load_options)
            with self._lock:
                too_late = self._context.life.state != "open"  # closed meanwhile, by another thread
                if not too_late:
                    self._models.add(model)
            if too_late:
                model.close()
                raise ValueError("runtime is closed")
        return model

    @property
    def device(self) -> Device:
        """The device as the driver reports it now, with its target, status, partitions, clusters and cores.

        :raises ValueError: the runtime is closed.
        :raises KivError: in a forked child, the runtime is the parent's.
        """
        with self._context.life:  # the context stays open while the driver is asked
            device = describe_device(self.npu)
        return device

    @property
    def models(self) -> list[Model]:
        """The models loaded through this runtime and not yet unloaded."""
        check_owned(self._context.life)
        return self._live_models()

    def _live_models(self) -> list[Model]:
        with self._lock:
            return [model for model in self._models if model._life.state != "released"]

    def close(self) -> None:
        """Closes every model, then the context. Idempotent; never waits for jobs.

        A model whose jobs are still running is unloaded as soon as they have
        ended, and the context is closed after it: their outputs still reach
        the futures waiting for them. Failures of what is closed now are
        raised (the first one), after everything was tried. In a forked
        child, a runtime of the parent's is left alone: its context is the
        parent's.

        :raises KivError: unloading a model or closing the context failed
            (the first such failure, after everything was tried).
        """
        if self._context.life.state == "inherited":
            return  # the parent's: refused before any lock is taken
        with self._lock:
            models = list(self._models)
            # From here on no load files its model; the context is closed
            # now if nothing uses it, else with the release of the last model.
            self._context.life.close()
        try_all(model.close for model in models)

    def __enter__(self) -> Runtime:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]:
        self.close()
        return False
