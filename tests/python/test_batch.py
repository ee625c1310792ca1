"""Batch queues from Python: queue creation, dump options, adding buffers,
finishing and cleaning, and the lifetime of the buffers handed over."""

import gc
import weakref

import numpy as np
import pytest

import libkiv
from helpers_models import FC_K, FC_M, as_f32, create_job, fc_program, fc_reference, load_graph

BYTES_OUTPUT_LINE = (
    "[PY UMD ERROR] kiv_add_batch cannot accept `bytes` object for output, provide bytearray or numpy array\n"
)
ONLY_ACCEPTS_LINE = "[PY UMD ERROR] kiv_add_batch only accepts bytes, bytearray or numpy array\n"
NULL_PTR = libkiv.KIV_STATUS_ERROR_NULL_PTR


@pytest.fixture
def graph(npu, tmp_path, make_model):
    graph_id = load_graph(npu, make_model(tmp_path, fc_program()))
    yield graph_id
    npu.kiv_unload_graph(graph_id)


@pytest.fixture
def queue(npu, graph):
    status, queue_id = npu.kiv_create_batch_queue(graph)
    assert status == 0
    yield queue_id
    npu.kiv_clean_batch_queue(graph, queue_id)


def sample(seed):
    return (np.arange(FC_K, dtype=np.float32) - 2.5) * np.float32(seed + 1) / np.float32(3)


def fresh_outputs():
    return [np.zeros(FC_M, np.float32), np.zeros(FC_K, np.float32)]


def check_outputs(x, outputs):
    y, sq = fc_reference(x)
    np.testing.assert_allclose(as_f32(outputs[0]), y.ravel(), rtol=1e-6)
    np.testing.assert_array_equal(as_f32(outputs[1]), sq.ravel())


# --- end to end --------------------------------------------------------------------------------


def test_batches_of_every_buffer_kind(npu, graph, queue):
    xs = [sample(i) for i in range(4)]
    transposed = np.ascontiguousarray(np.stack([xs[3], xs[3]]).T).T[0]  # non-contiguous view of xs[3]
    assert not transposed.flags.c_contiguous and np.array_equal(transposed, xs[3])
    inputs = [xs[0].tobytes(), bytearray(xs[1].tobytes()), xs[2], transposed]
    outputs = [
        [bytearray(FC_M * 4), bytearray(FC_K * 4)],
        fresh_outputs(),
        [np.zeros((1, FC_M), np.float32), bytearray(FC_K * 4 + 8)],  # longer buffers are fine
        [np.zeros(FC_M * 4, np.uint8), np.zeros(FC_K, np.float32)],
    ]
    for data, outs in zip(inputs, outputs):
        assert npu.kiv_add_batch(graph, queue, [data], outs) == libkiv.KIV_STATUS_SUCCESS
    assert npu.kiv_finish_batch(graph, queue) == libkiv.KIV_STATUS_SUCCESS
    for x, outs in zip(xs, outputs):
        check_outputs(x, [bytes(outs[0]), bytes(outs[1])[: FC_K * 4]])


def test_buffers_live_until_the_queue_is_finished(npu, graph, queue):
    xs = [sample(7), sample(8)]
    kept = xs[0].copy()  # travels as itself
    strided = np.stack([xs[1], xs[1]]).T[:, 0]  # travels as a contiguous copy made by the method
    outputs = [fresh_outputs(), fresh_outputs()]
    refs = [weakref.ref(kept)] + [weakref.ref(o) for outs in outputs for o in outs]
    assert npu.kiv_add_batch(graph, queue, [kept], outputs[0]) == 0
    assert npu.kiv_add_batch(graph, queue, [strided], outputs[1]) == 0
    del kept, strided, outputs
    gc.collect()
    junk = [np.full(FC_K, 99.0, np.float32) for _ in range(1000)]  # reuse of freed memory would show
    assert all(r() is not None for r in refs)  # held by the NPU object alone
    results = [r() for r in refs[1:]]
    assert npu.kiv_finish_batch(graph, queue) == 0
    check_outputs(xs[0], results[:2])
    check_outputs(xs[1], results[2:])
    del results, junk
    gc.collect()
    assert all(r() is None for r in refs)


RELEASES = {
    "clean": lambda npu, graph, queue_id: npu.kiv_clean_batch_queue(graph, queue_id),
    "unload": lambda npu, graph, queue_id: npu.kiv_unload_graph(graph),
    "deinit": lambda npu, graph, queue_id: npu.kiv_deinit_context(),
}


@pytest.mark.parametrize("release", RELEASES)
def test_buffers_are_released_when_the_queue_can_no_longer_use_them(npu, graph, release):
    status, queue_id = npu.kiv_create_batch_queue(graph)
    assert status == 0
    outputs = fresh_outputs()
    ref = weakref.ref(outputs[0])
    assert npu.kiv_add_batch(graph, queue_id, [sample(1)], outputs) == 0
    del outputs
    gc.collect()
    assert ref() is not None
    assert RELEASES[release](npu, graph, queue_id) == 0
    gc.collect()
    assert ref() is None


def test_bytearray_cannot_be_resized_while_queued(npu, graph, queue):
    outputs = [bytearray(FC_M * 4), bytearray(FC_K * 4)]
    assert npu.kiv_add_batch(graph, queue, [sample(2)], outputs) == 0
    with pytest.raises(BufferError):
        outputs[0].extend(b"more")
    assert npu.kiv_finish_batch(graph, queue) == 0
    check_outputs(sample(2), outputs)
    outputs[0].extend(b"more")  # released with the queue


def test_add_batch_leaves_the_returned_kind(npu, graph, queue):
    job = create_job(npu, graph)
    try:
        assert npu.kiv_load_tensor(job, 0, sample(0)) == 0
        assert npu.kiv_add_batch(graph, queue, [sample(0).tobytes()], [bytearray(FC_M * 4), bytearray(FC_K * 4)]) == 0
        status, data = npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_INPUT, 0)
        assert status == 0 and isinstance(data, np.ndarray)
    finally:
        npu.kiv_clean_job(job)


# --- refusals ----------------------------------------------------------------------------------


def test_bytes_output_is_refused(npu, graph, queue, standin, capfd):
    standin.aipu_standin_reset_calls()
    status = npu.kiv_add_batch(graph, queue, [sample(0).tobytes()], [bytes(FC_M * 4), bytearray(FC_K * 4)])
    assert status == NULL_PTR
    assert capfd.readouterr().err == BYTES_OUTPUT_LINE
    assert standin.last_call("aipu_add_batch") is None


def test_unsupported_objects_are_refused_in_order(npu, graph, queue, standin, capfd):
    standin.aipu_standin_reset_calls()
    assert npu.kiv_add_batch(graph, queue, [5], fresh_outputs()) == NULL_PTR
    assert capfd.readouterr().err == ONLY_ACCEPTS_LINE
    # A failure at the second input stops before the outputs are looked at.
    assert npu.kiv_add_batch(graph, queue, [sample(0), "text"], [b"bytes"]) == NULL_PTR
    assert capfd.readouterr().err == ONLY_ACCEPTS_LINE
    assert npu.kiv_add_batch(graph, queue, [sample(0)], [bytearray(12), memoryview(bytearray(24))]) == NULL_PTR
    assert capfd.readouterr().err == ONLY_ACCEPTS_LINE
    assert standin.last_call("aipu_add_batch") is None
    with pytest.raises(TypeError):
        npu.kiv_add_batch(graph, queue, 5, [])


def test_read_only_and_non_contiguous_outputs_are_refused(npu, graph, queue, standin, capfd):
    standin.aipu_standin_reset_calls()
    frozen = np.zeros(FC_K, np.float32)
    frozen.flags.writeable = False
    assert npu.kiv_add_batch(graph, queue, [sample(0)], [np.zeros(FC_M, np.float32), frozen]) == NULL_PTR
    err = capfd.readouterr().err
    assert err.startswith("[PY UMD ERROR] kiv_add_batch output 1 ") and "read-only" in err
    strided = np.zeros(2 * FC_M, np.float32)[::2]
    assert npu.kiv_add_batch(graph, queue, [sample(0)], [strided, np.zeros(FC_K, np.float32)]) == NULL_PTR
    err = capfd.readouterr().err
    assert err.startswith("[PY UMD ERROR] kiv_add_batch output 0 ") and "contiguous" in err
    assert standin.last_call("aipu_add_batch") is None


def test_counts_and_sizes_are_checked(npu, graph, queue, standin, capfd):
    standin.aipu_standin_reset_calls()
    x = sample(0)
    cases = [
        ([], fresh_outputs(), libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_CNT),
        ([x, x], fresh_outputs(), libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_CNT),
        ([x], fresh_outputs()[:1], libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_CNT),
        ([x], [], libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_CNT),
        ([x[:-1]], fresh_outputs(), libkiv.KIV_STATUS_ERROR_INVALID_SIZE),
        ([x.tobytes()[:-1]], fresh_outputs(), libkiv.KIV_STATUS_ERROR_INVALID_SIZE),
        ([x], [bytearray(FC_M * 4), bytearray(FC_K * 4 - 1)], libkiv.KIV_STATUS_ERROR_INVALID_SIZE),
        ([x], [np.zeros(FC_M - 1, np.float32), np.zeros(FC_K, np.float32)], libkiv.KIV_STATUS_ERROR_INVALID_SIZE),
    ]
    for inputs, outputs, expected in cases:
        assert npu.kiv_add_batch(graph, queue, inputs, outputs) == expected
        err = capfd.readouterr().err
        assert err.startswith("[PY UMD ERROR] kiv_add_batch: ") and err.count("\n") == 1
    assert standin.last_call("aipu_add_batch") is None


def test_runtime_failure_prints_the_line_and_keeps_nothing(npu, graph, capfd):
    outputs = fresh_outputs()
    ref = weakref.ref(outputs[0])
    status = npu.kiv_add_batch(graph, 4242, [sample(0)], outputs)
    assert status != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_add_batch: ")
    del outputs
    gc.collect()
    assert ref() is None


# --- queue creation, dump options, finish ------------------------------------------------------


def test_queue_lifecycle_failures(npu, graph, capfd):
    status, queue_id = npu.kiv_create_batch_queue(graph + 777)
    assert status != 0 and queue_id == 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_create_batch_queue: ")
    assert npu.kiv_clean_batch_queue(graph, 9999) != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_clean_batch_queue: ")
    assert npu.kiv_finish_batch(graph, 9999) != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_finish_batch: ")
    dump = libkiv.job_config_dump_t()
    assert npu.kiv_config_batch_dump(graph, 9999, libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT, dump) != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_config_batch_dump: ")


def test_config_batch_dump_passes_dir_and_prefix_only(npu, graph, queue, standin, tmp_path):
    standin.aipu_standin_reset_calls()
    with pytest.raises(RuntimeError):
        npu.kiv_config_batch_dump(graph, queue, libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT)
    with pytest.raises(RuntimeError, match="kiv_job_config_dump_wrapper_t"):
        npu.kiv_config_batch_dump(graph, queue, 16, libkiv.job_config_simulation_t())
    assert standin.last_call("aipu_config_batch_dump") is None

    cfg = libkiv.job_config_dump_t()
    cfg.prefix = "pre"
    cfg.output_prefix = "out"
    cfg.misc_prefix = "misc"
    assert npu.kiv_config_batch_dump(graph, queue, 0, cfg) == 0
    assert dump_texts(standin.last_call("aipu_config_batch_dump")) == [None, "pre", None, None]
    cfg.dump_dir = str(tmp_path)
    types = int(libkiv.KIV_JOB_CONFIG_TYPE_DUMP_INPUT) | int(libkiv.KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT)
    assert npu.kiv_config_batch_dump(graph, queue, types, dump_cfg=cfg) == 0
    call = standin.last_call("aipu_config_batch_dump")
    assert call["types"] == types
    assert dump_texts(call) == [str(tmp_path), "pre", None, None]


def test_finish_batch_configuration(npu, graph, standin):
    with pytest.raises(RuntimeError):
        npu.kiv_finish_batch(graph, 0, libkiv.kiv_load_graph_cfg_t())
    cfg = libkiv.kiv_create_job_cfg_t()
    cfg.partition_id = 17  # only the low 4 bits travel
    cfg.dbg_dispatch = 1
    cfg.dbg_core_id = 5
    cfg.qos_level = 2
    cfg.fm_mem_region = 3
    cfg.fm_idxes = [4, -1, 9]
    cfg.dynshape = [[1, FC_K]]
    for config in (None, cfg):
        status, queue_id = npu.kiv_create_batch_queue(graph)
        assert status == 0
        outputs = fresh_outputs()
        assert npu.kiv_add_batch(graph, queue_id, [sample(3)], outputs) == 0
        standin.aipu_standin_reset_calls()
        status = npu.kiv_finish_batch(graph, queue_id, config)
        call = standin.last_call("aipu_finish_batch")
        if config is None:
            assert status == 0
            check_outputs(sample(3), outputs)
            assert job_cfg_raw(call) is None
        else:
            # The record reaches the driver whole; the device has no partition 1.
            assert status == libkiv.KIV_STATUS_ERROR_INVALID_PARTITION_ID
            raw = job_cfg_raw(call)
            assert len(raw) == 56
            word = 1 | (1 << 4) | (5 << 5) | (2 << 8) | (3 << 12)
            assert raw[0:2] == word.to_bytes(2, "little") and raw[2:16] == bytes(14)
            assert int.from_bytes(raw[16:24], "little") != 0
            assert int.from_bytes(raw[24:28], "little") == 3
            assert raw[32:40] == bytes(8)  # no dynamic shapes from a batch finish
            assert fm_idxes(call) == [4, -1, 9]
        assert npu.kiv_clean_batch_queue(graph, queue_id) == 0


# The stand-in's description of the last call; accessors kept in one place.
def dump_texts(call):
    return [call[k] for k in ("dump_dir", "prefix", "output_prefix", "misc_prefix")]


def job_cfg_raw(call):
    cfg = call.get("config")
    return None if cfg is None else bytes.fromhex(cfg["raw"])


def fm_idxes(call):
    return call["config"]["fm_idxes"]
