"""ctypes access to the stand-in driver's test controls, on the same
libaipudrv.so instance that the runtime loaded (same file, same instance)."""

import ctypes
import json
import os


class StandinControls:
    def __init__(self, path=None):
        if path is None:
            path = os.environ.get("AIPU_LIB_PATH") or os.path.join(
                os.environ.get("KIV_BUILD_DIR", "build"), "standin", "libaipudrv.so")
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

    def set_init_status(self, status):
        self.lib.aipu_standin_set_init_status(status)

    def set_deinit_status(self, status):
        self.lib.aipu_standin_set_deinit_status(status)

    # Completion faults (set_completion_fault): held back until changed,
    # delivered twice, never delivered.
    COMPLETION_NORMAL, COMPLETION_LATE, COMPLETION_TWICE, COMPLETION_NEVER = range(4)

    def set_completion_fault(self, fault):
        self.lib.aipu_standin_set_completion_fault(fault)

    def set_call_status(self, entry_point, status):
        """Makes `entry_point` fail with `status` (0: works again; None: every entry point works again)."""
        self.lib.aipu_standin_set_call_status(None if entry_point is None else entry_point.encode(), status)

    def set_close_waits_for_completions(self, on):
        self.lib.aipu_standin_set_close_waits_for_completions(1 if on else 0)

    def set_status_queries_wait(self, on):
        """With `on` False, status queries answer at once, whatever their time-out."""
        self.lib.aipu_standin_set_status_queries_wait(1 if on else 0)

    def status_query_count(self):
        return self.lib.aipu_standin_status_query_count()

    def open_context_count(self):
        return self.lib.aipu_standin_open_context_count()

    def record_calls(self, on=True):
        """Records later calls for last_call (off by default: recording weighs on every entry point)."""
        self.lib.aipu_standin_set_call_recording(1 if on else 0)

    def reset_calls(self):
        self.lib.aipu_standin_reset_calls()

    def last_call(self, entry_point):
        """The last call of `entry_point` as a dict, or None if never called."""
        name = entry_point.encode()
        n = self.lib.aipu_standin_describe_last_call(name, None, 0)
        if n == 0:
            return None
        buf = ctypes.create_string_buffer(n + 1)
        self.lib.aipu_standin_describe_last_call(name, buf, n + 1)
        return json.loads(buf.value.decode())


def decode_profile(data):
    """A job's profiler tensor decoded: the core that ran it and each
    operation's time (kiv.standin_profile, which the kiv command uses too)."""
    from kiv.standin_profile import decode_profile as decode

    return decode(data)
