"""Tensor data between Python objects and jobs: kiv_load_tensor,
kiv_load_tensor_from_file, kiv_get_tensor and kiv_get_tensor_shape."""

import numpy as np
import pytest

import libkiv
from helpers_models import ADD_BYTES, ADD_IO, ADD_SHAPE, add_program, as_f32, create_job, load_graph
from kiv.standin import ProgramBuilder

UNSUPPORTED_LINE = "[PY UMD ERROR] input tensor only supports bytes,bytearray or numpy array\n"
OUTPUT = libkiv.KIV_TENSOR_TYPE_OUTPUT


@pytest.fixture
def add_model(tmp_path, make_model):
    return make_model(tmp_path, add_program(), io=ADD_IO)


@pytest.fixture
def graph(npu, add_model):
    graph_id = load_graph(npu, add_model)
    yield graph_id
    npu.kiv_unload_graph(graph_id)


@pytest.fixture
def job(npu, graph):
    job_id = create_job(npu, graph)
    yield job_id
    npu.kiv_clean_job(job_id)


def operands():
    lhs = np.linspace(-2.0, 3.5, 8, dtype=np.float32).reshape(ADD_SHAPE)
    rhs = np.arange(8, dtype=np.float32).reshape(ADD_SHAPE) * np.float32(0.25)
    return lhs, rhs


def run(npu, job_id, lhs, rhs):
    assert npu.kiv_load_tensor(job_id, 0, lhs) == libkiv.KIV_STATUS_SUCCESS
    assert npu.kiv_load_tensor(job_id, 1, rhs) == libkiv.KIV_STATUS_SUCCESS
    assert npu.kiv_job_infer_sync(job_id) == libkiv.KIV_STATUS_SUCCESS
    return npu.kiv_get_tensor(job_id, OUTPUT, 0)


# --- round trips and the type of the returned data ---------------------------------------------


@pytest.mark.parametrize(
    "convert, returned_type",
    [(lambda a: a.tobytes(), bytes), (lambda a: bytearray(a.tobytes()), bytearray), (lambda a: a, np.ndarray)],
    ids=["bytes", "bytearray", "numpy"],
)
def test_round_trip_per_input_kind(npu, job, convert, returned_type):
    lhs, rhs = operands()
    status, data = run(npu, job, convert(lhs), convert(rhs))
    assert status == libkiv.KIV_STATUS_SUCCESS
    assert type(data) is returned_type
    np.testing.assert_array_equal(as_f32(data), (lhs + rhs).ravel())


def test_numpy_output_is_flat_uint8_of_descriptor_size(npu, job):
    lhs, rhs = operands()
    # Any dtype in, raw bytes out.
    status, data = run(npu, job, lhs.astype(np.float32), rhs)
    assert status == 0
    assert data.dtype == np.uint8 and data.shape == (ADD_BYTES,)
    assert data.flags.writeable and data.flags.owndata
    # Also every other tensor type read afterwards comes back as numpy.
    status, same = npu.kiv_get_tensor(job, OUTPUT, 0)
    assert status == 0 and isinstance(same, np.ndarray)
    assert same is not data and np.array_equal(same, data)


def test_non_contiguous_numpy_input_goes_in_c_order(npu, job):
    lhs, rhs = operands()
    transposed = np.arange(8, dtype=np.float32).reshape(4, 2).T  # shape [2, 4], not C-contiguous
    assert not transposed.flags.c_contiguous
    strided = np.arange(16, dtype=np.float32)[::2].reshape(ADD_SHAPE)
    assert not strided.flags.c_contiguous
    status, data = run(npu, job, transposed, strided)
    assert status == 0
    np.testing.assert_array_equal(as_f32(data), (np.ascontiguousarray(transposed) + strided).ravel())


def test_numpy_subclass_and_byte_subclasses_are_accepted(npu, job):
    class Bytes(bytes):
        pass

    class Matrix(np.ndarray):
        pass

    lhs, rhs = operands()
    status, data = run(npu, job, Bytes(lhs.tobytes()), rhs.view(Matrix))
    assert status == 0 and isinstance(data, np.ndarray)
    np.testing.assert_array_equal(as_f32(data), (lhs + rhs).ravel())


def test_returned_kind_follows_the_last_load(npu, job):
    lhs, rhs = operands()
    fresh = npu.kiv_get_tensor(job, OUTPUT, 0)
    assert fresh[0] == 0 and type(fresh[1]) is bytes
    assert npu.kiv_load_tensor(job, 0, lhs) == 0
    assert isinstance(npu.kiv_get_tensor(job, OUTPUT, 0)[1], np.ndarray)
    assert npu.kiv_load_tensor(job, 0, bytearray(lhs.tobytes())) == 0
    assert type(npu.kiv_get_tensor(job, OUTPUT, 0)[1]) is bytearray
    assert npu.kiv_load_tensor(job, 0, lhs.tobytes()) == 0
    assert type(npu.kiv_get_tensor(job, OUTPUT, 0)[1]) is bytes


@pytest.mark.parametrize("bad", [5, "text", None, memoryview(b"x" * ADD_BYTES), [1.0] * 8])
def test_unsupported_objects_are_refused_and_keep_the_kind(npu, job, capfd, bad):
    assert npu.kiv_load_tensor(job, 0, bytearray(ADD_BYTES)) == 0
    capfd.readouterr()
    assert npu.kiv_load_tensor(job, 0, bad) == libkiv.KIV_STATUS_ERROR_READ_FILE_FAIL
    assert capfd.readouterr().err == UNSUPPORTED_LINE
    assert type(npu.kiv_get_tensor(job, OUTPUT, 0)[1]) is bytearray


def test_kind_is_set_before_the_descriptor_check(npu, job, capfd):
    status = npu.kiv_load_tensor(job + 1000, 0, np.zeros(8, np.float32))
    assert status != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_get_tensor_descriptor: ")
    assert isinstance(npu.kiv_get_tensor(job, OUTPUT, 0)[1], np.ndarray)


# --- length checks -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make", [bytes, bytearray, lambda n: np.zeros(n, np.uint8)], ids=["bytes", "bytearray", "numpy"]
)
def test_short_input_is_refused_before_the_runtime(npu, job, standin, capfd, make):
    standin.aipu_standin_reset_calls()
    assert npu.kiv_load_tensor(job, 1, make(ADD_BYTES - 1)) == libkiv.KIV_STATUS_ERROR_INVALID_SIZE
    assert capfd.readouterr().err == "[PY UMD ERROR] kiv_load_tensor: input is %d bytes, tensor 1 needs %d\n" % (
        ADD_BYTES - 1,
        ADD_BYTES,
    )
    assert standin.last_call("aipu_load_tensor") is None


def test_longer_input_uses_its_first_bytes(npu, job):
    lhs, rhs = operands()
    padded = lhs.tobytes() + b"\xff" * 12
    status, data = run(npu, job, padded, rhs.tobytes())
    assert status == 0
    np.testing.assert_array_equal(as_f32(data), (lhs + rhs).ravel())


# --- loading from a file -----------------------------------------------------------------------


def test_load_from_file_round_trip_and_kind_unchanged(npu, job, tmp_path):
    lhs, rhs = operands()
    exact = tmp_path / "lhs.bin"
    exact.write_bytes(lhs.tobytes())
    longer = tmp_path / "rhs.bin"
    longer.write_bytes(rhs.tobytes() + b"\x7f" * 100)
    assert npu.kiv_load_tensor(job, 0, bytearray(ADD_BYTES)) == 0  # kind: bytearray
    assert npu.kiv_load_tensor_from_file(job, 0, str(exact)) == 0
    assert npu.kiv_load_tensor_from_file(job, 1, str(longer)) == 0
    assert npu.kiv_job_infer_sync(job) == 0
    status, data = npu.kiv_get_tensor(job, OUTPUT, 0)
    assert status == 0 and type(data) is bytearray
    np.testing.assert_array_equal(as_f32(data), (lhs + rhs).ravel())


def test_load_from_file_failures(npu, job, tmp_path, standin, capfd):
    short = tmp_path / "short.bin"
    short.write_bytes(b"\x01" * (ADD_BYTES - 3))
    standin.aipu_standin_reset_calls()
    assert npu.kiv_load_tensor_from_file(job, 0, str(short)) == libkiv.KIV_STATUS_ERROR_INVALID_SIZE
    line = capfd.readouterr().err
    assert line.startswith("[PY UMD ERROR] ") and line.endswith("\n") and line.count("\n") == 1
    assert str(short) in line and str(ADD_BYTES - 3) in line and str(ADD_BYTES) in line
    assert standin.last_call("aipu_load_tensor") is None

    missing = tmp_path / "missing.bin"
    assert npu.kiv_load_tensor_from_file(job, 0, str(missing)) == libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL
    assert capfd.readouterr().err == "[PY UMD ERROR] open file failed: %s! \n" % missing

    assert npu.kiv_load_tensor_from_file(job, 7, str(short)) != 0
    assert capfd.readouterr().err.startswith("[PY UMD ERROR] kiv_get_tensor_descriptor: ")


# --- reading back ------------------------------------------------------------------------------


KINDS = {"bytes": bytes, "bytearray": bytearray, "numpy": lambda n: np.zeros(n, np.uint8)}


@pytest.mark.parametrize("size", [64, 6 << 20], ids=["small", "large"])
@pytest.mark.parametrize("kind", KINDS)
def test_result_is_zero_filled_where_the_driver_wrote_nothing(npu, standin, tmp_path, make_model, kind, size):
    """A driver may write fewer bytes than the descriptor's size; the rest of
    the returned object must be zeros, never earlier contents of the heap."""
    b = ProgramBuilder()
    b.copy(b.output([size], "uint8"), b.input([size], "uint8"))
    graph_id = load_graph(npu, make_model(tmp_path, b))
    job_id = create_job(npu, graph_id)
    try:
        assert npu.kiv_load_tensor(job_id, 0, KINDS[kind](size)) == 0  # chooses the returned kind
        assert npu.kiv_job_infer_sync(job_id) == 0
        standin.aipu_standin_set_tensor_write_limit(size // 2)
        for _ in range(3):
            # Memory of the returned object's size, full of a pattern and freed
            # just before: what an unfilled result would show.
            garbage = [b"\xa5" * size for _ in range(4)]
            del garbage
            status, data = npu.kiv_get_tensor(job_id, OUTPUT, 0)
            assert status == 0 and len(data) == size
            assert not np.frombuffer(data, np.uint8).any(), "the result carries bytes the driver never wrote"
    finally:
        npu.kiv_clean_job(job_id)
        npu.kiv_unload_graph(graph_id)


def test_get_tensor_failure_returns_none(npu, job, capfd):
    result = npu.kiv_get_tensor(job + 1000, OUTPUT, 0)
    assert len(result) == 2 and result[0] != 0 and result[1] is None
    result = npu.kiv_get_tensor(job, OUTPUT, 5)
    assert len(result) == 2 and result[0] != 0 and result[1] is None
    err = capfd.readouterr().err.splitlines()
    assert len(err) == 2 and all(line.startswith("[PY UMD ERROR] kiv_get_tensor_descriptor: ") for line in err)


def test_get_tensor_descriptor_sizes_match_returned_length(npu, job):
    desc = npu.kiv_get_tensor_descriptor(job, libkiv.KIV_TENSOR_TYPE_INPUT, 0)
    assert desc.size == ADD_BYTES
    status, data = npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_INPUT, 1)
    assert status == 0 and len(data) == ADD_BYTES


# --- tensor shapes from a container ------------------------------------------------------------


def test_get_tensor_shape_without_context(add_model):
    npu = libkiv.NPU()
    assert npu.kiv_get_tensor_shape(str(add_model), libkiv.KIV_TENSOR_TYPE_INPUT, 1) == (0, "rhs", ADD_SHAPE)
    status, name, shape = npu.kiv_get_tensor_shape(str(add_model), OUTPUT, 0)
    assert (status, name, shape) == (libkiv.KIV_STATUS_SUCCESS, "sum", ADD_SHAPE)
    assert type(name) is str and type(shape) is list


def test_get_tensor_shape_failures(add_model, tmp_path, capfd):
    npu = libkiv.NPU()
    path = str(add_model)
    for tensor_type in (libkiv.KIV_TENSOR_TYPE_INTER_DUMP, libkiv.KIV_TENSOR_TYPE_PRINTF):
        assert npu.kiv_get_tensor_shape(path, tensor_type, 0) == (libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_TYPE, "", [])
    assert npu.kiv_get_tensor_shape(path, libkiv.KIV_TENSOR_TYPE_INPUT, 2) == (
        libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID, "", [])
    assert npu.kiv_get_tensor_shape(path, OUTPUT, 1) == (libkiv.KIV_STATUS_ERROR_INVALID_TENSOR_ID, "", [])
    status, name, shape = npu.kiv_get_tensor_shape(str(tmp_path / "nothing.zor"), OUTPUT, 0)
    assert status != 0 and (name, shape) == ("", [])
    junk = tmp_path / "junk.zor"
    junk.write_bytes(b"not a container at all")
    status, name, shape = npu.kiv_get_tensor_shape(str(junk), OUTPUT, 0)
    assert status != 0 and (name, shape) == ("", [])
    assert "[PY UMD ERROR]" not in capfd.readouterr().err
