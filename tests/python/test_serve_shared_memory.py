"""kiv serve's system shared memory: regions registered by POSIX key, inputs
read from and outputs written into them over both transports, and every
offset and size checked against the region and the object's real size."""

import json
import mmap
import os

import _posixshmem
import grpc
import numpy as np
import pytest
from helpers_models import FC_K, fc_reference
from helpers_serve import Server, fc_model, output_arrays, rpc_error

from kiv_serve_protocol import inference_pb2 as pb

SIZE = 4096


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("models"))
    fc_model(directory)
    with Server([directory]) as running:
        yield running


@pytest.fixture(autouse=True)
def no_regions_left(server):
    yield
    server.stub().SystemSharedMemoryUnregister(pb.SystemSharedMemoryUnregisterRequest())


@pytest.fixture
def shm():
    """shm(size, mode) -> (key, writable memoryview) of a new POSIX shared memory object."""
    made = []

    def make(size=SIZE, mode=0o600):
        key = "/kiv-serve-test-%d-%d" % (os.getpid(), len(made))
        fd = _posixshmem.shm_open(key, os.O_CREAT | os.O_EXCL | os.O_RDWR, mode)
        os.ftruncate(fd, size)
        view = memoryview(mmap.mmap(fd, size))
        made.append((key, fd))
        return key, view, fd

    yield make
    for key, fd in made:
        os.close(fd)
        _posixshmem.shm_unlink(key)


def register(server, name, key, offset=0, byte_size=SIZE):
    server.stub().SystemSharedMemoryRegister(pb.SystemSharedMemoryRegisterRequest(
        name=name, key=key, offset=offset, byte_size=byte_size))


def shm_request(inputs=(("in", 0, 24),), outputs=(("out", 0, 12),), model="fc"):
    """An fc request whose input x and outputs (y, then sq) lie in shared memory: (region, offset, size)."""
    request = pb.ModelInferRequest(model_name=model)
    for (region, offset, size), tensor in zip(inputs, [request.inputs.add(name="x", datatype="FP32",
                                                                          shape=[1, FC_K])]):
        tensor.parameters["shared_memory_region"].string_param = region
        tensor.parameters["shared_memory_byte_size"].int64_param = size
        # Clients send offsets as uint64 or int64 parameters.
        setattr(tensor.parameters["shared_memory_offset"], "int64_param" if offset < 0 else "uint64_param", offset)
    for (region, offset, size), name in zip(outputs, ("y", "sq")):
        output = request.outputs.add(name=name)
        output.parameters["shared_memory_region"].string_param = region
        output.parameters["shared_memory_byte_size"].int64_param = size
        output.parameters["shared_memory_offset"].int64_param = offset
    return request


def test_register_status_and_unregister_on_both_transports(server, shm):
    key, _, _ = shm()
    register(server, "a", key, 16, 1024)
    assert server.http("POST", "/v2/systemsharedmemory/region/b/register",
                       json.dumps({"key": key, "offset": 0, "byte_size": SIZE}))[0] == 200
    status = server.stub().SystemSharedMemoryStatus(pb.SystemSharedMemoryStatusRequest())
    assert {name: (r.key, r.offset, r.byte_size) for name, r in status.regions.items()} == {
        "a": (key, 16, 1024), "b": (key, 0, SIZE)}
    assert json.loads(server.http("GET", "/v2/systemsharedmemory/region/a/status")[2]) == [
        {"name": "a", "key": key, "offset": 16, "byte_size": 1024}]
    assert server.http("GET", "/v2/systemsharedmemory/region/c/status")[0] == 404
    error = rpc_error(lambda: register(server, "a", key))
    assert "shared memory region 'a' is already registered" in error.details()
    assert server.http("POST", "/v2/systemsharedmemory/region/a/unregister")[0] == 200
    assert [r["name"] for r in json.loads(server.http("GET", "/v2/systemsharedmemory/status")[2])] == ["b"]
    server.stub().SystemSharedMemoryUnregister(pb.SystemSharedMemoryUnregisterRequest())
    assert json.loads(server.http("GET", "/v2/systemsharedmemory/status")[2]) == []


def test_inputs_and_outputs_in_shared_memory(server, shm):
    key_in, view_in, _ = shm()
    key_out, view_out, _ = shm()
    x = np.random.default_rng(0).standard_normal((1, FC_K)).astype(np.float32)
    np.frombuffer(view_in, np.float32, FC_K, 100 * 4)[:] = x.ravel()
    register(server, "in", key_in, 64, SIZE - 64)
    register(server, "out", key_out)
    y, sq = fc_reference(x)
    # gRPC: x at byte 400 of the object (336 of the region), y into "out" at 8, sq answered raw.
    request = shm_request(inputs=[("in", 336, 24)], outputs=[("out", 8, 12)])
    request.outputs.add(name="sq")
    response = server.stub().ModelInfer(request)
    assert [t.name for t in response.outputs] == ["y", "sq"] and response.raw_output_contents[0] == b""
    np.testing.assert_allclose(np.frombuffer(view_out, np.float32, 3, 8), y.ravel(), atol=1e-5)
    np.testing.assert_array_equal(output_arrays(response)["sq"].ravel()[:FC_K], sq.ravel())
    # HTTP: both outputs into "out", the region wins over binary_data.
    document = {"inputs": [{"name": "x", "datatype": "FP32", "shape": [1, FC_K], "parameters": {
        "shared_memory_region": "in", "shared_memory_byte_size": 24, "shared_memory_offset": 336}}],
        "outputs": [{"name": n, "parameters": {"shared_memory_region": "out", "shared_memory_byte_size": size,
                                               "shared_memory_offset": offset, "binary_data": False}}
                    for n, offset, size in (("y", 1000, 12), ("sq", 2000, 24))]}
    status, headers, body = server.http("POST", "/v2/models/fc/infer", json.dumps(document))
    answer = json.loads(body)
    assert status == 200 and "Inference-Header-Content-Length" not in headers
    assert [sorted(o) for o in answer["outputs"]] == [["datatype", "name", "shape"]] * 2
    np.testing.assert_allclose(np.frombuffer(view_out, np.float32, 3, 1000), y.ravel(), atol=1e-5)
    np.testing.assert_array_equal(np.frombuffer(view_out, np.float32, FC_K, 2000), sq.ravel())


REGISTRATIONS = [
    ("no slash", lambda key: key[1:], 0, 64, "is not a POSIX shared memory key"),
    ("a path", lambda key: "/../../etc/passwd", 0, 64, "is not a POSIX shared memory key"),
    ("dot dot", lambda key: "/..", 0, 64, "is not a POSIX shared memory key"),
    ("missing", lambda key: key + "-missing", 0, 64, "no such shared memory object"),
    ("beyond", lambda key: key, SIZE - 8, 16, "offset 4088 and byte_size 16 reach beyond the 4096 bytes"),
    ("empty", lambda key: key, 0, 0, "byte_size above 0"),
]


@pytest.mark.parametrize("case, key_of, offset, size, message", REGISTRATIONS, ids=[r[0] for r in REGISTRATIONS])
def test_registrations_outside_an_object_are_refused(server, shm, case, key_of, offset, size, message):
    key, _, _ = shm()
    error = rpc_error(lambda: register(server, "r", key_of(key), offset, size))
    assert error.code() == grpc.StatusCode.INVALID_ARGUMENT and message in error.details()
    assert server.stub().SystemSharedMemoryStatus(pb.SystemSharedMemoryStatusRequest()).regions == {}


USES = [
    ("input beyond the region", dict(inputs=[("in", SIZE - 16, 24)]), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': input 'x': shared memory region 'in' holds 4096 bytes; offset 4080 and byte size 24 reach"),
    ("negative offset", dict(inputs=[("in", -8, 24)]), grpc.StatusCode.INVALID_ARGUMENT, "offset -8"),
    ("input size", dict(inputs=[("in", 0, 20)]), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': input 'x' is 24 bytes; shared memory byte size 20"),
    ("output too small", dict(outputs=[("out", 0, 8)]), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': output 'y' is 12 bytes; shared memory byte size 8 is too small"),
    ("output beyond the region", dict(outputs=[("out", SIZE - 4, 12)]), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': output 'y': shared memory region 'out' holds 4096 bytes"),
    ("unknown region", dict(outputs=[("nowhere", 0, 12)]), grpc.StatusCode.NOT_FOUND,
     "model 'fc': output 'y': no shared memory region 'nowhere' is registered"),
]


@pytest.mark.parametrize("case, places, code, message", USES, ids=[u[0] for u in USES])
def test_requests_outside_a_region_are_refused(server, shm, case, places, code, message):
    key, _, _ = shm()
    register(server, "in", key)
    register(server, "out", key)
    error = rpc_error(lambda: server.stub().ModelInfer(shm_request(**places)))
    assert error.code() == code and message in error.details()


def test_an_object_shrunk_after_registration_is_an_error_not_a_crash(server, shm):
    key, _, fd = shm()
    register(server, "in", key)
    register(server, "out", key)
    os.ftruncate(fd, 16)
    for request in (shm_request(inputs=[("in", 0, 24)], outputs=[]), shm_request(inputs=[("in", 0, 24)])):
        error = rpc_error(lambda: server.stub().ModelInfer(request))
        assert "has shrunk to 16 bytes since it was registered" in error.details()
    assert server.stub().ServerLive(pb.ServerLiveRequest()).live
