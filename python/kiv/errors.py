"""The exception raised for every failing runtime status."""

import libkiv


def status_member(status):
    """Returns `status` as a libkiv.kiv_status_t value (also for unnamed codes)."""
    if isinstance(status, libkiv.kiv_status_t):
        return status
    return libkiv.kiv_status_t(int(status))


def status_text(npu, status):
    """The runtime's text for `status`.

    The runtime has no text when the context handle is not valid (before a
    successful initialisation, after deinitialisation); libkiv then raises
    RuntimeError, and the same placeholder as libkiv's own error lines is used.
    """
    try:
        return npu.kiv_get_error_message(int(status))
    except RuntimeError:
        return "unknown status %d" % int(status)


class KivError(Exception):
    """A runtime operation returned a status other than success.

    Attributes:
        status: the libkiv.kiv_status_t value returned by the runtime.
        code: the same status as a plain int.
        api: name of the runtime function that failed (e.g. "kiv_load_graph").
        message: the runtime's text for the status.
        detail: what this layer was doing, when that helps (e.g. a path).
    """

    def __init__(self, api, status, message, detail=None):
        self.status = status_member(status)
        self.code = int(status)
        self.api = api
        self.message = message
        self.detail = detail
        text = "%s failed with status %d: %s" % (api, self.code, message)
        if detail:
            text += " (%s)" % detail
        super().__init__(text)

    def __reduce__(self):
        # Keeps the exception picklable (futures may cross process borders).
        return (_rebuild_error, (self.api, self.code, self.message, self.detail))


def _rebuild_error(api, code, message, detail):
    return KivError(api, code, message, detail)


def check(npu, api, status, detail=None):
    """Raises KivError unless `status` is success."""
    if int(status) != 0:
        raise KivError(api, status, status_text(npu, status), detail)
