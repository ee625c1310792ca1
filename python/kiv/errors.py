"""The exception raised for every failing runtime status, and the names and
meanings of the statuses that are the runtime's own.

Most statuses come from the NPU driver and are members of
libkiv.kiv_status_t. The runtime's own codes, 64 to 69, are not: libkiv
returns them as kiv_status_t values without a member name (``???``).
RUNTIME_STATUSES gives their names, texts and meanings, status_name the name
of any status, and KivError.name the name of the one it carries.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import Any, SupportsInt

import libkiv

from . import _native


def status_member(status: SupportsInt) -> libkiv.kiv_status_t:
    """Returns `status` as a libkiv.kiv_status_t value (also for unnamed codes)."""
    if isinstance(status, libkiv.kiv_status_t):
        return status
    return libkiv.kiv_status_t(int(status))


@dataclasses.dataclass(frozen=True)
class RuntimeStatus:
    """One of the runtime's own status codes, which no driver produces and
    libkiv's kiv_status_t has no member name for."""

    #: The status code, 64 to 69.
    code: int
    #: Its name in the runtime's enumeration ("KIV_STATUS_ERROR_INVALID_HANDLE").
    name: str
    #: The runtime's text for it, which KivError.message carries.
    text: str
    #: When the runtime returns it, and what to do about it.
    meaning: str


# When each of the runtime's own codes is returned. The codes, names and texts
# come from the runtime's one list of them (kiv._native.runtime_statuses).
_MEANINGS: dict[int, str] = {
    64: "No open context serves the call: a libkiv NPU used before a successful kiv_init_context, after "
        "kiv_deinit_context, or in a child process that inherited it through fork (kiv raises it for a Runtime "
        "or Model of the parent process used in a forked child); or the driver has no open context or lacks "
        "the entry point the call needs.",
    65: "Memory ran out while the runtime opened a context or read a model container.",
    66: "No usable NPU driver: the driver library could not be loaded (no such file, not a library for this "
        "machine) or lacks one of the entry points the runtime binds. kiv's text names the library tried, "
        "the loader's reason and how to choose the stand-in NPU.",
    67: "The backend does not implement the operation. The runtime's driver backend implements every "
        "operation the runtime offers, so no call returns it today.",
    69: "A failure inside the runtime: an unexpected exception while a context was opened, or a model file "
        "the container reader refuses (empty, not a zor model container, truncated); kiv raises "
        "ModelFormatError for the latter, naming what is wrong with the file.",
}

#: The runtime's own status codes by code: 64 to 67 and 69 (68 is not used).
RUNTIME_STATUSES: Mapping[int, RuntimeStatus] = MappingProxyType(
    {
        code: RuntimeStatus(code, name, text, _MEANINGS[code])
        for code, (name, text) in sorted(_native.runtime_statuses().items())
    }
)


#: The runtime's status for a handle that is no open context of this process
#: (KIV_STATUS_ERROR_INVALID_HANDLE, which libkiv's kiv_status_t does not name).
INVALID_HANDLE: int = next(code for code, known in RUNTIME_STATUSES.items()
                           if known.name == "KIV_STATUS_ERROR_INVALID_HANDLE")


def status_name(status: SupportsInt) -> str | None:
    """The name of a status ("KIV_STATUS_ERROR_OPEN_FILE_FAIL"), the runtime's
    own codes 64 to 69 included, which libkiv's kiv_status_t does not name;
    None for a code that has no name (one a driver returns beyond the named
    ones).

    Args:
        status: a libkiv.kiv_status_t or its code.

    Raises:
        TypeError: `status` is not an integer or a status.
        ValueError: `status` is negative or beyond 32 bits.
    """
    if isinstance(status, bool) or not isinstance(status, (int, libkiv.kiv_status_t)):
        raise TypeError("status_name takes a status or an int, not %s" % type(status).__name__)
    code = int(status)
    if not 0 <= code < 1 << 32:
        raise ValueError("a status is from 0 to 2**32-1, got %d" % code)
    if code in RUNTIME_STATUSES:
        return RUNTIME_STATUSES[code].name
    name: str = libkiv.kiv_status_t(code).name  # "???" for a value without a member
    return name if name.startswith("KIV_STATUS_") else None


def status_text(npu: libkiv.NPU, status: SupportsInt) -> str:
    """A text for `status`: the driver's, or this layer's for the runtime's own codes.

    The driver has no text when no context is open (before a successful
    initialisation, after deinitialisation; libkiv then raises RuntimeError);
    the status's name stands in then.
    """
    code = int(status)
    if code in RUNTIME_STATUSES:
        return RUNTIME_STATUSES[code].text
    try:
        return npu.kiv_get_error_message(code)
    except RuntimeError:
        return status_name(code) or "unknown status %d" % code


class KivError(Exception):
    """A runtime operation returned a status other than success.

    Attributes:
        status: the libkiv.kiv_status_t value returned by the runtime.
        code: the same status as a plain int.
        name: the status's name (status_name), also for the runtime's own
            codes, which `status` does not name; None for a code without one.
        api: name of the runtime function that failed (e.g. "kiv_load_graph").
        message: the runtime's text for the status.
        detail: what this layer was doing, when that helps (e.g. a path).
    """

    def __init__(self, api: str, status: SupportsInt, message: str, detail: str | None = None) -> None:
        self.status = status_member(status)
        self.code = int(status)
        self.name = status_name(self.code)
        self.api = api
        self.message = message
        self.detail = detail
        text = "%s failed with status %d: %s" % (api, self.code, message)
        if detail:
            text += " (%s)" % detail
        super().__init__(text)

    def __reduce__(self) -> tuple[Callable[..., KivError], tuple[Any, ...]]:
        # Keeps the exception picklable (futures may cross process borders).
        return (_rebuild_error, (self.api, self.code, self.message, self.detail))


def _rebuild_error(api: str, code: int, message: str, detail: str | None) -> KivError:
    return KivError(api, code, message, detail)


class ModelFormatError(KivError):
    """The runtime refused a model file because of what the file holds: empty,
    not a zor model container, truncated, without a subgraph, or with an NPU
    executable the driver refuses.

    The text leads with the file and what is wrong with it; `status` and the
    other attributes of KivError are kept. `path` is the file, `problem` what
    is wrong with it. A file that cannot be opened at all (missing, a
    directory) stays a plain KivError with status KIV_STATUS_ERROR_OPEN_FILE_FAIL,
    whose text already says so.

    Args:
        api: as for KivError.
        status: as for KivError.
        message: as for KivError.
        path: the model file.
        problem: what is wrong with it.
    """

    #: The model file.
    path: str
    #: What is wrong with it ("is empty, not a model container", ...).
    problem: str

    def __init__(self, api: str, status: SupportsInt, message: str, path: str, problem: str) -> None:
        super().__init__(api, status, message, "%s: %s" % (path, problem))
        self.path = path
        self.problem = problem
        # The file's problem first; the runtime's text for the status (often
        # "internal error") would blame the runtime.
        self.args = ("%s: %s; %s returned status %d" % (path, problem, api, self.code),)

    def __reduce__(self) -> tuple[Callable[..., KivError], tuple[Any, ...]]:
        return (ModelFormatError, (self.api, self.code, self.message, self.path, self.problem))


class JobTimeout(KivError, TimeoutError):
    """A wait for a job ended before the job did (status KIV_STATUS_ERROR_TIMEOUT).

    `api` names the wait (e.g. "Model.run"); the job itself goes on and is
    released in the background when it ends.

    Args:
        api: the wait that ran out.
        timeout: its limit, in seconds.
        job_id: the job that did not end in time.
    """

    #: The wait's limit, in seconds.
    timeout: float
    #: The id of the job that did not end in time.
    job_id: int

    def __init__(self, api: str, timeout: float, job_id: int) -> None:
        self.timeout = timeout
        self.job_id = job_id
        super().__init__(
            api,
            libkiv.KIV_STATUS_ERROR_TIMEOUT,
            "job %#x did not end within the timeout of %gs" % (job_id, timeout),
        )

    def __reduce__(self) -> tuple[Callable[..., KivError], tuple[Any, ...]]:
        return (JobTimeout, (self.api, self.timeout, self.job_id))


def failure(npu: libkiv.NPU, api: str, status: SupportsInt, detail: str | None = None) -> KivError:
    """The error of the runtime call `api` that returned `status` on `npu`:
    the runtime's text for the status (status_text), and what this layer was
    doing when that helps (`detail`). Every KivError of a failed call is made
    here (check raises it)."""
    return KivError(api, status, status_text(npu, status), detail)


def check(npu: libkiv.NPU, api: str, status: SupportsInt, detail: str | None = None) -> None:
    """Raises failure(npu, api, status, detail) unless `status` is success."""
    if int(status) != 0:
        raise failure(npu, api, status, detail)
