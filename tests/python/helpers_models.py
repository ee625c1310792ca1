"""Small stand-in NPU programs shared by the tensor, ioctl and batch tests."""

import numpy as np
from kiv.standin import ProgramBuilder

# Two float32 [2, 4] inputs, one float32 [2, 4] output: out = a + b.
ADD_SHAPE = [2, 4]
ADD_BYTES = 2 * 4 * 4

ADD_IO = {
    "name": "adder",
    "version": [1, 0, 0],
    "input_tensors": [
        {"name": "lhs", "shape": ADD_SHAPE, "dtype": 11},
        {"name": "rhs", "shape": ADD_SHAPE, "dtype": 11},
    ],
    "output_tensors": [{"name": "sum", "shape": ADD_SHAPE, "dtype": 11}],
}


def add_program():
    b = ProgramBuilder()
    lhs = b.input(ADD_SHAPE, "float32")
    rhs = b.input(ADD_SHAPE, "float32")
    out = b.output(ADD_SHAPE, "float32")
    b.add(out, lhs, rhs)
    return b


# One float32 [1, 6] input x; outputs relu(x @ W + bias) [1, 3] and x * x [1, 6].
FC_K, FC_M = 6, 3
FC_W = (np.arange(FC_K * FC_M, dtype=np.float32).reshape(FC_K, FC_M) - 8.0) / 4.0
FC_BIAS = np.array([0.5, -1.0, 2.0], dtype=np.float32)


def fc_program():
    b = ProgramBuilder()
    x = b.input([1, FC_K], "float32")
    w = b.constant(FC_W)
    bias = b.constant(FC_BIAS)
    pre = b.temp([1, FC_M], "float32")
    y = b.output([1, FC_M], "float32")
    sq = b.output([1, FC_K], "float32")
    b.fully_connected(pre, x, w, bias)
    b.relu(y, pre)
    b.mul(sq, x, x)
    return b


def fc_reference(x):
    x = np.asarray(x, dtype=np.float32).reshape(1, FC_K)
    return np.maximum(x @ FC_W + FC_BIAS, np.float32(0)), x * x


def as_f32(data):
    """Output bytes of any returned kind as a flat float32 array."""
    return np.frombuffer(bytes(data), dtype=np.float32)


def load_graph(npu, path):
    """Graph id of a container that must load."""
    status, graph_id = npu.kiv_load_graph(str(path))
    assert status == 0, status
    return graph_id


def create_job(npu, graph_id):
    status, job_id = npu.kiv_create_job(graph_id)
    assert status == 0, status
    return job_id
