"""The tiny example model of the guides, for the stand-in NPU.

y = relu(x @ w + b), with x float32 of shape (1, 4), y float32 of shape
(1, 3), w = arange(12).reshape(4, 3) / 10 and b = (-1, 0, 1): a program
made with the stand-in's program builder, packed by zor with an IO
description that names the tensors x and y. docs/getting-started.md builds
the same model step by step; the other guides and the README make it with

    /usr/bin/python3 -m tiny_model [PATH]     (PATH defaults to tiny.zor)

which needs the zor tool on PATH (source scripts/env.sh).
"""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np

from npu_program import ProgramBuilder

W = np.arange(12, dtype=np.float32).reshape(4, 3) / 10
B = np.array([-1.0, 0.0, 1.0], dtype=np.float32)
IO = {
    "name": "tiny",
    "version": [1, 0, 0],
    "input_tensors": [{"name": "x", "shape": [1, 4], "dtype": 11}],  # dtype 11: float32
    "output_tensors": [{"name": "y", "shape": [1, 3], "dtype": 11}],
}


def program():
    """The stand-in NPU program, as bytes."""
    builder = ProgramBuilder()
    x = builder.input([1, 4], "float32")
    y = builder.output([1, 3], "float32")
    pre = builder.temp([1, 3], "float32")
    builder.fully_connected(pre, x, builder.constant(W), builder.constant(B))
    builder.relu(y, pre)
    return builder.build()


def write(path="tiny.zor", zor="zor"):
    """Writes the model's container to `path` with the zor tool `zor`."""
    with tempfile.TemporaryDirectory() as work:
        executable, io = os.path.join(work, "tiny.bin"), os.path.join(work, "tiny.io.json")
        with open(executable, "wb") as f:
            f.write(program())
        with open(io, "w") as f:
            json.dump(IO, f)
        subprocess.run([zor, "pack", "--bin", executable, "--io", io, "-o", path], check=True)
    return path


def main(argv):
    if len(argv) > 2 or argv[1:2] in (["-h"], ["--help"]):
        print("usage: python3 -m tiny_model [PATH]   writes the tiny example model (default tiny.zor)",
              file=sys.stderr)
        return 2
    print("tiny_model: wrote %s" % write(*argv[1:2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
