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


def container_description(path: str) -> tuple[str, str, _native.TensorList, _native.TensorList]:
    """(name, version text, inputs, outputs) of container `path`, read in one
    pass without its NPU executables; see kiv._native.describe. ValueError
    saying why when the file cannot be read as a container."""
    return _native.describe(os.fsencode(path))
