"""The system shared memory extension: regions of the clients' POSIX shared
memory objects, registered by key, that requests name for their inputs and
outputs instead of sending the bytes.

Only POSIX shared memory keys are opened (shm_open, never a path), and every
offset and size is checked against the region and against the object's size
at the time of use: a client that shrinks its object after registering it
gets an error, not a server killed by SIGBUS.
"""

from __future__ import annotations

import dataclasses
import errno
import mmap
import os
import re
import stat
from typing import Any

import _posixshmem  # type: ignore[import]
import numpy as np
import numpy.typing as npt

from .errors import ServeError, Status, invalid, not_found

# A POSIX shared memory key: one leading slash and a name without slashes.
_KEY = re.compile(r"/[^/\x00]{1,254}")
# Regions one server keeps open at once: each holds a file descriptor.
MAX_REGIONS = 1024


@dataclasses.dataclass
class Region:
    """A registered part of a client's shared memory object: `byte_size`
    bytes from `offset`."""

    name: str
    key: str
    offset: int
    byte_size: int
    fd: int
    writable: bool
    # The object's pages from the one holding `offset` to the region's end.
    mapping: mmap.mmap
    # Where the region starts in `mapping`.
    start: int

    def object_size(self) -> int:
        return os.fstat(self.fd).st_size


def _open_object(key: str) -> tuple[int, bool]:
    """A descriptor of the shared memory object `key`, and whether the
    server may write it (a region it may only read serves inputs)."""
    for flags, writable in ((os.O_RDWR, True), (os.O_RDONLY, False)):
        try:
            return _posixshmem.shm_open(key, flags), writable
        except PermissionError:
            continue
        except FileNotFoundError:
            raise invalid("shared memory key '%s': no such shared memory object" % key) from None
        except OSError as err:
            raise invalid("shared memory key '%s': %s" % (key, err.strerror)) from None
    raise invalid("shared memory key '%s': the server may not open it (permission denied)" % key)


def _checked_numbers(name: str, offset: int, byte_size: int) -> None:
    if offset < 0 or byte_size <= 0:
        raise invalid("shared memory region '%s': offset must be at least 0 and byte_size above 0, got offset %d "
                      "and byte_size %d" % (name, offset, byte_size))


def open_region(name: str, key: str, offset: int, byte_size: int) -> Region:
    """Maps `byte_size` bytes from `offset` of the object `key`, once they are
    known to lie inside it."""
    if not _KEY.fullmatch(key) or key in ("/.", "/.."):
        raise invalid("shared memory region '%s': '%s' is not a POSIX shared memory key (one '/' and a name "
                      "without '/', such as '/input0')" % (name, key))
    _checked_numbers(name, offset, byte_size)
    fd, writable = _open_object(key)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise invalid("shared memory key '%s' is no shared memory object" % key)
        if offset + byte_size > info.st_size:
            raise invalid("shared memory region '%s': offset %d and byte_size %d reach beyond the %d bytes of "
                          "'%s'" % (name, offset, byte_size, info.st_size, key))
        start = offset - offset % mmap.ALLOCATIONGRANULARITY
        access = mmap.ACCESS_WRITE if writable else mmap.ACCESS_READ
        mapping = mmap.mmap(fd, offset + byte_size - start, access=access, offset=start)
    except BaseException:
        os.close(fd)
        raise
    return Region(name, key, offset, byte_size, fd, writable, mapping, offset - start)


def close_region(region: Region) -> None:
    """Closes the descriptor; the mapping goes when the last array over it
    does (a request in flight may still be reading or writing it)."""
    os.close(region.fd)
    try:
        region.mapping.close()
    except BufferError:
        pass


class SharedMemoryRegions:
    """The regions registered with the server, by name."""

    def __init__(self) -> None:
        self._regions: dict[str, Region] = {}

    def register(self, name: str, key: str, offset: int, byte_size: int) -> None:
        """:raises ServeError: a name already registered, a bad key, offset or size."""
        if not name:
            raise invalid("a shared memory region needs a name")
        if name in self._regions:
            raise invalid("shared memory region '%s' is already registered; unregister it first" % name)
        if len(self._regions) >= MAX_REGIONS:
            raise ServeError(Status.UNAVAILABLE, "the server holds %d shared memory regions, as many as it "
                                                 "takes; unregister some first" % MAX_REGIONS)
        self._regions[name] = open_region(name, key, offset, byte_size)

    def unregister(self, name: str) -> None:
        """Unregisters region `name`, or every region for an empty name.

        :raises ServeError: no region has that name.
        """
        if not name:
            names = list(self._regions)
        elif name in self._regions:
            names = [name]
        else:
            raise not_found("no shared memory region '%s' is registered" % name)
        for each in names:
            close_region(self._regions.pop(each))

    def status(self, name: str) -> list[Region]:
        """Region `name`, or every region for an empty name.

        :raises ServeError: no region has that name.
        """
        if not name:
            return list(self._regions.values())
        if name not in self._regions:
            raise not_found("no shared memory region '%s' is registered" % name)
        return [self._regions[name]]

    def close(self) -> None:
        self.unregister("")

    def array(self, name: str, offset: int, byte_size: int, write: bool) -> npt.NDArray[np.uint8]:
        """The bytes `offset` to `offset + byte_size` of region `name`, as a
        view on the client's memory (read-only unless `write`).

        :raises ServeError: the region is not registered, or the bytes do not
            lie inside both the region and the object as it is now.
        """
        region = self._regions.get(name)
        if region is None:
            raise not_found("no shared memory region '%s' is registered" % name)
        if offset < 0 or byte_size < 0 or offset + byte_size > region.byte_size:
            raise invalid("shared memory region '%s' holds %d bytes; offset %d and byte size %d reach beyond it"
                          % (name, region.byte_size, offset, byte_size))
        if write and not region.writable:
            raise invalid("shared memory region '%s': the server may only read '%s'" % (name, region.key))
        try:
            size = region.object_size()
        except OSError as err:
            raise invalid("shared memory region '%s': %s" % (name, os.strerror(err.errno or errno.EIO))) from None
        if region.offset + offset + byte_size > size:
            raise invalid("shared memory region '%s': '%s' has shrunk to %d bytes since it was registered"
                          % (name, region.key, size))
        view: npt.NDArray[np.uint8] = np.frombuffer(region.mapping, np.uint8, byte_size, region.start + offset)
        return view if write else _read_only(view)


def _read_only(view: npt.NDArray[Any]) -> npt.NDArray[Any]:
    view.flags.writeable = False
    return view
