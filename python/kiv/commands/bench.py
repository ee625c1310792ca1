"""kiv bench: a model's load time, first inference, latency statistics,
throughput and peak memory, in one of three modes; optionally a plot, a
trace and a table (CSV) of the timed jobs."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

from ..job_options import JobOptions
from ..model import Model
from .csv_file import write_csv
from .device_time import csv_columns, decoded, profile_figures, profile_lines
from .documents import json_text, opening, setting
from .input_data import UNIFORM, Arrays, Sample, input_samples, inputs_object
from .loading import job_options, opened, run_options
from .output_files import check_file
from .plot import plot_format, require_matplotlib, write_plot
from .stats import few_runs_notes, summary
from .timing import Goal, Progress, Timeline, bench_async, bench_batch, bench_sync
from .trace import write_trace
from .usage import UsageError

MODES = ("async", "batch", "sync")
IN_FLIGHT, BATCH_SIZE = 4, 8
# Without --count or --duration: at least this many runs, for at least this long.
DEFAULT_GOAL = Goal(100, 1.0)
# The files kiv bench can write, by option.
FILES = ("plot", "trace", "csv")


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
    if args.profile and args.mode == "batch":
        raise UsageError("--profile needs --mode sync or async: a batch queue's jobs give no profile")
    if args.plot is not None:
        plot_format(args.plot)
        require_matplotlib()  # say so now rather than after the runs
    for key in FILES:
        if getattr(args, key) is not None:
            check_file("--" + key, getattr(args, key))


def _goal(args: argparse.Namespace) -> Goal:
    if args.count is None and args.duration is None:
        return DEFAULT_GOAL
    return Goal(args.count, args.duration)


def _batches(sets: Sequence[Arrays], size: int) -> list[list[Arrays]]:
    """Batch b takes the sets from b * size on, going round them."""
    return [[sets[(b * size + j) % len(sets)] for j in range(size)] for b in range(len(sets))]


def _run_mode(model: Model, sets: Sequence[Arrays], args: argparse.Namespace, goal: Goal, progress: Progress,
              timeline: Timeline, options: JobOptions | None) -> None:
    def per_run(number: int) -> JobOptions | None:
        return run_options(options, "run%d" % number)

    if args.mode == "async":
        # One stream, one set of options: with dumps, its jobs are not reused
        # (the model keeps no idle job), so that their ids keep them apart.
        bench_async(model, sets, goal, args.in_flight or IN_FLIGHT, progress, timeline, run_options(options, "stream"))
    elif args.mode == "batch":
        bench_batch(model, _batches(sets, args.batch_size or BATCH_SIZE), goal, progress, timeline, per_run)
    else:
        bench_sync(model, sets, goal, progress, timeline, per_run)


def _timed(run: Callable[[], object]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def duration_text(seconds: float) -> str:
    """A duration as it reads well: "2.35 s", "12.40 ms", "85 us"."""
    if seconds >= 1:
        return "%.2f s" % seconds
    if seconds >= 1e-3:
        return "%.2f ms" % (seconds * 1e3)
    return "%.0f us" % (seconds * 1e6)


def _figure(value: float | None) -> str:
    return "-" if value is None else "%.3f" % value


def _text(result: dict[str, Any]) -> str:
    options = result["options"]
    mode = options["mode"] + " mode"
    if options["in_flight"] is not None:
        mode += ", %d in flight" % options["in_flight"]
    per_run = result["inferences_per_run"]
    lines = [
        "%s: %d runs in %s (%s), after %d warm-up runs%s" % (
            result["model"]["path"], result["runs"], duration_text(result["seconds"]), mode, options["warmup"],
            "; PARTIAL: interrupted" if result["partial"] else ""),
        "load %.3f ms, first inference %.3f ms" % (result["load_ms"], result["first_inference_ms"]),
        "latency per %s, ms: %s" % ("batch of %d" % per_run if options["mode"] == "batch" else "inference",
                                    "  ".join("%s %s" % (k, _figure(v)) for k, v in result["latency_ms"].items())),
        "throughput: %.1f inferences/s" % result["throughput_per_s"],
        "peak resident memory: %.1f MiB" % (result["peak_rss_bytes"] / 2**20),
    ]
    if "profile" in result:
        lines += profile_lines(result["profile"], result["latency_split_us"])
    lines += ["%s: %s" % (key, path) for key, path in result["files"].items()]
    lines += ["note: %s" % note for note in result["notes"]]
    return "\n".join(lines)


def _write_files(args: argparse.Namespace, timeline: Timeline, result: dict[str, Any],
                 sample_of: Callable[[int], str]) -> list[str]:
    """Writes the plot, the trace and the table asked for, noting each in
    `result`; what could not be written, as error texts (the figures are
    printed all the same)."""
    title = "kiv bench %s (%s mode, %d runs)" % (os.path.basename(args.model), args.mode, result["runs"])
    unit = "batch of %d" % result["inferences_per_run"] if args.mode == "batch" else "inference"

    def write(key: str, path: str) -> None:
        if key == "plot":
            write_plot(path, timeline, result["latency_ms"], title, unit)
        elif key == "trace":
            runs = decoded(timeline.profiles) if timeline.profiled else None
            write_trace(path, timeline, title, "batch" if args.mode == "batch" else "job", runs)
        else:
            write_csv(path, timeline, sample_of, csv_columns(timeline))

    failures = []
    for key in FILES:
        path = getattr(args, key)
        if path is None:
            continue
        try:
            write(key, path)
            result["files"][key] = path
        except OSError as err:
            failures.append("--%s %s: cannot be written: %s" % (key, path, err.strerror or err))
    return failures


def _timed_runs(model: Model, sets: Sequence[Arrays], args: argparse.Namespace,
                options: JobOptions | None) -> tuple[Timeline, bool]:
    """The timeline of the timed runs, and whether an interrupt ended them
    (raised again when no run had ended: there are no figures)."""
    goal = _goal(args)
    progress = Progress(sys.stderr.isatty() and not args.json, goal)
    timeline = Timeline(profiled=args.profile)
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


def _options(args: argparse.Namespace, per_run: int) -> dict[str, Any]:
    """What the command was asked to do, for the JSON document."""
    return {
        "mode": args.mode, "in_flight": (args.in_flight or IN_FLIGHT) if args.mode == "async" else None,
        "batch_size": per_run if args.mode == "batch" else None, "count": args.count, "duration": args.duration,
        "warmup": args.warmup, "partition": args.partition if args.partition is not None else 0, "core": args.core,
        "qos": args.qos if args.qos is not None else 0,
        "profile": args.profile, "dump": args.dump, "percentiles": list(args.percentiles),
    }


def _sample_names(samples: Sequence[Sample], per_run: int) -> Callable[[int], str]:
    """The sample timed run N took (in batch mode, the batch's first), by
    name, or by number when the sets do not come from a directory."""
    names = [s.name if s.name is not None else str(i) for i, s in enumerate(samples)]
    return lambda run: names[(run * per_run) % len(names)]


def command_bench(args: argparse.Namespace) -> int:
    check_options(args)
    per_run = (args.batch_size or BATCH_SIZE) if args.mode == "batch" else 1
    options = job_options(args)
    document = opening("bench")
    idle_jobs = 0 if args.dump else max(4, args.in_flight or IN_FLIGHT)
    with opened(args.model, args.driver, idle_jobs, options, args.profile) as session:
        model = session.model
        fill = args.random or UNIFORM
        samples = input_samples(model.inputs, args.input, fill, args.seed, args.quantize)
        sets = [sample.arrays for sample in samples]
        first = _timed(lambda: model.run(sets[0], job_options=run_options(options, "first")))
        for i in range(args.warmup):
            model.run(sets[i % len(sets)], job_options=run_options(options, "warmup%d" % i))
        timeline, interrupted = _timed_runs(model, sets, args, options)
        seconds = time.perf_counter() - timeline.began
        document.update(setting(model, session.runtime))
    figures = summary(timeline, per_run, seconds, args.percentiles)
    result = {
        **document, "options": _options(args, per_run), "inputs": inputs_object(args, samples, fill),
        "load_ms": session.load_seconds * 1e3, "first_inference_ms": first * 1e3, **figures,
        "partial": interrupted, "files": {},
        "notes": few_runs_notes(len(timeline), args.percentiles),
    }
    if args.profile:
        result["profile"], result["latency_split_us"] = profile_figures(timeline)
    failures = _write_files(args, timeline, result, _sample_names(samples, per_run))
    print(json_text(result) if args.json else _text(result))
    for failure in failures:
        print("kiv bench: %s" % failure, file=sys.stderr)
    return 130 if interrupted else 1 if failures else 0
