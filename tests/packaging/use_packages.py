"""Uses the Debian packages where they were installed, from a clean environment.

    use_packages.py SITE_DIR ZOR runtime|standin|serve

libkiv and kiv must come from SITE_DIR; the packaged commands, ZOR and the
kiv command beside it, must say kiv's version. "runtime": the stand-in
package is not there, so there must be no stand-in, nor its Python side, and
kiv example says what is missing. "standin": it is; the packaged kiv command
writes the guides' tiny model (the stand-in's program builder, packed by
ZOR), which runs on it and matches numpy. "serve": the server's package is
there too; the packaged kiv serve serves the tiny model over gRPC (to the
packaged stubs) and HTTP, and exits 0 on SIGTERM.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import urllib.request

import kiv
import libkiv
import numpy as np

site_dir, zor, mode = sys.argv[1:]
site_dir = os.path.realpath(site_dir)


def check(condition, what):
    if not condition:
        raise SystemExit("FAIL: " + what)


for module in (libkiv, kiv):
    where = os.path.realpath(module.__file__)
    check(where.startswith(site_dir + os.sep), "%s imported from %s, not from %s" % (module.__name__, where, site_dir))
print("libkiv and kiv imported from", site_dir)

# The commands of the runtime package (kiv, python3 -m kiv, zor), of kiv's version.
kiv_command = os.path.join(os.path.dirname(zor), "kiv")
for command, name in (([kiv_command], "kiv"), ([sys.executable, "-m", "kiv"], "kiv"), ([zor], "zor")):
    said = subprocess.run(command + ["--version"], capture_output=True, text=True, check=True).stdout.strip()
    check(said == "%s %s" % (name, kiv.__version__), "%s --version says %r, kiv is %s" % (name, said, kiv.__version__))


def example(path):
    """The packaged kiv command writing the tiny model, zor beside it on PATH."""
    env = dict(os.environ, PATH=os.path.dirname(zor) + os.pathsep + os.environ["PATH"])
    return subprocess.run([kiv_command, "example", "tiny", "-o", path], env=env, capture_output=True, text=True)


standin = os.path.join(site_dir, "kiv", "standin", "libaipudrv.so")
if mode == "runtime":
    check(kiv.standin_path() is None, "the runtime package alone brings a stand-in: %s" % kiv.standin_path())
    check(not os.path.exists(os.path.join(site_dir, "kiv", "standin")), "the runtime package holds kiv/standin")
    refused = example(os.path.join(tempfile.gettempdir(), "never.zor"))
    check(refused.returncode == 1 and "libkiv-standin" in refused.stderr,
          "kiv example without the stand-in: status %d, %r" % (refused.returncode, refused.stderr))
    print("no stand-in without its package, and kiv example names it")
    sys.exit(0)

check(kiv.standin_path() == standin, "stand-in at %s, expected %s" % (kiv.standin_path(), standin))
from kiv.standin import ProgramBuilder  # noqa: E402

where = os.path.realpath(sys.modules[ProgramBuilder.__module__].__file__)
check(where.startswith(site_dir + os.sep), "the program builder imported from %s" % where)


def serve(container, x, expected):
    """The packaged kiv serve on the container: one inference over gRPC with
    the packaged stubs, one over HTTP, then SIGTERM."""
    import grpc
    from kiv_serve_protocol import inference_pb2, inference_pb2_grpc

    where = os.path.realpath(inference_pb2.__file__)
    check(where.startswith(site_dir + os.sep), "the gRPC stubs come from %s, not from %s" % (where, site_dir))
    signal.alarm(300)  # whatever happens below, no hang
    server = subprocess.Popen([kiv_command, "serve", container, "--driver", "standin", "--http-port", "0",
                               "--grpc-port", "0"], stdout=subprocess.PIPE, text=True)
    lines = []
    while not lines or not lines[-1].startswith("kiv serve: serving"):
        lines.append(server.stdout.readline())
        check(lines[-1] != "", "kiv serve exited: %s" % lines)
    grpc_address = next(line.split("grpc://")[1].split()[0] for line in lines if "grpc://" in line)
    http_address = next(line.split("http://")[1].split()[0] for line in lines if "http://" in line)
    request = inference_pb2.ModelInferRequest(model_name="tiny")
    request.inputs.add(name="x", datatype="FP32", shape=[1, 4])
    request.raw_input_contents.append(x.tobytes())
    with grpc.insecure_channel(grpc_address) as channel:
        answer = inference_pb2_grpc.GRPCInferenceServiceStub(channel).ModelInfer(request, timeout=60)
    check(np.allclose(np.frombuffer(answer.raw_output_contents[0], np.float32), expected.ravel()),
          "gRPC answer %s" % answer)
    body = json.dumps({"inputs": [{"name": "x", "datatype": "FP32", "shape": [1, 4], "data": x.ravel().tolist()}]})
    with urllib.request.urlopen("http://%s/v2/models/tiny/infer" % http_address, body.encode(), timeout=60) as reply:
        data = json.load(reply)["outputs"][0]["data"]
    check(np.allclose(data, expected.ravel()), "HTTP answer %s" % data)
    server.send_signal(signal.SIGTERM)
    check(server.wait(60) == 0, "kiv serve exited with %s on SIGTERM" % server.returncode)
    print("kiv serve served the tiny model over gRPC and HTTP")


with tempfile.TemporaryDirectory() as work:
    container = os.path.join(work, "tiny.zor")
    written = example(container)
    check(written.returncode == 0 and written.stdout == "wrote %s\n" % container,
          "kiv example tiny: status %d, %r %r" % (written.returncode, written.stdout, written.stderr))
    with kiv.Runtime(driver="standin") as rt, rt.load(container) as model:
        check(rt.driver.is_standin and rt.driver.path == standin, "driver: %s" % rt.driver)
        x = np.array([[1, 2, -1, 0]], dtype=np.float32)  # y = [0, 0.2, 1.4]: relu cuts the first
        (y,) = model.run(x)
    # y = relu(x @ w + b), as in docs/getting-started.md.
    w = np.arange(12, dtype=np.float32).reshape(4, 3) / 10
    b = np.array([-1.0, 0.0, 1.0], dtype=np.float32)
    expected = np.maximum(x @ w + b, 0)
    check(y.dtype == np.float32 and y.shape == (1, 3), "output %s %s" % (y.dtype, y.shape))
    check(np.allclose(y, expected), "output %s, expected %s" % (y, expected))
    print("inference on the packaged stand-in, of the model kiv example wrote:", y.tolist())
    if mode == "serve":
        serve(container, x, expected)
