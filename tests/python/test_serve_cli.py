"""The kiv serve command: its options and their errors, each model's
settings file, the Unix socket's mode and a stale socket, and an address
already in use."""

import os
import socket
import stat
import subprocess

import pytest
from conftest import PYTHON, SEARCH_PATH
from helpers_serve import TIMEOUT, Server, wait_model, write_settings

from kiv.serve.settings import Batching, ModelSettings, SettingsError, model_settings

from kiv_serve_protocol import inference_pb2 as pb

DEFAULTS = ModelSettings(in_flight=8, max_queue=256, job_timeout=30.0)


def kiv(*arguments):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH))
    return subprocess.run([PYTHON, "-m", "kiv", *arguments], capture_output=True, text=True, env=environment,
                          timeout=TIMEOUT)


@pytest.mark.parametrize("arguments, message", [
    (["nonesuch.zor"], "kiv serve: nonesuch.zor: no such model file"),
    (["README.md"], "kiv serve: README.md: neither a .zor model file nor a directory of them"),
    ([".", "--http-port", "70000"], "a port is a number from 0 (any free port) to 65535, or off"),
    ([".", "--http-port", "off", "--grpc-port", "off"], "kiv serve: --http-port off and --grpc-port off leave nothing"),
    ([".", "--token-file", "nonesuch"], "kiv serve: --token-file nonesuch: No such file or directory"),
    ([".", "--socket-mode", "9"], "a file mode is octal, such as 660"),
    ([".", "--max-request-size", "1T"], "a size is a number of bytes above 0, or of K, M or G"),
])
def test_command_line_errors_exit_2(arguments, message):
    done = kiv("serve", *arguments)
    assert done.returncode == 2 and message in done.stderr and done.stdout == ""


def test_help_lists_the_options():
    done = kiv("serve", "--help")
    assert done.returncode == 0
    for option in ("--host", "--http-port", "--grpc-port", "--grpc-socket", "--socket-mode", "--in-flight",
                   "--max-queue", "--job-timeout", "--batch-size", "--batch-delay", "--max-request-size",
                   "--drain-timeout", "--token-file", "--log-level", "--driver"):
        assert option in done.stdout
    assert "serve" in kiv("--help").stdout


@pytest.mark.parametrize("document, expected", [
    ({}, DEFAULTS),
    ({"in_flight": 2, "max_queue": 0, "job_timeout": 1.5, "job_options": {"qos": 1, "core": 3},
      "batching": {"max_size": 4, "max_delay_ms": 2}},
     ModelSettings(2, 0, 1.5, DEFAULTS.job_options.__class__(qos=1, core=3), Batching(4, 0.002))),
])
def test_model_settings(document, expected):
    assert model_settings("m.toml", document, DEFAULTS) == expected


@pytest.mark.parametrize("document, message", [
    ({"inflight": 2}, "m.toml: unknown setting(s) ['inflight']"),
    ({"in_flight": 0}, "m.toml: in_flight must be a whole number of at least 1, got 0"),
    ({"job_timeout": "1"}, "m.toml: job_timeout must be a number of seconds above 0, got '1'"),
    ({"job_options": {"core": 9}}, "m.toml: [job_options]: core must be from 0 to 7, got 9"),
    ({"job_options": {"dump_dir": "/tmp"}}, "m.toml: [job_options]: unknown setting(s) ['dump_dir']"),
    ({"batching": {"max_size": True}}, "m.toml: [batching] max_size must be a whole number of at least 1, got True"),
    ({"batching": 3}, "m.toml: batching must be a table, got 3"),
])
def test_model_settings_errors_name_the_file_and_setting(document, message):
    with pytest.raises(SettingsError) as raised:
        model_settings("m.toml", document, DEFAULTS)
    assert str(raised.value).startswith(message)


def test_a_model_whose_settings_are_wrong_stays_unavailable_and_says_why(tmp_path):
    wait_model(str(tmp_path), "good", 0)
    wait_model(str(tmp_path), "bad", 0)
    write_settings(str(tmp_path), "bad", "in_flight = -1\n")
    with Server([str(tmp_path)]) as server:
        index = {m.name: (m.state, m.reason) for m in server.stub().RepositoryIndex(pb.RepositoryIndexRequest()).models}
        assert index["good"] == ("READY", "")
        assert index["bad"] == ("UNAVAILABLE", "%s: in_flight must be a whole number of at least 1, got -1"
                                % (tmp_path / "bad.toml"))
        assert "model 'bad' cannot be loaded" in server.stderr


def test_the_socket_mode_a_stale_socket_and_addresses_in_use(tmp_path):
    wait_model(str(tmp_path), "m", 0)
    path = str(tmp_path / "grpc.sock")
    stale = socket.socket(socket.AF_UNIX)
    stale.bind(path)
    stale.close()  # bound, never listened on: what a killed server leaves
    with Server([str(tmp_path)], "--grpc-socket", path) as server:
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o660
        assert server.stub("unix:" + path).ServerLive(pb.ServerLiveRequest()).live
        port = int(server.http_host.rsplit(":", 1)[1])
        done = kiv("serve", str(tmp_path), "--driver", "standin", "--grpc-port", "0", "--http-port", str(port))
        assert done.returncode == 1 and "kiv serve: HTTP on 127.0.0.1:%d: Address already in use" % port in done.stderr
        done = kiv("serve", str(tmp_path), "--driver", "standin", "--grpc-port", "0", "--http-port", "0",
                   "--grpc-socket", path)
        assert done.returncode == 1 and "kiv serve: %s: another server listens on it" % path in done.stderr
    assert not os.path.exists(path)
