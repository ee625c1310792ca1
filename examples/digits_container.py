"""Turns a trained model into an NPU program for the stand-in NPU and packs it,
with a graph description, into a zor model container using the `zor` tool."""

import json
import os
import subprocess
from dataclasses import dataclass

from digits_data import CLASSES, PIXELS
from digits_model import HIDDEN
from kiv.standin import ProgramBuilder

# Element type codes as the runtime numbers them (kiv_data_type_t).
DTYPE_CODES = {"int8": 3, "int32": 7, "float32": 11}
# Quantisation type codes travel in the container unchanged; the runtime does
# not interpret them. 0: not quantised, 1: one scale and zero point per tensor.
QTYPE_NONE, QTYPE_PER_TENSOR = 0, 1
INPUT_NAME, OUTPUT_NAME = "x", "logits"


@dataclass
class Container:
    path: str  # the .zor file
    program_path: str
    graph_description_path: str
    io_description_path: str
    dtype: str  # element type of input and output
    tensors: tuple  # the input and output descriptions it was packed with


def build_float_program(model):
    b = ProgramBuilder()
    x = b.input([1, PIXELS], "float32")
    w1, b1 = b.constant(model.w1), b.constant(model.b1)
    w2, b2 = b.constant(model.w2), b.constant(model.b2)
    pre = b.temp([1, HIDDEN], "float32")
    hidden = b.temp([1, HIDDEN], "float32")
    logits = b.output([1, CLASSES], "float32")
    b.fully_connected(pre, x, w1, b1)
    b.relu(hidden, pre)
    b.fully_connected(logits, hidden, w2, b2)
    return b.build()


def build_int8_program(qmodel):
    fc1, fc2 = qmodel.fc1, qmodel.fc2
    b = ProgramBuilder()
    x = b.input([1, PIXELS], "int8", scale=float(qmodel.x_scale))
    w1 = b.constant(fc1.w, scale=float(fc1.w_scale))
    b1 = b.constant(fc1.bias, scale=float(fc1.x_scale) * float(fc1.w_scale))
    w2 = b.constant(fc2.w, scale=float(fc2.w_scale))
    b2 = b.constant(fc2.bias, scale=float(fc2.x_scale) * float(fc2.w_scale))
    pre = b.temp([1, HIDDEN], "int8", scale=float(fc1.out_scale))
    hidden = b.temp([1, HIDDEN], "int8", scale=float(fc1.out_scale))
    logits = b.output([1, CLASSES], "int8", scale=float(fc2.out_scale))
    b.fully_connected(pre, x, w1, b1)
    b.relu(hidden, pre)
    b.fully_connected(logits, hidden, w2, b2)
    return b.build()


def _tensor(name, shape, dtype, scale):
    quantised = dtype != "float32"
    return {
        "name": name,
        "dtype": DTYPE_CODES[dtype],
        "shape": shape,
        "qtype": QTYPE_PER_TENSOR if quantised else QTYPE_NONE,
        "scale": [float(scale)] if quantised else [],
        "zero_point": [0] if quantised else [],
    }


def describe_io(dtype, x_scale=1.0, out_scale=1.0):
    """The input and output tensor descriptions shared by both JSON documents."""
    return (
        _tensor(INPUT_NAME, [1, PIXELS], dtype, x_scale),
        _tensor(OUTPUT_NAME, [1, CLASSES], dtype, out_scale),
    )


def find_zor_tool(build_dir):
    path = os.path.abspath(os.path.join(build_dir, "tools", "zor", "zor"))  # run from another directory
    if not os.access(path, os.X_OK):
        raise FileNotFoundError(f"zor tool not found at {path}: build the project first (bash scripts/build.sh)")
    return path


def pack(out_dir, build_dir, name, program, io_tensors):
    """Writes <name>.bin, <name>.graph.json and <name>.io.json to out_dir and
    packs <name>.zor from the graph description."""
    os.makedirs(out_dir, exist_ok=True)
    base = os.path.join(os.path.abspath(out_dir), name)
    program_path, graph_path, io_path, zor_path = (base + s for s in (".bin", ".graph.json", ".io.json", ".zor"))
    with open(program_path, "wb") as f:
        f.write(program)

    x, y = io_tensors
    # zor pack reads "data" relative to its working directory, and it runs in
    # out_dir: the description names the executable by its file name alone,
    # so that the description, which the container keeps, and with it the
    # container are the same wherever they are made.
    graph = {
        "name": name,
        "version": [1, 0, 0],
        "inputs": [x["name"]],
        "outputs": [y["name"]],
        "tensors": [x, y],
        "subgraphs": [
            {"name": "main", "backend": 1, "inputs": [x["name"]], "outputs": [y["name"]],
             "data": os.path.basename(program_path)}
        ],
    }
    with open(graph_path, "w") as f:
        json.dump(graph, f, indent=2)
    # The same tensors as an IO description: `zor pack --bin <name>.bin --io
    # <name>.io.json` builds an equivalent container without a graph description.
    io = {"name": name, "version": [1, 0, 0], "input_tensors": [x], "output_tensors": [y]}
    with open(io_path, "w") as f:
        json.dump(io, f, indent=2)

    zor = find_zor_tool(build_dir)
    done = subprocess.run([zor, "pack", "--graph", graph_path, "-o", zor_path], capture_output=True, text=True,
                          cwd=os.path.dirname(graph_path))
    if done.returncode != 0 or not os.path.isfile(zor_path):
        raise RuntimeError(f"zor pack failed ({done.returncode}): {done.stdout}{done.stderr}")
    dtype = "float32" if x["dtype"] == DTYPE_CODES["float32"] else "int8"
    return Container(zor_path, program_path, graph_path, io_path, dtype, (x, y))
