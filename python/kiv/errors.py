"""The exception raised for every failing runtime status."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, SupportsInt

import libkiv

from . import _native


def status_member(status: SupportsInt) -> libkiv.kiv_status_t:
    """Returns `status` as a libkiv.kiv_status_t value (also for unnamed codes)."""
    if isinstance(status, libkiv.kiv_status_t):
        return status
    return libkiv.kiv_status_t(int(status))


# The runtime's own codes, for which the driver has no text.
_RUNTIME_TEXTS: dict[int, str] = _native.runtime_status_texts()


def status_text(npu: libkiv.NPU, status: SupportsInt) -> str:
    """A text for `status`: the driver's, or this layer's for the runtime's own codes.

    The driver has no text when no context is open (before a successful
    initialisation, after deinitialisation; libkiv then raises RuntimeError);
    the status's name stands in then.
    """
    code = int(status)
    if code in _RUNTIME_TEXTS:
        return _RUNTIME_TEXTS[code]
    try:
        return npu.kiv_get_error_message(code)
    except RuntimeError:
        member = status_member(code)
        name: str = getattr(member, "name", "")
        return name if name and name != "???" else "unknown status %d" % code


class KivError(Exception):
    """A runtime operation returned a status other than success.

    Attributes:
        status: the libkiv.kiv_status_t value returned by the runtime.
        code: the same status as a plain int.
        api: name of the runtime function that failed (e.g. "kiv_load_graph").
        message: the runtime's text for the status.
        detail: what this layer was doing, when that helps (e.g. a path).
    """

    def __init__(self, api: str, status: SupportsInt, message: str, detail: str | None = None) -> None:
        self.status = status_member(status)
        self.code = int(status)
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


def check(npu: libkiv.NPU, api: str, status: SupportsInt, detail: str | None = None) -> None:
    """Raises KivError unless `status` is success."""
    if int(status) != 0:
        raise KivError(api, status, status_text(npu, status), detail)
