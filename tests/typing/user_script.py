"""A user's program on the kiv package, written to pass mypy --strict:
scripts/typecheck.sh checks it against the package's annotations, and
tests/python/test_typed_user_script.py runs it.

    user_script.py MODEL

MODEL takes two float32 inputs of one shape, "a" and "b", and gives two
outputs, "sum" (a + b) and "copy" (a), after waiting some milliseconds, so
that a run with a 1 ms timeout times out. Every step checks what it got and
prints a line; a failed check ends the program with an AssertionError.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

import kiv
import libkiv
from kiv.standin_profile import decode_profile

Array = npt.NDArray[Any]


def describe(info: kiv.TensorInfo) -> str:
    dims: tuple[int, ...] = info.shape
    return "%s %s %s" % (info.name, "x".join(str(d) for d in dims), info.dtype)


def sample(info: kiv.TensorInfo, start: int) -> Array:
    count = int(np.prod(info.shape))
    return (np.arange(count) + start).astype(info.dtype).reshape(info.shape)


def check_sum(outputs: kiv.Outputs, a: Array, b: Array) -> None:
    total: Array = outputs["sum"]
    first: Array = outputs[0]
    leading: list[Array] = outputs[:1]
    assert total is first and leading[0] is first
    assert np.array_equal(total, a + b) and np.array_equal(outputs["copy"], a)


def run_by_name(model: kiv.Model, a: Array, b: Array) -> kiv.Outputs:
    outputs = model.run({"b": b, "a": a}, timeout=30.0)
    check_sum(outputs, a, b)
    names: tuple[str, ...] = outputs.names
    assert names == ("sum", "copy") and list(outputs.as_dict()) == ["sum", "copy"]
    return outputs


def run_futures(model: kiv.Model, sets: list[tuple[Array, Array]]) -> None:
    futures: list[concurrent.futures.Future[kiv.Outputs]] = [model.submit(a, b) for a, b in sets]
    for (a, b), future in zip(sets, futures):
        check_sum(future.result(timeout=30.0), a, b)


async def run_together(model: kiv.Model, sets: list[tuple[Array, Array]]) -> int:
    results = await asyncio.gather(*(model.run_async(a, b) for a, b in sets))
    for (a, b), outputs in zip(sets, results):
        check_sum(outputs, a, b)
    return len(results)


def run_batch(model: kiv.Model, sets: list[tuple[Array, Array]]) -> int:
    results: list[kiv.Outputs] = model.run_batch(sets)
    for (a, b), outputs in zip(sets, results):
        check_sum(outputs, a, b)
    return len(results)


def timed_out(model: kiv.Model, a: Array, b: Array) -> kiv.JobTimeout:
    try:
        model.run(a, b, timeout=0.001)
    except kiv.JobTimeout as err:
        return err
    raise AssertionError("a run of %s ended within 1 ms" % model.path)


def load_failure(runtime: kiv.Runtime, path: str) -> kiv.KivError:
    try:
        runtime.load(path)
    except kiv.KivError as err:
        return err
    raise AssertionError("%s was loaded" % path)


def profiled_on_core(path: str, a: Array, b: Array) -> tuple[int, int, list[str]]:
    """(core, build version, operation names) of a run pinned to core 1."""
    options = kiv.JobOptions(core=1, qos=1, dump=frozenset({"output"}))
    with kiv.Runtime(driver="standin", profile=True) as runtime:
        with runtime.load(path, job_options=options, weights_region=1) as model:
            outputs = model.run(a, b, job_options=dataclasses.replace(options, qos=0))
            assert outputs.profile is not None
            profile = decode_profile(outputs.profile)
            assert profile is not None
            return profile.core, model.build_version, [op.name for op in profile.operations]


def main(argv: list[str]) -> int:
    (path,) = argv
    with kiv.Runtime(driver="standin") as runtime, runtime.load(path) as model:
        driver: kiv.DriverInfo = runtime.driver
        assert driver.is_standin
        print("inputs:", ", ".join(describe(info) for info in model.inputs))
        print("outputs:", ", ".join(describe(info) for info in model.outputs))
        first, second = model.inputs
        sets = [(sample(first, 10 * n), sample(second, 100 * n)) for n in range(4)]

        outputs = run_by_name(model, *sets[0])
        print("run by name:", outputs["sum"].ravel().tolist())
        timeout = timed_out(model, *sets[1])
        seconds: float = timeout.timeout
        job: int = timeout.job_id
        assert isinstance(timeout, TimeoutError) and timeout.api == "Model.run" and job > 0
        print("timeout:", seconds, timeout.code)

        run_futures(model, sets)
        print("futures:", len(sets))
        print("run_async:", asyncio.run(run_together(model, sets)))
        print("run_batch:", run_batch(model, sets))

        error = load_failure(runtime, path + ".missing")
        code: int = error.code
        detail: str | None = error.detail
        assert error.status == libkiv.KIV_STATUS_ERROR_OPEN_FILE_FAIL and detail == path + ".missing: no such file"
        print("load failure:", error.api, code, error.message)
    assert model.closed and runtime.closed
    print("profiled:", profiled_on_core(path, *sets[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
