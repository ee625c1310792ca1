#!/usr/bin/python3
"""What the kiv layer costs above the raw libkiv calls, on the stand-in NPU.

Seven tables, every figure a median of samples interleaved with its floor's,
so that both see the same load of the moment:

1. Latency on a tiny model (1 KiB in, 1 KiB out), each path called in a loop
   as a program does, in blocks taken in turn with its floor's: Model.run
   against the raw blocking libkiv sequence on a reused job
   (kiv_load_tensor, kiv_job_infer_sync, kiv_get_tensor; target <= 1.5), and
   Model.submit().result() against the raw asynchronous sequence
   (kiv_job_infer_async with a Python callable that sets an event the caller
   waits for; target <= 1.2), and, for information, against the blocking
   one. Measured across all CPUs, as programs run (the targets apply there),
   where every hand-off between threads also pays for waking an idle CPU,
   and with every thread of the process on one CPU, where the figures are
   the work done.
2. Overlap: 32 jobs of 2 ms simulated device time each, one by one through
   Model.run against all in flight through Model.submit.
3. A 64 MiB output: libkiv's zero-filled kiv_get_tensor, and the output read
   of Model.run (a new array zero-filled and written by the runtime), against
   a copy into a new numpy array of the same size (target >= 0.9).
4. Priority: the latency of a quick job while the four cores of the stand-in
   are kept busy with QoS 0 jobs of 2 ms (eight in flight, four waiting), at
   QoS 0 (behind the waiting ones) and at QoS 1 (ahead of them).
5. Streams, each against a floor measured in the same run: Model.map over
   jobs of 2 ms against four cores kept busy (target >= 0.95); Model.map
   over tiny jobs against the raw libkiv stream with as many jobs in flight,
   each completion a Python callable (target <= 1.2); the CPU time per job
   (user and system, every thread) of run, submit and map against their
   raw sequences (target <= 1.3); a 64 MiB output read into the caller's
   array (out=) against a copy into memory already touched (target >= 0.95);
   and the growth of the peak resident set over a long map from a
   generator, after its first 1,000 jobs (target < 10 MiB).
6. Loading: Runtime.load (and Model.close) of a model with 128 MiB of
   constants and eight outputs against libkiv's kiv_load_graph (and
   kiv_unload_graph) of the same file (target <= 1.1): what describing the
   model's tensors adds to loading it.
7. Depth: tiny jobs with 8 and with 64 in flight, through Model.submit (a
   window of futures, each waited for in turn) and Model.map, against the
   raw libkiv stream with as many in flight, each completion a Python
   callable (target <= 1.3 at both depths), with the switches between
   threads per job of each, which is what grows with depth when a runtime
   hands the interpreter lock over for every small transfer.

Usage:
    /usr/bin/python3 bench/bench_kiv_layer.py [--build-dir build] [--quick] [--json FILE]
"""

import argparse
import collections
import ctypes
import itertools
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

from bench_timing import block_medians, interleaved_medians, per_job_medians

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TINY_FLOATS = 256  # 1 KiB of float32
OVERLAP_JOBS = 32
OVERLAP_MS = 2
BUSY_JOBS = 8  # QoS 0 jobs of OVERLAP_MS kept in flight on the four cores
STREAM_DEPTH = 8  # jobs in flight in the streams: Model.map's default on four cores
DEPTHS = (8, 64)  # jobs in flight in table 7
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
    args.stream_jobs = 200 if args.quick else 2000
    args.stream_blocks = 2 if args.quick else 9
    args.long_stream = 3000 if args.quick else 100_000
    args.load_mib = 4 if args.quick else 128
    args.load_samples = 3 if args.quick else 15
    if args.quick:
        args.samples = 50
    return args


def import_modules(build_dir):
    for path in (os.path.join(SOURCE_DIR, "python"), build_dir):
        sys.path.insert(0, path)
    import libkiv  # noqa: E402
    import kiv  # noqa: E402
    import numpy  # noqa: E402
    from kiv.standin import ProgramBuilder  # noqa: E402

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


def new_jobs(npu, graph_id, count):
    jobs = []
    for _ in range(count):
        status, job = npu.kiv_create_job(graph_id)
        assert int(status) == 0, status
        jobs.append(job)
    return jobs


def raw_sequences(libkiv, npu, jobs, x):
    """The raw libkiv sequences on jobs of their own: blocking (load,
    infer_sync, get), asynchronous (load, infer_async with a Python callable
    that sets an event, wait, get), and a stream of n jobs with len(jobs) - 2
    in flight, each completion a Python callable that queues the job, whose
    output the caller reads before starting it again."""
    output = libkiv.KIV_TENSOR_TYPE_OUTPUT
    job, async_job, stream_jobs = jobs[0], jobs[1], jobs[2:]

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

    return raw, raw_async, raw_stream_of(libkiv, npu, stream_jobs, x)


def raw_stream_of(libkiv, npu, jobs, x):
    """A function of n that streams n jobs through `jobs`, all of them in
    flight, each completion a Python callable that queues the job, whose
    output the caller reads before starting it again."""
    output = libkiv.KIV_TENSOR_TYPE_OUTPUT

    def raw_stream(n):
        done = queue.SimpleQueue()

        def queued(job_id, status):
            done.put(job_id)
            return 0

        started = 0
        for stream_job in jobs[:n]:
            npu.kiv_load_tensor(stream_job, 0, x)
            npu.kiv_job_infer_async(stream_job, queued)
            started += 1
        for _ in range(n):
            ended_job = done.get()
            npu.kiv_get_tensor(ended_job, output, 0)
            if started < n:
                npu.kiv_load_tensor(ended_job, 0, x)
                npu.kiv_job_infer_async(ended_job, queued)
                started += 1

    return raw_stream


def submit_window(model, x, depth):
    """A function of n that submits n jobs with `depth` futures in flight,
    each waited for in turn, as a program that keeps a window does."""

    def window(n):
        pending = collections.deque()
        for _ in range(n):
            pending.append(model.submit(x))
            if len(pending) == depth:
                pending.popleft().result()
        while pending:
            pending.popleft().result()

    return window


def thread_switches():
    """Context switches of every thread of this process so far."""
    total = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/status" % task) as status:
                total += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return total


def depths(libkiv, runtime, np, tiny, args):
    """Table 7: wall seconds and thread switches per job at each depth."""
    npu = runtime.npu
    x = np.arange(TINY_FLOATS, dtype=np.float32).reshape(1, TINY_FLOATS)
    figures = {}
    for depth in DEPTHS:
        with runtime.load(tiny, max_idle_jobs=depth) as model:
            jobs = new_jobs(npu, model.graph_id, depth)
            paths = {
                "raw_stream": raw_stream_of(libkiv, npu, jobs, x),
                "submit": submit_window(model, x, depth),
                "map": lambda n: consume(model.map(itertools.repeat(x, n), in_flight=depth)),
            }
            wall, _ = per_job_medians(paths, args.stream_jobs, args.stream_blocks)
            switches = {}
            for name, path in paths.items():
                before = thread_switches()
                path(args.stream_jobs)
                switches[name] = (thread_switches() - before) / args.stream_jobs
            figures[depth] = {"wall": wall, "switches": switches}
            for job in jobs:
                npu.kiv_clean_job(job)
    return figures


def _latency(libkiv, runtime, np, path, samples):
    npu = runtime.npu
    x = np.arange(TINY_FLOATS, dtype=np.float32).reshape(1, TINY_FLOATS)
    with runtime.load(path) as model:
        jobs = new_jobs(npu, model.graph_id, 2)
        raw, raw_async, _ = raw_sequences(libkiv, npu, jobs + [0], x)
        check = raw()
        assert int(check[0]) == 0 and check[1].view(np.float32).tolist() == x.ravel().tolist(), "raw sequence"
        assert model.run(x)[0].tolist() == x.tolist(), "Model.run"
        # One floor per sequence, sampled in the same turns as the paths.
        medians = block_medians(
            {
                "raw": raw,
                "run": lambda: model.run(x),
                "raw_async": raw_async,
                "submit": lambda: model.submit(x).result(),
            },
            samples,
        )
        for job in jobs:
            npu.kiv_clean_job(job)
    return {name: seconds * 1e6 for name, seconds in medians.items()}


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
            while busy.in_flight:
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
                "run_output": lambda: kiv._native.read_outputs(
                    npu, job, [np.empty(info.shape, info.dtype)], [info.size], True
                ),
            },
            samples,
        )
        npu.kiv_clean_job(job)
    return {name: size / seconds / 1e9 for name, seconds in figures.items()}


def repeat_calls(call):
    """A function of n that makes `call()` n times."""

    def calls(n):
        for _ in range(n):
            call()

    return calls


def consume(iterator):
    for _ in iterator:
        pass


def streams(libkiv, kiv, runtime, np, tiny, slow, big, args):
    """The figures of table 5, by name (seconds per job, CPU seconds per
    job, bytes per second, KiB)."""
    npu = runtime.npu
    x = np.arange(TINY_FLOATS, dtype=np.float32).reshape(1, TINY_FLOATS)
    figures = {"cores": runtime._context.cores}
    with runtime.load(slow, max_idle_jobs=2 * STREAM_DEPTH) as model:
        wall, _ = per_job_medians({"map": lambda n: consume(model.map(itertools.repeat(x, n)))},
                                  args.stream_jobs // 10, args.stream_blocks)
        figures["map_2ms_per_job"] = wall["map"]
    with runtime.load(tiny, max_idle_jobs=2 * STREAM_DEPTH) as model:
        jobs = new_jobs(npu, model.graph_id, 2 + STREAM_DEPTH)
        raw, raw_async, raw_stream = raw_sequences(libkiv, npu, jobs, x)
        wall, cpu = per_job_medians(
            {
                "raw_stream": raw_stream,
                "map": lambda n: consume(model.map(itertools.repeat(x, n), in_flight=STREAM_DEPTH)),
                "raw": repeat_calls(raw),
                "run": repeat_calls(lambda: model.run(x)),
                "raw_async": repeat_calls(raw_async),
                "submit": repeat_calls(lambda: model.submit(x).result()),
            },
            args.stream_jobs,
            args.stream_blocks,
        )
        figures["wall"], figures["cpu"] = wall, cpu
        for job in jobs:
            npu.kiv_clean_job(job)
        figures["hwm_after_1000_kib"], figures["hwm_end_kib"] = stream_memory(model, x, args.long_stream)
    figures["out_gbps"] = output_into_callers_array(libkiv, kiv, runtime, np, big, args.big_mib, args.big_samples)
    return figures


def peak_rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def stream_memory(model, x, total):
    """Peak resident KiB after the first 1,000 jobs of a map over `total`
    inputs from a generator, and after the last."""
    after_first = None
    for count, _ in enumerate(model.map(x for _ in range(total)), 1):
        if count == 1000:
            after_first = peak_rss_kib()
    return after_first, peak_rss_kib()


def output_into_callers_array(libkiv, kiv, runtime, np, path, mib, samples):
    """GB/s of a `mib` MiB output: copied into memory already touched, and
    read by the runtime into the caller's array (what out= does)."""
    size = mib << 20
    npu = runtime.npu
    src = np.full(size, 7, dtype=np.uint8)
    touched = np.ones(size, dtype=np.uint8)
    callers = np.ones(size, dtype=np.uint8)
    with runtime.load(path) as model:
        (job,) = new_jobs(npu, model.graph_id, 1)
        assert int(npu.kiv_load_tensor(job, 0, src)) == 0 and int(npu.kiv_job_infer_sync(job)) == 0
        figures = interleaved_medians(
            {
                "copy_into_touched": lambda: ctypes.memmove(touched.ctypes.data, src.ctypes.data, size),
                "read_into": lambda: kiv._native.read_outputs(npu, job, [callers], [callers.nbytes]),
            },
            samples,
        )
        assert (callers == 7).all()
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
            flow = streams(libkiv, kiv, runtime, np, tiny, slow, big, args)
            deep = depths(libkiv, runtime, np, tiny, args)

    one, every = lat["one_cpu"], lat["all_cpus"]

    def figures(path, floor):
        return ("%.1f" % every[path], "%.2f" % (every[path] / every[floor]),
                "%.1f" % one[path], "%.2f" % (one[path] / one[floor]))

    print_table(
        "Latency, tiny model (1 KiB in, 1 KiB out), %d samples in blocks taken in turn; "
        "targets across all CPUs" % args.samples,
        ("path", "all CPUs: median us", "ratio", "one CPU: median us", "ratio", "target"),
        [
            ("libkiv: load/infer_sync/get, one job (floor of run)",) + figures("raw", "raw") + ("",),
            ("kiv: Model.run",) + figures("run", "raw") + ("<= 1.5",),
            ("libkiv: load/infer_async with a Python callable that sets an event/wait/get (floor of submit)",)
            + figures("raw_async", "raw_async") + ("",),
            ("kiv: Model.submit().result()",) + figures("submit", "raw_async") + ("<= 1.2",),
            ("kiv: Model.submit().result() against the blocking floor (information)",) + figures("submit", "raw")
            + ("",),
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
            ("Model.run at QoS 1, ahead of them", "%.2f" % (prio["qos1"] * 1e3),
             "%.2f" % (prio["qos1"] / prio["qos0"])),
        ],
    )
    print_table(
        "Loading a model with %d MiB of constants and %d outputs, %d samples"
        % (args.load_mib, LOAD_OUTPUTS, args.load_samples),
        ("path", "median ms", "ratio", "target"),
        [
            ("libkiv: kiv_load_graph, kiv_unload_graph (floor)", "%.1f" % (load["kiv_load_graph"] * 1e3), "1.00", ""),
            ("kiv: Runtime.load, Model.close", "%.1f" % (load["Runtime.load"] * 1e3),
             "%.2f" % (load["Runtime.load"] / load["kiv_load_graph"]), "<= 1.1"),
        ],
    )
    print_streams(flow, args)
    print_depths(deep, args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"latency_us": lat, "overlap_s": ovl, "big_output_gbps": mem, "priority_s": prio,
                       "loading_s": load, "streams": flow, "depths": deep}, f, indent=1)


def print_depths(deep, args):
    rows = []
    for depth, figures in deep.items():
        wall, switches = figures["wall"], figures["switches"]
        rows.append(("raw libkiv stream (floor)", depth, "%.1f" % (wall["raw_stream"] * 1e6), "1.00",
                     "%.1f" % switches["raw_stream"], ""))
        for name, label in (("submit", "Model.submit, a window of futures"), ("map", "Model.map")):
            rows.append((label, depth, "%.1f" % (wall[name] * 1e6), "%.2f" % (wall[name] / wall["raw_stream"]),
                         "%.1f" % switches[name], "<= 1.3"))
    print_table(
        "Depth: tiny jobs with many in flight, %d jobs a block, median of %d blocks taken in turn"
        % (args.stream_jobs, args.stream_blocks),
        ("path", "in flight", "us per job", "ratio", "thread switches per job", "target"),
        rows,
    )


def print_streams(flow, args):
    wall, cpu = flow["wall"], flow["cpu"]
    cores_busy = flow["cores"] / (OVERLAP_MS / 1e3)  # jobs per second with every core busy
    map_rate = 1 / flow["map_2ms_per_job"]
    growth_mib = (flow["hwm_end_kib"] - flow["hwm_after_1000_kib"]) / 1024
    print_table(
        "Streams, %d jobs a block, median of %d blocks taken in turn (tiny model unless said)"
        % (args.stream_jobs, args.stream_blocks),
        ("figure", "value", "floor", "ratio", "target"),
        [
            ("Model.map over jobs of %d ms, jobs/s (floor: %d cores kept busy)" % (OVERLAP_MS, flow["cores"]),
             "%.0f" % map_rate, "%.0f" % cores_busy, "%.2f" % (map_rate / cores_busy), ">= 0.95"),
            ("Model.map, us per job (floor: raw libkiv stream, %d in flight)" % STREAM_DEPTH,
             "%.1f" % (wall["map"] * 1e6), "%.1f" % (wall["raw_stream"] * 1e6),
             "%.2f" % (wall["map"] / wall["raw_stream"]), "<= 1.2"),
            ("CPU us per job, Model.run (floor: raw blocking sequence)",
             "%.1f" % (cpu["run"] * 1e6), "%.1f" % (cpu["raw"] * 1e6), "%.2f" % (cpu["run"] / cpu["raw"]), "<= 1.3"),
            ("CPU us per job, submit().result() (floor: raw asynchronous sequence)",
             "%.1f" % (cpu["submit"] * 1e6), "%.1f" % (cpu["raw_async"] * 1e6),
             "%.2f" % (cpu["submit"] / cpu["raw_async"]), "<= 1.3"),
            ("CPU us per job, Model.map (floor: raw libkiv stream)",
             "%.1f" % (cpu["map"] * 1e6), "%.1f" % (cpu["raw_stream"] * 1e6),
             "%.2f" % (cpu["map"] / cpu["raw_stream"]), "<= 1.3"),
            ("a %d MiB output with out=, GB/s (floor: copy into touched memory)" % args.big_mib,
             "%.2f" % flow["out_gbps"]["read_into"], "%.2f" % flow["out_gbps"]["copy_into_touched"],
             "%.2f" % (flow["out_gbps"]["read_into"] / flow["out_gbps"]["copy_into_touched"]), ">= 0.95"),
            ("Model.map over %d jobs from a generator: peak RSS growth after the first 1,000, MiB" % args.long_stream,
             "%.1f" % growth_mib, "", "", "< 10"),
        ],
    )


if __name__ == "__main__":
    main()
