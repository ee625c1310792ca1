"""Where the server listens: TCP addresses and the gRPC Unix socket, whose
file mode decides who on the board may use it."""

from __future__ import annotations

import contextlib
import os
import socket
import stat
from collections.abc import Iterator


class ListenError(OSError):
    """An address or socket path the server cannot listen on."""


def grpc_address(host: str, port: int) -> str:
    """gRPC's form of a TCP address: IPv6 hosts in brackets."""
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


def http_socket(host: str, port: int) -> socket.socket:
    """A listening TCP socket for the HTTP server (port 0: any free port).

    :raises ListenError: the address is in use or not this machine's.
    """
    try:
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        return socket.create_server((host, port), family=family, reuse_port=False, backlog=1024)
    except OSError as err:
        raise ListenError("HTTP on %s: %s" % (grpc_address(host, port), err.strerror)) from None


def clear_stale_socket(path: str) -> None:
    """Removes a socket file that no server listens on any more (one left by
    a server that was killed); refuses anything else at `path`.

    :raises ListenError: a server listens there, or it is no socket.
    """
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISSOCK(info.st_mode):
        raise ListenError("%s exists and is not a socket" % path)
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
    except ConnectionRefusedError:
        os.unlink(path)
        return
    except OSError:
        return
    finally:
        probe.close()
    raise ListenError("%s: another server listens on it" % path)


@contextlib.contextmanager
def socket_mode(mode: int) -> Iterator[None]:
    """Creates the sockets made within with at most `mode`'s permissions
    (the process's umask, for as long as it takes to bind them), so that no
    one outside gets in before the mode is set."""
    previous = os.umask(0o777 & ~mode)
    try:
        yield
    finally:
        os.umask(previous)
