"""Opening the runtime and loading the model a command works on, with the
job options and profiling the command line asks for."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import time
from collections.abc import Iterator

from ..errors import KivError, ModelFormatError
from ..job_options import JobOptions
from ..model import Model
from ..runtime import Runtime
from .device import refusal_hint
from .output_files import make_directory
from .usage import UsageError


@dataclasses.dataclass(frozen=True)
class Session:
    runtime: Runtime
    model: Model
    load_seconds: float  # Runtime.load alone, the runtime already open


def job_options(args: argparse.Namespace) -> JobOptions | None:
    """The options of --partition, --core, --qos and --dump; None without
    them. The dump directory is made, if need be, before anything runs."""
    given = {"partition": args.partition, "core": args.core, "qos": args.qos, "dump_dir": args.dump}
    given = {name: value for name, value in given.items() if value is not None}
    if not given:
        return None
    try:
        options = JobOptions(**given)
    except ValueError as err:
        raise UsageError("--%s" % err) from None  # "core must be from 0 to 7, got 9"
    if args.dump is not None:
        make_directory("--dump", args.dump)
    return options


def run_options(options: JobOptions | None, label: str) -> JobOptions | None:
    """The job options of one run. With dumps, the run's files are kept
    apart from every other run's by a prefix of its own, `label`
    (LABEL_<job id>_input0.bin, ...); else None: the model's options."""
    if options is None or options.dump_dir is None:
        return None
    return dataclasses.replace(options, dump_prefix=label)


# What the container code says of a file that is no container at all.
_NOT_A_CONTAINER = "is not a zor model container"
# The stand-in NPU's executables start with this mark (docs/npu-program-format.md).
_STANDIN_PROGRAM = b"KVNP"


def _starts_with(path: str, mark: bytes) -> bool:
    try:
        with open(path, "rb") as f:
            return f.read(len(mark)) == mark
    except OSError:
        return False


def with_pack_hint(error: ModelFormatError) -> ModelFormatError:
    """A model file that is no container: if it is, or may be, an NPU
    executable, how to pack it into one."""
    pack = "zor pack --bin %s -o MODEL.zor" % error.path
    if _starts_with(error.path, _STANDIN_PROGRAM):
        problem = "is an NPU executable (a stand-in NPU program), not a model container: pack it into one with " + pack
    elif error.problem.startswith(_NOT_A_CONTAINER):
        problem = "%s; if it is an NPU executable, pack it into one: %s" % (error.problem, pack)
    else:
        return error
    return ModelFormatError(error.api, error.status, error.message, error.path, problem)


@contextlib.contextmanager
def opened(
    model_path: str,
    driver: str | None,
    max_idle_jobs: int = 4,
    options: JobOptions | None = None,
    profile: bool = False,
) -> Iterator[Session]:
    """The runtime on `driver` with the model loaded; both closed after."""
    # Every failure becomes the one line the command prints: libkiv's own
    # lines would say it a second time, before it (and the container reader's
    # amid standard output).
    runtime = Runtime(driver=driver, max_idle_jobs=max_idle_jobs, profile=profile, error_lines=False)
    try:
        started = time.perf_counter()
        model = runtime.load(model_path, job_options=options)
        load_seconds = time.perf_counter() - started
    except ModelFormatError as error:
        runtime.close()
        raise with_pack_hint(error) from None
    except BaseException:
        runtime.close()
        raise
    with runtime, model:
        try:
            yield Session(runtime, model, load_seconds)
        except KivError as error:
            hint = refusal_hint(runtime.device, error, options.partition if options else 0)
            if hint is None:
                raise
            detail = "%s; %s" % (error.detail, hint) if error.detail else hint
            raise KivError(error.api, error.status, error.message, detail) from None
