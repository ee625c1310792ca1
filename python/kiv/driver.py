"""Which NPU driver library a runtime loads, and what it turned out to be.

The runtime loads the driver named by AIPU_LIB_PATH, or else libaipudrv.so
through the system's library search. The stand-in NPU that ships with this
package is never found by that search: it is used only when it is named,
by kiv.Runtime(driver="standin") or by pointing AIPU_LIB_PATH at it.
"""

from __future__ import annotations

import ctypes
import dataclasses
import os

import libkiv

STANDIN = "standin"
DEFAULT_NAME = "libaipudrv.so"
_ENV = "AIPU_LIB_PATH"

# The entry points a driver must export, to say which one a library lacks.
ENTRY_POINTS = (
    "aipu_init_context", "aipu_deinit_context", "aipu_config_global", "aipu_load_graph_helper",
    "aipu_unload_graph", "aipu_get_tensor_count", "aipu_get_tensor_descriptor", "aipu_get_error_message",
    "aipu_create_job", "aipu_config_job", "aipu_clean_job", "aipu_finish_job", "aipu_flush_job",
    "aipu_get_job_status", "aipu_load_tensor", "aipu_get_tensor", "aipu_get_device_status", "aipu_get_target",
    "aipu_get_partition_count", "aipu_get_cluster_count", "aipu_get_core_count", "aipu_ioctl",
    "aipu_create_batch_queue", "aipu_clean_batch_queue", "aipu_config_batch_dump", "aipu_add_batch",
    "aipu_finish_batch", "aipu_specify_iobuf",
)  # fmt: skip

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
        return os.fspath(driver)
    raise TypeError("driver must be None, a path to a driver library or %r, not %s" % (STANDIN, type(driver).__name__))


def _tried(library: str | None) -> tuple[str, str]:
    """The library the runtime tried to open, and how it looked for it."""
    name = library if library is not None else os.environ.get(_ENV) or DEFAULT_NAME
    if library is not None:
        how = "given to kiv.Runtime"
    elif os.environ.get(_ENV):
        how = "named by AIPU_LIB_PATH"
    else:
        how = "the default name, looked up in the system's library search"
    return name, how


class _DlInfo(ctypes.Structure):
    _fields_ = [
        ("dli_fname", ctypes.c_char_p),
        ("dli_fbase", ctypes.c_void_p),
        ("dli_sname", ctypes.c_char_p),
        ("dli_saddr", ctypes.c_void_p),
    ]


def _loader() -> ctypes.CDLL:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.dlopen.argtypes, libc.dlopen.restype = [ctypes.c_char_p, ctypes.c_int], ctypes.c_void_p
    libc.dlsym.argtypes, libc.dlsym.restype = [ctypes.c_void_p, ctypes.c_char_p], ctypes.c_void_p
    libc.dladdr.argtypes, libc.dladdr.restype = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)], ctypes.c_int
    libc.dlclose.argtypes, libc.dlclose.restype = [ctypes.c_void_p], ctypes.c_int
    libc.dlerror.argtypes, libc.dlerror.restype = [], ctypes.c_char_p
    return libc


def _loaded_file(libc: ctypes.CDLL, name: str) -> tuple[str, bool] | None:
    """(path, is_standin) of the library already loaded under `name`, or None."""
    handle = libc.dlopen(os.fsencode(name), os.RTLD_LAZY | os.RTLD_NOLOAD)
    if not handle:
        return None
    try:
        entry = libc.dlsym(handle, b"aipu_init_context")
        info = _DlInfo()
        path = name
        if entry and libc.dladdr(entry, ctypes.byref(info)) and info.dli_fname:
            path = os.fsdecode(info.dli_fname)
        return os.path.abspath(path), bool(libc.dlsym(handle, _STANDIN_MARK.encode()))
    finally:
        libc.dlclose(handle)


def describe_loaded(npu: libkiv.NPU, library: str | None) -> DriverInfo:
    """DriverInfo of the driver an open context of `npu` runs on."""
    name, _ = _tried(library)
    found = _loaded_file(_loader(), name) or (os.path.abspath(name), False)
    status, first, second = npu.kiv_ioctl(libkiv.npu, libkiv.KIV_IOCTL_GET_VERSION)
    versions = (first, second) if int(status) == 0 else ("", "")
    return DriverInfo(path=found[0], versions=versions, is_standin=found[1])


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


def _why_unusable(libc: ctypes.CDLL, name: str) -> str:
    """The loader's reason why `name` cannot serve as a driver, and what the
    file is when it is none."""
    libc.dlerror()
    handle = libc.dlopen(os.fsencode(name), os.RTLD_LAZY | os.RTLD_LOCAL)
    if not handle:
        error = libc.dlerror()
        reason = os.fsdecode(error) if error else "the loader could not open it"
        kind = _file_kind(name)
        if kind is None:
            return reason
        if os.sep not in name:
            # The loader looks a bare name up in the system's library search only.
            return "%s (a name without a slash is not looked up in the current directory, where %s is %s, not a " \
                "shared library)" % (reason, name, kind)
        return "%s is %s, not a shared library (%s)" % (name, kind, reason)
    try:
        missing = [entry for entry in ENTRY_POINTS if not libc.dlsym(handle, entry.encode())]
    finally:
        libc.dlclose(handle)
    if missing:
        return "it lacks the driver entry point%s %s" % ("s" if len(missing) > 1 else "", ", ".join(missing))
    return "the runtime could not bind it"


def load_failure_text(library: str | None) -> str:
    """Why no driver could be loaded: what was tried, the loader's reason,
    and how to choose the stand-in instead."""
    name, how = _tried(library)
    reason = _why_unusable(_loader(), name)
    standin = standin_path()
    if standin is not None:
        hint = 'to run on the stand-in NPU instead, use kiv.Runtime(driver="standin") or set AIPU_LIB_PATH=%s' % standin
    else:
        hint = "the stand-in NPU is not installed with this package; name a driver with kiv.Runtime(driver=PATH)"
    return "no usable NPU driver: tried %s (%s): %s; %s" % (name, how, reason, hint)
