"""kiv bench: a model's load time, first inference, latency statistics,
throughput and peak memory, in one of three modes; optionally a plot and a
trace of the timed jobs."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

from ..model import Model
from .input_data import UNIFORM, Arrays, input_samples
from ..job_options import JobOptions
from .loading import job_options, opened, run_options
from .output_files import check_file
from .plot import require_matplotlib, write_plot
from .profiles import profile_summary, profile_text
from .stats import summary
from .timing import Goal, Progress, Timeline, bench_async, bench_batch, bench_sync
from .trace import write_trace
from .usage import UsageError

MODES = ("async", "batch", "sync")
IN_FLIGHT, BATCH_SIZE = 4, 8
# Without --count or --duration: at least this many runs, for at least this long.
DEFAULT_GOAL = Goal(100, 1.0)
# With --profile, the runs after the timed ones whose profiles are summed up.
PROFILED_RUNS = 10


def check_options(args: argparse.Namespace) -> None:
    """Refuses what cannot be done, or does not apply to the mode, before
    anything is loaded."""
    if args.count is not None and args.count < 1:
        raise UsageError("--count must be at least 1")
    if args.duration is not None and args.duration <= 0:
        raise UsageError("--duration must be positive")
    if args.warmup < 0:
        raise UsageError("--warmup must be at least 0")
    for option, value, mode in (("--in-flight", args.in_flight, "async"), ("--batch-size", args.batch_size, "batch")):
        if value is not None and args.mode != mode:
            raise UsageError("%s applies to --mode %s only, not to --mode %s" % (option, mode, args.mode))
        if value is not None and value < 1:
            raise UsageError("%s must be at least 1" % option)
    if args.plot is not None:
        require_matplotlib()  # say so now rather than after the runs
    for option, path in (("--plot", args.plot), ("--trace", args.trace)):
        if path is not None:
            check_file(option, path)


def _goal(args: argparse.Namespace) -> Goal:
    if args.count is None and args.duration is None:
        return DEFAULT_GOAL
    return Goal(args.count, args.duration)


def _run_mode(model: Model, sets: Sequence[Arrays], args: argparse.Namespace, goal: Goal, progress: Progress,
              timeline: Timeline, options: JobOptions | None) -> None:
    def per_run(number: int) -> JobOptions | None:
        return run_options(options, "run%d" % number)

    if args.mode == "async":
        bench_async(model, sets, goal, args.in_flight or IN_FLIGHT, progress, timeline, per_run)
    elif args.mode == "batch":
        size = args.batch_size or BATCH_SIZE
        # Batch b takes the sets from b * size on, going round them.
        batches = [[sets[(b * size + j) % len(sets)] for j in range(size)] for b in range(len(sets))]
        bench_batch(model, batches, goal, progress, timeline, per_run)
    else:
        bench_sync(model, sets, goal, progress, timeline, per_run)


def _timed(run: Callable[[], object]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def _text(result: dict[str, Any]) -> str:
    lat = result["latency_ms"]
    mode = result["mode"] + " mode" + (", %d in flight" % result["in_flight"] if "in_flight" in result else "")
    lines = [
        "%s: %d runs in %.2f s (%s), after %d warm-up runs%s" % (
            result["model"], result["runs"], result["seconds"], mode, result["warmup"],
            "; PARTIAL: interrupted" if result["partial"] else ""),
        "load %.3f ms, first inference %.3f ms" % (result["load_ms"], result["first_inference_ms"]),
        "latency per %s, ms: %s" % (result["latency_per"], "  ".join("%s %.3f" % item for item in lat.items())),
        "throughput: %.1f inferences/s" % result["throughput_per_s"],
        "peak resident memory: %.1f MiB" % (result["peak_rss_bytes"] / 2**20),
    ]
    lines += ["%s: %s" % (key, result[key]) for key in ("plot", "trace") if key in result]
    if "profile" in result:
        lines.append(profile_text(result["profile"]))
    return "\n".join(lines)


def _write_pictures(args: argparse.Namespace, timeline: Timeline, result: dict[str, Any]) -> list[str]:
    """Writes the plot and the trace asked for; what could not be written, as
    error texts (the figures are printed all the same)."""
    title = "kiv bench %s (%s mode, %d runs)" % (os.path.basename(result["model"]), args.mode, result["runs"])

    def write(key: str, path: str) -> None:
        if key == "plot":
            write_plot(path, timeline, result["latency_ms"], title, result["latency_per"])
        else:
            write_trace(path, timeline, title, "batch" if args.mode == "batch" else "job")

    failures = []
    for key in ("plot", "trace"):
        path = getattr(args, key)
        if path is None:
            continue
        try:
            write(key, path)
            result[key] = path
        except OSError as err:
            failures.append("--%s %s: cannot be written: %s" % (key, path, err.strerror or err))
    return failures


def _timed_runs(model: Model, sets: Sequence[Arrays], args: argparse.Namespace,
                options: JobOptions | None) -> tuple[Timeline, bool]:
    """The timeline of the timed runs, and whether an interrupt ended them
    (raised again when no run had ended: there are no figures)."""
    goal = _goal(args)
    progress = Progress(sys.stderr.isatty() and not args.json, goal)
    timeline = Timeline()
    interrupted = False
    try:
        _run_mode(model, sets, args, goal, progress, timeline, options)
    except KeyboardInterrupt:
        if not len(timeline):
            raise
        interrupted = True
    finally:
        progress.end()
    return timeline, interrupted


def command_bench(args: argparse.Namespace) -> int:
    check_options(args)
    per_job = (args.batch_size or BATCH_SIZE) if args.mode == "batch" else 1
    options = job_options(args)
    with opened(args.model, args.driver, max(4, args.in_flight or IN_FLIGHT), options, args.profile) as session:
        model = session.model
        samples = input_samples(model.inputs, args.input, args.random or UNIFORM, args.seed, args.quantize)
        sets = [sample.arrays for sample in samples]
        first = _timed(lambda: model.run(sets[0], job_options=run_options(options, "first")))
        for i in range(args.warmup):
            model.run(sets[i % len(sets)], job_options=run_options(options, "warmup%d" % i))
        timeline, interrupted = _timed_runs(model, sets, args, options)
        seconds = time.perf_counter() - timeline.began
        profiles = [model.run(sets[i % len(sets)], job_options=run_options(options, "profile%d" % i)).profile
                    for i in range(PROFILED_RUNS)] if args.profile else []
    result = {
        "model": model.path, "driver": session.runtime.driver.path, "mode": args.mode, "warmup": args.warmup,
        "input_sets": len(sets), "partial": interrupted, "load_ms": session.load_seconds * 1e3,
        "first_inference_ms": first * 1e3, **summary(timeline, per_job, seconds),
        "latency_per": "batch of %d" % per_job if args.mode == "batch" else "inference",
    }
    if args.mode == "async":
        result["in_flight"] = args.in_flight or IN_FLIGHT
    if args.mode == "batch":
        result["batch_size"] = per_job
    if args.profile:
        result["profile"] = profile_summary(profiles)
    failures = _write_pictures(args, timeline, result)
    print(json.dumps(result, indent=2) if args.json else _text(result))
    for failure in failures:
        print("kiv bench: %s" % failure, file=sys.stderr)
    return 130 if interrupted else 1 if failures else 0
