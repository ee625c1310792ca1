"""Tensors and constants large enough to be faulted in at once: a graph
whose executable is mostly one constant, loaded from its container, run, and
read back as every kind of returned object."""

import numpy as np
import pytest

import libkiv
from kiv.standin import ProgramBuilder

SIZE = (5 << 20) + 123  # above the prefault threshold, not a page multiple


@pytest.fixture
def large_add(npu, tmp_path, make_model):
    rng = np.random.default_rng(7)
    constant = rng.integers(0, 100, SIZE, dtype=np.uint8)
    builder = ProgramBuilder()
    x = builder.input([SIZE], "uint8")
    c = builder.constant(constant)
    y = builder.output([SIZE], "uint8")
    builder.add(y, x, c)
    status, graph = npu.kiv_load_graph(make_model(tmp_path, builder))
    assert status == libkiv.KIV_STATUS_SUCCESS
    status, job = npu.kiv_create_job(graph)
    assert status == libkiv.KIV_STATUS_SUCCESS
    yield job, constant, rng.integers(0, 100, SIZE, dtype=np.uint8)
    npu.kiv_clean_job(job)
    npu.kiv_unload_graph(graph)


@pytest.mark.parametrize("kind", [bytes, bytearray, np.ndarray])
def test_large_constant_and_tensors_round_trip(npu, large_add, kind):
    job, constant, x = large_add
    data = x if kind is np.ndarray else kind(x.tobytes())
    assert npu.kiv_load_tensor(job, 0, data) == libkiv.KIV_STATUS_SUCCESS
    assert npu.kiv_job_infer_sync(job, -1) == libkiv.KIV_STATUS_SUCCESS

    status, out = npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
    assert status == libkiv.KIV_STATUS_SUCCESS
    assert type(out) is kind
    assert len(out) == SIZE
    expected = (x.astype(np.uint16) + constant).astype(np.uint8)
    assert np.array_equal(np.frombuffer(bytes(out), dtype=np.uint8), expected)

    # The input as the driver holds it comes back unchanged, tail included.
    status, echoed = npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_INPUT, 0)
    assert status == libkiv.KIV_STATUS_SUCCESS
    assert bytes(echoed) == x.tobytes()
