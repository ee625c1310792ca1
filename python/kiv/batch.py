"""Batch queues: several input sets queued on one graph and processed together."""

from collections.abc import Mapping

import numpy as np

from .errors import check
from .inputs import bind_inputs


def _as_args(input_infos, item):
    if isinstance(item, Mapping):
        return (item,)
    if len(input_infos) == 1 and not isinstance(item, (list, tuple)):
        return (item,)
    return tuple(item)


def run_batch(npu, graph_id, input_infos, output_infos, input_sets):
    """Queues every input set with fresh output arrays, finishes the queue, returns the outputs."""
    prepared = [bind_inputs(input_infos, _as_args(input_infos, item)) for item in input_sets]
    results = [[np.empty(info.shape, dtype=info.dtype) for info in output_infos] for _ in prepared]
    if not prepared:
        return results
    status, queue_id = npu.kiv_create_batch_queue(graph_id)
    check(npu, "kiv_create_batch_queue", status)
    try:
        for number, (inputs, outputs) in enumerate(zip(prepared, results)):
            check(npu, "kiv_add_batch", npu.kiv_add_batch(graph_id, queue_id, inputs, outputs), "input set %d" % number)
        check(npu, "kiv_finish_batch", npu.kiv_finish_batch(graph_id, queue_id))
    except BaseException:
        npu.kiv_clean_batch_queue(graph_id, queue_id)  # the first failure is the one to report
        raise
    check(npu, "kiv_clean_batch_queue", npu.kiv_clean_batch_queue(graph_id, queue_id))
    return results
