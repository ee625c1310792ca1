"""Batch queues: several input sets queued on one graph and processed together."""

from __future__ import annotations

import time
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import libkiv

from .errors import check
from .inputs import InputSet, bind_inputs, input_args
from .job_options import JobOptions, blame_job_options, create_job_config, dump_config

if TYPE_CHECKING:
    from .tensor_info import TensorInfo

# libkiv waits for a queue holding the interpreter lock, so Ctrl-C is only
# seen between queues: the sets go in rounds of about this many seconds.
ROUND_SECONDS = 0.05
_MAX_GROWTH = 8

# One set of a queue: (its number, its input arrays, its output arrays).
_Set = tuple[int, list[npt.NDArray[Any]], list[npt.NDArray[Any]]]


def next_round_size(size: int, seconds: float, remaining: int) -> int:
    """Sets for the next round: as many as fit ROUND_SECONDS at the speed of
    the last round (`size` sets in `seconds`), growing at most _MAX_GROWTH
    times, at least 1."""
    per_set = seconds / size if size else 0.0
    fitting = int(ROUND_SECONDS / per_set) if per_set > 0 else size * _MAX_GROWTH
    return max(1, min(remaining, fitting, size * _MAX_GROWTH))


def _run_round(npu: libkiv.NPU, graph_id: int, rounds: Sequence[_Set], options: JobOptions) -> None:
    """One batch queue: create, configure its dumps, add every set of
    `rounds`, finish with the job options, clean."""
    status, queue_id = npu.kiv_create_batch_queue(graph_id)
    check(npu, "kiv_create_batch_queue", status)
    try:
        dump = dump_config(options)
        if dump is not None:
            status = npu.kiv_config_batch_dump(graph_id, queue_id, dump[0], dump[1])
            check(npu, "kiv_config_batch_dump", status, blame_job_options(options, "kiv_config_batch_dump", status))
        for number, inputs, outputs in rounds:
            check(npu, "kiv_add_batch", npu.kiv_add_batch(graph_id, queue_id, inputs, outputs), "input set %d" % number)
        status = npu.kiv_finish_batch(graph_id, queue_id, create_job_config(options))
        check(npu, "kiv_finish_batch", status, blame_job_options(options, "kiv_finish_batch", status))
    except BaseException:
        npu.kiv_clean_batch_queue(graph_id, queue_id)  # the first failure is the one to report
        raise
    check(npu, "kiv_clean_batch_queue", npu.kiv_clean_batch_queue(graph_id, queue_id))


def run_batch(
    npu: libkiv.NPU,
    graph_id: int,
    input_infos: Sequence[TensorInfo],
    output_infos: Sequence[TensorInfo],
    input_sets: Iterable[InputSet],
    options: JobOptions,
) -> list[list[npt.NDArray[Any]]]:
    """Queues every input set with fresh output arrays, in rounds; returns the outputs.

    Each round's queue is finished (its results written) and cleaned before
    the next starts, so an interrupt between rounds loses no completed work
    and leaves no queue behind.
    """
    prepared = [bind_inputs(input_infos, input_args(input_infos, item)) for item in input_sets]
    # Zeroed (calloc: fresh zero pages when large), so that a driver that
    # writes less than an output never hands out stale memory.
    results = [[np.zeros(info.shape, dtype=info.dtype) for info in output_infos] for _ in prepared]
    sets = [(number, inputs, outputs) for number, (inputs, outputs) in enumerate(zip(prepared, results))]
    start, size = 0, 1
    while start < len(sets):
        began = time.perf_counter()
        _run_round(npu, graph_id, sets[start : start + size], options)
        start += size
        size = next_round_size(size, time.perf_counter() - began, len(sets) - start)
    return results
