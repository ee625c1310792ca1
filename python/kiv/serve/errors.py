"""The errors a request can end with, and how each transport says them."""

from __future__ import annotations

import enum


class Status(enum.Enum):
    """What went wrong, as the gRPC status code's name and the HTTP status
    that the protocol (and gRPC's own HTTP mapping) give it."""

    INVALID_ARGUMENT = 400
    UNAUTHENTICATED = 401
    NOT_FOUND = 404
    REQUEST_TOO_LARGE = 413
    INTERNAL = 500
    UNIMPLEMENTED = 501
    UNAVAILABLE = 503
    DEADLINE_EXCEEDED = 504

    @property
    def http_status(self) -> int:
        return self.value

    @property
    def grpc_code_name(self) -> str:
        """The name of the grpc.StatusCode member."""
        return "RESOURCE_EXHAUSTED" if self is Status.REQUEST_TOO_LARGE else self.name


class ServeError(Exception):
    """A request that cannot be answered: its status and a message naming
    the model, the tensor and the problem. `retry_after` (seconds) comes with
    UNAVAILABLE when the server is only busy: the client may try again then."""

    def __init__(self, status: Status, message: str, retry_after: float | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.retry_after = retry_after


def invalid(message: str) -> ServeError:
    return ServeError(Status.INVALID_ARGUMENT, message)


def not_found(message: str) -> ServeError:
    return ServeError(Status.NOT_FOUND, message)
