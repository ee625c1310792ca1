"""The runtime context: one libkiv NPU object with an open context."""

import atexit
import threading
import weakref

import libkiv

from .completion import Dispatcher
from .errors import check
from .model import Model

# Runtimes still open when the interpreter exits are closed first, so that no
# driver thread calls into Python while the interpreter is being torn down.
_open_runtimes = weakref.WeakSet()


@atexit.register
def _close_open_runtimes():
    for runtime in list(_open_runtimes):
        try:
            runtime.close()
        except Exception:
            pass


class Runtime:
    """Owns a runtime context; models loaded through it are closed with it.

    Use it as a context manager, or call close(). `max_idle_jobs` is the
    default number of finished jobs each model keeps for reuse (0: a new job
    per run).
    """

    def __init__(self, max_idle_jobs=4):
        self.npu = libkiv.NPU()
        check(self.npu, "kiv_init_context", self.npu.kiv_init_context())
        self._max_idle_jobs = max_idle_jobs
        self._lock = threading.Lock()
        self._models = []
        self._dispatcher = None
        self._closed = False
        _open_runtimes.add(self)

    def __repr__(self):
        return "<kiv.Runtime models=%d%s>" % (len(self._models), " closed" if self._closed else "")

    @property
    def closed(self):
        return self._closed

    def load(self, path, max_idle_jobs=None):
        """Loads a zor model container as a Model."""
        with self._lock:
            if self._closed:
                raise ValueError("runtime is closed")
        idle = self._max_idle_jobs if max_idle_jobs is None else max_idle_jobs
        model = Model(self, path, idle)
        with self._lock:
            self._models.append(model)
        return model

    @property
    def models(self):
        """The models loaded through this runtime and not yet closed."""
        with self._lock:
            return list(self._models)

    def _forget(self, model):
        with self._lock:
            if model in self._models:
                self._models.remove(model)

    def _completion_queue(self):
        with self._lock:
            if self._dispatcher is None:
                self._dispatcher = Dispatcher()
            return self._dispatcher.queue

    def close(self):
        """Closes every model, then the context. Idempotent.

        Everything is released even when a step fails; the first failure is
        raised afterwards.
        """
        with self._lock:
            if self._closed:
                return
            self._closed = True
            models, dispatcher = list(self._models), self._dispatcher
        first_error = None
        for model in models:
            try:
                model.close()
            except Exception as err:
                first_error = first_error or err
        if dispatcher is not None:
            dispatcher.stop()
        _open_runtimes.discard(self)
        try:
            check(self.npu, "kiv_deinit_context", self.npu.kiv_deinit_context())
        except Exception as err:
            first_error = first_error or err
        if first_error is not None:
            raise first_error

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False
