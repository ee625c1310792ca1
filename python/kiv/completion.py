"""How the end of a job comes back.

The driver reports each submitted job's end, from its own thread and
without the interpreter lock, to a native queue of the runtime's (kiv._native
Completions), which also asks the driver about jobs that a run left running
(a timeout, Ctrl-C). The runtime's completion thread takes the ends from that
queue and finishes the jobs: their outputs to their futures, the jobs back to
their models. Nothing runs in Python on the driver's thread, so no completion
can reach Python once its objects are gone; and nothing the main thread does
hands a job over in more than one step, so Ctrl-C cannot lose one.
"""

from __future__ import annotations

import atexit
import concurrent.futures
import logging
import os
import sys
import threading
from collections.abc import Callable
from typing import Any, NoReturn

from . import _native

# What finishes a job once it ended, called with its job status, or with
# GIVEN_UP for a job not waited for (the runtime was closed at exit).
Finish = Callable[[int], None]
GIVEN_UP = -1

_CALLBACKS_LOG = logging.getLogger("concurrent.futures")


# How many times this process was forked off: a done-callback that forks
# finds it changed in the child once it returns.
_forks = 0


def _count_fork() -> None:
    global _forks
    _forks += 1


os.register_at_fork(after_in_child=_count_fork)


class Future(concurrent.futures.Future):  # type: ignore[type-arg]
    """A concurrent.futures.Future whose outcome the runtime sets, and whose
    done-callbacks all run, whatever each raises: every exception,
    SystemExit included, is logged as concurrent.futures logs a callback's
    exception, and the thread that completes the future (the runtime's
    completion thread) goes on. `job_id` is the id of the job whose outputs
    it will hold.

    set_result() and set_exception() raise RuntimeError: the job's end
    decides the outcome. cancel() returns False once the job was submitted
    (it is on the device and cannot be called back).

    A process forked inside a done-callback ends once the callback has
    returned (or raised: SystemExit gives the exit status), after its exit
    handlers ran: its one thread is the parent's completion thread, and
    what follows the callback there is the parent's work."""

    job_id: int = 0

    def set_result(self, result: Any) -> NoReturn:
        raise RuntimeError("the outcome of a kiv future is set by the runtime, once its job has ended")

    def set_exception(self, exception: BaseException | None) -> NoReturn:
        raise RuntimeError("the outcome of a kiv future is set by the runtime, once its job has ended")

    def settle(self, outcome: Any) -> None:
        """Sets the job's outputs, or the exception that stands for them."""
        if isinstance(outcome, BaseException):
            super().set_exception(outcome)
        else:
            super().set_result(outcome)

    def _invoke_callbacks(self) -> None:
        for callback in self._done_callbacks:  # type: ignore[attr-defined]
            forks = _forks
            try:
                callback(self)
            except SystemExit as exit_request:
                if _forks != forks:
                    _end_forked_child(exit_request.code)
                _CALLBACKS_LOG.exception("exception calling callback for %r", self)
            except BaseException:
                _CALLBACKS_LOG.exception("exception calling callback for %r", self)
                if _forks != forks:
                    _end_forked_child(1)
            if _forks != forks:
                _end_forked_child(0)


def _end_forked_child(code: object) -> NoReturn:
    """Ends a process forked inside a done-callback as its interpreter would
    end: the exit handlers run (kiv's closes the runtimes the child opened),
    the standard streams are flushed, and the status is SystemExit's."""
    try:
        atexit._run_exitfuncs()
        if code is not None and not isinstance(code, int):
            print(code, file=sys.stderr)
            code = 1
        for stream in (sys.stdout, sys.stderr):
            stream.flush()
    finally:
        os._exit(code if isinstance(code, int) else 0)


class Completions(_native.Completions):
    """A runtime's completion thread and the jobs it has yet to finish.

    submit(npu, job_id, life, finish) is the native method itself: it takes
    a use of `life` and hands the job over in one call, with no bytecode
    between in which Ctrl-C could strike (so does kiv._native.run for a job
    it leaves running). `finish(job status)` runs on the completion thread
    once the job ended, then the use is returned; a job the driver refused
    comes back as one that never ran (job status 0), after submit() returned
    its status.
    """

    def __init__(self) -> None:
        super().__init__()
        self._thread = threading.Thread(target=self._finish_ended, name="kiv-completion", daemon=True)
        self._thread.start()

    def abandon(self) -> list[tuple[Finish, _native.Lifetime]]:
        """Stops the thread without waiting for the jobs still running: each
        is finished at once as given up, and the jobs are left to the
        context's close."""
        left = super().abandon()
        for finish, life in left:
            _finish(finish, life, GIVEN_UP)
        return left

    def _finish_ended(self) -> None:
        while (ended := self.take()) is not None:
            finish, life, job_status = ended
            del ended  # the loop keeps nothing of a finished job
            _finish(finish, life, job_status)
            del finish, life


def _finish(finish: Finish, life: _native.Lifetime, job_status: int) -> None:
    """Finishes one job, then returns its use of `life`; nothing a job
    raises stops the completion of the others."""
    try:
        finish(job_status)
    except BaseException:
        sys.excepthook(*sys.exc_info())
    finally:
        life.leave()
