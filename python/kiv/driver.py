"""Which NPU driver library a runtime loads, and what it turned out to be.

The runtime loads the driver named by AIPU_LIB_PATH, or else libaipudrv.so
through the system's library search. The stand-in NPU that ships with this
package is never found by that search: it is used only when it is named,
by kiv.Runtime(driver="standin") or by pointing AIPU_LIB_PATH at it.
"""

from __future__ import annotations

import dataclasses
import os

import libkiv

from . import _native

STANDIN = "standin"
DEFAULT_NAME = "libaipudrv.so"
_ENV = "AIPU_LIB_PATH"

# Only the stand-in exports these beside the driver's entry points.
_STANDIN_MARK = "aipu_standin_open_context_count"


@dataclasses.dataclass(frozen=True)
class DriverInfo:
    """The driver library a runtime loaded."""

    #: The file, as the loader found it.
    path: str
    #: The two version texts the driver reports (KIV_IOCTL_GET_VERSION).
    versions: tuple[str, str]
    #: True for the stand-in NPU shipped with this package.
    is_standin: bool

    def __str__(self) -> str:
        kind = "stand-in NPU" if self.is_standin else "NPU driver"
        return "%s %s (%s)" % (kind, self.path, ", ".join(v for v in self.versions if v) or "no version")


def standin_path() -> str | None:
    """The stand-in driver shipped with this package, or None when it was not installed.

    Installed, it lives in the package's own standin/ directory; in a build
    tree, in standin/ beside libkiv.so. Raises nothing.
    """
    candidates = (
        os.path.join(os.path.dirname(os.path.abspath(__file__)), STANDIN, DEFAULT_NAME),
        os.path.join(os.path.dirname(os.path.abspath(libkiv.__file__)), STANDIN, DEFAULT_NAME),
    )
    for candidate in candidates:
        if os.path.isfile(candidate):
            return candidate
    return None


def requested_library(driver: str | os.PathLike[str] | None) -> str | None:
    """What the runtime is to load for a Runtime(driver=...) argument: a path
    or library name, or None to leave the choice to AIPU_LIB_PATH and the
    system's library search."""
    if driver is None:
        return None
    if driver == STANDIN:
        path = standin_path()
        if path is None:
            raise FileNotFoundError(
                "the stand-in NPU driver is not installed with this kiv package "
                "(install it, or name a driver library by its path)"
            )
        return path
    if isinstance(driver, (str, os.PathLike)):
        if not os.fspath(driver):
            # The runtime reads an empty name as none given.
            raise ValueError("driver must not be empty: None leaves the choice to AIPU_LIB_PATH")
        return os.fspath(driver)
    raise TypeError("driver must be None, a path to a driver library or %r, not %s" % (STANDIN, type(driver).__name__))


def _tried(library: str | None) -> tuple[str, str]:
    """The library the runtime tried to open, and how it looked for it."""
    if library is not None:
        return library, "given to kiv.Runtime"
    if _ENV in os.environ:  # also when empty, as the runtime reads it
        return os.environ[_ENV], "named by AIPU_LIB_PATH"
    return DEFAULT_NAME, "the default name, looked up in the system's library search"


def describe_loaded(npu: libkiv.NPU, library: str | None) -> DriverInfo:
    """DriverInfo of the driver an open context of `npu` runs on."""
    loaded = _native.driver_library(npu, _STANDIN_MARK)
    if loaded is not None and loaded[0]:
        path, is_standin = os.path.abspath(os.fsdecode(loaded[0])), loaded[1]
    else:
        path, is_standin = os.path.abspath(_tried(library)[0]), False
    status, first, second = npu.kiv_ioctl(libkiv.npu, libkiv.KIV_IOCTL_GET_VERSION)
    versions = (first, second) if int(status) == 0 else ("", "")
    return DriverInfo(path=path, versions=versions, is_standin=is_standin)


def _file_kind(path: str) -> str | None:
    """What the file at `path` is when it cannot be a shared library (a
    directory, empty, text, other data); None when there is no such file or
    it starts like one."""
    if not os.path.lexists(path):
        return None
    if os.path.isdir(path):
        return "a directory"
    try:
        with open(path, "rb") as f:
            head = f.read(512)
    except OSError as err:
        return "a file that cannot be read (%s)" % (err.strerror or err)
    if head.startswith(b"\x7fELF"):
        return None
    if not head:
        return "an empty file"
    # "ignore": the first 512 bytes may end inside a character.
    text = b"\0" not in head and all(c.isprintable() or c.isspace() for c in head.decode("utf-8", "ignore"))
    return "a text file" if text else "a file of other data"


def _why_unusable(name: str, loader_error: str, missing: list[str]) -> str:
    """Why `name` cannot serve as a driver, from what the runtime found when
    it tried: the loader's reason, and what the file is when it is none."""
    if missing:
        return "it lacks the driver entry point%s %s" % ("s" if len(missing) > 1 else "", ", ".join(missing))
    reason = loader_error or "the loader could not open it"
    kind = _file_kind(name)
    if kind is None:
        return reason
    if os.sep not in name:
        # The loader looks a bare name up in the system's library search only.
        return "%s (a name without a slash is not looked up in the current directory, where %s is %s, not a " \
            "shared library)" % (reason, name, kind)
    return "%s is %s, not a shared library (%s)" % (name, kind, reason)


def load_failure_text(library: str | None, failure: tuple[bytes, str, list[str]]) -> str:
    """Why no driver could be loaded: what was tried, the runtime's reason
    (`failure`, as kiv._native.init_context gives it), and how to choose the
    stand-in instead."""
    tried, loader_error, missing = failure
    name, how = os.fsdecode(tried), _tried(library)[1]
    standin = standin_path()
    if standin is not None:
        hint = 'to run on the stand-in NPU instead, use kiv.Runtime(driver="standin") or set AIPU_LIB_PATH=%s' % standin
    else:
        hint = "the stand-in NPU is not installed with this package; name a driver with kiv.Runtime(driver=PATH)"
    if not name:
        # The loader opens the program itself for an empty name, which then
        # lacks every entry point: its list would only mislead.
        return ("no usable NPU driver: AIPU_LIB_PATH is set but empty, and an empty name makes the loader open the "
                "program itself, which is no driver: unset AIPU_LIB_PATH or set it to a driver library; %s" % hint)
    return "no usable NPU driver: tried %s (%s): %s; %s" % (name, how, _why_unusable(name, loader_error, missing), hint)
