"""The kiv package's native module, carried by libkiv.so beside libkiv
(kiv_umd/src/python/py_kiv_module.cpp and py_kiv_jobs.cpp).

Statuses are libkiv.kiv_status_t values; job statuses are job statuses
(KIV_JOB_STATUS_*) as ints. Timeouts are seconds: None, infinity, or 1e9
and more mean no limit.
"""

import libkiv

def init_context(npu: libkiv.NPU, driver: bytes | None) -> libkiv.kiv_status_t:
    """Opens the object's context on the driver library `driver` (None: AIPU_LIB_PATH, else libaipudrv.so)."""

def set_error_lines(npu: libkiv.NPU, on: bool) -> None:
    """Whether the NPU object's failing calls print their "[PY UMD ERROR]" line (on by default)."""

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

def first_subgraph_names(path: bytes) -> tuple[list[str], list[str]]:
    """(input names, output names) that the container's first subgraph lists."""
