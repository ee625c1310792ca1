"""What a model container file holds, and what is wrong with one the runtime
could not load.

The runtime reports only a status (cannot open, rejected, no executable);
the container code that libkiv.so carries looks at the file itself to say
why, in words: missing, a directory, empty, not a container, truncated, or
holding no subgraph. The zor tool reports the same reasons.
"""

from __future__ import annotations

import os

from . import _native


def diagnose(path: str) -> str | None:
    """Why `path` cannot be read as a model container; None when nothing is
    visibly wrong with the file (the runtime or the driver judged its
    contents)."""
    return _native.diagnose(os.fsencode(path))


def container_identity(path: str) -> tuple[str, str]:
    """(name, version text) of a readable container: the version as the
    container tools print it, "1.2.3", with "d" for a draft."""
    try:
        return _native.identity(os.fsencode(path))
    except ValueError as problem:
        raise ValueError("%s %s" % (path, problem)) from None


def first_subgraph_names(path: str) -> tuple[list[str], list[str]]:
    """The input and output names that the first subgraph of container `path`
    lists, as two lists; both empty when the file cannot be read as a
    container or has no subgraph."""
    return _native.first_subgraph_names(os.fsencode(path))
