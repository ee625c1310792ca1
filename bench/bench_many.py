#!/usr/bin/python3
"""How fast each way of running many inferences goes, and what each costs.

The figures of docs/running-many.md, on the stand-in NPU:

1. Rates: N inferences through a loop of Model.run, Model.run from four
   threads, Model.submit of all N then their results, Model.map (its default
   in_flight, twice the device's cores) and Model.run_batch of the N sets,
   on two models: a tiny one (1 KiB in and out: the host's work and its
   hand-offs between threads bound the rate) and one whose jobs take 2 ms on
   the device (the device bounds it, four cores at a time). Each figure is
   the median of several rounds, the ways taken in turn within each round.
2. The interpreter lock: the longest pause of another Python thread, which
   wakes every millisecond, while each way runs the 2 ms jobs. run_batch
   waits for its queues holding the lock (libkiv's kiv_finish_batch), in
   rounds of about 50 ms; the others wait without it.
3. A slow done-callback: a future whose callback sleeps 1 s, then the
   latency of a job submitted right after it (a future), of a Model.map
   stream started right after it, and of a Model.run; against the same with
   a callback that returns at once. Done-callbacks run one after another on
   the runtime's completion thread, which also completes every later future.

Usage:
    /usr/bin/python3 bench/bench_many.py [--build-dir build] [--quick] [--json FILE]
"""

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
import threading
import time

from bench_kiv_layer import copy_model

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("KIV_BUILD_DIR", os.path.join(SOURCE_DIR, "build")))
    parser.add_argument("--quick", action="store_true", help="few inferences and rounds: proves it runs")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    return args


def import_modules(build_dir):
    for path in (os.path.join(SOURCE_DIR, "python"), build_dir):
        sys.path.insert(0, path)
    import kiv  # noqa: E402
    import numpy  # noqa: E402
    from kiv.standin import ProgramBuilder  # noqa: E402

    return kiv, numpy, ProgramBuilder


def ways(model, inputs):
    """Each way of running every input set of `inputs` once, by name."""

    def run_loop():
        for x in inputs:
            model.run(x)

    def run_threads(count=4):
        def work(part):
            for x in part:
                model.run(x)
        threads = [threading.Thread(target=work, args=(inputs[i::count],)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    def submit_all():
        for future in [model.submit(x) for x in inputs]:
            future.result()

    def map_default():
        for _ in model.map(inputs):
            pass

    def run_batch():
        model.run_batch(inputs)

    return {"run, one by one": run_loop, "run, from 4 threads": run_threads, "submit all, then result": submit_all,
            "map (in_flight 8)": map_default, "run_batch": run_batch}


def rates(model, inputs, rounds):
    """Inferences per second of each way: the median of `rounds` rounds."""
    seconds = {name: [] for name in ways(model, inputs)}
    for fn in ways(model, inputs).values():
        fn()  # warm-up: jobs in the pool, threads started
    for _ in range(rounds):
        for name, fn in ways(model, inputs).items():
            start = time.perf_counter()
            fn()
            seconds[name].append(time.perf_counter() - start)
    return {name: len(inputs) / statistics.median(times) for name, times in seconds.items()}


def longest_pauses(model, inputs, rounds):
    """The longest pause of a thread that wakes every millisecond, while each way runs."""
    pauses = {}
    for name, fn in ways(model, inputs).items():
        worst = []
        for _ in range(rounds):
            stop, ticks = threading.Event(), []

            def ticker():
                while not stop.is_set():
                    ticks.append(time.perf_counter())
                    time.sleep(0.001)

            thread = threading.Thread(target=ticker)
            thread.start()
            time.sleep(0.01)
            fn()
            stop.set()
            thread.join()
            worst.append(max(b - a for a, b in zip(ticks, ticks[1:])))
        pauses[name] = statistics.median(worst)
    return pauses


def after_a_callback(model, x, sleep_s, rounds):
    """Latencies (seconds) of a future, a map stream and a run started right
    after a future whose done-callback sleeps `sleep_s`."""
    figures = {"the next future": [], "a map stream of 4": [], "a Model.run": []}
    for _ in range(rounds):
        for name in figures:
            first = model.submit(x)  # still on the device (2 ms) when its callback is added
            first.add_done_callback(lambda _: time.sleep(sleep_s))
            start = time.perf_counter()
            if name == "the next future":
                model.submit(x).result()
            elif name == "a map stream of 4":
                for _ in model.map([x] * 4):
                    pass
            else:
                model.run(x)
            figures[name].append(time.perf_counter() - start)
            first.result()
            time.sleep(sleep_s + 0.05)  # the callback has returned: the next round starts clean
    return {name: statistics.median(times) for name, times in figures.items()}


def main():
    args = parse_args()
    kiv, np, ProgramBuilder = import_modules(args.build_dir)
    count = 64 if args.quick else 2000
    device_count = 32 if args.quick else 400
    rounds = 2 if args.quick else 7
    results = {"platform": platform.platform(), "cpus": os.cpu_count(), "python": platform.python_version(),
               "quick": args.quick}
    print("# ways to run many inferences: %s, %d CPUs, Python %s%s" % (
        results["platform"], results["cpus"], results["python"], ", quick mode" if args.quick else ""))
    with tempfile.TemporaryDirectory(prefix="kiv_many_") as workdir:
        tiny = copy_model(ProgramBuilder, args.build_dir, workdir, "tiny", (1, 256), "float32")
        slow = copy_model(ProgramBuilder, args.build_dir, workdir, "slow", (1, 256), "float32", wait_ms=2)
        with kiv.Runtime(driver="standin", max_idle_jobs=16) as runtime:
            with runtime.load(tiny) as model:
                inputs = [np.full((1, 256), i, np.float32) for i in range(count)]
                results["tiny_rates"] = rates(model, inputs, rounds)
            with runtime.load(slow) as model:
                inputs = [np.full((1, 256), i, np.float32) for i in range(device_count)]
                results["device_rates"] = rates(model, inputs, max(2, rounds // 2))
                results["longest_pause_s"] = longest_pauses(model, inputs, max(2, rounds // 2))
                x = inputs[0]
                sleep_s = 0.2 if args.quick else 1.0
                results["callback_sleep_s"] = sleep_s
                results["after_slow_callback_s"] = after_a_callback(model, x, sleep_s, 1 if args.quick else 3)
                results["after_quick_callback_s"] = after_a_callback(model, x, 0.0, 1 if args.quick else 3)

    print("\n| Way | tiny model, inferences/s | 2 ms jobs, inferences/s | another thread's longest pause, ms |")
    print("|---|---:|---:|---:|")
    for name in results["tiny_rates"]:
        print("| %s | %.0f | %.0f | %.1f |" % (name, results["tiny_rates"][name], results["device_rates"][name],
                                               results["longest_pause_s"][name] * 1e3))
    print("\n(%d inferences of the tiny model, %d of 2 ms; medians of the rounds; a 2 ms job on four cores "
          "allows at most 2000 inferences/s)" % (count, device_count))
    print("\n| Started right after a future whose callback sleeps %g s | latency, ms | the same after a callback "
          "that returns at once, ms |" % results["callback_sleep_s"])
    print("|---|---:|---:|")
    for name in results["after_slow_callback_s"]:
        print("| %s | %.1f | %.1f |" % (name, results["after_slow_callback_s"][name] * 1e3,
                                        results["after_quick_callback_s"][name] * 1e3))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
