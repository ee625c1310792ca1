"""kiv serve under faults: jobs the driver fails, refuses or never ends,
jobs that outlast their timeout, clients that go away, models unloaded under
load, more requests than the bound, malformed messages, missing tokens, and
SIGTERM while requests are under way. Each fails only the requests it
touches, with a clear error, and the server goes on."""

import socket
import threading
import time

import grpc
import numpy as np
import pytest
from helpers_models import FC_K
from helpers_serve import (
    Server,
    fc_model,
    infer_json,
    output_arrays,
    raw_request,
    rpc_error,
    wait_model,
    write_settings,
)

from kiv_serve_protocol import inference_pb2 as pb

X = np.arange(4, dtype=np.float32).reshape(1, 4)


def fc_ok(server):
    response = server.stub().ModelInfer(raw_request("fc", [np.ones((1, FC_K), np.float32)]))
    return len(response.outputs) == 2


def failure(call, *args, **kwargs):
    return rpc_error(lambda: call(*args, **kwargs))


def gauge(server, name, model):
    """A gauge of /metrics for `model`."""
    for line in server.http("GET", "/metrics")[2].decode().splitlines():
        if line.startswith('%s{model="%s"' % (name, model)):
            return int(float(line.split()[-1]))
    return 0


def waiting(server, model):
    """The requests of `model` waiting for a place."""
    return gauge(server, "kiv_serve_requests_waiting", model)


def wait_until(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    directory = tmp_path_factory.mktemp("models")
    fc_model(str(directory))
    wait_model(str(directory), "raising", 0, raise_status=5)
    wait_model(str(directory), "sleepy", 3000)
    write_settings(str(directory), "sleepy", "job_timeout = 0.3\n")
    wait_model(str(directory), "paced", 2)
    wait_model(str(directory), "slow", 400)
    wait_model(str(directory), "long", 8000)
    write_settings(str(directory), "slow", "in_flight = 2\nmax_queue = 3\n")
    wait_model(str(directory), "gate", 1500)
    write_settings(str(directory), "gate", "in_flight = 2\nmax_queue = 3\n")
    return directory


def test_failed_refused_lost_and_late_jobs_fail_only_their_requests(models):
    with Server([str(models)], "--job-timeout", "1", "--in-flight", "2") as server:
        stub = server.stub()
        error = failure(stub.ModelInfer, raw_request("raising", [X]))
        assert error.code() == grpc.StatusCode.INTERNAL
        assert error.details().startswith("model 'raising': kiv_job_infer_async failed with status 17")
        assert "ended with job status" in error.details() and fc_ok(server)
        error = failure(stub.ModelInfer, raw_request("sleepy", [X]))
        assert (error.code(), error.details()) == (grpc.StatusCode.DEADLINE_EXCEEDED,
                                                   "model 'sleepy': the job did not end within 0.3s")
        assert fc_ok(server)
        server.control("call_status aipu_flush_job 55")  # the driver refuses to start jobs
        error = failure(stub.ModelInfer, raw_request("paced", [X]))
        assert error.code() == grpc.StatusCode.INTERNAL
        assert error.details().startswith("model 'paced': kiv_job_infer_async failed with status 55")
        server.control("call_status aipu_flush_job 0")
        assert stub.ModelInfer(raw_request("paced", [X])).outputs
        # Submitted jobs whose end never comes: their requests time out, and
        # their places among the jobs in flight (2) are not lost with them.
        server.control("completion_fault 3")
        lost = [stub.ModelInfer.future(raw_request("paced", [X])) for _ in range(4)]
        assert {f.exception().code() for f in lost} == {grpc.StatusCode.DEADLINE_EXCEEDED}
        server.control("completion_fault 0")
        for _ in range(3):
            np.testing.assert_array_equal(output_arrays(stub.ModelInfer(raw_request("paced", [X])))["out"], 2 * X)
        assert server.stop() == 0


def test_clients_that_go_away_and_malformed_messages(models):
    """Each client goes once its request is under way (the job in flight)."""
    with Server([str(models)]) as server:
        stub = server.stub()

        def under_way(jobs):
            wait_until(lambda: gauge(server, "kiv_serve_jobs_in_flight", "slow") == jobs)

        call = stub.ModelInfer.future(raw_request("slow", [X]))
        under_way(1)
        call.cancel()
        host, port = server.http_host.rsplit(":", 1)
        body = infer_json([("x", "FP32", X)])
        under_way(0)
        with socket.create_connection((host, int(port)), timeout=30) as sock:
            sock.sendall(b"POST /v2/models/slow/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s"
                         % (len(body), body))
            under_way(1)
        under_way(0)
        stream = stub.ModelStreamInfer(iter([raw_request("slow", [X])] * 3))
        wait_until(lambda: waiting(server, "slow") == 1)
        stream.cancel()
        junk = server._channel.unary_unary("/inference.GRPCInferenceService/ModelInfer")
        error = failure(junk, b"\xff\xfe not a message")
        assert (error.code(), error.details()) == (grpc.StatusCode.INVALID_ARGUMENT,
                                                   "the request is not a valid ModelInferRequest message")
        np.testing.assert_array_equal(output_arrays(stub.ModelInfer(raw_request("slow", [X])))["out"], 2 * X)
        # The requests the clients gave up count as failures (cancelled); the
        # HTTP request whose client went away ran to its end.
        (stats,) = stub.ModelStatistics(pb.ModelStatisticsRequest(name="slow")).model_stats
        assert (stats.inference_stats.fail.count, stats.inference_stats.success.count) == (4, 2)
        assert 'kiv_serve_request_failures_total{model="slow",reason="CANCELLED",version="1"} 4.0' in \
            server.http("GET", "/metrics")[2].decode().splitlines()


def test_past_the_bound_requests_are_refused_with_a_retry_hint_and_unloading_fails_those_waiting(models):
    """gate: 2 jobs in flight and 3 requests waiting at most."""
    with Server([str(models)]) as server:
        stub = server.stub()
        accepted = [stub.ModelInfer.future(raw_request("gate", [X + n])) for n in range(5)]
        wait_until(lambda: waiting(server, "gate") == 3)
        error = failure(stub.ModelInfer, raw_request("gate", [X]))
        assert error.code() == grpc.StatusCode.UNAVAILABLE and "model 'gate' is busy" in error.details()
        assert ("grpc-retry-pushback-ms", "1000") in error.trailing_metadata()
        status, headers, text = server.http("POST", "/v2/models/gate/infer", infer_json([("x", "FP32", X)]))
        assert (status, headers["Retry-After"]) == (503, "1") and b"model 'gate' is busy" in text
        for n, future in enumerate(accepted):
            np.testing.assert_array_equal(output_arrays(future.result(30))["out"], 2 * (X + n))
        # Unloaded while 2 run and 3 wait: those running end well, those waiting fail.
        accepted = [stub.ModelInfer.future(raw_request("gate", [X])) for _ in range(5)]
        wait_until(lambda: waiting(server, "gate") == 3)
        stub.RepositoryModelUnload(pb.RepositoryModelUnloadRequest(model_name="gate"))
        outcomes = [f.exception() for f in accepted]
        assert sum(e is None for e in outcomes) == 2
        refused = [(e.code(), e.details()) for e in outcomes if e is not None]
        assert refused == [(grpc.StatusCode.UNAVAILABLE, "model 'gate' was unloaded before the request ran")] * 3
        assert fc_ok(server)


def test_sigterm_drains_the_requests_under_way_and_exits_0(models):
    with Server([str(models)], "--drain-timeout", "20") as server:
        stub = server.stub()
        running = [stub.ModelInfer.future(raw_request("slow", [X + n])) for n in range(4)]
        wait_until(lambda: waiting(server, "slow") == 2)
        began = time.monotonic()
        stopping = threading.Thread(target=server.stop)
        stopping.start()
        for n, future in enumerate(running):
            np.testing.assert_array_equal(output_arrays(future.result(30))["out"], 2 * (X + n))
        stopping.join(60)
        assert server.process.returncode == 0 and time.monotonic() - began < 10
        assert "draining: 4 request(s) under way" in server.stderr


def test_sigterm_exits_0_within_the_drain_timeout_and_a_second_when_jobs_outlast_it(models):
    with Server([str(models)], "--drain-timeout", "1") as server:
        long_call = server.stub().ModelInfer.future(raw_request("long", [X]))
        wait_until(lambda: gauge(server, "kiv_serve_jobs_in_flight", "long") == 1)
        began = time.monotonic()
        assert server.stop() == 0
        assert time.monotonic() - began < 1 + 1 + 2  # the drain timeout, the grace, and the exit itself
        assert long_call.exception().code() in (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
        assert "1 request(s) still under way after 1s; they are cancelled" in server.stderr


def test_a_token_guards_everything_but_the_health_probes(models, tmp_path):
    token = tmp_path / "token"
    token.write_text("s3cret\n")
    with Server([str(models / "fc.zor")], "--token-file", str(token)) as server:
        stub = server.stub()
        assert stub.ServerReady(pb.ServerReadyRequest()).ready
        request = raw_request("fc", [np.ones((1, FC_K), np.float32)])
        for metadata in (None, [("authorization", "Bearer wrong")]):
            error = failure(stub.ModelInfer, request, metadata=metadata)
            assert error.code() == grpc.StatusCode.UNAUTHENTICATED
        assert failure(lambda: list(stub.ModelStreamInfer(iter([request])))).code() == \
            grpc.StatusCode.UNAUTHENTICATED
        assert stub.ModelInfer(request, metadata=[("authorization", "Bearer s3cret")]).outputs
        assert server.http("GET", "/v2/health/ready")[0] == 200
        for path in ("/v2/models/fc", "/metrics"):
            status, headers, _ = server.http("GET", path)
            assert (status, headers["WWW-Authenticate"]) == (401, "Bearer")
            assert server.http("GET", path, headers={"Authorization": "Bearer s3cret"})[0] == 200
