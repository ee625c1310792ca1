"""How the end of a submitted job comes back.

The driver reports each job's end, from its own thread and without the
interpreter lock, to a native queue of the runtime's (kiv._native
Completions). The runtime's completion thread takes the ends from that
queue and finishes the jobs: their outputs to their futures, the jobs back
to their models. Nothing runs in Python on the driver's thread, so no
completion can reach Python once its objects are gone.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import threading
import traceback
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING

import libkiv

from . import _native
from .errors import KivError, check

if TYPE_CHECKING:
    from .inputs import Outputs

# A started job: the future of its outputs, and what finishes it once it
# ended (called with its job status).
Started = tuple["concurrent.futures.Future[Outputs]", Callable[[int], None]]


class Completions:
    """A runtime's completion thread and the jobs it has yet to finish."""

    def __init__(self) -> None:
        self._ended = _native.Completions()
        self._started: dict[int, Started] = {}
        self._tokens = itertools.count(1)
        threading.Thread(target=self._finish_ended, name="kiv-completion", daemon=True).start()

    def submit(
        self,
        npu: libkiv.NPU,
        job_id: int,
        future: concurrent.futures.Future[Outputs],
        finish: Callable[[int], None],
    ) -> None:
        """Starts the job; `finish(job status)` runs on the completion thread
        once it ended. KivError when the driver refuses it: `finish` then
        runs too, for a job that never ran (job status 0)."""
        token = next(self._tokens)
        # Filed before the driver can report the end. A refused job comes
        # back through the queue as one that never ran, so every job handed
        # over here is finished by the completion thread, whatever happens.
        self._started[token] = (future, finish)
        check(npu, "kiv_job_infer_async", self._ended.submit(npu, job_id, token))

    def stop(self) -> None:
        """Ends the completion thread once it has finished what has ended."""
        self._ended.close()

    def abandon(self, error: BaseException) -> None:
        """Stops the thread without waiting for the jobs still running: their
        futures get `error`, and the jobs are left to the context's close."""
        self.stop()
        while self._started:
            try:
                _, (future, _) = self._started.popitem()
            except KeyError:  # the completion thread took the last one meanwhile
                break
            if not future.done():
                future.set_exception(error)

    def _finish_ended(self) -> None:
        while (ended := self._ended.take()) is not None:
            token, job_status = ended
            # Each job is finished once: a second report of the same end (a
            # faulty driver's) or one for a job given up at exit finds nothing.
            started = self._started.pop(token, None)
            if started is None:
                continue
            try:
                started[1](job_status)
            except KivError as err:  # the job could not be released; its future has what it ended with
                warnings.warn(str(err), RuntimeWarning)
            except Exception:  # never let one job stop the completion of the others
                traceback.print_exc()
