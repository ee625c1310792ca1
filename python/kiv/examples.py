"""The example models of the guides, for the stand-in NPU: programs made
with its program builder (kiv.standin, installed with the stand-in), packed
by the zor tool with an IO description that names their tensors.

    kiv example tiny                      the command (-o PATH; default tiny.zor)
    kiv.examples.write("tiny", "tiny.zor")

- tiny: y = relu(x @ w + b), x float32 of shape (1, 4), y float32 of shape
  (1, 3), w = arange(12).reshape(4, 3) / 10 and b = (-1, 0, 1);
  docs/getting-started.md builds the same model step by step.
- small: y = x @ w, quantised: x int8 (1, 4) of scale 0.25, w int8 (4, 3) of
  scale 0.5 (SMALL_W), y int8 (1, 3) of scale 0.5; the model of
  docs/kiv-command.md.
"""

from __future__ import annotations

import dataclasses
import json
import os
import shutil
import subprocess
import sysconfig
import tempfile
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .standin import ProgramBuilder

TINY_W = np.arange(12, dtype=np.float32).reshape(4, 3) / 10
TINY_B = np.array([-1.0, 0.0, 1.0], dtype=np.float32)
SMALL_W = np.array([[2, -1, 0], [1, 3, -2], [0, 1, 4], [-3, 0, 1]], dtype=np.int8)


def _tiny(builder: ProgramBuilder) -> None:
    x = builder.input([1, 4], "float32")
    y = builder.output([1, 3], "float32")
    pre = builder.temp([1, 3], "float32")
    builder.fully_connected(pre, x, builder.constant(TINY_W), builder.constant(TINY_B))
    builder.relu(y, pre)


def _small(builder: ProgramBuilder) -> None:
    x = builder.input([1, 4], "int8", scale=0.25)
    y = builder.output([1, 3], "int8", scale=0.5)
    bias = builder.constant(np.zeros(3, np.int32), scale=0.125)
    builder.fully_connected(y, x, builder.constant(SMALL_W, scale=0.5), bias)


@dataclasses.dataclass(frozen=True)
class Example:
    """An example model: its name, what it computes, its program's
    operations and its IO description."""

    name: str
    summary: str
    build: Callable[[ProgramBuilder], None]
    io: dict[str, Any]


# Element types by code, as the guides write them (11 float32, 3 int8), so
# that a guide's own build of a model gives the same container.
EXAMPLES = {example.name: example for example in (
    Example("tiny", "y = relu(x @ w + b), float32", _tiny, {
        "name": "tiny", "version": [1, 0, 0],
        "input_tensors": [{"name": "x", "shape": [1, 4], "dtype": 11}],
        "output_tensors": [{"name": "y", "shape": [1, 3], "dtype": 11}]}),
    Example("small", "y = x @ w, int8, quantised", _small, {
        "name": "small", "version": [1, 0, 0],
        "input_tensors": [{"name": "x", "shape": [1, 4], "dtype": 3, "scale": [0.25], "zero_point": [0]}],
        "output_tensors": [{"name": "y", "shape": [1, 3], "dtype": 3, "scale": [0.5], "zero_point": [0]}]}),
)}


def _example(name: str) -> Example:
    if name not in EXAMPLES:
        raise ValueError("no example model %r (there are %s)" % (name, ", ".join(EXAMPLES)))
    return EXAMPLES[name]


def program(name: str) -> bytes:
    """The stand-in NPU program of the example model `name`.

    Raises:
        ValueError: there is no such example.
        ModuleNotFoundError: the stand-in, whose program builder makes the
            program, is not installed.
    """
    example = _example(name)
    try:
        from .standin import ProgramBuilder
    except ModuleNotFoundError as err:
        if err.name != __package__ + ".standin":
            raise
        raise ModuleNotFoundError(
            "the example models are programs of the stand-in NPU, which is not installed with this kiv package "
            "(the libkiv-standin package; for pip, KIV_INSTALL_STANDIN_DRIVER=ON)", name=err.name) from None
    builder = ProgramBuilder()
    example.build(builder)
    return builder.build()


def zor_command() -> str:
    """The zor tool: the one on PATH, else the one installed with kiv beside
    the interpreter's scripts (a virtual environment's bin/).

    Raises:
        FileNotFoundError: there is none.
    """
    found = shutil.which("zor") or shutil.which("zor", path=sysconfig.get_path("scripts"))
    if found is None:
        raise FileNotFoundError("the zor tool, installed with kiv, is neither on PATH nor beside the interpreter")
    return found


def write(name: str, path: str | os.PathLike[str] | None = None) -> str:
    """Writes the example model `name` to `path` (default NAME.zor) and
    returns the path.

    Raises:
        ValueError: there is no such example.
        ModuleNotFoundError: the stand-in is not installed.
        FileNotFoundError: the zor tool is not found.
        OSError: zor cannot write the file.
    """
    target = os.fspath(path) if path is not None else name + ".zor"
    executable = program(name)
    zor = zor_command()
    with tempfile.TemporaryDirectory() as work:
        program_file, io_file = os.path.join(work, name + ".bin"), os.path.join(work, name + ".io.json")
        with open(program_file, "wb") as f:
            f.write(executable)
        with open(io_file, "w") as f:
            json.dump(_example(name).io, f)
        packed = subprocess.run([zor, "pack", "--bin", program_file, "--io", io_file, "-o", target],
                                capture_output=True, text=True)
    if packed.returncode != 0:
        raise OSError(packed.stderr.strip() or "zor pack failed with status %d" % packed.returncode)
    return target
