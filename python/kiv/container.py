"""What a model container file holds, and what is wrong with one the runtime
could not load.

The runtime reports only a status (cannot open, rejected, no executable);
the container code that libkiv.so carries looks at the file itself to say
why, in words: missing, a directory, empty, not a container, truncated, or
holding no subgraph. The zor tool reports the same reasons.
"""

from __future__ import annotations

import os
from typing import Protocol, cast

from . import _native


class Containers(Protocol):
    """The container module libkiv.so carries (kiv_containers). Paths are
    bytes, as the file system has them."""

    def diagnose(self, path: bytes) -> str | None:
        """Why the file cannot be loaded as a model container, or None."""

    def identity(self, path: bytes) -> tuple[str, str]:
        """(name, version text) of a container; ValueError saying why it cannot be read."""

    def first_subgraph_names(self, path: bytes) -> tuple[list[str], list[str]]:
        """(input names, output names) of the container's first subgraph."""


containers = cast(Containers, _native.load("kiv_containers"))


def diagnose(path: str) -> str | None:
    """Why `path` cannot be read as a model container; None when nothing is
    visibly wrong with the file (the runtime or the driver judged its
    contents)."""
    return containers.diagnose(os.fsencode(path))


def container_identity(path: str) -> tuple[str, str]:
    """(name, version text) of a readable container: the version as the
    container tools print it, "1.2.3", with "d" for a draft."""
    try:
        return containers.identity(os.fsencode(path))
    except ValueError as problem:
        raise ValueError("%s %s" % (path, problem)) from None


def first_subgraph_names(path: str) -> tuple[list[str], list[str]]:
    """The input and output names that the first subgraph of container `path`
    lists, as two lists; both empty when the file cannot be read as a
    container or has no subgraph."""
    return containers.first_subgraph_names(os.fsencode(path))
