"""A runtime's driver context, as the runtime and its models share it.

The context outlives its Runtime object while models or jobs still use it:
it is closed once the runtime is closed (or collected) and its last model is
gone. Whatever is still open when the interpreter exits is closed then,
without waiting for jobs, and the driver gets a short, fixed time for it.
"""

from __future__ import annotations

import atexit
import sys
import warnings

import libkiv

from . import _native
from .completion import Completions
from .device import device_cores
from .errors import check, failure
from .lifetime import lifetime
from .locks import owned_lock

# How long the exit waits for the driver to close the contexts still open.
EXIT_CLOSE_SECONDS = 2.0


class OpenContexts:
    """The contexts not closed yet, by this process or (in a forked child) its parent."""

    def __init__(self) -> None:
        self._lock = owned_lock(self)
        self._contexts: set[Context] = set()

    def add(self, context: Context) -> None:
        with self._lock:
            self._contexts.add(context)

    def discard(self, context: Context) -> None:
        with self._lock:
            self._contexts.discard(context)

    def take_own(self) -> list[Context]:
        """Every context this process opened, forgotten from now on."""
        with self._lock:
            own = [context for context in self._contexts if context.life.state != "inherited"]
            self._contexts.clear()
        return own


_open = OpenContexts()


class Context:
    """One open driver context: the libkiv NPU object that holds it, the
    completion thread of its jobs, and its lifetime, whose users are the
    models loaded on it and the loads under way."""

    def __init__(self, npu: libkiv.NPU, profile: bool) -> None:
        self.npu = npu
        self.profile = profile
        self.completions = Completions()
        # Its release refers to the context: the native lifetime lets go of
        # it once released, which ends that cycle.
        self.life = lifetime("Runtime", "runtime", lambda: (self.completions.close, self._close))
        # The device's NPU cores, as the driver reports them (0: it tells none).
        self.cores = device_cores(npu)
        _open.add(self)

    def _close(self) -> None:
        _open.discard(self)
        check(self.npu, "kiv_deinit_context", self.npu.kiv_deinit_context())

    def give_up(self) -> None:
        """Gives the context up (it is closed by the caller, whole: its models
        ask the driver nothing more) and finishes every job still running as
        given up (their futures get an error)."""
        self.life.give_up()
        self.completions.abandon()


@atexit.register
def _close_at_exit() -> None:
    """Closes every context kiv opened before the interpreter goes away, also
    under jobs still running (a job whose end the driver never reports would
    keep it open for good). Contexts of a parent process are left alone."""
    contexts = _open.take_own()
    if not contexts:
        return
    for context in contexts:
        context.give_up()
    npus = [context.npu for context in contexts]
    statuses = _native.close_contexts(npus, EXIT_CLOSE_SECONDS)
    for npu, status in zip(npus, statuses):
        if status is not None and int(status) != 0:
            warnings.warn(str(failure(npu, "kiv_deinit_context", status)), RuntimeWarning)
    left = sum(status is None for status in statuses)
    if left:
        print(
            "kiv: the driver did not close %d context%s within %g s at exit; left to the end of the process"
            % (left, "" if left == 1 else "s", EXIT_CLOSE_SECONDS),
            file=sys.stderr,
        )
