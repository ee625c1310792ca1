"""The stand-in NPU's test controls (docs/npu-program-format.md, "Test
controls") through ctypes, on the same driver instance the runtime loaded:
the loader opens a library file once per process, so both share it.

    controls = StandinControls()
    controls.set_call_status("aipu_create_job", 24)    # every job creation fails with status 24
"""

from __future__ import annotations

import ctypes
import json
import os
from typing import Any

from ..driver import standin_path


class StandinControls:
    """The controls of the stand-in at `path`: by default the one installed
    with kiv, which kiv.Runtime(driver="standin") loads.

    Raises:
        FileNotFoundError: no path is given and no stand-in is installed.
        OSError: the library cannot be loaded.
        AttributeError: the library is not the stand-in (it lacks the controls).
    """

    # Completion faults (set_completion_fault): held back until changed,
    # delivered twice, never delivered.
    COMPLETION_NORMAL, COMPLETION_LATE, COMPLETION_TWICE, COMPLETION_NEVER = range(4)

    def __init__(self, path: str | os.PathLike[str] | None = None) -> None:
        if path is None:
            path = standin_path()
            if path is None:
                raise FileNotFoundError("the stand-in NPU driver is not installed with this kiv package")
        self.lib = ctypes.CDLL(os.path.abspath(path))
        self.lib.aipu_standin_set_init_status.argtypes = [ctypes.c_uint32]
        self.lib.aipu_standin_set_deinit_status.argtypes = [ctypes.c_uint32]
        self.lib.aipu_standin_set_call_status.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
        self.lib.aipu_standin_set_completion_fault.argtypes = [ctypes.c_uint32]
        self.lib.aipu_standin_set_close_waits_for_completions.argtypes = [ctypes.c_uint32]
        self.lib.aipu_standin_set_status_queries_wait.argtypes = [ctypes.c_uint32]
        self.lib.aipu_standin_status_query_count.restype = ctypes.c_uint64
        self.lib.aipu_standin_set_call_recording.argtypes = [ctypes.c_uint32]
        self.lib.aipu_standin_open_context_count.restype = ctypes.c_uint32
        self.lib.aipu_standin_describe_last_call.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        self.lib.aipu_standin_describe_last_call.restype = ctypes.c_size_t

    def set_init_status(self, status: int) -> None:
        """Makes every later context opening fail with `status` (0: works again)."""
        self.lib.aipu_standin_set_init_status(status)

    def set_deinit_status(self, status: int) -> None:
        """Makes every later context closing fail with `status` (0: works again)."""
        self.lib.aipu_standin_set_deinit_status(status)

    def set_completion_fault(self, fault: int) -> None:
        """One of the COMPLETION_* faults for the completions of later jobs."""
        self.lib.aipu_standin_set_completion_fault(fault)

    def set_call_status(self, entry_point: str | None, status: int) -> None:
        """Makes `entry_point` fail with `status` (0: works again; None: every entry point works again)."""
        self.lib.aipu_standin_set_call_status(None if entry_point is None else entry_point.encode(), status)

    def set_close_waits_for_completions(self, on: bool) -> None:
        self.lib.aipu_standin_set_close_waits_for_completions(1 if on else 0)

    def set_status_queries_wait(self, on: bool) -> None:
        """With `on` False, status queries answer at once, whatever their time-out."""
        self.lib.aipu_standin_set_status_queries_wait(1 if on else 0)

    def status_query_count(self) -> int:
        return int(self.lib.aipu_standin_status_query_count())

    def open_context_count(self) -> int:
        """How many contexts are open on the stand-in in this process."""
        return int(self.lib.aipu_standin_open_context_count())

    def record_calls(self, on: bool = True) -> None:
        """Records later calls for last_call (off by default: recording weighs on every entry point)."""
        self.lib.aipu_standin_set_call_recording(1 if on else 0)

    def reset_calls(self) -> None:
        self.lib.aipu_standin_reset_calls()

    def last_call(self, entry_point: str) -> dict[str, Any] | None:
        """The last call of `entry_point` as a dict, or None if never called."""
        name = entry_point.encode()
        n = self.lib.aipu_standin_describe_last_call(name, None, 0)
        if n == 0:
            return None
        buf = ctypes.create_string_buffer(n + 1)
        self.lib.aipu_standin_describe_last_call(name, buf, n + 1)
        described: dict[str, Any] = json.loads(buf.value.decode())
        return described
