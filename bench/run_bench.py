#!/usr/bin/python3
"""Runs the benchmark suite and prints every figure as a ratio against its floor.

The native figures come from build/bench/kiv_bench (Google Benchmark), the
Python figures from bench/bench_python.py, peak memory from fresh processes
(build/bench/kiv_peak and bench_python.py --peak), and the kiv layer row from
bench/bench_kiv_layer.py, all in this one run. Usage (see scripts/bench.sh):

    /usr/bin/python3 bench/run_bench.py [--build-dir build] [--quick] [--json results.json]
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile

from bench_timing import median_seconds

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(SOURCE_DIR, "build")))
    parser.add_argument("--quick", action="store_true", help="small sizes, few samples: proves the suite runs")
    parser.add_argument("--json", help="also write every raw figure to this file")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    return args


def run_json(cmd, env=None):
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, env=env, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def python_env(build_dir):
    env = dict(os.environ)
    env["KIV_BUILD_DIR"] = build_dir
    env["PYTHONPATH"] = os.pathsep.join(
        [build_dir, os.path.join(SOURCE_DIR, "python")]
    )
    return env


def native_figures(build_dir, quick):
    """Median real time per benchmark name, in seconds."""
    cmd = [os.path.join(build_dir, "bench", "kiv_bench"), "--benchmark_format=json"]
    if quick:
        cmd += ["--quick", "--benchmark_min_time=0.01"]
    else:
        # Repetitions interleaved at random, so that a burst of load elsewhere
        # on the machine does not fall on one figure and spare its floor.
        cmd += ["--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.2",
                "--benchmark_enable_random_interleaving=true"]
    report = run_json_whole(cmd)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    figures = {}
    for b in report["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        figures[b["run_name"].replace("/real_time", "")] = b["real_time"] * scale[b["time_unit"]]
    return figures, report.get("context", {})


def run_json_whole(cmd):
    return json.loads(subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout)


def write_programs(build_dir, workdir, sizes_mib, samples):
    """Containers with executables of the given sizes, packed with `zor pack`;
    times packing against copying the same executable file."""
    sys.path[:0] = [build_dir, os.path.join(SOURCE_DIR, "python")]
    import numpy as np
    from kiv.standin import ProgramBuilder

    zor = os.path.join(build_dir, "tools", "zor", "zor")
    rows = []
    for mib in sizes_mib:
        builder = ProgramBuilder()
        x = builder.input([1024], "uint8")
        y = builder.output([1024], "uint8")
        builder.constant((np.arange((mib << 20) - 256, dtype=np.uint32) * 131).astype(np.uint8))
        builder.copy(y, x)
        program = os.path.join(workdir, "exe_%dmib.bin" % mib)
        with open(program, "wb") as f:
            f.write(builder.build())
        del builder
        container = os.path.join(workdir, "exe_%dmib.zor" % mib)
        copy = os.path.join(workdir, "copy_%dmib.bin" % mib)
        pack_s = median_seconds(
            lambda: subprocess.run([zor, "pack", "--bin", program, "-o", container], check=True,
                                   stdout=subprocess.DEVNULL),
            samples)
        copy_s = median_seconds(lambda: subprocess.run(["cp", program, copy], check=True), samples)
        os.unlink(copy)
        rows.append({"mib": mib, "pack_s": pack_s, "copy_s": copy_s, "bytes": os.path.getsize(container)})
    return rows


def peaks(build_dir, workdir, exe_sizes, tensor_sizes, env):
    kiv_peak = os.path.join(build_dir, "bench", "kiv_peak")
    bench_python = [PYTHON, os.path.join(SOURCE_DIR, "bench", "bench_python.py"), "--build-dir", build_dir, "--peak"]
    rows = []
    for mib in exe_sizes:
        path = os.path.join(workdir, "exe_%dmib.zor" % mib)
        size = os.path.getsize(path)
        for what, cmd in (
            ("read file once (native)", [kiv_peak, "read", path]),
            ("kiv_load_graph (native)", [kiv_peak, "load_graph", path]),
            ("kiv_load_graph (Python)", bench_python + ["load_graph", path]),
        ):
            r = run_json(cmd, env)
            rows.append({"what": what, "mib": mib, "data_bytes": size, "extra": r["peak"] - r["rss_before"]})
    for mib in tensor_sizes:
        for kind in ("bytes", "bytearray", "numpy"):
            r = run_json(bench_python + ["transfer", kind, str(mib)], env)
            rows.append({"what": "load+get tensor, %s" % kind, "mib": mib, "data_bytes": mib << 20,
                         "extra": r["peak"] - r["rss_before"]})
    return rows


class Table:
    def __init__(self, title, header):
        self.title, self.header, self.rows = title, header, []

    def add(self, *cells):
        self.rows.append([c if isinstance(c, str) else fmt(c) for c in cells])

    def print(self):
        widths = [max(len(str(r[i])) for r in [self.header] + self.rows) for i in range(len(self.header))]
        print("\n## " + self.title)
        for i, row in enumerate([self.header] + self.rows):
            cells = (str(c).ljust(w) if j == 0 else str(c).rjust(w) for j, (c, w) in enumerate(zip(row, widths)))
            print("  ".join(cells))
            if i == 0:
                print("  ".join("-" * w for w in widths))


def fmt(value):
    if value >= 100:
        return "%.0f" % value
    if value >= 10:
        return "%.1f" % value
    return "%.2f" % value


def target(ratio, limit, at_least):
    met = ratio >= limit if at_least else ratio <= limit
    return "%s %s %.1f: %s" % ("ratio", ">=" if at_least else "<=", limit, "met" if met else "MISSED")


def report(n, py, packing, peak_rows, quick):
    """Prints the tables; returns them as a dict for --json."""
    us = 1e6
    call = Table("Call overhead (tiny model, 1 KiB in, 1 KiB out)",
                 ["figure", "median us", "floor us", "ratio", "note"])
    driver, runtime = n["BM_Infer_Driver"], n["BM_Infer_Runtime"]
    call.add("native runtime API: load/infer_sync/get", runtime * us, driver * us, runtime / driver,
             "floor: driver entry points")
    python_ratio = py["call"]["infer_us"] / (runtime * us)
    call.add("Python: load/infer_sync/get", py["call"]["infer_us"], runtime * us, python_ratio,
             "floor: native runtime API; " + target(python_ratio, 3.0, False))
    call.add("Python vs driver", py["call"]["infer_us"], driver * us, py["call"]["infer_us"] / (driver * us), "")
    for name, key in (("job create+clean", "JobCreateClean"), ("async submit to callback", "AsyncToCallback")):
        d, r = n["BM_%s_Driver" % key], n["BM_%s_Runtime" % key]
        pkey = "create_clean_us" if key == "JobCreateClean" else "async_to_callback_us"
        call.add("native " + name, r * us, d * us, r / d, "floor: driver")
        call.add("Python " + name, py["call"][pkey], r * us, py["call"][pkey] / (r * us), "floor: native runtime API")

    gbs = lambda mib, s: (mib << 20) / s / 1e9  # noqa: E731
    transfer = Table("Tensor transfer", ["figure", "MiB", "GB/s", "floor GB/s", "ratio", "note"])
    for mib in sorted({r["mib"] for r in py["transfer"]}):
        floor = n["BM_Memcpy/%d" % mib]
        fresh = n["BM_MemcpyFresh/%d" % mib]
        transfer.add("native memcpy, new destination", str(mib), gbs(mib, fresh), gbs(mib, floor), floor / fresh,
                     "floor: memcpy")
        for api in ("LoadTensor", "GetTensor"):
            t = n["BM_%s_Runtime/%d" % (api, mib)]
            transfer.add("native kiv_%s_tensor" % api[:-6].lower(), str(mib), gbs(mib, t), gbs(mib, floor), floor / t,
                         "floor: memcpy")
        for r in (r for r in py["transfer"] if r["mib"] == mib):
            for op, key in (("load", "load_s"), ("get", "get_s")):
                ratio = r["memmove_s"] / r[key]
                note = "floor: memmove in the same process"
                if op == "get":
                    note += "; %.2f of memmove into a new array" % (r["memmove_new_s"] / r[key])
                if mib == 64:
                    note += "; " + target(ratio, 0.7, True)
                transfer.add("Python kiv_%s_tensor, %s" % (op, r["kind"]), str(mib), gbs(mib, r[key]),
                             gbs(mib, r["memmove_s"]), ratio, note)

    loading = Table("Model loading", ["figure", "exe MiB", "median ms", "floor ms", "ratio", "note"])
    ms = 1e3
    for row in packing:
        mib = row["mib"]
        read, load = n["BM_ReadFile/%d" % mib], n["BM_LoadGraph_Runtime/%d" % mib]
        drv = n["BM_LoadGraph_Driver/%d" % mib]
        note = "floor: read the file once" + ("; " + target(load / read, 2.5, False) if mib == 256 else "")
        loading.add("native kiv_load_graph", str(mib), load * ms, read * ms, load / read, note)
        loading.add("driver alone (executable in memory)", str(mib), drv * ms, read * ms, drv / read,
                    "the driver's parse and copy")
        handler = n.get("BM_HandlerRead/%d" % mib)
        if handler is not None:
            loading.add("SerializationHandler::DeSerialization", str(mib), handler * ms, read * ms, handler / read,
                        "the full reader, which graph loading no longer uses")
        for r in (r for r in py.get("loading", []) if r["mib"] == mib):
            loading.add("Python kiv_load_graph", str(mib), r["load_s"] * ms, r["read_s"] * ms,
                        r["load_s"] / r["read_s"], "floor: Python reads the file once")
        loading.add("zor pack --bin", str(mib), row["pack_s"] * ms, row["copy_s"] * ms, row["pack_s"] / row["copy_s"],
                    "floor: cp of the executable")

    batch = Table("Batch queue (tiny model)", ["figure", "N", "median ms", "floor ms", "ratio", "note"])
    for count in sorted({r["n"] for r in py["batch"]}):
        q, s = n["BM_Batch_Queue/%d" % count], n["BM_Batch_SyncJobs/%d" % count]
        batch.add("native batch queue", str(count), q * ms, s * ms, q / s, "floor: N sync runs of one job")
        for r in (r for r in py["batch"] if r["n"] == count):
            batch.add("Python batch queue", str(count), r["queue_s"] * ms, r["sync_s"] * ms,
                      r["queue_s"] / r["sync_s"], "floor: N sync runs from Python")

    memory = Table("Peak memory (RSS growth during the operation)",
                   ["figure", "MiB", "peak MiB", "data MiB", "ratio", "note"])
    for r in peak_rows:
        ratio = r["extra"] / r["data_bytes"]
        note = target(ratio, 3.0, False) if r["what"].startswith("kiv_load_graph") and r["mib"] == 256 else ""
        memory.add(r["what"], str(r["mib"]), r["extra"] / 2**20, r["data_bytes"] / 2**20, ratio, note)

    tables = [call, transfer, loading, batch, memory]
    for t in tables:
        t.print()
    if quick:
        print("\n(quick mode: small sizes and few samples; the figures prove the suite runs, nothing more)")
    return {t.title: [dict(zip(t.header, row)) for row in t.rows] for t in tables}


def main():
    args = parse_args()
    quick = args.quick
    exe_sizes = [1] if quick else [1, 64, 256]
    tensor_sizes = [1] if quick else [1, 16, 64]
    env = python_env(args.build_dir)
    print("# libkiv benchmark: %s, %d cores, Python %s%s" % (
        platform.platform(), os.cpu_count(), platform.python_version(), ", quick mode" if quick else ""))
    sys.stdout.flush()
    native, context = native_figures(args.build_dir, quick)
    with tempfile.TemporaryDirectory(prefix="kiv_bench_") as workdir:
        packing = write_programs(args.build_dir, workdir, exe_sizes, 2 if quick else 5)
        cmd = [PYTHON, os.path.join(SOURCE_DIR, "bench", "bench_python.py"), "--build-dir", args.build_dir,
               "--models", workdir] + (["--quick"] if quick else [])
        py = run_json(cmd, env)
        peak_rows = peaks(args.build_dir, workdir, exe_sizes, tensor_sizes, env)
    tables = report(native, py, packing, peak_rows, quick)

    print("\n## kiv layer (bench/bench_kiv_layer.py)")
    sys.stdout.flush()
    layer = [PYTHON, os.path.join(SOURCE_DIR, "bench", "bench_kiv_layer.py"), "--build-dir", args.build_dir]
    subprocess.run(layer + (["--quick"] if quick else []), check=True, env=env)

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"native_seconds": native, "native_context": context, "python": py, "packing": packing,
                       "peaks": peak_rows, "tables": tables}, f, indent=1)


if __name__ == "__main__":
    main()
