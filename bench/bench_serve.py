#!/usr/bin/python3
"""kiv serve against in-process kiv, on the stand-in NPU, with the clients in
processes of their own (gRPC with the project's stubs, HTTP with binary data).

1. Latency, one client, tiny model (1 KiB in and out): the median round trip
   over gRPC and over HTTP against in-process Model.run, in blocks taken in
   turn; the added latency's targets are 250 us (gRPC) and 400 us (HTTP).
   The round trip of the health calls (ServerLive, /v2/health/live), which
   run no model, is the transports' own floor.
2. Jobs of 2 ms, 16 clients: how busy the stand-in's four cores are (jobs
   done x 2 ms / (4 x the time)); target >= 95 %.
3. Tiny jobs, 32 clients: requests per second against in-process Model.map,
   with and without dynamic batching, and with clients that stream; target
   >= 0.5. The CPU time per request of the server and of the clients, and
   where the server spends it (its profile), show what bounds it.
4. A 64 MiB input and output through shared memory: the time of a request
   against a numpy copy of the same bytes (target >= 0.8), and against
   in-process Model.run with out= (the runtime's own copies).
5. Many requests from 64 clients (one million in the full run), over gRPC
   calls, gRPC streams and HTTP: none lost, none wrong, and the server's
   resident memory grows by less than 20 MiB after the warm-up.

Usage:
    /usr/bin/python3 bench/bench_serve.py [--build-dir build] [--quick] [--only 1,3] [--json FILE]
"""

import argparse
import itertools
import json
import multiprocessing
import os
import pstats
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from bench_kiv_layer import copy_model

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TINY_FLOATS = 256  # 1 KiB of float32
SLOW_MS = 2
CORES = 4  # the stand-in's


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(SOURCE_DIR, "build")))
    parser.add_argument("--quick", action="store_true", help="few samples and small sizes, for CI smoke tests")
    parser.add_argument("--only", default="1,2,3,4,5", help="the figures to measure, by number")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    args.only = {int(n) for n in args.only.split(",")}
    args.latency_samples = 200 if args.quick else 4000
    args.seconds = 2.0 if args.quick else 10.0
    args.big_mib = 4 if args.quick else 64
    args.big_samples = 3 if args.quick else 15
    args.many = 4000 if args.quick else 1_000_000
    # Clients of figures 2, 3 and 5: a few in the quick mode, which only proves the figures run.
    args.busy_clients, args.tiny_clients, args.many_clients = (4, 4, 8) if args.quick else (16, 32, 64)
    return args


def search_path(build_dir):
    return [os.path.abspath(build_dir), os.path.join(SOURCE_DIR, "python"), os.path.join(SOURCE_DIR, "bench")]


def import_modules(build_dir):
    for path in reversed(search_path(build_dir)):
        sys.path.insert(0, path)
    os.environ["PYTHONPATH"] = os.pathsep.join(search_path(build_dir))
    os.environ["AIPU_LIB_PATH"] = os.path.join(os.path.abspath(build_dir), "standin", "libaipudrv.so")


# The server, a child process.

class Server:
    """`kiv serve DIRECTORY` on free ports, optionally under cProfile."""

    def __init__(self, directory, *options, profile=None):
        prefix = [sys.executable] + (["-m", "cProfile", "-o", profile] if profile else []) + ["-m", "kiv"]
        self.process = subprocess.Popen(
            prefix + ["serve", directory, "--driver", "standin", "--http-port", "0", "--grpc-port", "0",
                      "--max-queue", "4096", "--log-level", "WARNING", *options],
            stdout=subprocess.PIPE, text=True)
        lines = []
        while not lines or not lines[-1].startswith("kiv serve: serving"):
            lines.append(self.process.stdout.readline())
            if not lines[-1]:
                raise SystemExit("kiv serve did not start: %s" % lines)
        self.grpc = next(line.split("grpc://")[1].split()[0] for line in lines if "grpc://" in line)
        self.http = next(line.split("http://")[1].split()[0] for line in lines if "http://" in line)

    def cpu_seconds(self):
        fields = open("/proc/%d/stat" % self.process.pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mib(self):
        for line in open("/proc/%d/status" % self.process.pid):
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
        return 0.0

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        if self.process.wait(120) != 0:
            raise SystemExit("kiv serve exited with %d" % self.process.returncode)


# Clients, each in a process of its own.

class Client:
    """Requests of one model (which copies x to y) over one transport, each
    output checked against its input."""

    def __init__(self, transport, target, model, floats, dtype="float32"):
        import numpy as np

        self.np = np
        self.transport, self.model = transport, model
        self.shape, self.dtype = (1, floats), np.dtype(dtype)
        if transport == "http":
            import http.client
            host, port = target.rsplit(":", 1)
            self.connection = http.client.HTTPConnection(host, int(port))
        else:
            import grpc
            from kiv_serve_protocol import inference_pb2, inference_pb2_grpc
            self.pb = inference_pb2
            self.stub = inference_pb2_grpc.GRPCInferenceServiceStub(grpc.insecure_channel(target))

    def array(self, tag):
        x = self.np.zeros(self.shape, self.dtype)
        x.flat[:2] = tag
        return x

    def grpc_request(self, x):
        request = self.pb.ModelInferRequest(model_name=self.model)
        request.inputs.add(name="x", datatype="FP32" if self.dtype.kind == "f" else "UINT8", shape=list(self.shape))
        request.raw_input_contents.append(x.tobytes())
        return request

    def http_call(self, x):
        head = json.dumps({"inputs": [{"name": "x", "datatype": "FP32", "shape": list(self.shape),
                                       "parameters": {"binary_data_size": x.nbytes}}],
                           "parameters": {"binary_data_output": True}}).encode()
        self.connection.request("POST", "/v2/models/%s/infer" % self.model, head + x.tobytes(),
                                {"Inference-Header-Content-Length": str(len(head))})
        response = self.connection.getresponse()
        body = response.read()
        if response.status != 200:
            return None
        return body[int(response.getheader("Inference-Header-Content-Length")):]

    def call(self, x):
        """The output's bytes, or None when the request failed."""
        if self.transport == "http":
            return self.http_call(x)
        try:
            return self.stub.ModelInfer(self.grpc_request(x)).raw_output_contents[0]
        except Exception:
            return None

    def stream(self, xs, window=8):
        """The outputs of a stream of requests, at most `window` unanswered."""
        import queue
        import threading

        slots = threading.Semaphore(window)
        requests = queue.Queue()

        def feed():
            for n, x in enumerate(xs):
                slots.acquire()
                request = self.grpc_request(x)
                request.id = str(n)
                requests.put(request)
            requests.put(None)

        threading.Thread(target=feed, daemon=True).start()
        for answer in self.stub.ModelStreamInfer(iter(requests.get, None)):
            slots.release()
            yield int(answer.infer_response.id), (answer.infer_response.raw_output_contents[0]
                                                  if not answer.error_message else None)

    def health(self):
        if self.transport == "http":
            self.connection.request("GET", "/v2/health/live")
            self.connection.getresponse().read()
        else:
            self.stub.ServerLive(self.pb.ServerLiveRequest())


def latency_client(pipe, transport, target, model):
    """Answers "infer N" and "health N" with the N round trips' times."""
    client = Client(transport, target, model, TINY_FLOATS)
    x = client.array(1)
    while True:
        command = pipe.recv()
        if command is None:
            return
        what, count = command
        call = client.health if what == "health" else (lambda: client.call(x))
        times = []
        for _ in range(count):
            started = time.perf_counter()
            call()
            times.append(time.perf_counter() - started)
        pipe.send(times)


def load_client(transport, target, model, floats, number, count, seconds, start, results):
    """Requests for `seconds` (or `count` of them), each with its own input,
    once every client is ready (`start`, a barrier): (requests, failed,
    wrong, CPU seconds of the requests)."""
    client = Client(transport, target, model, floats)
    np = client.np
    client.call(client.array(number))  # connected, and the first request's costs paid
    start.wait()
    cpu = time.process_time()
    done = failed = wrong = 0
    deadline = time.monotonic() + seconds if seconds else None
    inputs = (client.array((number, n)) for n in range(count or 1 << 62))
    if deadline is not None:
        inputs = itertools.takewhile(lambda _: time.monotonic() < deadline, inputs)
    if transport == "stream":
        kept = {}

        def feed():
            for n, x in enumerate(inputs):
                kept[n] = x
                yield x

        answers = ((kept.pop(n), out) for n, out in client.stream(feed()))
    else:
        answers = ((x, client.call(x)) for x in inputs)
    for x, out in answers:
        done += 1
        failed += out is None
        wrong += out is not None and not np.array_equal(np.frombuffer(out, x.dtype), x.ravel())
    results.put((done, failed, wrong, time.process_time() - cpu))


def run_clients(server, transports, model, floats, seconds=0.0, count=0):
    """Clients in processes of their own, one per entry of `transports`,
    started together once all are ready: (requests, failed, wrong, wall
    seconds, client CPU seconds, server CPU seconds) of the requests."""
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    start = context.Barrier(len(transports) + 1)
    per_client = count // len(transports) if count else 0
    processes = [context.Process(target=load_client, args=(
        transport, server.http if transport == "http" else server.grpc, model, floats, number, per_client, seconds,
        start, results)) for number, transport in enumerate(transports)]
    for process in processes:
        process.start()
    start.wait(timeout=600)
    cpu_before = server.cpu_seconds()
    started = time.monotonic()
    outcomes = [results.get(timeout=3600) for _ in processes]
    wall = time.monotonic() - started
    server_cpu = server.cpu_seconds() - cpu_before
    for process in processes:
        process.join()
    totals = [sum(values) for values in zip(*outcomes)]
    return (*totals[:3], wall, totals[3], server_cpu)


# The figures.

def figure_latency(kiv, np, workdir, args):
    tiny = os.path.join(workdir, "tiny.zor")
    server = Server(workdir)
    context = multiprocessing.get_context("spawn")
    pipes = {}
    processes = []
    for transport in ("grpc", "http"):
        ours, theirs = context.Pipe()
        process = context.Process(target=latency_client,
                                  args=(theirs, transport, server.grpc if transport == "grpc" else server.http, "tiny"))
        process.start()
        pipes[transport] = ours
        processes.append(process)
    times = {name: [] for name in ("in-process Model.run", "grpc", "http", "grpc health", "http health")}
    block = max(10, args.latency_samples // 20)
    with kiv.Runtime(driver="standin") as runtime, runtime.load(tiny) as model:
        x = np.zeros((1, TINY_FLOATS), np.float32)
        for transport in pipes:  # warm-up
            pipes[transport].send(("infer", block))
            pipes[transport].recv()
        for _ in range(max(1, args.latency_samples // block)):
            for _ in range(block):
                started = time.perf_counter()
                model.run(x)
                times["in-process Model.run"].append(time.perf_counter() - started)
            for transport, pipe in pipes.items():
                for what in ("infer", "health"):
                    pipe.send((what, block))
                    times[transport + ("" if what == "infer" else " health")] += pipe.recv()
    for pipe in pipes.values():
        pipe.send(None)
    for process in processes:
        process.join()
    server.stop()
    medians = {name: statistics.median(t) * 1e6 for name, t in times.items()}
    base = medians["in-process Model.run"]
    rows = [("in-process Model.run", medians["in-process Model.run"], "", "")]
    for transport, target in (("grpc", 250), ("http", 400)):
        rows.append((transport + " (tiny model)", medians[transport], medians[transport] - base, "<= %d" % target))
        rows.append((transport + " health call", medians[transport + " health"], "", ""))
    print_table("1. Latency, one client, tiny model (median us)", ("path", "median", "added", "target"), rows)
    return {"median_us": medians, "added_us": {t: medians[t] - base for t in ("grpc", "http")}}


def figure_busy_cores(workdir, args):
    rows, figures = [], {}
    for in_flight in (8, 16):  # the default, twice the cores; and twice that
        server = Server(workdir, "--in-flight", str(in_flight))
        clients = ["grpc"] * args.busy_clients
        done, failed, wrong, wall, client_cpu, server_cpu = run_clients(server, clients, "slow", TINY_FLOATS,
                                                                        seconds=args.seconds)
        server.stop()
        busy = (done - failed) * SLOW_MS / 1000 / (CORES * wall)
        rows.append((in_flight, done, failed + wrong, "%.1f %%" % (100 * busy), "%.0f" % (1e6 * server_cpu / done),
                     "%.0f" % (1e6 * client_cpu / done), "%.2f" % ((server_cpu + client_cpu) / wall), ">= 95 %"))
        figures[in_flight] = {"requests": done, "failed": failed, "wrong": wrong, "busy": busy,
                              "server_cpu_us": 1e6 * server_cpu / done, "client_cpu_us": 1e6 * client_cpu / done}
    print_table("2. Jobs of %d ms, %d gRPC clients, %.0f s" % (SLOW_MS, args.busy_clients, args.seconds),
                ("jobs in flight", "requests", "lost or wrong", "cores busy", "server CPU us/req",
                 "clients CPU us/req", "CPUs busy", "target"), rows)
    return figures


def in_process_map(kiv, np, path, seconds):
    with kiv.Runtime(driver="standin") as runtime, runtime.load(path) as model:
        x = np.zeros((1, TINY_FLOATS), np.float32)
        done = 0
        started = time.monotonic()
        while time.monotonic() - started < seconds:
            for _ in model.map(x for _ in range(2000)):
                done += 1
        return done / (time.monotonic() - started)


def profile_summary(path, limit=8):
    """The server's own time (tottime) by where it goes, largest first."""
    stats = pstats.Stats(path)
    groups = {}
    for (filename, _, function), (_, _, tottime, _, _) in stats.stats.items():
        if function == "<method 'run' of '_contextvars.Context' objects>":
            # What a loop callback spends in compiled code: grpc.aio's Cython
            # (its completion queue events and calls), which cProfile does not see.
            group = "grpc.aio's compiled code (loop callbacks)"
        elif function in ("<built-in method builtins.compile>", "<built-in method marshal.loads>",
                          "<built-in method _imp.create_dynamic>", "<built-in method _io.open_code>"):
            group = "start-up (imports)"
        elif "kiv/serve" in filename:
            group = "kiv serve: " + os.path.basename(filename)
        elif "/kiv/" in filename or function.startswith("<built-in method kiv."):
            group = "kiv (submit, outputs)"
        elif "grpc" in filename or "cygrpc" in function:
            group = "grpc"
        elif "aiohttp" in filename:
            group = "aiohttp"
        elif "select.epoll" in function:
            group = "idle (epoll wait)"
        elif "asyncio" in filename or "selectors" in filename:
            group = "asyncio (the event loop)"
        elif "protobuf" in filename or "SerializeToString" in function or "FromString" in function:
            group = "protobuf"
        else:
            group = "other"
        groups[group] = groups.get(group, 0.0) + tottime
    total = sum(t for g, t in groups.items() if not g.startswith("idle"))
    ranked = sorted(((t, g) for g, t in groups.items() if not g.startswith("idle")), reverse=True)
    return [(group, "%.0f %%" % (100 * t / total)) for t, group in ranked[:limit]]


def figure_throughput(kiv, np, workdir, args):
    tiny = os.path.join(workdir, "tiny.zor")
    floor = in_process_map(kiv, np, tiny, args.seconds)
    rows, figures = [], {"in_process_map_per_s": floor}
    for label, options, transport in (("gRPC calls", [], "grpc"),
                                      ("gRPC calls, batches of up to 8", ["--batch-size", "8"], "grpc"),
                                      ("gRPC streams (8 unanswered each)", [], "stream"),
                                      ("HTTP, binary data", [], "http")):
        server = Server(workdir, *options)
        done, failed, wrong, wall, client_cpu, server_cpu = run_clients(
            server, [transport] * args.tiny_clients, "tiny", TINY_FLOATS, seconds=args.seconds)
        server.stop()
        rate = (done - failed) / wall
        rows.append((label, "%.0f" % rate, "%.3f" % (rate / floor), failed + wrong,
                     "%.0f" % (1e6 * server_cpu / done), "%.0f" % (1e6 * client_cpu / done),
                     "%.2f" % ((server_cpu + client_cpu) / wall)))
        figures[label] = {"per_s": rate, "ratio": rate / floor, "failed": failed, "wrong": wrong,
                          "server_cpu_us": 1e6 * server_cpu / done, "client_cpu_us": 1e6 * client_cpu / done}
    print_table("3. Tiny jobs, %d clients, against in-process Model.map (%.0f/s); target >= 0.5"
                % (args.tiny_clients, floor),
                ("clients", "requests/s", "ratio", "lost or wrong", "server CPU us/req", "clients CPU us/req",
                 "CPUs busy"), rows)
    # What bounds it: where the server's time goes under the same load.
    profile = os.path.join(workdir, "serve.prof")
    server = Server(workdir, profile=profile)
    run_clients(server, ["grpc"] * args.tiny_clients, "tiny", TINY_FLOATS, seconds=args.seconds / 2)
    server.stop()
    summary = profile_summary(profile)
    print_table("   the server's time under %d gRPC clients (cProfile, idle time left out)" % args.tiny_clients,
                ("where", "share"), summary)
    figures["profile"] = dict(summary)
    return figures


def figure_shared_memory(kiv, np, workdir, args):
    import _posixshmem
    import mmap

    import grpc
    from kiv_serve_protocol import inference_pb2 as pb
    from kiv_serve_protocol import inference_pb2_grpc as pb_grpc

    size = args.big_mib << 20
    big = os.path.join(workdir, "big.zor")
    server = Server(workdir)
    keys = ["/kiv-bench-%d-%s" % (os.getpid(), name) for name in ("in", "out")]
    views = []
    for key in keys:
        fd = _posixshmem.shm_open(key, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
        os.ftruncate(fd, size)
        views.append(np.frombuffer(mmap.mmap(fd, size), np.uint8))
        os.close(fd)
    try:
        views[0][:] = np.arange(size, dtype=np.uint64).astype(np.uint8)
        stub = pb_grpc.GRPCInferenceServiceStub(grpc.insecure_channel(server.grpc))
        request = pb.ModelInferRequest(model_name="big")
        for key, name in zip(keys, ("in", "out")):
            stub.SystemSharedMemoryRegister(pb.SystemSharedMemoryRegisterRequest(name=name, key=key, byte_size=size))
        tensor = request.inputs.add(name="x", datatype="UINT8", shape=[1, size])
        output = request.outputs.add(name="y")
        for parameters, region in ((tensor.parameters, "in"), (output.parameters, "out")):
            parameters["shared_memory_region"].string_param = region
            parameters["shared_memory_byte_size"].int64_param = size

        def served():
            stub.ModelInfer(request)

        source, target = np.ones(size, np.uint8), np.zeros(size, np.uint8)
        with kiv.Runtime(driver="standin") as runtime, runtime.load(big) as model:
            x, y = np.ones((1, size), np.uint8), np.zeros((1, size), np.uint8)
            medians = interleaved({"kiv serve, shared memory": served,
                                   "in-process Model.run(out=)": lambda: model.run(x, out=[y]),
                                   "numpy copy": lambda: np.copyto(target, source)}, args.big_samples)
        assert np.array_equal(views[0], views[1]), "the output in shared memory is not the input"
    finally:
        for key in keys:
            _posixshmem.shm_unlink(key)
        server.stop()
    copy = medians["numpy copy"]
    rows = [(name, "%.2f" % (seconds * 1e3), "%.2f" % (copy / seconds), ">= 0.8" if "serve" in name else "")
            for name, seconds in medians.items()]
    print_table("4. %d MiB in and out through shared memory, against a numpy copy of the bytes" % args.big_mib,
                ("path", "ms", "numpy copy / this", "target"), rows)
    return {name: seconds for name, seconds in medians.items()}


def interleaved(calls, samples):
    times = {name: [] for name in calls}
    for call in calls.values():
        call()
    for _ in range(samples):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - started)
    return {name: statistics.median(t) for name, t in times.items()}


def figure_many(workdir, args):
    server = Server(workdir)
    transports = ["grpc", "grpc", "stream", "http"] * (args.many_clients // 4)
    warm = max(len(transports) * 50, args.many // 50)
    run_clients(server, transports, "tiny", TINY_FLOATS, count=warm)
    rss_warm = server.rss_mib()
    done, failed, wrong, wall, _, _ = run_clients(server, transports, "tiny", TINY_FLOATS, count=args.many)
    rss_end = server.rss_mib()
    server.stop()
    expected = (args.many // len(transports)) * len(transports)
    lost = expected - done + failed
    print_table("5. %d requests from %d clients (gRPC calls, gRPC streams, HTTP)" % (expected, len(transports)),
                ("answered", "lost", "wrong", "seconds", "RSS after warm-up MiB", "growth MiB", "target"),
                [(done - failed, lost, wrong, "%.0f" % wall, "%.1f" % rss_warm, "%.1f" % (rss_end - rss_warm),
                  "0 lost, 0 wrong, < 20 MiB")])
    return {"requests": expected, "lost": lost, "wrong": wrong, "rss_growth_mib": rss_end - rss_warm,
            "seconds": wall}


def print_table(title, header, rows):
    print("\n" + title)
    cells = [[str(c) if not isinstance(c, float) else "%.1f" % c for c in row] for row in [header, *rows]]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    for row in cells:
        print("  " + "  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))))
    sys.stdout.flush()


def make_models(workdir, args):
    from kiv.standin import ProgramBuilder

    copy_model(ProgramBuilder, args.build_dir, workdir, "tiny", (1, TINY_FLOATS), "float32")
    copy_model(ProgramBuilder, args.build_dir, workdir, "slow", (1, TINY_FLOATS), "float32", wait_ms=SLOW_MS)
    copy_model(ProgramBuilder, args.build_dir, workdir, "big", (1, args.big_mib << 20), "uint8")


def main():
    args = parse_args()
    import_modules(args.build_dir)
    import kiv
    import numpy as np

    print("kiv serve against in-process kiv on the stand-in NPU; %d CPUs, load average %s%s"
          % (os.cpu_count(), " ".join("%.2f" % v for v in os.getloadavg()), ", quick" if args.quick else ""))
    results = {}
    with tempfile.TemporaryDirectory() as workdir:
        make_models(workdir, args)
        figures = {1: lambda: figure_latency(kiv, np, workdir, args), 2: lambda: figure_busy_cores(workdir, args),
                   3: lambda: figure_throughput(kiv, np, workdir, args),
                   4: lambda: figure_shared_memory(kiv, np, workdir, args), 5: lambda: figure_many(workdir, args)}
        for number in sorted(args.only):
            results[number] = figures[number]()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
