"""Per-model statistics of the statistics extension: counts and durations of
requests (succeeded, failed), of their wait for a place among the jobs in
flight, of the steps of their jobs, and per batch size."""

from __future__ import annotations

import dataclasses
import time
from typing import Any


@dataclasses.dataclass
class Duration:
    count: int = 0
    ns: int = 0

    def add(self, ns: int) -> None:
        self.count += 1
        self.ns += ns

    def as_dict(self) -> dict[str, int]:
        return {"count": self.count, "ns": self.ns}


@dataclasses.dataclass
class BatchDurations:
    compute_input: Duration = dataclasses.field(default_factory=Duration)
    compute_infer: Duration = dataclasses.field(default_factory=Duration)
    compute_output: Duration = dataclasses.field(default_factory=Duration)


# The steps of a request, as the extension names them: queue (the wait for a
# place among the jobs in flight), compute_input (inputs checked and loaded,
# the job submitted), compute_infer (the job on the NPU, until its end is
# reported), compute_output (the outputs read and the response made).
STEPS = ("queue", "compute_input", "compute_infer", "compute_output")


class ModelStatistics:
    """Counts of one loaded model; only the event loop's thread updates them."""

    def __init__(self) -> None:
        self.last_inference_ms = 0
        self.inference_count = 0
        self.execution_count = 0
        self.success = Duration()
        self.fail = Duration()
        self.steps = {step: Duration() for step in STEPS}
        self.batches: dict[int, BatchDurations] = {}

    def succeeded(self, total_ns: int, queue_ns: int, input_ns: int, infer_ns: int, output_ns: int) -> None:
        self.last_inference_ms = time.time_ns() // 1_000_000
        self.inference_count += 1
        self.success.add(total_ns)
        for step, ns in zip(STEPS, (queue_ns, input_ns, infer_ns, output_ns)):
            self.steps[step].add(ns)

    def failed(self, total_ns: int) -> None:
        self.fail.add(total_ns)

    def executed(self, batch_size: int, input_ns: int, infer_ns: int, output_ns: int) -> None:
        """One job (or batch queue) of `batch_size` requests ended."""
        self.execution_count += 1
        durations = self.batches.setdefault(batch_size, BatchDurations())
        durations.compute_input.add(input_ns)
        durations.compute_infer.add(infer_ns)
        durations.compute_output.add(output_ns)

    def as_dict(self, name: str, version: str) -> dict[str, Any]:
        """The statistics in the protocol's JSON form."""
        return {
            "name": name,
            "version": version,
            "last_inference": self.last_inference_ms,
            "inference_count": self.inference_count,
            "execution_count": self.execution_count,
            "inference_stats": {
                "success": self.success.as_dict(),
                "fail": self.fail.as_dict(),
                **{step: duration.as_dict() for step, duration in self.steps.items()},
            },
            "batch_stats": [
                {
                    "batch_size": size,
                    "compute_input": batch.compute_input.as_dict(),
                    "compute_infer": batch.compute_infer.as_dict(),
                    "compute_output": batch.compute_output.as_dict(),
                }
                for size, batch in sorted(self.batches.items())
            ],
        }
