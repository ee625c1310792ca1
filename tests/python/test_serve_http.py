"""kiv serve over HTTP/REST, with curl and http.client: health, metadata,
JSON and binary tensor data, gzip and deflate either way, requested
outputs, errors as {"error": ...}, size limits, the repository, statistics
and /metrics."""

import gzip
import json
import zlib

import numpy as np
import pytest
from helpers_models import FC_K, fc_reference
from helpers_serve import TYPES, TYPES_SHAPE, Server, fc_model, infer_json, numpy_type, types_model

LIMIT = 1 << 16


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("models"))
    fc_model(directory)
    types_model(directory)
    with Server([directory], "--max-request-size", str(LIMIT)) as running:
        yield running


def fc_input(seed):
    return np.random.default_rng(seed).standard_normal((1, FC_K)).astype(np.float32)


def split(headers, body):
    """The JSON part of an answer and its binary data."""
    length = int(headers.get("Inference-Header-Content-Length", len(body)))
    return json.loads(body[:length]), body[length:]


def test_health_metadata_repository_and_inference_with_curl(server):
    assert server.curl(server.url("/v2/health/live")) == (200, "")
    assert server.curl(server.url("/v2/health/ready")) == (200, "")
    status, body = server.curl(server.url("/v2"))
    assert status == 200 and json.loads(body)["name"] == "kiv"
    for path in ("/v2/models/types", "/v2/models/types/versions/1"):
        status, body = server.curl(server.url(path))
        metadata = json.loads(body)
        assert status == 200 and metadata["versions"] == ["1"]
        assert [t["datatype"] for t in metadata["inputs"]] == TYPES
        assert metadata["inputs"][TYPES.index("INT8")]["parameters"] == {"scale": 0.5, "zero_point": 3}
    assert server.curl(server.url("/v2/models/fc/ready"))[0] == 200
    assert server.curl(server.url("/v2/models/fc/versions/2/ready"))[0] == 404
    for body in ([], ["-d", ""], ["-d", "{}"], ["-d", '{"ready": true}']):
        status, text = server.curl("-X", "POST", *body, server.url("/v2/repository/index"))
        assert (status, json.loads(text)) == (200, [{"name": "fc", "version": "1", "state": "READY", "reason": ""},
                                                    {"name": "types", "version": "1", "state": "READY",
                                                     "reason": ""}])
    for path, status in (("/v2/nowhere", 404), ("/v2/models/nonesuch", 404)):
        answer = server.curl(server.url(path))
        assert answer[0] == status and "error" in json.loads(answer[1])
    status, text = server.curl("-X", "DELETE", server.url("/v2/models/fc"))
    assert status == 405 and json.loads(text)["error"]
    x = fc_input(2)
    status, body = server.curl("-d", infer_json([("x", "FP32", x)]).decode(), server.url("/v2/models/fc/infer"))
    answer = json.loads(body)
    assert status == 200 and (answer["model_name"], answer["model_version"]) == ("fc", "1") and "id" not in answer
    y, sq = fc_reference(x)
    described = [(o["name"], o["datatype"], o["shape"]) for o in answer["outputs"]]
    assert described == [("y", "FP32", [1, 3]), ("sq", "FP32", [1, 6])]
    np.testing.assert_allclose(np.array(answer["outputs"][0]["data"], np.float32), y.ravel(), atol=1e-5)


def test_every_datatype_as_json_and_as_binary(server):
    rng = np.random.default_rng(5)
    arrays = [rng.integers(0, 2, TYPES_SHAPE).astype(numpy_type(d)) if d == "BOOL" else
              (rng.standard_normal(TYPES_SHAPE) * 50).astype(numpy_type(d)) for d in TYPES]
    inputs = [("t%d" % n, d, a) for n, (d, a) in enumerate(zip(TYPES, arrays))]
    answer = json.loads(server.http("POST", "/v2/models/types/infer", infer_json(inputs))[2])
    for n, output in enumerate(answer["outputs"]):
        np.testing.assert_array_equal(np.array(output["data"], arrays[n].dtype), arrays[n].ravel())
    # Binary both ways: o1 asks for binary data, o0 for JSON, o2 does as the request says.
    document = {"inputs": [{"name": n, "datatype": d, "shape": TYPES_SHAPE,
                            "parameters": {"binary_data_size": a.nbytes}} for n, d, a in inputs],
                "outputs": [{"name": "o1", "parameters": {"binary_data": True}},
                            {"name": "o0", "parameters": {"binary_data": False}}, {"name": "o2"}]}
    for every in (False, True):
        document["parameters"] = {"binary_data_output": every}
        head = json.dumps(document).encode()
        body = head + b"".join(a.tobytes() for a in arrays)
        status, headers, body = server.http("POST", "/v2/models/types/infer", body,
                                            {"Inference-Header-Content-Length": str(len(head))})
        answer, binary = split(headers, body)
        assert status == 200 and [o["name"] for o in answer["outputs"]] == ["o1", "o0", "o2"]
        assert answer["outputs"][0]["parameters"] == {"binary_data_size": arrays[1].nbytes}
        np.testing.assert_array_equal(np.frombuffer(binary[:6], np.uint8).reshape(TYPES_SHAPE), arrays[1])
        np.testing.assert_array_equal(np.array(answer["outputs"][1]["data"], bool), arrays[0].ravel())
        if every:
            assert len(binary) == 12 and "data" not in answer["outputs"][2]
            np.testing.assert_array_equal(np.frombuffer(binary[6:], np.int8).reshape(TYPES_SHAPE), arrays[2])
        else:
            assert len(binary) == 6
            np.testing.assert_array_equal(answer["outputs"][2]["data"], arrays[2].ravel())
    status, headers, body = server.http("POST", "/v2/models/fc/infer", infer_json(
        [("x", "FP32", fc_input(1))], parameters={"binary_data_output": True}))
    answer, binary = split(headers, body)
    assert [o["parameters"]["binary_data_size"] for o in answer["outputs"]] == [12, 24] and len(binary) == 36


@pytest.mark.parametrize("encoding", ["gzip", "deflate"])
def test_compressed_bodies_both_ways(server, encoding):
    x = fc_input(3)
    tensor = {"name": "x", "datatype": "FP32", "shape": [1, FC_K], "parameters": {"binary_data_size": 24}}
    head = json.dumps({"id": "z", "inputs": [tensor], "parameters": {"binary_data_output": True}}).encode()
    body = head + x.tobytes()
    packed = gzip.compress(body) if encoding == "gzip" else zlib.compress(body)
    status, headers, answer = server.http("POST", "/v2/models/fc/infer", packed, {
        "Content-Encoding": encoding, "Accept-Encoding": encoding, "Inference-Header-Content-Length": str(len(head))})
    assert status == 200 and headers["Content-Encoding"] == encoding
    plain = gzip.decompress(answer) if encoding == "gzip" else zlib.decompress(answer)
    document, binary = split(headers, plain)  # the header counts the uncompressed JSON
    assert document["id"] == "z"
    np.testing.assert_allclose(np.frombuffer(binary[:12], np.float32), fc_reference(x)[0].ravel(), atol=1e-5)
    status, text = server.curl("--compressed", "-d", infer_json([("x", "FP32", x)]).decode(),
                               server.url("/v2/models/fc/infer"))
    assert status == 200 and json.loads(text)["outputs"]


def fc_body(**change):
    document = json.loads(infer_json([("x", "FP32", fc_input(0))]))
    document["inputs"][0].update(change)
    return json.dumps(document).encode()


HTTP_ERRORS = [
    ("not JSON", b"{inputs", {}, 400, "the request body is not valid JSON"),
    ("no inputs", b'{"id": "a"}', {}, 400, "model 'fc': inputs must be a JSON array"),
    ("floats for INT", None, "int", 400, "model 'types': input 't6': INT32 data must be whole numbers; got 0.5"),
    ("out of range", None, "range", 400, "model 'types': input 't1': 256 is out of the range of UINT8"),
    ("numbers for BOOL", None, "bool", 400, "model 'types': input 't0': BOOL data must be true or false"),
    ("strings", fc_body(data=["a"] * 6), {}, 400, "model 'fc': input 'x': the data must be a flat or nested"),
    ("ragged", fc_body(data=[[1, 2], [3]]), {}, 400, "model 'fc': input 'x': the data must be a flat or evenly"),
    ("wrong count", fc_body(data=[1, 2, 3]), {}, 400, "model 'fc': input 'x': shape [1, 6] holds 6 elements; "
                                                      "the request gives 3"),
    ("binary beyond", fc_body(parameters={"binary_data_size": 24}), {}, 400,
     "model 'fc': input 'x': binary_data_size 24 reaches beyond the 0 bytes of binary data after the JSON"),
    ("header length", fc_body(), {"Inference-Header-Content-Length": "9999"}, 400,
     "Inference-Header-Content-Length '9999' does not fit a body of"),
    ("bad encoding", fc_body(), {"Content-Encoding": "br"}, 400, "Content-Encoding 'br' is not taken"),
    ("not gzip", fc_body(), {"Content-Encoding": "gzip"}, 400, "the body is not gzip data"),
    ("gzip bomb", gzip.compress(b" " * (LIMIT + 1)), {"Content-Encoding": "gzip"}, 413,
     "larger than the server takes, %d bytes" % LIMIT),
    ("too large", b" " * (LIMIT + 1), {}, 413, "the request body of %d bytes is larger" % (LIMIT + 1)),
]


@pytest.mark.parametrize("case, body, headers, status, message", HTTP_ERRORS, ids=[e[0] for e in HTTP_ERRORS])
def test_errors_are_json_with_their_status(server, case, body, headers, status, message):
    model = "fc"
    if isinstance(headers, str):  # a "types" request with one input's data replaced
        model = "types"
        data = {"int": ("t6", [0.5] * 6), "range": ("t1", [256] * 6), "bool": ("t0", [1] * 6)}[headers]
        document = json.loads(infer_json([("t%d" % n, d, np.zeros(TYPES_SHAPE, numpy_type(d)))
                                          for n, d in enumerate(TYPES)]))
        document["inputs"][int(data[0][1:])]["data"] = data[1]
        body, headers = json.dumps(document).encode(), {}
    answer = server.http("POST", "/v2/models/%s/infer" % model, body, headers)
    assert answer[0] == status and answer[1]["Content-Type"].startswith("application/json")
    assert message in json.loads(answer[2])["error"]


def test_a_body_declared_too_large_is_refused_before_it_is_sent(server):
    """The server answers 413 from the headers alone: the body never comes."""
    import socket

    host, port = server.http_host.rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=30) as sock:
        sock.sendall(b"POST /v2/models/fc/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (LIMIT * 100))
        answer = b""
        while b"larger" not in answer and (chunk := sock.recv(4096)):
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 413") and b"larger than the server takes" in answer


def test_repository_bodies_and_statistics_and_metrics(server):
    for body in (None, b"", b"{}", b'{"parameters": {"unload_dependents": false}}'):
        assert server.http("POST", "/v2/repository/models/types/unload", body)[0] == 200
        status, _, text = server.http("POST", "/v2/repository/models/types/load", body if "parameters" not in
                                      str(body) else b"{}")
        assert status == 200, text
    status, _, text = server.http("POST", "/v2/repository/models/types/load", b'{"parameters": {"config": "{}"}}')
    assert status == 400 and "loading takes no parameters" in json.loads(text)["error"]
    for _ in range(3):
        assert server.http("POST", "/v2/models/fc/infer", infer_json([("x", "FP32", fc_input(0))]))[0] == 200
    assert server.http("POST", "/v2/models/fc/infer", fc_body(datatype="INT8"))[0] == 400
    stats = json.loads(server.http("GET", "/v2/models/fc/stats")[2])["model_stats"]
    assert len(stats) == 1 and stats[0]["inference_stats"]["success"]["count"] >= 3
    assert stats[0]["inference_stats"]["fail"]["count"] >= 1
    every = json.loads(server.http("GET", "/v2/models/stats")[2])["model_stats"]
    assert sorted(s["name"] for s in every) == ["fc", "types"]
    status, headers, text = server.http("GET", "/metrics")
    lines = text.decode().splitlines()
    assert status == 200 and headers["Content-Type"].startswith("text/plain; version=0.0.4")
    count = [float(line.split()[-1]) for line in lines if line.startswith('kiv_serve_requests_total{model="fc"')]
    assert count and count[0] >= 4
    assert any(line.startswith('kiv_serve_request_failures_total{model="fc",reason="INVALID_ARGUMENT"')
               for line in lines)
    for name in ("kiv_serve_queue_duration_seconds_count", "kiv_serve_device_duration_seconds_count",
                 "kiv_serve_batch_size_count", "kiv_serve_jobs_in_flight", "kiv_serve_requests_waiting"):
        assert any(line.startswith(name + '{model="fc"') for line in lines), name
