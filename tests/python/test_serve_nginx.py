"""More than one board: two servers behind nginx, an ordinary load balancer
for gRPC (HTTP/2) and HTTP. Requests reach both, and once one server stops
its traffic moves to the other."""

import http.client
import os
import shutil
import socket
import subprocess
import time

import grpc
import numpy as np
import pytest
from helpers_models import FC_K
from helpers_serve import TIMEOUT, Server, fc_model, infer_json, output_arrays, raw_request

from kiv_serve_protocol import inference_pb2 as pb
from kiv_serve_protocol import inference_pb2_grpc as pb_grpc

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"

CONFIG = """\
daemon off;
worker_processes 1;
{user}
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    upstream boards_grpc {{ server {grpc[0]}; server {grpc[1]}; }}
    upstream boards_http {{ server {http[0]}; server {http[1]}; }}
    server {{
        listen 127.0.0.1:{grpc_port} http2;
        location / {{ grpc_pass grpc://boards_grpc; }}
    }}
    server {{
        listen 127.0.0.1:{http_port};
        location / {{ proxy_pass http://boards_http; }}
    }}
}}
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for_port(port):
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            assert time.monotonic() < deadline, "nginx does not listen on %d" % port
            time.sleep(0.05)


@pytest.fixture
def boards(tmp_path):
    fc_model(str(tmp_path))
    servers, nginx = [], None
    try:
        for _ in range(2):
            servers.append(Server([str(tmp_path / "fc.zor")]))
        grpc_port, http_port = free_port(), free_port()
        config = tmp_path / "nginx.conf"
        config.write_text(CONFIG.format(dir=tmp_path, grpc=[s.grpc_target for s in servers],
                                        http=[s.http_host for s in servers], grpc_port=grpc_port,
                                        http_port=http_port, user="user root;" if os.geteuid() == 0 else ""))
        nginx = subprocess.Popen([NGINX, "-c", str(config), "-p", str(tmp_path)], stderr=subprocess.PIPE)
        wait_for_port(grpc_port)
        wait_for_port(http_port)
        yield servers, grpc_port, http_port
    finally:
        if nginx is not None:
            nginx.terminate()
            nginx.wait(TIMEOUT)
        for server in servers:
            server.stop()


def served(server):
    """Requests each server has answered."""
    (stats,) = server.stub().ModelStatistics(pb.ModelStatisticsRequest(name="fc")).model_stats
    return stats.inference_count


def through_nginx(grpc_port, http_port, count):
    """`count` gRPC and `count` HTTP requests through nginx, each checked."""
    x = np.ones((1, FC_K), np.float32)
    with grpc.insecure_channel("127.0.0.1:%d" % grpc_port) as channel:
        stub = pb_grpc.GRPCInferenceServiceStub(channel)
        for n in range(count):
            outputs = output_arrays(stub.ModelInfer(raw_request("fc", [x], request_id=str(n)), timeout=TIMEOUT))
            np.testing.assert_array_equal(outputs["sq"], x * x)
    for n in range(count):
        connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=TIMEOUT)
        connection.request("POST", "/v2/models/fc/infer", infer_json([("x", "FP32", x)]))
        response = connection.getresponse()
        assert response.status == 200, response.read()
        response.read()
        connection.close()


def test_two_boards_share_the_traffic_and_one_takes_over_when_the_other_stops(boards):
    servers, grpc_port, http_port = boards
    through_nginx(grpc_port, http_port, 20)
    counts = [served(s) for s in servers]
    assert sum(counts) == 40 and min(counts) > 0, counts
    assert servers[0].stop() == 0
    through_nginx(grpc_port, http_port, 20)
    assert served(servers[1]) == counts[1] + 40
