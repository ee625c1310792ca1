"""kiv serve in the tests: models for it, the server as a child process
(with timeouts everywhere), and small clients: the project's gRPC stubs and
HTTP through http.client and curl."""

import http.client
import json
import os
import queue
import re
import signal
import subprocess
import threading

import grpc
import numpy as np
from conftest import BUILD_DIR, PYTHON, SEARCH_PATH
from helpers_models import FC_K, FC_M, fc_program
from kiv.standin import ProgramBuilder

from kiv_serve_protocol import inference_pb2 as pb
from kiv_serve_protocol import inference_pb2_grpc as pb_grpc

HERE = os.path.dirname(os.path.abspath(__file__))
ZOR = os.path.join(BUILD_DIR, "tools", "zor", "zor")
TIMEOUT = 60

# Element types of the "types" model, each copied from input tN to output oN.
TYPES = ["BOOL", "UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32", "UINT64", "INT64", "FP16", "FP32", "FP64"]
_NUMPY = {"BOOL": np.bool_, "UINT8": np.uint8, "INT8": np.int8, "UINT16": np.uint16, "INT16": np.int16,
          "UINT32": np.uint32, "INT32": np.int32, "UINT64": np.uint64, "INT64": np.int64, "FP16": np.float16,
          "FP32": np.float32, "FP64": np.float64}
TYPES_SHAPE = [2, 3]
# The quantised input of the "types" model: t2, INT8.
QUANT_SCALE, QUANT_ZERO_POINT = 0.5, 3


def numpy_type(datatype):
    return np.dtype(_NUMPY[datatype])


def _pack(directory, name, builder, io):
    program = os.path.join(directory, name + ".bin")
    with open(program, "wb") as f:
        f.write(builder.build())
    io_path = os.path.join(directory, name + ".io.json")
    with open(io_path, "w") as f:
        json.dump(dict(io, name=name, version=[1, 0, 0]), f)
    subprocess.run([ZOR, "pack", "--bin", program, "--io", io_path, "-o", os.path.join(directory, name + ".zor")],
                   check=True, capture_output=True, timeout=TIMEOUT)
    os.remove(program)
    os.remove(io_path)


def _io(inputs, outputs):
    def entries(tensors):
        return [{"name": name, "shape": list(shape), "dtype": code} for name, shape, code in tensors]
    return {"input_tensors": entries(inputs), "output_tensors": entries(outputs)}


def fc_model(directory):
    """"fc": x FP32 [1, 6] -> y = relu(x @ W + b) [1, 3] and sq = x * x [1, 6] (helpers_models)."""
    _pack(directory, "fc", fc_program(), _io([("x", [1, FC_K], 11)], [("y", [1, FC_M], 11), ("sq", [1, FC_K], 11)]))


def types_model(directory):
    """"types": input tN of each datatype of TYPES copied to output oN."""
    b = ProgramBuilder()
    inputs, outputs = [], []
    for n, datatype in enumerate(TYPES):
        quantised = datatype == "INT8"
        scale, zero = (QUANT_SCALE, QUANT_ZERO_POINT) if quantised else (1.0, 0)
        code = 1 + n  # the element type codes, in the order of TYPES
        src = b.input(TYPES_SHAPE, numpy_type(datatype), scale, zero)
        dst = b.output(TYPES_SHAPE, numpy_type(datatype), scale, zero)
        b.copy(dst, src)
        inputs.append(("t%d" % n, TYPES_SHAPE, code))
        outputs.append(("o%d" % n, TYPES_SHAPE, code))
    _pack(directory, "types", b, _io(inputs, outputs))


def wait_model(directory, name, ms, shape=(1, 4), raise_status=None):
    """`name`: out = x + x after the core waited `ms` milliseconds (or ending
    with `raise_status`)."""
    b = ProgramBuilder()
    x = b.input(list(shape), "float32")
    out = b.output(list(shape), "float32")
    if ms:
        b.wait_ms(ms)
    b.add(out, x, x)
    if raise_status is not None:
        b.raise_exception(raise_status)
    _pack(directory, name, b, _io([("x", shape, 11)], [("out", shape, 11)]))


def write_settings(directory, name, text):
    with open(os.path.join(directory, name + ".toml"), "w") as f:
        f.write(text)


class Server:
    """`kiv serve SOURCES` as a child process on free ports of 127.0.0.1,
    running serve_child.py so that the test can drive the stand-in's faults."""

    def __init__(self, sources, *options, env=None):
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH + [HERE]), KIV_BUILD_DIR=BUILD_DIR)
        environment.update(env or {})
        command = [PYTHON, os.path.join(HERE, "serve_child.py"), "serve", *sources, "--driver", "standin",
                   "--http-port", "0", "--grpc-port", "0", *options]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=environment)
        self._lines = queue.Queue()
        self._errors = []
        threading.Thread(target=self._read, args=(self.process.stdout, self._lines.put), daemon=True).start()
        threading.Thread(target=self._read, args=(self.process.stderr, self._errors.append), daemon=True).start()
        self.listening = []
        try:
            while not (line := self.line()).startswith("kiv serve: serving"):
                self.listening.append(line)
        except BaseException:
            self.process.kill()  # no server is left behind by a start that failed
            self.process.wait(TIMEOUT)
            raise
        self.grpc_target = self._address(r"grpc://(\S+)")
        self.http_host = self._address(r"http://(\S+)")
        self._channel = grpc.insecure_channel(self.grpc_target) if self.grpc_target else None

    @staticmethod
    def _read(stream, put):
        for line in stream:
            put(line.rstrip("\n"))
        put(None)

    def _address(self, pattern):
        for line in self.listening:
            found = re.search(pattern, line)
            if found:
                return found.group(1)
        return None

    def line(self, timeout=TIMEOUT):
        """The next line of the server's standard output."""
        line = self._lines.get(timeout=timeout)
        if line is None:
            raise AssertionError("the server exited (%s): %s" % (self.process.wait(TIMEOUT), self.stderr))
        return line

    @property
    def stderr(self):
        return "\n".join(line for line in self._errors if line is not None)

    def control(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        assert self.line() == "control ok"

    def stub(self, target=None):
        channel = self._channel if target is None else grpc.insecure_channel(target)
        return pb_grpc.GRPCInferenceServiceStub(channel)

    def http(self, method, path, body=None, headers=None, timeout=TIMEOUT):
        """(status, headers, body bytes) of one HTTP request."""
        connection = http.client.HTTPConnection(self.http_host, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def curl(self, *arguments):
        """(HTTP status, body text) of curl ARGUMENTS on the server's HTTP address."""
        done = subprocess.run(["curl", "-sS", "-w", "\n%{http_code}", *arguments], capture_output=True, text=True,
                              timeout=TIMEOUT)
        assert done.returncode == 0, done.stderr
        body, _, status = done.stdout.rpartition("\n")
        return int(status), body

    def url(self, path):
        return "http://%s%s" % (self.http_host, path)

    def stop(self, sig=signal.SIGTERM, timeout=TIMEOUT):
        """Sends `sig` and returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(TIMEOUT)
            raise
        finally:
            if self._channel is not None:
                self._channel.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def rpc_error(call):
    """The grpc.RpcError that call() raises."""
    try:
        call()
    except grpc.RpcError as error:
        return error
    raise AssertionError("no gRPC error")


def raw_request(model, arrays, names=None, datatypes=None, request_id="", outputs=()):
    """A ModelInferRequest with `arrays` as raw contents."""
    request = pb.ModelInferRequest(model_name=model, id=request_id)
    for n, array in enumerate(arrays):
        name = names[n] if names else "x"
        datatype = datatypes[n] if datatypes else "FP32"
        request.inputs.add(name=name, datatype=datatype, shape=list(array.shape))
        request.raw_input_contents.append(np.ascontiguousarray(array).tobytes())
    for name in outputs:
        request.outputs.add(name=name)
    return request


def output_arrays(response):
    """The outputs of a ModelInferResponse as arrays, by name (those in shared memory left out)."""
    return {tensor.name: np.frombuffer(raw, numpy_type(tensor.datatype)).reshape(tuple(tensor.shape))
            for tensor, raw in zip(response.outputs, response.raw_output_contents) if raw}


def infer_json(inputs, outputs=None, parameters=None):
    """A JSON inference body: inputs as (name, datatype, array)."""
    document = {"inputs": [{"name": n, "datatype": d, "shape": list(a.shape), "data": a.ravel().tolist()}
                           for n, d, a in inputs]}
    if outputs is not None:
        document["outputs"] = outputs
    if parameters is not None:
        document["parameters"] = parameters
    return json.dumps(document).encode()
