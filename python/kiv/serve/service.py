"""What the server does for a request, whichever transport brought it:
health, metadata, inference, statistics, the model repository and the
shared memory regions. Only the event loop's thread calls it."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Mapping
from typing import Any

from ..errors import KivError
from .binding import bind_inputs, chosen_outputs, output_targets
from .dispatch import JobRun
from .errors import ServeError, Status, invalid
from .metadata import model_metadata, server_metadata
from .repository import Repository, ServedModel
from .requests import InferenceRequest, InferenceResult, OutputTensor
from .shared_memory import SharedMemoryRegions

# The parameters a repository request may carry, each meaning nothing here:
# models have no dependents, and their settings come from the repository.
_UNLOAD_PARAMETERS = frozenset({"unload_dependents"})


class InferenceService:
    def __init__(self, repository: Repository, regions: SharedMemoryRegions) -> None:
        self.repository = repository
        self.regions = regions
        self.draining = False
        self._active = 0
        self._idle = asyncio.Event()
        self._idle.set()

    # Health and metadata.

    def ready(self) -> bool:
        """Ready for requests: not shutting down."""
        return not self.draining

    def model_ready(self, name: str, version: str) -> bool:
        return not self.draining and self.repository.find(name, version) is not None

    def server_metadata(self) -> dict[str, Any]:
        return server_metadata()

    def model_metadata(self, name: str, version: str) -> dict[str, Any]:
        return model_metadata(self.repository.get(name, version))

    def statistics(self, name: str, version: str) -> list[dict[str, Any]]:
        served = [self.repository.get(name, version)] if name else self.repository.served
        return [model.statistics.as_dict(model.name, model.version) for model in served]

    # Inference.

    async def infer(self, request: InferenceRequest) -> InferenceResult:
        """Runs one inference request.

        :raises ServeError: whatever fails it, with a message that names the
            model, the tensor and the problem.
        """
        began = time.perf_counter_ns()
        if self.draining:
            raise ServeError(Status.UNAVAILABLE, "the server is shutting down")
        served = self.repository.get(request.model, request.version)
        self._active += 1
        self._idle.clear()
        try:
            return await self._infer(served, request, began)
        except ServeError as error:
            self._failed(served, error.status.name, began)
            raise
        except asyncio.CancelledError:
            self._failed(served, "CANCELLED", began)
            raise
        finally:
            self._active -= 1
            if self._active == 0:
                self._idle.set()

    async def _infer(self, served: ServedModel, request: InferenceRequest, began: int) -> InferenceResult:
        model = served.model
        arrays = bind_inputs(served.name, model.inputs, request, self.regions)
        chosen = chosen_outputs(served.name, model.outputs, request.outputs)
        out = output_targets(served.name, model.outputs, chosen, self.regions)
        bound = time.perf_counter_ns()
        try:
            run = await served.dispatcher.run(arrays, out)
        except KivError as error:
            raise ServeError(Status.INTERNAL, "model '%s': %s" % (served.name, error)) from None
        except (ValueError, TypeError) as error:
            if model.closed:
                raise ServeError(Status.UNAVAILABLE, "model '%s' was unloaded before the request ran"
                                 % served.name) from None
            raise invalid("model '%s': %s" % (served.name, error)) from None
        outputs = [
            OutputTensor(info, None if asked is not None and asked.shared_memory is not None
                         else run.outputs[info.index], asked)
            for info, asked in chosen
        ]
        self._succeeded(served, run, began, bound)
        return InferenceResult(served.name, served.version, request.id, outputs)

    def _succeeded(self, served: ServedModel, run: JobRun, began: int, bound: int) -> None:
        ended = time.perf_counter_ns()
        queue_ns = run.queue_ns
        input_ns = bound - began + run.input_ns
        served.statistics.succeeded(ended - began, queue_ns, input_ns, run.infer_ns,
                                    max(0, ended - began - queue_ns - input_ns - run.infer_ns))
        served.metrics.succeeded(ended - began, queue_ns, run.infer_ns)

    def _failed(self, served: ServedModel, reason: str, began: int) -> None:
        total = time.perf_counter_ns() - began
        served.statistics.failed(total)
        served.metrics.failed(reason, total)

    # The model repository.

    def index(self, ready_only: bool) -> list[dict[str, str]]:
        return self.repository.index(ready_only)

    async def load(self, name: str, parameters: Mapping[str, object]) -> None:
        """:raises ServeError: parameters (settings and files come from the
        repository, never from a request), an unknown model, a failed load."""
        if parameters:
            raise invalid("model '%s': loading takes no parameters, got %s; a model's settings come from its "
                          "settings file in the repository" % (name, sorted(parameters)))
        await self.repository.load(name)

    def unload(self, name: str, parameters: Mapping[str, object]) -> None:
        unknown = sorted(set(parameters) - _UNLOAD_PARAMETERS)
        if unknown:
            raise invalid("model '%s': unknown unload parameter(s) %s" % (name, unknown))
        self.repository.unload(name)

    # Shutting down.

    async def drain(self, timeout: float) -> bool:
        """Refuses new requests and waits up to `timeout` seconds for those
        under way; whether they all ended."""
        self.draining = True
        try:
            async with asyncio.timeout(timeout):
                await self._idle.wait()
        except TimeoutError:
            return False
        return True

    @property
    def active(self) -> int:
        """Inference requests under way."""
        return self._active
