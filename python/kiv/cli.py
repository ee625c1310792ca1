"""The kiv command: inspect, run and benchmark a model from the shell.

    kiv info MODEL                      tensors, container name and version, driver
    kiv run MODEL [-i NAME=FILE.npy] [--random] [-o OUT.npz]
    kiv bench MODEL [--mode sync|async|batch] [--count N | --duration S] [--json]

Every command takes --driver: unset, the runtime's own choice (AIPU_LIB_PATH,
else the system's libaipudrv.so); "standin" for the stand-in NPU; or a path.
Exit status: 0 on success, 1 when the model or the runtime fails, 2 for a
usage error.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import functools
import json
import math
import os
import statistics
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import __version__
from .container import container_identity
from .errors import KivError
from .inputs import Outputs
from .model import Model
from .runtime import Runtime
from .tensor_info import TensorInfo

# The input arrays of a run, by input name.
Arrays = dict[str, npt.NDArray[Any]]


class UsageError(Exception):
    """A command line that cannot be carried out as given."""


# --- info -------------------------------------------------------------------------------------


def _tensor_rows(infos: Sequence[TensorInfo]) -> list[tuple[str, ...]]:
    rows: list[tuple[str, ...]] = []
    for t in infos:
        quant = "scale %g, zero point %d" % (t.scale, t.zero_point)
        rows.append(("  " + t.name, "shape %s" % (t.shape,), str(t.dtype), "%d bytes" % t.size, quant))
    return rows


def _columns(rows: Sequence[tuple[str, ...]]) -> list[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def describe(model: Model, runtime: Runtime) -> str:
    """The listing of `kiv info`: model, driver, inputs and outputs."""
    name, version = container_identity(model.path)
    lines = [
        "model    %s %s (%s, %d bytes)" % (name or "(unnamed)", version, model.path, os.path.getsize(model.path)),
        "driver   %s" % runtime.driver,
        "inputs",
    ]
    lines += _columns(_tensor_rows(model.inputs)) if model.inputs else ["  (none)"]
    lines.append("outputs")
    lines += _columns(_tensor_rows(model.outputs)) if model.outputs else ["  (none)"]
    return "\n".join(lines)


def info_as_dict(model: Model, runtime: Runtime) -> dict[str, Any]:
    name, version = container_identity(model.path)

    def tensor(t: TensorInfo) -> dict[str, Any]:
        return {"name": t.name, "shape": list(t.shape), "dtype": str(t.dtype), "bytes": t.size,
                "scale": t.scale, "zero_point": t.zero_point}

    return {
        "model": {"name": name, "version": version, "path": model.path},
        "driver": {"path": runtime.driver.path, "versions": list(runtime.driver.versions),
                   "standin": runtime.driver.is_standin},
        "inputs": [tensor(t) for t in model.inputs],
        "outputs": [tensor(t) for t in model.outputs],
    }


def command_info(args: argparse.Namespace) -> int:
    with Runtime(driver=args.driver) as runtime, runtime.load(args.model) as model:
        if args.json:
            print(json.dumps(info_as_dict(model, runtime), indent=2))
        else:
            print(describe(model, runtime))
    return 0


# --- inputs -----------------------------------------------------------------------------------


def random_input(info: TensorInfo, rng: np.random.Generator) -> npt.NDArray[Any]:
    """Random values of the tensor's dtype and shape."""
    dtype = info.dtype
    if dtype.kind == "f":
        return rng.standard_normal(info.shape).astype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, size=info.shape).astype(dtype)
    limits = np.iinfo(dtype)
    return rng.integers(limits.min, limits.max, size=info.shape, dtype=dtype, endpoint=True)


def read_inputs(model: Model, given: Sequence[str], random: bool, seed: int) -> Arrays:
    """Input arrays by name: from .npy files (NAME=FILE, or FILE for a
    one-input model), the rest random when `random` is set."""
    arrays: Arrays = {}
    names = [t.name for t in model.inputs]
    for item in given:
        name, sep, path = item.rpartition("=")
        if not sep:
            if len(names) != 1:
                raise UsageError("name the input of %s (NAME=FILE); the model's inputs are %s" % (item, names))
            name = names[0]
        if name not in names:
            raise UsageError("the model has no input %r; its inputs are %s" % (name, names))
        try:
            arrays[name] = np.load(path, allow_pickle=False)
        except (OSError, ValueError) as err:
            raise UsageError("cannot read %s: %s" % (path, err)) from None
    rng = np.random.default_rng(seed)
    missing = [t for t in model.inputs if t.name not in arrays]
    if missing and not random:
        raise UsageError("no data for input(s) %s: give -i NAME=FILE.npy or --random" % [t.name for t in missing])
    for info in missing:
        arrays[info.name] = random_input(info, rng)
    return arrays


# --- run --------------------------------------------------------------------------------------


def command_run(args: argparse.Namespace) -> int:
    with Runtime(driver=args.driver) as runtime, runtime.load(args.model) as model:
        inputs = read_inputs(model, args.input, args.random, args.seed)
        outputs = model.run(inputs).as_dict()
    if args.output:
        np.savez(args.output, **outputs)
        print("wrote %s: %s" % (args.output, ", ".join("%s %s %s" % (n, a.dtype, a.shape) for n, a in outputs.items())))
    else:
        with np.printoptions(threshold=64, edgeitems=4):
            for name, array in outputs.items():
                print("%s %s %s\n%s" % (name, array.dtype, array.shape, array))
    return 0


# --- bench ------------------------------------------------------------------------------------

# What a bench mode measured: (latency of each run in seconds, inferences, seconds in all).
Measured = tuple[list[float], int, float]


class Progress:
    """A line on the terminal that counts the timed runs; silent elsewhere."""

    def __init__(self, enabled: bool, total: int | None, duration: float | None) -> None:
        self._enabled = enabled
        self._total = total
        self._duration = duration
        self._shown = 0.0

    def show(self, done: int, started: float) -> None:
        now = time.monotonic()
        if not self._enabled or now - self._shown < 0.2:
            return
        self._shown = now
        if self._total:
            goal = "%d runs" % self._total
        else:
            assert self._duration is not None  # without a count of runs, bench runs for a duration
            goal = "%.0f s" % self._duration
        sys.stderr.write("\r  %d runs, %.1f s of %s " % (done, now - started, goal))
        sys.stderr.flush()

    def end(self) -> None:
        if self._enabled:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()


def _keep_going(done: int, started: float, args: argparse.Namespace) -> bool:
    if args.duration is not None:
        return bool(time.monotonic() - started < args.duration)
    return bool(done < args.count)


def _one_at_a_time(run: Callable[[], object], args: argparse.Namespace, progress: Progress) -> tuple[list[float], float]:
    """Calls `run` until the count or duration is reached: the latency of each
    call, and the seconds in all."""
    latencies: list[float] = []
    started = time.monotonic()
    while _keep_going(len(latencies), started, args):
        begin = time.perf_counter()
        run()
        latencies.append(time.perf_counter() - begin)
        progress.show(len(latencies), started)
    return latencies, time.monotonic() - started


def bench_sync(model: Model, inputs: Arrays, args: argparse.Namespace, progress: Progress) -> Measured:
    latencies, seconds = _one_at_a_time(lambda: model.run(inputs), args, progress)
    return latencies, len(latencies), seconds


def bench_async(model: Model, inputs: Arrays, args: argparse.Namespace, progress: Progress) -> Measured:
    """Keeps `in_flight` jobs going; latency is each job's, from submit to its end."""
    latencies: list[float] = []
    lock = threading.Lock()
    slots = threading.Semaphore(args.in_flight)
    failures: list[BaseException] = []

    def finished(begin: float, future: concurrent.futures.Future[Outputs]) -> None:
        with lock:
            latencies.append(time.perf_counter() - begin)
            error = future.exception()
            if error is not None:
                failures.append(error)
        slots.release()

    started = time.monotonic()
    submitted = 0
    while _keep_going(submitted, started, args) and not failures:
        slots.acquire()
        begin = time.perf_counter()
        model.submit(inputs).add_done_callback(functools.partial(finished, begin))
        submitted += 1
        progress.show(submitted, started)
    for _ in range(args.in_flight):
        slots.acquire()
    if failures:
        raise failures[0]
    return latencies, submitted, time.monotonic() - started


def bench_batch(model: Model, inputs: Arrays, args: argparse.Namespace, progress: Progress) -> Measured:
    """Batches of `batch_size` sets; latency is a whole batch's, throughput counts sets."""
    batch = [inputs] * args.batch_size
    latencies, seconds = _one_at_a_time(lambda: model.run_batch(batch), args, progress)
    return latencies, len(latencies) * args.batch_size, seconds


MODES = {"sync": bench_sync, "async": bench_async, "batch": bench_batch}


def percentile(sorted_values: Sequence[float], fraction: float) -> float:
    """The value below which `fraction` of the values lie (nearest rank)."""
    rank = max(1, math.ceil(fraction * len(sorted_values)))
    return sorted_values[rank - 1]


def summary(latencies: Sequence[float], inferences: int, seconds: float) -> dict[str, Any]:
    ordered = sorted(latencies)
    return {
        "runs": len(ordered),
        "inferences": inferences,
        "seconds": seconds,
        "throughput_per_s": inferences / seconds if seconds else 0.0,
        "latency_ms": {
            "min": ordered[0] * 1e3,
            "median": statistics.median(ordered) * 1e3,
            "p90": percentile(ordered, 0.90) * 1e3,
            "p99": percentile(ordered, 0.99) * 1e3,
            "max": ordered[-1] * 1e3,
        },
    }


def command_bench(args: argparse.Namespace) -> int:
    if args.count is not None and args.count < 1:
        raise UsageError("--count must be at least 1")
    if args.duration is not None and args.duration <= 0:
        raise UsageError("--duration must be positive")
    if args.in_flight < 1 or args.batch_size < 1 or args.warmup < 0:
        raise UsageError("--in-flight and --batch-size must be at least 1, --warmup at least 0")
    if args.count is None and args.duration is None:
        args.count = 100
    with Runtime(driver=args.driver, max_idle_jobs=max(4, args.in_flight)) as runtime, runtime.load(args.model) as model:
        inputs = read_inputs(model, args.input, True, args.seed)
        for _ in range(args.warmup):
            model.run(inputs)
        progress = Progress(sys.stderr.isatty() and not args.json, args.count, args.duration)
        try:
            latencies, inferences, seconds = MODES[args.mode](model, inputs, args, progress)
        finally:
            progress.end()
        result = summary(latencies, inferences, seconds)
        result.update(mode=args.mode, model=model.path, driver=runtime.driver.path, warmup=args.warmup)
        if args.mode == "async":
            result["in_flight"] = args.in_flight
        if args.mode == "batch":
            result["batch_size"] = args.batch_size
    if args.json:
        print(json.dumps(result, indent=2))
        return 0
    lat = result["latency_ms"]
    unit = "batch of %d" % args.batch_size if args.mode == "batch" else "inference"
    print("%s: %d runs in %.2f s (%s mode%s), after %d warm-up runs" % (
        model.path, result["runs"], seconds, args.mode,
        ", %d in flight" % args.in_flight if args.mode == "async" else "", args.warmup))
    print("latency per %s, ms: min %.3f  median %.3f  p90 %.3f  p99 %.3f  max %.3f" % (
        unit, lat["min"], lat["median"], lat["p90"], lat["p99"], lat["max"]))
    print("throughput: %.1f inferences/s" % result["throughput_per_s"])
    return 0


# --- entry ------------------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="kiv", description="Inspect, run and benchmark models on the NPU.")
    main.add_argument("--version", action="version", version="kiv %s" % __version__)
    commands = main.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("model", metavar="MODEL", help="zor model container")
        sub.add_argument("--driver", help='driver library: "standin", a path (default: AIPU_LIB_PATH, else the '
                                          "system's libaipudrv.so)")
        return sub

    info = command("info", "list a model's inputs and outputs, its name and version, and the driver")
    info.add_argument("--json", action="store_true", help="print one JSON document")

    def input_options(sub: argparse.ArgumentParser, input_help: str) -> None:
        sub.add_argument("-i", "--input", action="append", default=[], metavar="NAME=FILE.npy", help=input_help)
        sub.add_argument("--seed", type=int, default=0, help="seed of the random data (default 0)")

    run = command("run", "run a model once")
    input_options(run, "an input from a .npy file (repeatable; FILE alone for a one-input model)")
    run.add_argument("--random", action="store_true", help="random data for the inputs not given")
    run.add_argument("-o", "--output", metavar="OUT.npz", help="write the outputs to an .npz file by name")

    bench = command("bench", "measure a model's latency and throughput")
    bench.add_argument("--mode", choices=sorted(MODES), default="sync",
                       help="sync: one run at a time; async: --in-flight jobs at once; batch: --batch-size sets "
                            "per batch queue (default sync)")
    goal = bench.add_mutually_exclusive_group()
    goal.add_argument("--count", type=int, help="timed runs (default 100)")
    goal.add_argument("--duration", type=float, metavar="SECONDS", help="run for this long instead")
    bench.add_argument("--warmup", type=int, default=10, help="untimed runs first (default 10)")
    bench.add_argument("--in-flight", type=int, default=4, help="jobs at once in async mode (default 4)")
    bench.add_argument("--batch-size", type=int, default=8, help="input sets per batch in batch mode (default 8)")
    input_options(bench, "an input from a .npy file (default: random data)")
    bench.add_argument("--json", action="store_true", help="print the figures as one JSON document")
    return main


COMMANDS = {"info": command_info, "run": command_run, "bench": command_bench}


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except UsageError as err:
        print("kiv %s: %s" % (args.command, err), file=sys.stderr)
        return 2
    except KivError as err:
        # The runtime's hint on choosing a driver, in this command's terms.
        text = str(err).replace('kiv.Runtime(driver="standin")', "--driver standin")
        print("kiv %s: %s" % (args.command, text), file=sys.stderr)
        return 1
    except (OSError, ValueError, TypeError) as err:
        print("kiv %s: %s" % (args.command, err), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("kiv %s: interrupted" % args.command, file=sys.stderr)
        return 130
