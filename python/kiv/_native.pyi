"""The kiv package's native module, carried by libkiv.so beside libkiv
(kiv_umd/src/python/kiv_native_module.cpp, kiv_native_driver.cpp and kiv_native_jobs.cpp).

Statuses are libkiv.kiv_status_t values; job statuses are job statuses
(KIV_JOB_STATUS_*) as ints. Timeouts are seconds: None, infinity, or 1e9
and more mean no limit.
"""

import libkiv

def init_context(
    npu: libkiv.NPU, driver: bytes | None
) -> tuple[libkiv.kiv_status_t, tuple[bytes, str, list[str]] | None]:
    """Opens the object's context on the driver library `driver` (None: AIPU_LIB_PATH, else libaipudrv.so):
    (status, None), or (status, (library tried, the loader's text, the entry points it lacks)) when the
    library could not serve."""

def driver_library(npu: libkiv.NPU, symbol: str) -> tuple[bytes, bool] | None:
    """(file, whether it exports `symbol`) of the driver library serving the open context; None without one."""

def runtime_status_texts() -> dict[int, str]:
    """{code: text} for the runtime's own status codes, which no driver describes."""

def run(npu: libkiv.NPU, job_id: int, timeout: float | None = None) -> tuple[libkiv.kiv_status_t, int]:
    """Runs a job like kiv_job_infer_sync, without the interpreter lock: (status, job status). A status
    other than success means the job did not start; job status 0 that it did not end in time."""

def wait(npu: libkiv.NPU, job_id: int, timeout: float | None = None) -> tuple[libkiv.kiv_status_t, int]:
    """Waits for a job started without a completion callable: (status of the status query, job status),
    job status 0 when the time ran out."""

class Completions:
    """A runtime's submitted jobs, whose ends the driver reports from its own thread."""

    def __init__(self) -> None: ...
    def submit(self, npu: libkiv.NPU, job_id: int, token: int) -> libkiv.kiv_status_t:
        """Starts the job; take() gives its end as (token, job status), a refused job's as (token, 0)."""
    def take(self) -> tuple[int, int] | None:
        """The next end, waited for without the interpreter lock; None once closed and every end taken."""
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
