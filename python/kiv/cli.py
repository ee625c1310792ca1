"""The kiv command: inspect, run, benchmark and serve models from the shell.

    kiv info MODEL                      tensors, container name and version, driver, device
    kiv run MODEL [-i NAME=FILE] [--random [FILL]] [-o OUT.npz] [--reference REF.npz] [--json]
    kiv bench MODEL [--mode sync|async|batch] [--count N | --duration S] [--json] [--plot F.png] [--trace F.json]
    kiv serve MODEL.zor... | DIR [--host ADDR] [--http-port P] [--grpc-port P] [--grpc-socket PATH]
    kiv example NAME [-o PATH]          writes an example model of the guides

docs/kiv-command.md describes every option and the exit statuses (EPILOG).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from . import __version__
from .commands.bench import MODES, command_bench
from .commands.example import command_example
from .commands.info import command_info
from .commands.input_data import fill_mode
from .commands.run import command_run
from .commands.serve import command_serve, serve_options
from .commands.stats import DEFAULT_PERCENTILES, percentiles_option
from .commands.usage import UsageError
from .errors import KivError
from .examples import EXAMPLES

COMMANDS = {
    "info": command_info,
    "run": command_run,
    "bench": command_bench,
    "serve": command_serve,
    "example": command_example,
}

EXAMPLE_HELP = "write an example model of the guides, a program of the stand-in NPU"

DRIVER_HELP = 'driver library: "standin", a path (default: AIPU_LIB_PATH, else the system\'s libaipudrv.so)'

EPILOG = """\
Run 'kiv COMMAND --help' for the options of a command. --driver may come
before or after the command.

Standard output carries only what a command is asked for. Errors go to
standard error, one line each starting with "kiv COMMAND: ".

Exit status:
  0    success; with --reference, every output matched
  1    the model, the runtime or the driver failed, an output differs from
       the reference, or a file could not be written after the runs
  2    the command line, or a file it names, cannot be used as given
  130  interrupted (Ctrl-C); kiv bench prints its partial figures first

Environment:
  AIPU_LIB_PATH  the driver library the runtime loads when --driver is not
                 given (unset: the system's libaipudrv.so)
  KIV_LOG_LEVEL  the threshold of the runtime's diagnostic log on standard
                 error: DEBUG, INFO (the default), WARNING, ERROR or NONE

Examples:
  $ kiv info model.zor --driver standin
  $ kiv run model.zor -i x.npy --quantize --reference ref.npz
  $ kiv run model.zor -i samples/ --reference refs/ --labels labels.txt
  $ kiv bench model.zor --mode async --in-flight 8 --json > figures.json
  $ kiv bench model.zor --profile --trace jobs.json --csv runs.csv
  $ kiv serve models/ --driver standin --grpc-socket /run/kiv.sock
  $ kiv example tiny -o tiny.zor
"""

# The runtime's advice names the Python API; the command says it in its own terms.
RUNTIME_WORDS = (
    ('kiv.Runtime(driver="standin")', "--driver standin"),
    ("kiv.Runtime(driver=PATH)", "--driver PATH"),
    ("given to kiv.Runtime", "given with --driver"),
)


def _fill(text: str) -> str:
    try:
        return fill_mode(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _percentiles(text: str) -> tuple[float, ...]:
    try:
        return percentiles_option(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _input_options(sub: argparse.ArgumentParser, random_help: str) -> None:
    sub.add_argument("-i", "--input", action="append", default=[], metavar="[NAME=]FILE",
                     help="an input from a .npy file (NAME=FILE, or FILE for a one-input model); a .npz file of "
                          "arrays by input name; or a directory of .npy/.npz samples (repeatable)")
    sub.add_argument("--random", nargs="?", const="uniform", type=_fill, metavar="FILL", help=random_help)
    sub.add_argument("--seed", type=int, default=0, help="seed of the random data (default 0)")
    sub.add_argument("--quantize", action="store_true",
                     help="quantise real (float) input data with each integer input's scale and zero point")


def _job_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--partition", type=int, help="partition that runs the jobs (default 0)")
    sub.add_argument("--core", type=int, help="pin the jobs to this core (default: the driver dispatches them)")
    sub.add_argument("--qos", type=int, help="QoS level of the jobs: higher levels run first on a busy NPU (default 0)")
    sub.add_argument("--dump", metavar="DIR", help="have the driver dump every job's inputs and outputs into DIR")
    sub.add_argument("--profile", action="store_true",
                     help="have the driver profile the jobs, and show the profile: per operation for the stand-in "
                          "NPU, else its size; bench splits each latency into queue wait, device and host time")


def _run_options(run: argparse.ArgumentParser) -> None:
    _input_options(run, "how to fill the inputs not given: uniform (over the dtype's range; [-1, 1) for floats, "
                        "the default), zeros, ones, or a number")
    run.add_argument("-o", "--output", metavar="OUT.npz",
                     help="write the outputs to an .npz file by output name (a directory, for a directory of samples)")
    run.add_argument("--dequantize", action="store_true",
                     help="show and save integer outputs as real values, with their scale and zero point")
    run.add_argument("--reference", metavar="REF.npz",
                     help="compare the outputs with the arrays of the same name (a directory, for a directory of "
                          "samples); exit status 1 on any difference")
    run.add_argument("--atol", type=float,
                     help="absolute tolerance of the reference check (default 1e-08; for a quantised output, one "
                          "quantisation step)")
    run.add_argument("--rtol", type=float, help="relative tolerance of the reference check (default 1e-05)")
    run.add_argument("--labels", metavar="FILE",
                     help="class labels, one per row of scores of the first output in the order the samples run (a "
                          ".npy file or whole numbers in a text file): top-1 and top-5 accuracy over the set")
    run.add_argument("--json", action="store_true", help="print the outputs and checks as one JSON document")
    _job_options(run)


def _bench_options(bench: argparse.ArgumentParser) -> None:
    bench.add_argument("--mode", choices=MODES, default="sync",
                       help="sync: one run at a time; async: --in-flight jobs at once; batch: --batch-size sets "
                            "per batch queue (default sync)")
    goal = bench.add_mutually_exclusive_group()
    goal.add_argument("--count", type=int, help="timed runs (default: at least 100, for at least 1 s)")
    goal.add_argument("--duration", type=float, metavar="SECONDS", help="run for this long instead")
    bench.add_argument("--warmup", type=int, default=10, help="untimed runs after the first inference (default 10)")
    bench.add_argument("--in-flight", type=int, help="jobs at once in async mode (default 4)")
    bench.add_argument("--batch-size", type=int, help="input sets per batch in batch mode (default 8)")
    _input_options(bench, "how to fill the inputs not given: uniform (the default), zeros, ones, or a number")
    bench.add_argument("--percentiles", type=_percentiles, default=DEFAULT_PERCENTILES, metavar="P,P,...",
                       help="the latency percentiles to give (default 50,90,99)")
    bench.add_argument("--json", action="store_true", help="print the figures as one JSON document")
    bench.add_argument("--plot", metavar="FILE.png",
                       help="draw the latency distribution and latency over time, as PNG, SVG or PDF by the suffix "
                            "(needs matplotlib)")
    bench.add_argument("--trace", metavar="FILE.json",
                       help="write every timed job as a trace event; with --profile, beside it the job's span on "
                            "the core that ran it, its operations nested, and an arrow (a flow) from one to the other")
    bench.add_argument("--csv", metavar="FILE.csv",
                       help="write a row per timed run: its start, latency and sample; with --profile, its core, "
                            "latency split and operation times")
    _job_options(bench)


def parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The command's parser, and the parser of each command by name."""
    main = argparse.ArgumentParser(prog="kiv", description="Inspect, run, benchmark and serve models on the NPU.",
                                   epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    main.add_argument("--version", action="version", version="kiv %s" % __version__)
    main.add_argument("--driver", help=DRIVER_HELP)
    commands = main.add_subparsers(dest="command", metavar="COMMAND", required=True)
    subs: dict[str, argparse.ArgumentParser] = {}
    for name, help_text, options in (
        ("info", "list a model's inputs and outputs, its name and version, and the driver", None),
        ("run", "run a model on input sets, and check its outputs against a reference", _run_options),
        ("bench", "measure a model's load time, latency, throughput and memory", _bench_options),
    ):
        sub = subs[name] = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("model", metavar="MODEL", help="zor model container")
        # SUPPRESS: unless given here, the value before the command stands.
        sub.add_argument("--driver", default=argparse.SUPPRESS, help=DRIVER_HELP)
        if options is not None:
            options(sub)
    subs["info"].add_argument("--json", action="store_true", help="print one JSON document")
    serve_help = "serve models to other processes and machines over the open inference protocol (gRPC, HTTP)"
    serve = subs["serve"] = commands.add_parser("serve", help=serve_help, description=serve_help)
    serve.add_argument("--driver", default=argparse.SUPPRESS, help=DRIVER_HELP)
    serve_options(serve)
    example = subs["example"] = commands.add_parser(
        "example", help=EXAMPLE_HELP, description=EXAMPLE_HELP + " (needs the stand-in NPU installed)")
    example.add_argument("name", metavar="NAME", choices=sorted(EXAMPLES),
                         help="; ".join("%s: %s" % (e.name, e.summary) for e in EXAMPLES.values()))
    example.add_argument("-o", "--output", metavar="PATH", help="the model file to write (default NAME.zor)")
    return main, subs


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    """The command line; what a command does not know is refused with that
    command's usage."""
    main, subs = parser()
    args, unknown = main.parse_known_args(argv)
    if unknown:
        subs[args.command].error("unrecognized arguments: %s" % " ".join(unknown))
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_arguments(argv)
    try:
        return COMMANDS[args.command](args)
    except UsageError as err:
        print("kiv %s: %s" % (args.command, err), file=sys.stderr)
        return 2
    except KivError as err:
        text = str(err)
        for library_words, command_words in RUNTIME_WORDS:
            text = text.replace(library_words, command_words)
        print("kiv %s: %s" % (args.command, text), file=sys.stderr)
        return 1
    except (OSError, ValueError, TypeError) as err:
        print("kiv %s: %s" % (args.command, err), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("kiv %s: interrupted" % args.command, file=sys.stderr)
        return 130
