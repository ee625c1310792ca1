"""kiv serve with hundreds of requests in flight at once, over gRPC (TCP and
the Unix socket, single calls and a stream) and HTTP, with and without
dynamic batching: every request answered, each with its own outputs."""

import concurrent.futures
import json
import os
import stat

import numpy as np
import pytest
from helpers_serve import Server, output_arrays, raw_request, wait_model

SHAPE = (1, 64)
COUNT = 400


@pytest.fixture(scope="module", params=[1, 8], ids=["one job per request", "batches of up to 8"])
def server(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp("models")
    wait_model(str(directory), "double", 1, SHAPE)
    socket_path = str(directory / "grpc.sock")
    with Server([str(directory)], "--max-queue", str(2 * COUNT), "--batch-size", str(request.param),
                "--grpc-socket", socket_path, "--socket-mode", "600") as running:
        running.socket = socket_path
        yield running


def distinct(n):
    return np.full(SHAPE, n, np.float32) + np.arange(SHAPE[1], dtype=np.float32) / 1000


@pytest.mark.parametrize("over", ["tcp", "unix socket"])
def test_hundreds_of_calls_in_flight_each_get_their_own_outputs(server, over):
    stub = server.stub("unix:" + server.socket if over == "unix socket" else None)
    futures = [stub.ModelInfer.future(raw_request("double", [distinct(n)], request_id=str(n)), timeout=120)
               for n in range(COUNT)]
    for n, future in enumerate(futures):
        response = future.result()
        assert response.id == str(n)
        np.testing.assert_array_equal(output_arrays(response)["out"], 2 * distinct(n))
    assert stat.S_IMODE(os.stat(server.socket).st_mode) == 0o600


def test_a_stream_of_hundreds_answers_each_request_once(server):
    answers = {}
    requests = (raw_request("double", [distinct(n)], request_id=str(n)) for n in range(COUNT))
    for answer in server.stub().ModelStreamInfer(requests, timeout=120):
        assert answer.error_message == "" and answer.infer_response.id not in answers
        answers[answer.infer_response.id] = output_arrays(answer.infer_response)["out"]
    assert sorted(answers, key=int) == [str(n) for n in range(COUNT)]
    for n in range(COUNT):
        np.testing.assert_array_equal(answers[str(n)], 2 * distinct(n))


def test_many_http_clients_at_once(server):
    def call(n):
        head = json.dumps({"id": str(n), "inputs": [{"name": "x", "datatype": "FP32", "shape": list(SHAPE),
                                                     "parameters": {"binary_data_size": 256}}],
                           "parameters": {"binary_data_output": True}}).encode()
        status, headers, body = server.http("POST", "/v2/models/double/infer", head + distinct(n).tobytes(),
                                            {"Inference-Header-Content-Length": str(len(head))})
        length = int(headers["Inference-Header-Content-Length"])
        return status, json.loads(body[:length])["id"], np.frombuffer(body[length:], np.float32)

    with concurrent.futures.ThreadPoolExecutor(64) as pool:
        for n, (status, request_id, out) in enumerate(pool.map(call, range(COUNT))):
            assert (status, request_id) == (200, str(n))
            np.testing.assert_array_equal(out, 2 * distinct(n).ravel())
