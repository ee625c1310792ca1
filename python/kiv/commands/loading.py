"""Opening the runtime and loading the model a command works on."""

from __future__ import annotations

import contextlib
import dataclasses
import time
from collections.abc import Iterator

from ..model import Model
from ..runtime import Runtime
from .native_output import native_output_to_stderr


@dataclasses.dataclass(frozen=True)
class Session:
    runtime: Runtime
    model: Model
    load_seconds: float  # Runtime.load alone, the runtime already open


@contextlib.contextmanager
def opened(model_path: str, driver: str | None, max_idle_jobs: int = 4) -> Iterator[Session]:
    """The runtime on `driver` with the model loaded; both closed after."""
    with native_output_to_stderr():
        runtime = Runtime(driver=driver, max_idle_jobs=max_idle_jobs)
        try:
            started = time.perf_counter()
            model = runtime.load(model_path)
            load_seconds = time.perf_counter() - started
        except BaseException:
            runtime.close()
            raise
    with runtime, model:
        yield Session(runtime, model, load_seconds)
