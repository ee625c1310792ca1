"""kiv serve over gRPC, with the project's own stubs: health, metadata,
inference (raw and typed contents, every datatype), requested outputs,
request errors, the bidirectional stream, the model repository and
statistics."""

import os
import shutil

import grpc
import numpy as np
import pytest
from helpers_models import FC_K, fc_reference
from helpers_serve import (
    QUANT_SCALE,
    QUANT_ZERO_POINT,
    TYPES,
    TYPES_SHAPE,
    Server,
    fc_model,
    numpy_type,
    output_arrays,
    raw_request,
    rpc_error,
    types_model,
    wait_model,
)

from kiv_serve_protocol import inference_pb2 as pb


@pytest.fixture(scope="module")
def repository(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("models"))
    fc_model(directory)
    types_model(directory)
    return directory


@pytest.fixture(scope="module")
def server(repository):
    with Server([repository]) as running:
        yield running


def fc_input(seed):
    return np.random.default_rng(seed).standard_normal((1, FC_K)).astype(np.float32)


def test_health_and_metadata(server):
    stub = server.stub()
    assert stub.ServerLive(pb.ServerLiveRequest()).live
    assert stub.ServerReady(pb.ServerReadyRequest()).ready
    assert stub.ModelReady(pb.ModelReadyRequest(name="fc")).ready
    assert stub.ModelReady(pb.ModelReadyRequest(name="fc", version="1")).ready
    assert not stub.ModelReady(pb.ModelReadyRequest(name="fc", version="2")).ready
    assert not stub.ModelReady(pb.ModelReadyRequest(name="nonesuch")).ready
    metadata = stub.ServerMetadata(pb.ServerMetadataRequest())
    assert metadata.name == "kiv"
    assert set(metadata.extensions) >= {"binary_tensor_data", "system_shared_memory", "model_repository",
                                        "statistics"}
    model = stub.ModelMetadata(pb.ModelMetadataRequest(name="types"))
    assert (model.name, list(model.versions), model.platform) == ("types", ["1"], "kiv_zor")
    assert [(t.name, t.datatype, list(t.shape)) for t in model.inputs] == [
        ("t%d" % n, datatype, TYPES_SHAPE) for n, datatype in enumerate(TYPES)]
    quantised = model.inputs[TYPES.index("INT8")].parameters
    assert quantised["scale"].double_param == QUANT_SCALE
    assert quantised["zero_point"].int64_param == QUANT_ZERO_POINT
    assert not model.inputs[TYPES.index("UINT8")].parameters
    not_served = server._channel.unary_unary("/inference.GRPCInferenceService/CudaSharedMemoryStatus")
    assert rpc_error(lambda: not_served(b"")).code() == grpc.StatusCode.UNIMPLEMENTED


def test_raw_inference_echoes_the_id_and_gives_the_outputs_asked_for(server):
    stub = server.stub()
    x = fc_input(1)
    y, sq = fc_reference(x)
    response = stub.ModelInfer(raw_request("fc", [x], request_id="req-7"))
    assert (response.model_name, response.model_version, response.id) == ("fc", "1", "req-7")
    outputs = output_arrays(response)
    np.testing.assert_allclose(outputs["y"], y, atol=1e-5)
    np.testing.assert_array_equal(outputs["sq"], sq)
    response = stub.ModelInfer(raw_request("fc", [x], outputs=["sq"]))
    assert [t.name for t in response.outputs] == ["sq"]
    np.testing.assert_array_equal(output_arrays(response)["sq"], sq)


def random_array(rng, datatype):
    dtype = numpy_type(datatype)
    if dtype.kind == "f":
        return rng.standard_normal(TYPES_SHAPE).astype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, TYPES_SHAPE).astype(bool)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, TYPES_SHAPE, dtype=dtype, endpoint=True)


# The InferTensorContents field of each datatype.
CONTENTS = {"BOOL": "bool", "INT64": "int64", "UINT64": "uint64", "FP32": "fp32", "FP64": "fp64",
            "UINT8": "uint", "UINT16": "uint", "UINT32": "uint", "INT8": "int", "INT16": "int", "INT32": "int"}


@pytest.mark.parametrize("typed", [False, True], ids=["raw", "typed contents"])
def test_every_datatype_travels_both_ways(server, typed):
    """Raw contents, or each datatype's typed contents (FP16 has none: it
    goes raw, the one entry of raw_input_contents)."""
    rng = np.random.default_rng(3)
    arrays = [random_array(rng, datatype) for datatype in TYPES]
    request = pb.ModelInferRequest(model_name="types")
    for n, (datatype, array) in enumerate(zip(TYPES, arrays)):
        tensor = request.inputs.add(name="t%d" % n, datatype=datatype, shape=TYPES_SHAPE)
        if typed and datatype in CONTENTS:
            getattr(tensor.contents, CONTENTS[datatype] + "_contents").extend(array.ravel().tolist())
        else:
            request.raw_input_contents.append(array.tobytes())
    outputs = output_arrays(server.stub().ModelInfer(request))
    for n, datatype in enumerate(TYPES):
        assert outputs["o%d" % n].dtype == numpy_type(datatype)
        np.testing.assert_array_equal(outputs["o%d" % n], arrays[n])


@pytest.mark.parametrize("datatype, values, message", [
    ("INT8", [300] + [0] * 5, "300 is out of the range of INT8"),
    ("UINT16", [70000] + [0] * 5, "70000 is out of the range of UINT16"),
    ("INT32", [1, 2, 3], "shape [2, 3] holds 6 elements; the request gives 3"),
    ("FP16", [0.5] * 6, "FP16 data travels only in raw_input_contents"),
])
def test_typed_contents_must_fit_their_datatype(server, datatype, values, message):
    request = pb.ModelInferRequest(model_name="types")
    for n, name in enumerate(TYPES):
        tensor = request.inputs.add(name="t%d" % n, datatype=name, shape=TYPES_SHAPE)
        if name == datatype:
            getattr(tensor.contents, CONTENTS.get(name, "fp32") + "_contents").extend(values)
        else:
            request.raw_input_contents.append(np.zeros(TYPES_SHAPE, numpy_type(name)).tobytes())
    error = rpc_error(lambda: server.stub().ModelInfer(request))
    assert error.code() == grpc.StatusCode.INVALID_ARGUMENT
    assert error.details() == "model 'types': input 't%d': %s" % (TYPES.index(datatype), message)


ERRORS = [
    ("unknown model", dict(model="nonesuch"), grpc.StatusCode.NOT_FOUND,
     "model 'nonesuch' is not loaded; the models loaded are ['fc', 'types']"),
    ("wrong datatype", dict(datatypes=["INT32"]), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': input 'x' is FP32; the request gives INT32"),
    ("wrong shape", dict(array=np.zeros((2, FC_K), np.float32)), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': input 'x' has shape [1, 6]; the request gives shape [2, 6]"),
    ("short data", dict(raw=b"\0" * 8), grpc.StatusCode.INVALID_ARGUMENT,
     "model 'fc': input 'x' is 24 bytes (FP32 of shape [1, 6]); the request gives 8 bytes"),
    ("unknown input", dict(names=["z"]), grpc.StatusCode.INVALID_ARGUMENT, "model 'fc' has no input 'z'"),
    ("unknown output", dict(outputs=["w"]), grpc.StatusCode.INVALID_ARGUMENT, "model 'fc' has no output 'w'"),
    ("extra raw contents", dict(raw_extra=True), grpc.StatusCode.INVALID_ARGUMENT, "1 raw_input_contents more"),
    ("no data", dict(no_data=True), grpc.StatusCode.INVALID_ARGUMENT, "model 'fc': input 'x' has no data"),
    ("unknown version", dict(version="3"), grpc.StatusCode.NOT_FOUND, "model 'fc' has no version '3'"),
]


@pytest.mark.parametrize("case, change, code, message", ERRORS, ids=[e[0] for e in ERRORS])
def test_request_errors_name_model_tensor_and_problem(server, case, change, code, message):
    request = raw_request(change.get("model", "fc"), [change.get("array", fc_input(0))], names=change.get("names"),
                          datatypes=change.get("datatypes"), outputs=change.get("outputs", ()))
    request.model_version = change.get("version", "")
    if "raw" in change:
        request.raw_input_contents[0] = change["raw"]
    if change.get("raw_extra"):
        request.raw_input_contents.append(b"\0" * 24)
    if change.get("no_data"):
        del request.raw_input_contents[:]
    error = rpc_error(lambda: server.stub().ModelInfer(request))
    assert error.code() == code
    assert message in error.details()
    assert server.stub().ModelInfer(raw_request("fc", [fc_input(0)])).outputs  # and the server goes on


def test_the_stream_answers_every_request_in_band(server):
    inputs = [fc_input(n) for n in range(50)]

    def requests():
        for n, x in enumerate(inputs):
            yield raw_request("fc", [x if n % 7 else x[:, :3]], request_id="s%d" % n)

    answers = {}
    for answer in server.stub().ModelStreamInfer(requests(), timeout=60):
        answers[answer.infer_response.id] = answer
    assert sorted(answers) == sorted("s%d" % n for n in range(50))
    for n, x in enumerate(inputs):
        answer = answers["s%d" % n]
        if n % 7:
            assert answer.error_message == ""
            np.testing.assert_allclose(output_arrays(answer.infer_response)["y"], fc_reference(x)[0], atol=1e-5)
        else:
            assert answer.error_message == "model 'fc': input 'x' has shape [1, 6]; the request gives shape [1, 3]"


def test_the_repository_loads_and_unloads_by_name(repository, tmp_path):
    shutil.copytree(repository, tmp_path, dirs_exist_ok=True)
    os.remove(tmp_path / "types.zor")
    with Server([str(tmp_path)]) as server:
        stub = server.stub()
        index = stub.RepositoryIndex(pb.RepositoryIndexRequest())
        assert [(m.name, m.state) for m in index.models] == [("fc", "READY")]
        wait_model(str(tmp_path), "late", 0)  # added while serving
        index = stub.RepositoryIndex(pb.RepositoryIndexRequest())
        assert [(m.name, m.state, m.reason) for m in index.models] == [("fc", "READY", ""),
                                                                       ("late", "UNAVAILABLE", "not loaded")]
        assert [m.name for m in stub.RepositoryIndex(pb.RepositoryIndexRequest(ready=True)).models] == ["fc"]
        stub.RepositoryModelLoad(pb.RepositoryModelLoadRequest(model_name="late"))
        x = np.ones((1, 4), np.float32)
        np.testing.assert_array_equal(output_arrays(stub.ModelInfer(raw_request("late", [x])))["out"], 2 * x)
        stub.RepositoryModelUnload(pb.RepositoryModelUnloadRequest(model_name="fc"))
        assert not stub.ModelReady(pb.ModelReadyRequest(name="fc")).ready
        error = rpc_error(lambda: stub.ModelInfer(raw_request("fc", [fc_input(0)])))
        assert (error.code(), error.details()) == (grpc.StatusCode.NOT_FOUND, "model 'fc' is not loaded (unloaded)")
        stub.RepositoryModelLoad(pb.RepositoryModelLoadRequest(model_name="fc"))
        assert stub.ModelInfer(raw_request("fc", [fc_input(0)])).outputs
        error = rpc_error(lambda: stub.RepositoryModelLoad(pb.RepositoryModelLoadRequest(model_name="../fc")))
        assert error.code() == grpc.StatusCode.NOT_FOUND and "no model '../fc'" in error.details()
        error = rpc_error(lambda: stub.RepositoryModelUnload(pb.RepositoryModelUnloadRequest(model_name="x")))
        assert (error.code(), error.details()) == (grpc.StatusCode.NOT_FOUND, "model 'x' is not loaded")
        files = pb.RepositoryModelLoadRequest(model_name="fc")
        files.parameters["file:1/model.zor"].bytes_param = b"junk"
        assert rpc_error(lambda: stub.RepositoryModelLoad(files)).code() == grpc.StatusCode.INVALID_ARGUMENT
        assert sorted(os.listdir(tmp_path)) == ["fc.zor", "late.zor"]  # nothing written


def test_statistics_count_successes_and_failures(repository):
    with Server([os.path.join(repository, "fc.zor")]) as server:
        stub = server.stub()
        for n in range(5):
            stub.ModelInfer(raw_request("fc", [fc_input(n)]))
        rpc_error(lambda: stub.ModelInfer(raw_request("fc", [fc_input(0)], datatypes=["FP16"])))
        (stats,) = stub.ModelStatistics(pb.ModelStatisticsRequest(name="fc")).model_stats
        assert (stats.name, stats.version, stats.inference_count, stats.execution_count) == ("fc", "1", 5, 5)
        assert (stats.inference_stats.success.count, stats.inference_stats.fail.count) == (5, 1)
        assert stats.inference_stats.compute_infer.count == 5 and stats.inference_stats.compute_infer.ns > 0
        assert [(b.batch_size, b.compute_infer.count) for b in stats.batch_stats] == [(1, 5)]
        assert stats.last_inference > 0
