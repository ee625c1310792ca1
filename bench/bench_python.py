#!/usr/bin/python3
"""Python-side figures of the benchmark suite, printed as one JSON object.

Times the libkiv module on the stand-in NPU: the tiny-model call sequence, job
create/clean, asynchronous submit-to-callback, tensor transfer for bytes,
bytearray and numpy against a memmove of the same size, kiv_load_graph against
reading the file once, and batch queues against synchronous runs. Every figure
is the median of repeated samples. Run by bench/run_bench.py; usage:

    /usr/bin/python3 bench/bench_python.py --build-dir build --models DIR [--quick]
    /usr/bin/python3 bench/bench_python.py --build-dir build --peak transfer KIND MIB
    /usr/bin/python3 bench/bench_python.py --build-dir build --peak load_graph PATH
"""

import argparse
import ctypes
import json
import os
import sys
import tempfile
import threading

from bench_timing import interleaved_medians, median_seconds

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TINY_BYTES = 1024


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(SOURCE_DIR, "build")))
    parser.add_argument("--models", help="directory holding exe_<MiB>mib.zor containers for the loading figures")
    parser.add_argument("--quick", action="store_true", help="small sizes and few samples, to prove it runs")
    parser.add_argument("--peak", nargs="+", help="measure the peak memory of one operation and exit")
    return parser.parse_args()


def import_modules(build_dir):
    for path in (os.path.join(SOURCE_DIR, "python"), build_dir):
        sys.path.insert(0, path)
    # The figures are the stand-in NPU's: it is named, never looked up.
    os.environ["AIPU_LIB_PATH"] = os.path.join(build_dir, "standin", "libaipudrv.so")
    import libkiv  # noqa: E402
    import numpy  # noqa: E402
    from kiv.standin import ProgramBuilder  # noqa: E402

    return libkiv, numpy, ProgramBuilder


def per_call_seconds(fn, calls, samples):
    """Median over `samples` of the mean time of `calls` back-to-back calls."""

    def batch():
        for _ in range(calls):
            fn()

    return median_seconds(batch, samples, warmup=1) / calls


def check(status, what):
    if int(status) != 0:
        sys.exit("bench_python: %s failed with status %d" % (what, int(status)))


class Session:
    """An NPU with an open context and a copy model of a chosen tensor size."""

    def __init__(self, libkiv, ProgramBuilder, build_dir, workdir, tensor_bytes, name):
        builder = ProgramBuilder()
        x = builder.input([tensor_bytes], "uint8")
        y = builder.output([tensor_bytes], "uint8")
        builder.copy(y, x)
        self.path = write_container(build_dir, workdir, name, builder.build())
        self.libkiv = libkiv
        self.npu = libkiv.NPU()
        check(self.npu.kiv_init_context(), "kiv_init_context")
        status, self.graph = self.npu.kiv_load_graph(self.path)
        check(status, "kiv_load_graph")
        status, self.job = self.npu.kiv_create_job(self.graph)
        check(status, "kiv_create_job")

    def close(self):
        self.npu.kiv_clean_job(self.job)
        self.npu.kiv_unload_graph(self.graph)
        self.npu.kiv_deinit_context()


def write_container(build_dir, workdir, name, program):
    import subprocess

    bin_path = os.path.join(workdir, name + ".bin")
    with open(bin_path, "wb") as f:
        f.write(program)
    out = os.path.join(workdir, name + ".zor")
    zor = os.path.join(build_dir, "tools", "zor", "zor")
    subprocess.run([zor, "pack", "--bin", bin_path, "-o", out], check=True, stdout=subprocess.DEVNULL)
    return out


def call_overhead(s, samples):
    npu, libkiv, job = s.npu, s.libkiv, s.job
    x = bytes(range(256)) * (TINY_BYTES // 256)

    def infer():
        npu.kiv_load_tensor(job, 0, x)
        npu.kiv_job_infer_sync(job, -1)
        return npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)

    status, data = infer()
    check(status, "tiny inference")
    if data != x:
        sys.exit("bench_python: the tiny model returned other bytes")

    def create_clean():
        status, job_id = npu.kiv_create_job(s.graph)
        npu.kiv_clean_job(job_id)

    done = threading.Semaphore(0)

    def callback(job_id, job_status):
        done.release()
        return 0

    def async_to_callback():
        npu.kiv_job_infer_async(job, callback)
        if not done.acquire(timeout=60):
            sys.exit("bench_python: no completion callback within 60 s")

    return {
        "infer_us": per_call_seconds(infer, 50, samples) * 1e6,
        "create_clean_us": per_call_seconds(create_clean, 50, samples) * 1e6,
        "async_to_callback_us": per_call_seconds(async_to_callback, 50, samples) * 1e6,
    }


def memmove_floors(np, size):
    """A memmove into touched memory, and one into a new numpy array (the
    least that returning a new object of that size can cost)."""
    src = np.full(size, 1, dtype=np.uint8)
    dst = np.zeros(size, dtype=np.uint8)

    # The closures hold the arrays themselves: an address alone would not
    # keep them alive.
    def into_touched():
        ctypes.memmove(dst.ctypes.data, src.ctypes.data, size)

    def into_new():
        fresh = np.empty(size, dtype=np.uint8)
        ctypes.memmove(fresh.ctypes.data, src.ctypes.data, size)

    return into_touched, into_new


def make_input(np, kind, size):
    # Built without temporaries larger than the tensor, which would show in
    # the peak memory of the transfer.
    data = np.resize(np.arange(256, dtype=np.uint8), size)
    if kind == "bytes":
        return data.tobytes()
    if kind == "bytearray":
        return bytearray(data.tobytes())
    return data


def transfer(libkiv, np, ProgramBuilder, build_dir, workdir, sizes_mib, samples):
    rows = []
    for mib in sizes_mib:
        size = mib << 20
        s = Session(libkiv, ProgramBuilder, build_dir, workdir, size, "transfer_%d" % mib)
        try:
            memmove, memmove_new = memmove_floors(np, size)
            for kind in ("bytes", "bytearray", "numpy"):
                obj = make_input(np, kind, size)
                check(s.npu.kiv_load_tensor(s.job, 0, obj), "kiv_load_tensor")
                check(s.npu.kiv_job_infer_sync(s.job, -1), "kiv_job_infer_sync")
                status, data = s.npu.kiv_get_tensor(s.job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
                returned = "ndarray" if kind == "numpy" else kind
                if type(data).__name__ != returned or bytes(data[:64]) != bytes(obj[:64]):
                    sys.exit("bench_python: %s round trip returned other data" % kind)
                del data
                t = interleaved_medians(
                    {
                        "memmove_s": memmove,
                        "memmove_new_s": memmove_new,
                        "load_s": lambda: s.npu.kiv_load_tensor(s.job, 0, obj),
                        "get_s": lambda: s.npu.kiv_get_tensor(s.job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0),
                    },
                    samples,
                )
                rows.append(dict(kind=kind, mib=mib, **t))
        finally:
            s.close()
    return rows


def model_loading(libkiv, models_dir, sizes_mib, samples):
    npu = libkiv.NPU()
    check(npu.kiv_init_context(), "kiv_init_context")
    rows = []
    try:
        for mib in sizes_mib:
            path = os.path.join(models_dir, "exe_%dmib.zor" % mib)

            def read_once():
                with open(path, "rb") as f:
                    return len(f.read())

            def load():
                status, graph = npu.kiv_load_graph(path)
                check(status, "kiv_load_graph")
                npu.kiv_unload_graph(graph)

            rows.append(dict(mib=mib, **interleaved_medians({"read_s": read_once, "load_s": load}, samples)))
    finally:
        npu.kiv_deinit_context()
    return rows


def batch(s, np, counts, samples):
    npu, libkiv = s.npu, s.libkiv
    rows = []
    for n in counts:
        inputs = [np.full(TINY_BYTES, i % 251, dtype=np.uint8) for i in range(n)]
        outputs = [np.zeros(TINY_BYTES, dtype=np.uint8) for _ in range(n)]

        def queue():
            status, q = npu.kiv_create_batch_queue(s.graph)
            for i in range(n):
                npu.kiv_add_batch(s.graph, q, [inputs[i]], [outputs[i]])
            npu.kiv_finish_batch(s.graph, q)
            npu.kiv_clean_batch_queue(s.graph, q)

        def sync_jobs():
            for i in range(n):
                npu.kiv_load_tensor(s.job, 0, inputs[i])
                npu.kiv_job_infer_sync(s.job, -1)
                npu.kiv_get_tensor(s.job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)

        t = interleaved_medians({"queue_s": queue, "sync_s": sync_jobs}, samples)
        if not np.array_equal(outputs[-1], inputs[-1]):
            sys.exit("bench_python: the batch queue returned other data")
        rows.append(dict(n=n, **t))
    return rows


def reset_peak():
    """Starts a new peak (VmHWM) from the current resident size, so that the
    peak seen afterwards belongs to the operation alone."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def peak(args, libkiv, np, ProgramBuilder):
    """One operation in this fresh process: resident memory before, peak after."""
    what = args.peak[0]
    if what == "transfer":
        kind, mib = args.peak[1], int(args.peak[2])
        with tempfile.TemporaryDirectory() as workdir:
            s = Session(libkiv, ProgramBuilder, args.build_dir, workdir, mib << 20, "peak")
            obj = make_input(np, kind, mib << 20)
            reset_peak()
            before = status_bytes("VmRSS:")
            check(s.npu.kiv_load_tensor(s.job, 0, obj), "kiv_load_tensor")
            status, data = s.npu.kiv_get_tensor(s.job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
            check(status, "kiv_get_tensor")
            result = {"rss_before": before, "peak": status_bytes("VmHWM:"), "bytes": mib << 20}
            del data
            s.close()
    else:
        npu = libkiv.NPU()
        check(npu.kiv_init_context(), "kiv_init_context")
        reset_peak()
        before = status_bytes("VmRSS:")
        status, graph = npu.kiv_load_graph(args.peak[1])
        check(status, "kiv_load_graph")
        result = {"rss_before": before, "peak": status_bytes("VmHWM:"), "bytes": os.path.getsize(args.peak[1])}
        npu.kiv_deinit_context()
    print(json.dumps(result))


def main():
    args = parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    libkiv, np, ProgramBuilder = import_modules(args.build_dir)
    if args.peak:
        peak(args, libkiv, np, ProgramBuilder)
        return
    samples = 3 if args.quick else 15
    tensor_sizes = [1] if args.quick else [1, 16, 64]
    exe_sizes = [1] if args.quick else [1, 64, 256]
    counts = [4] if args.quick else [16, 128]
    result = {}
    with tempfile.TemporaryDirectory() as workdir:
        tiny = Session(libkiv, ProgramBuilder, args.build_dir, workdir, TINY_BYTES, "tiny")
        try:
            result["call"] = call_overhead(tiny, samples)
            result["batch"] = batch(tiny, np, counts, samples)
        finally:
            tiny.close()
        result["transfer"] = transfer(libkiv, np, ProgramBuilder, args.build_dir, workdir, tensor_sizes, samples)
    if args.models:
        result["loading"] = model_loading(libkiv, args.models, exe_sizes, max(3, samples // 3))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
