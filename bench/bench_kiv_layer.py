#!/usr/bin/python3
"""What the kiv layer costs above the raw libkiv calls, on the stand-in NPU.

Three tables, every figure a median of samples interleaved with its floor's,
so that both see the same load of the moment:

1. Latency on a tiny model (1 KiB in, 1 KiB out) against the raw blocking
   libkiv sequence on a reused job (kiv_load_tensor, kiv_job_infer_sync,
   kiv_get_tensor): Model.run (target <= 1.5) and Model.submit().result()
   (target <= 2.5), each called in a loop as a program does, in blocks
   taken in turn with the floor's. Beside them, the same raw sequence run
   asynchronously (kiv_job_infer_async, a Python callback, an event): what
   any asynchronous completion costs on this driver. Measured across all
   CPUs, as programs run (the targets apply there), where every hand-off
   between threads also pays for waking an idle CPU, and with every thread
   of the process on one CPU, where the figures are the work done.
2. Overlap: 32 jobs of 2 ms simulated device time each, one by one through
   Model.run against all in flight through Model.submit.
3. A 64 MiB output: libkiv's zero-filled kiv_get_tensor, and the output read
   of Model.run (kiv_get_tensor and the view as the tensor's array), against
   a copy into a new numpy array of the same size (target >= 0.9).
4. Priority: the latency of a quick job while the four cores of the stand-in
   are kept busy with QoS 0 jobs of 2 ms (eight in flight, four waiting), at
   QoS 0 (behind the waiting ones) and at QoS 1 (ahead of them).
5. Loading: Runtime.load (and Model.close) of a model with 128 MiB of
   constants and eight outputs against libkiv's kiv_load_graph (and
   kiv_unload_graph) of the same file (target <= 1.1): what describing the
   model's tensors adds to loading it.

Usage:
    /usr/bin/python3 bench/bench_kiv_layer.py [--build-dir build] [--quick] [--json FILE]
"""

import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

from bench_timing import block_medians, interleaved_medians

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TINY_FLOATS = 256  # 1 KiB of float32
OVERLAP_JOBS = 32
OVERLAP_MS = 2
BUSY_JOBS = 8  # QoS 0 jobs of OVERLAP_MS kept in flight on the four cores
LOAD_OUTPUTS = 8


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(SOURCE_DIR, "build")))
    parser.add_argument("--samples", type=int, default=3000, help="interleaved samples of each latency figure")
    parser.add_argument("--quick", action="store_true", help="few samples and small sizes, for CI smoke tests")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    args.big_mib = 4 if args.quick else 64
    args.big_samples = 3 if args.quick else 15
    args.overlap_samples = 2 if args.quick else 7
    args.priority_samples = 10 if args.quick else 200
    args.load_mib = 4 if args.quick else 128
    args.load_samples = 3 if args.quick else 15
    if args.quick:
        args.samples = 50
    return args


def import_modules(build_dir):
    for path in (os.path.join(SOURCE_DIR, "standin_driver", "python"), os.path.join(SOURCE_DIR, "python"), build_dir):
        sys.path.insert(0, path)
    import libkiv  # noqa: E402
    import kiv  # noqa: E402
    import numpy  # noqa: E402
    from npu_program import ProgramBuilder  # noqa: E402

    return libkiv, kiv, numpy, ProgramBuilder


def copy_model(ProgramBuilder, build_dir, workdir, name, shape, dtype, wait_ms=0):
    """A container whose program copies its one input to its one output."""
    builder = ProgramBuilder()
    x = builder.input(list(shape), dtype)
    y = builder.output(list(shape), dtype)
    if wait_ms:
        builder.wait_ms(wait_ms)
    builder.copy(y, x)
    program = os.path.join(workdir, name + ".bin")
    with open(program, "wb") as f:
        f.write(builder.build())
    io_path = os.path.join(workdir, name + ".json")
    with open(io_path, "w") as f:
        json.dump({"name": name, "version": [1, 0, 0],
                   "input_tensors": [{"name": "x", "shape": list(shape), "dtype": 11 if dtype == "float32" else 2}],
                   "output_tensors": [{"name": "y", "shape": list(shape), "dtype": 11 if dtype == "float32" else 2}]},
                  f)
    model = os.path.join(workdir, name + ".zor")
    zor = os.path.join(build_dir, "tools", "zor", "zor")
    subprocess.run([zor, "pack", "--bin", program, "--io", io_path, "-o", model], check=True, stdout=subprocess.DEVNULL)
    return model


def constants_model(ProgramBuilder, np, build_dir, workdir, mib, outputs):
    """A container whose program holds `mib` MiB of constants and copies its
    one input to each of its `outputs` outputs."""
    builder = ProgramBuilder()
    x = builder.input([1, 4], "float32")
    builder.constant(np.zeros(mib << 20, np.uint8))
    for _ in range(outputs):
        builder.copy(builder.output([1, 4], "float32"), x)
    program = os.path.join(workdir, "constants.bin")
    with open(program, "wb") as f:
        f.write(builder.build())
    io_path = os.path.join(workdir, "constants.json")
    tensor = {"shape": [1, 4], "dtype": 11}
    with open(io_path, "w") as f:
        json.dump({"name": "constants", "version": [1, 0, 0], "input_tensors": [dict(tensor, name="x")],
                   "output_tensors": [dict(tensor, name="y%d" % i) for i in range(outputs)]}, f)
    model = os.path.join(workdir, "constants.zor")
    zor = os.path.join(build_dir, "tools", "zor", "zor")
    subprocess.run([zor, "pack", "--bin", program, "--io", io_path, "-o", model], check=True, stdout=subprocess.DEVNULL)
    return model


def loading(runtime, path, samples):
    """Seconds to load and unload the model: through Runtime.load and
    Model.close, and through libkiv's own calls."""
    npu = runtime.npu

    def raw():
        status, graph = npu.kiv_load_graph(path)
        assert int(status) == 0, status
        npu.kiv_unload_graph(graph)

    return interleaved_medians({"kiv_load_graph": raw, "Runtime.load": lambda: runtime.load(path).close()}, samples)


def latency(libkiv, kiv, np, path, samples, cpus):
    """Microseconds per inference on the tiny model, by path, with every
    thread of a runtime of its own on `cpus` (threads inherit the mask of
    the thread that starts them; the runtime starts them all)."""
    everywhere = os.sched_getaffinity(0)
    os.sched_setaffinity(0, cpus)
    try:
        with kiv.Runtime(driver="standin") as runtime:
            return _latency(libkiv, runtime, np, path, samples)
    finally:
        os.sched_setaffinity(0, everywhere)


def _latency(libkiv, runtime, np, path, samples):
    npu = runtime.npu
    x = np.arange(TINY_FLOATS, dtype=np.float32).reshape(1, TINY_FLOATS)
    output = libkiv.KIV_TENSOR_TYPE_OUTPUT
    with runtime.load(path) as model:
        status, job = npu.kiv_create_job(model.graph_id)
        assert int(status) == 0, status
        status, async_job = npu.kiv_create_job(model.graph_id)
        assert int(status) == 0, status

        def raw():
            npu.kiv_load_tensor(job, 0, x)
            npu.kiv_job_infer_sync(job)
            return npu.kiv_get_tensor(job, output, 0)

        ended = threading.Event()

        def completion(job_id, status):
            ended.set()
            return 0

        def raw_async():
            """What any asynchronous completion costs on this driver: its
            completion callable, and a thread that waits for it."""
            ended.clear()
            npu.kiv_load_tensor(async_job, 0, x)
            npu.kiv_job_infer_async(async_job, completion)
            ended.wait()
            return npu.kiv_get_tensor(async_job, output, 0)

        check = raw()
        assert int(check[0]) == 0 and check[1].view(np.float32).tolist() == x.ravel().tolist(), "raw sequence"
        assert model.run(x)[0].tolist() == x.tolist(), "Model.run"
        run = block_medians({"raw": raw, "path": lambda: model.run(x)}, samples)
        submit = block_medians({"raw": raw, "async": raw_async, "path": lambda: model.submit(x).result()}, samples)
        npu.kiv_clean_job(job)
        npu.kiv_clean_job(async_job)
    return {
        "raw_for_run": run["raw"] * 1e6,
        "run": run["path"] * 1e6,
        "raw_for_submit": submit["raw"] * 1e6,
        "raw_async": submit["async"] * 1e6,
        "submit": submit["path"] * 1e6,
    }


def overlap(runtime, np, path, samples):
    """Seconds for OVERLAP_JOBS jobs one by one, and all in flight at once."""
    x = np.zeros((1, TINY_FLOATS), np.float32)
    with runtime.load(path, max_idle_jobs=OVERLAP_JOBS) as model:

        def one_by_one():
            for _ in range(OVERLAP_JOBS):
                model.run(x)

        def in_flight():
            futures = [model.submit(x) for _ in range(OVERLAP_JOBS)]
            for future in futures:
                future.result()

        return interleaved_medians({"sequential": one_by_one, "overlapped": in_flight}, samples)


def priority(kiv, runtime, np, busy_path, quick_path, samples):
    """Median seconds of Model.run on a quick model while BUSY_JOBS jobs of
    another keep every core busy at QoS 0: at QoS 0 and at QoS 1."""
    x = np.zeros((1, TINY_FLOATS), np.float32)
    high = kiv.JobOptions(qos=1)
    stop = threading.Event()
    with runtime.load(busy_path, max_idle_jobs=BUSY_JOBS) as busy, runtime.load(quick_path) as quick:

        def keep_busy(_=None):
            if not stop.is_set():
                busy.submit(x).add_done_callback(keep_busy)

        for _ in range(BUSY_JOBS):
            keep_busy()
        try:
            return interleaved_medians({"qos0": lambda: quick.run(x), "qos1": lambda: quick.run(x, job_options=high)},
                                       samples)
        finally:
            stop.set()
            while busy._active:
                time.sleep(0.001)


def big_output(libkiv, kiv, runtime, np, path, mib, samples):
    """GB/s of a new array holding `mib` MiB: by copy, by libkiv, by Model.run's output read."""
    size = mib << 20
    npu = runtime.npu
    output = libkiv.KIV_TENSOR_TYPE_OUTPUT
    src = np.full(size, 7, dtype=np.uint8)

    def copy_into_new():
        fresh = np.empty(size, dtype=np.uint8)
        ctypes.memmove(fresh.ctypes.data, src.ctypes.data, size)
        return fresh

    with runtime.load(path) as model:
        status, job = npu.kiv_create_job(model.graph_id)
        assert int(status) == 0
        assert int(npu.kiv_load_tensor(job, 0, src)) == 0 and int(npu.kiv_job_infer_sync(job)) == 0
        info = model.outputs[0]
        figures = interleaved_medians(
            {
                "copy_into_new": copy_into_new,
                "get_tensor": lambda: npu.kiv_get_tensor(job, output, 0),
                "run_output": lambda: kiv.inputs.unpack_output(info, npu.kiv_get_tensor(job, output, 0)[1]),
            },
            samples,
        )
        npu.kiv_clean_job(job)
    return {name: size / seconds / 1e9 for name, seconds in figures.items()}


def print_table(title, header, rows):
    print("\n" + title)
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(width) if i == 0 else str(cell).rjust(width)
                        for i, (cell, width) in enumerate(zip(row, widths))))


def main():
    args = parse_args()
    libkiv, kiv, np, ProgramBuilder = import_modules(os.path.abspath(args.build_dir))
    with tempfile.TemporaryDirectory() as workdir:
        tiny = copy_model(ProgramBuilder, args.build_dir, workdir, "tiny", (1, TINY_FLOATS), "float32")
        slow = copy_model(ProgramBuilder, args.build_dir, workdir, "slow", (1, TINY_FLOATS), "float32", OVERLAP_MS)
        big = copy_model(ProgramBuilder, args.build_dir, workdir, "big", (args.big_mib << 20,), "uint8")
        constants = constants_model(ProgramBuilder, np, args.build_dir, workdir, args.load_mib, LOAD_OUTPUTS)
        all_cpus = os.sched_getaffinity(0)
        lat = {
            "one_cpu": latency(libkiv, kiv, np, tiny, args.samples, {min(all_cpus)}),
            "all_cpus": latency(libkiv, kiv, np, tiny, args.samples, all_cpus),
        }
        with kiv.Runtime(driver="standin") as runtime:
            ovl = overlap(runtime, np, slow, args.overlap_samples)
            mem = big_output(libkiv, kiv, runtime, np, big, args.big_mib, args.big_samples)
            prio = priority(kiv, runtime, np, slow, tiny, args.priority_samples)
            load = loading(runtime, constants, args.load_samples)

    one, every = lat["one_cpu"], lat["all_cpus"]

    def figures(path, floor):
        return ("%.1f" % every[path], "%.2f" % (every[path] / every[floor]),
                "%.1f" % one[path], "%.2f" % (one[path] / one[floor]))

    print_table(
        "Latency, tiny model (1 KiB in, 1 KiB out), %d samples in blocks taken in turn; "
        "targets across all CPUs" % args.samples,
        ("path", "all CPUs: median us", "ratio", "one CPU: median us", "ratio", "target"),
        [
            ("libkiv: load/infer_sync/get, one job (floor)",) + figures("raw_for_run", "raw_for_run") + ("",),
            ("kiv: Model.run",) + figures("run", "raw_for_run") + ("<= 1.5",),
            ("libkiv: the same, sampled with submit (floor)",) + figures("raw_for_submit", "raw_for_submit") + ("",),
            ("libkiv: the same through kiv_job_infer_async and a Python callback",)
            + figures("raw_async", "raw_for_submit") + ("",),
            ("kiv: Model.submit().result()",) + figures("submit", "raw_for_submit") + ("<= 2.5",),
        ],
    )
    print_table(
        "Overlap, %d jobs of %d ms device time" % (OVERLAP_JOBS, OVERLAP_MS),
        ("path", "median ms", "speed-up"),
        [
            ("one by one (Model.run)", "%.1f" % (ovl["sequential"] * 1e3), "1.00"),
            ("all in flight (Model.submit)", "%.1f" % (ovl["overlapped"] * 1e3),
             "%.2f" % (ovl["sequential"] / ovl["overlapped"])),
        ],
    )
    print_table(
        "A %d MiB output as a new array" % args.big_mib,
        ("path", "GB/s", "ratio", "target"),
        [
            ("copy into a new numpy array (floor)", "%.2f" % mem["copy_into_new"], "1.00", ""),
            ("libkiv: kiv_get_tensor (zero-filled)", "%.2f" % mem["get_tensor"],
             "%.2f" % (mem["get_tensor"] / mem["copy_into_new"]), ">= 0.9"),
            ("kiv: Model.run's output read", "%.2f" % mem["run_output"],
             "%.2f" % (mem["run_output"] / mem["copy_into_new"]), ">= 0.9"),
        ],
    )
    print_table(
        "Priority: a quick job while the four cores run QoS 0 jobs of %d ms (%d in flight), %d samples"
        % (OVERLAP_MS, BUSY_JOBS, args.priority_samples),
        ("path", "median ms", "ratio"),
        [
            ("Model.run at QoS 0, behind the waiting jobs", "%.2f" % (prio["qos0"] * 1e3), "1.00"),
            ("Model.run at QoS 1, ahead of them", "%.2f" % (prio["qos1"] * 1e3), "%.2f" % (prio["qos1"] / prio["qos0"])),
        ],
    )
    print_table(
        "Loading a model with %d MiB of constants and %d outputs, %d samples" % (args.load_mib, LOAD_OUTPUTS,
                                                                                   args.load_samples),
        ("path", "median ms", "ratio", "target"),
        [
            ("libkiv: kiv_load_graph, kiv_unload_graph (floor)", "%.1f" % (load["kiv_load_graph"] * 1e3), "1.00", ""),
            ("kiv: Runtime.load, Model.close", "%.1f" % (load["Runtime.load"] * 1e3),
             "%.2f" % (load["Runtime.load"] / load["kiv_load_graph"]), "<= 1.1"),
        ],
    )
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"latency_us": lat, "overlap_s": ovl, "big_output_gbps": mem, "priority_s": prio,
                       "loading_s": load}, f, indent=1)


if __name__ == "__main__":
    main()
