"""The kiv package's native module, carried by libkiv.so beside libkiv
(kiv_umd/src/python/kiv_native_*.cpp).

Statuses are libkiv.kiv_status_t values; job statuses are job statuses
(KIV_JOB_STATUS_*) as ints. Timeouts are seconds: None, infinity, or 1e9
and more mean no limit.
"""

from collections.abc import Callable
from typing import Any, Literal, NoReturn

import numpy.typing as npt

import libkiv

def init_context(
    npu: libkiv.NPU, driver: bytes | None
) -> tuple[libkiv.kiv_status_t, tuple[bytes, str, list[str]] | None]:
    """Opens the object's context on the driver library `driver` (None: AIPU_LIB_PATH, else libaipudrv.so):
    (status, None), or (status, (library tried, the loader's text, the entry points it lacks)) when the
    library could not serve."""

def driver_library(npu: libkiv.NPU, symbol: str) -> tuple[bytes, bool] | None:
    """(file, whether it exports `symbol`) of the driver library serving the open context; None without one."""

def runtime_statuses() -> dict[int, tuple[str, str]]:
    """{code: (name, text)} for the runtime's own status codes, which no driver describes and libkiv's
    kiv_status_t names no member for."""

def data_types() -> dict[int, tuple[str, int, str]]:
    """{code: (name, bytes per element, numpy's name)} for every element type the runtime knows: the name kiv
    and zor print (numpy's where numpy has the type, else the runtime's in lower case), 0 bytes where the
    layout is the device's own, numpy's name empty where numpy has no such type."""

def set_error_lines(npu: libkiv.NPU, on: bool) -> None:
    """Whether the NPU object's failing calls print their "[PY UMD ERROR]" line, and opening a context or
    reading a model file what the runtime prints about them (on by default)."""

def target(npu: libkiv.NPU) -> tuple[libkiv.kiv_status_t, str]:
    """(status, the NPU's target name)."""

def device_status(npu: libkiv.NPU) -> tuple[libkiv.kiv_status_t, int]:
    """(status, the device's status: 0 idle, 1 busy, 2 exception)."""

def partition_count(npu: libkiv.NPU) -> tuple[libkiv.kiv_status_t, int]:
    """(status, the number of partitions)."""

def cluster_count(npu: libkiv.NPU, partition: int) -> tuple[libkiv.kiv_status_t, int]:
    """(status, the number of clusters of a partition)."""

def core_count(npu: libkiv.NPU, partition: int, cluster: int) -> tuple[libkiv.kiv_status_t, int]:
    """(status, the number of cores of a cluster)."""

def run(
    npu: libkiv.NPU,
    job_id: int,
    timeout: float | None = None,
    life: Lifetime | None = None,
    completions: Completions | None = None,
    finish: Callable[[int], None] | None = None,
) -> tuple[str | None, libkiv.kiv_status_t, int]:
    """Runs a job like kiv_job_infer_sync, without the interpreter lock: (failed call, status, job status).
    The failed call is None, "kiv_job_infer_sync" (the job did not start) or "kiv_get_job_status" (it
    started; its end is not known); job status 0 means it did not end in time. The job counts as in
    flight on `life` while it runs here; one that started and may still run (also when an exception such
    as KeyboardInterrupt is raised) is handed in the same call to `completions` with a use of `life`, and
    `finish(job status)` runs once it ended."""

def load_inputs(
    npu: libkiv.NPU, job_id: int, inputs: list[npt.NDArray[Any]], sizes: list[int]
) -> tuple[int, libkiv.kiv_status_t | None]:
    """Loads the job's inputs from C-contiguous buffers in index order: (index of the input that failed, its
    status), (-1, success) when all were loaded. A buffer whose length is not its input's size in `sizes`
    fails with status None, and nothing is loaded."""

def read_outputs(
    npu: libkiv.NPU, job_id: int, outputs: list[npt.NDArray[Any]], sizes: list[int], zero_first: bool = False
) -> tuple[int, libkiv.kiv_status_t | None]:
    """Has the runtime write the job's outputs into writable C-contiguous buffers in index order: (index of
    the output that failed, its status), (-1, success) when all were read. A buffer whose length is not its
    output's size in `sizes` fails with status None, and nothing is written. With `zero_first` (new arrays)
    each is zero-filled first."""

def clean_job(npu: libkiv.NPU, job_id: int) -> libkiv.kiv_status_t:
    """Cleans a job without the interpreter lock: the status."""

def close_contexts(npus: list[libkiv.NPU], seconds: float) -> list[libkiv.kiv_status_t | None]:
    """Closes the objects' contexts on a thread of its own, waiting `seconds` at most: the status of each
    close, None for one that had not returned by then."""

LifeState = Literal["open", "closing", "released", "given up", "inherited"]

class Lifetime:
    """The users of a kiv object and the release that runs once it is closed and the last user has left.
    Its transitions are written once, in kiv_umd/src/python/kiv_native_lifetime.h."""

    def __init__(self, refuse: Callable[[bool], NoReturn], release: Callable[[bool], None]) -> None: ...
    def enter(self) -> None:
        """One more user; raises through refuse(inherited) unless open."""
    def share(self) -> None:
        """One more user, handed over by a holder of one: never refused."""
    def leave(self, raising: bool = False) -> None:
        """One user less; the last one of a closing object runs release(raising)."""
    def close(self) -> bool:
        """open: lets no new user in; releases now when no user is left, else when the last one leaves."""
    def give_up(self) -> None:
        """open or closing: given up at exit; no user is let in, and nothing is released."""
    def hold(self, parent: Lifetime) -> None:
        """Takes a use of `parent`, given back right after this lifetime's release."""
    def __enter__(self) -> None: ...
    def __exit__(self, *args: object) -> bool: ...
    @property
    def state(self) -> LifeState: ...
    @property
    def in_flight(self) -> int:
        """Jobs that have started and not yet ended, as the native calls count them."""

class Completions:
    """A runtime's jobs handed to the driver or left running, and their ends."""

    def __init__(self) -> None: ...
    def submit(
        self, npu: libkiv.NPU, job_id: int, life: Lifetime, finish: Callable[[int], None]
    ) -> libkiv.kiv_status_t:
        """Takes a use of `life` and starts the job; take() gives it once it ended. The status of the submission."""
    def take(self) -> tuple[Callable[[int], None], Lifetime, int] | None:
        """The next finished job as (finish, life, job status); None once closed and every end taken."""
    def abandon(self) -> list[tuple[Callable[[int], None], Lifetime]]:
        """Stops taking ends: (finish, life) of every job not finished yet."""
    def close(self) -> None:
        """Lets take() return None once every end is taken."""

def diagnose(path: bytes) -> str | None:
    """Why the file cannot be loaded as a model container, or None when nothing is visibly wrong with it."""

def identity(path: bytes) -> tuple[str, str]:
    """(name, version text) of a container; ValueError saying why when it cannot be read as one."""

#: One list of a container's tensors: ([(name, shape, dtype code, scale, zero point)...], whether the first
#: subgraph named them because the graph lists none).
TensorList = tuple[list[tuple[str, list[int], int, list[float], list[int]]], bool]

def describe(path: bytes) -> tuple[str, str, TensorList, TensorList]:
    """(name, version text, inputs, outputs) of a container, read in one pass without its executables, the
    tensors named by the rule the zor tool follows; ValueError saying why when it cannot be read as one."""
