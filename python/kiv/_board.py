"""The native completion board, a small module of kiv's own that libkiv.so
carries beside the libkiv module (kiv_umd/src/python/py_completion_board.cpp).

Loaded from libkiv.so by its own name, so libkiv keeps exactly its own
attributes. Its `notify` has the runtime's native completion signature: the
runtime calls it on the driver's thread without the interpreter lock, and
only the thread that waits for the job takes the lock, when it wakes.
"""

from __future__ import annotations

from typing import Protocol, cast

import libkiv

from . import _native


class BoardQueue(Protocol):
    """A completion thread's queue: the ends of the jobs routed to it, and
    the tickets that Python code posts."""

    def post(self, ticket: int) -> None:
        """Queues a ticket (an entry of kind TICKET)."""

    def get(self, timeout: float | None = None) -> tuple[int, int, int] | None:
        """(kind, id, status) of the next entry, or None when `timeout` seconds passed first."""


class Board(Protocol):
    """What the board module offers. Job ids are the runtime's; statuses of
    ended jobs are job statuses (KIV_JOB_STATUS_*) as ints."""

    JOB: int  # the kind of a queue entry that is a job's end
    TICKET: int  # the kind of a queue entry that Python code posted
    Queue: type[BoardQueue]

    def notify(self, job_id: int, status: libkiv.kiv_job_status_t) -> int:
        """The native completion callable to hand to kiv_job_infer_async."""

    def expect(self, job_id: int) -> int:
        """Puts a job on the board before it is submitted: its serial number,
        or 0 when its id is there already."""

    def forget(self, job_id: int) -> None:
        """Takes a job that was never started off the board."""

    def wait(self, job_id: int, serial: int, timeout: float | None = None) -> int | None:
        """The job's status once it ended (taking it off the board), or None
        when `timeout` seconds passed first. KeyError when the job is not on
        the board: its end went to its queue, or to another waiter."""

    def wait_through_status(
        self, npu: libkiv.NPU, job_id: int, timeout: float | None = None
    ) -> tuple[libkiv.kiv_status_t, int]:
        """(status, job status) of a job started without a completion callable;
        job status 0 when `timeout` seconds passed first."""

    def run(self, npu: libkiv.NPU, job_id: int, timeout: float | None = None) -> tuple[libkiv.kiv_status_t, int]:
        """Runs a job like kiv_job_infer_sync without the interpreter lock: (status, job status)."""

    def route(self, job_id: int, queue: BoardQueue) -> None:
        """Sends the job's end to `queue` (at once if it has ended), unless a
        thread waits for the job when it ends."""


# The Protocols above describe the module.
board = cast(Board, _native.load("kiv_completion_board"))
