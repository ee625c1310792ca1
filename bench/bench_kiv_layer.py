#!/usr/bin/python3
"""Latency of kiv.Model.run against the raw libkiv call sequence.

Builds a small fully connected model for the stand-in NPU, runs it through
both paths and prints the median latency of each with its ratio to the raw
sequence. Usage:

    /usr/bin/python3 bench/bench_kiv_layer.py [--build-dir build] [--iterations N] [--quick]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

from bench_timing import median_seconds

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(SOURCE_DIR, "build")))
    parser.add_argument("--iterations", type=int, default=500, help="timed runs per variant")
    parser.add_argument("--warmup", type=int, default=20, help="untimed runs per variant")
    parser.add_argument("--quick", action="store_true", help="a few runs only, for CI smoke tests")
    args = parser.parse_args()
    if args.quick:
        args.iterations, args.warmup = 20, 2
    return args


def import_modules(build_dir):
    for path in (os.path.join(SOURCE_DIR, "standin_driver", "python"), os.path.join(SOURCE_DIR, "python"), build_dir):
        sys.path.insert(0, path)
    import libkiv  # noqa: E402
    import kiv  # noqa: E402
    from npu_program import ProgramBuilder  # noqa: E402

    return libkiv, kiv, ProgramBuilder


def build_model(np, ProgramBuilder, build_dir, workdir):
    """A [1,64] x [64,16] fully connected layer with bias and relu, float32."""
    rng = np.random.default_rng(1)
    builder = ProgramBuilder()
    x = builder.input([1, 64], "float32")
    w = builder.constant(rng.standard_normal((64, 16)).astype(np.float32))
    b = builder.constant(rng.standard_normal(16).astype(np.float32))
    t = builder.temp([1, 16], "float32")
    y = builder.output([1, 16], "float32")
    builder.fully_connected(t, x, w, b)
    builder.relu(y, t)
    program = os.path.join(workdir, "fc.bin")
    with open(program, "wb") as f:
        f.write(builder.build())
    io_path = os.path.join(workdir, "io.json")
    with open(io_path, "w") as f:
        json.dump(
            {
                "name": "bench_fc",
                "version": [1, 0, 0],
                "input_tensors": [{"name": "x", "shape": [1, 64], "dtype": 11}],
                "output_tensors": [{"name": "y", "shape": [1, 16], "dtype": 11}],
            },
            f,
        )
    model = os.path.join(workdir, "fc.zor")
    zor = os.path.join(build_dir, "tools", "zor", "zor")
    subprocess.run([zor, "pack", "--bin", program, "--io", io_path, "-o", model], check=True, stdout=subprocess.DEVNULL)
    return model


def median_us(fn, iterations, warmup):
    return median_seconds(fn, iterations, warmup) * 1e6


def raw_sequence(libkiv, npu, graph_id, x):
    """What a libkiv program does per inference: create, load, run, read, clean."""

    def run_once():
        status, job = npu.kiv_create_job(graph_id)
        assert status == 0, status
        assert npu.kiv_load_tensor(job, 0, x) == 0
        assert npu.kiv_job_infer_sync(job) == 0
        status, data = npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
        assert status == 0, status
        assert npu.kiv_clean_job(job) == 0
        return data

    return run_once


def raw_async_sequence(libkiv, npu, job, x):
    """The same with one reused job and kiv_job_infer_async plus a Python-level wait."""
    import threading

    def run_once():
        done = threading.Event()
        assert npu.kiv_load_tensor(job, 0, x) == 0
        assert npu.kiv_job_infer_async(job, lambda job_id, job_status: done.set() or 0) == 0
        assert done.wait(60)
        status, data = npu.kiv_get_tensor(job, libkiv.KIV_TENSOR_TYPE_OUTPUT, 0)
        assert status == 0, status
        return data

    return run_once


def main():
    args = parse_args()
    libkiv, kiv, ProgramBuilder = import_modules(os.path.abspath(args.build_dir))
    import numpy as np

    with tempfile.TemporaryDirectory() as workdir:
        path = build_model(np, ProgramBuilder, args.build_dir, workdir)
        x = np.random.default_rng(2).standard_normal((1, 64)).astype(np.float32)
        rows = []
        with kiv.Runtime(driver="standin") as runtime:
            status, graph_id = runtime.npu.kiv_load_graph(path)
            if status != 0:
                sys.exit("kiv_load_graph failed with status %d" % int(status))
            try:
                raw = median_us(raw_sequence(libkiv, runtime.npu, graph_id, x), args.iterations, args.warmup)
                status, job = runtime.npu.kiv_create_job(graph_id)
                assert status == 0, status
                raw_async = median_us(raw_async_sequence(libkiv, runtime.npu, job, x), args.iterations, args.warmup)
                runtime.npu.kiv_clean_job(job)
            finally:
                runtime.npu.kiv_unload_graph(graph_id)
            rows.append(("libkiv: create/load/infer_sync/get/clean", raw))
            rows.append(("libkiv: load/infer_async+wait/get, one job", raw_async))
            with runtime.load(path) as model:
                rows.append(("kiv: Model.run (job reuse)", median_us(lambda: model.run(x), args.iterations, args.warmup)))
            with runtime.load(path, max_idle_jobs=0) as model:
                rows.append(("kiv: Model.run (new job per run)", median_us(lambda: model.run(x), args.iterations, args.warmup)))
            with runtime.load(path) as model:
                rows.append(
                    ("kiv: Model.submit().result()", median_us(lambda: model.submit(x).result(), args.iterations, args.warmup))
                )

    width = max(len(name) for name, _ in rows)
    print("%-*s  %12s  %8s" % (width, "variant", "median [us]", "ratio"))
    print("-" * (width + 24))
    for name, value in rows:
        print("%-*s  %12.1f  %8.2f" % (width, name, value, value / raw))
    print("(%d timed runs per variant, ratio relative to the raw libkiv sequence)" % args.iterations)


if __name__ == "__main__":
    main()
