"""Models for the kiv layer tests, built for the stand-in NPU (no tests here)."""

import numpy as np
from kiv.standin import ProgramBuilder

from helpers_models import FC_K, FC_M, fc_program

FC_IO = {
    "name": "fc",
    "version": [1, 0, 0],
    "input_tensors": [{"name": "x", "shape": [1, FC_K], "dtype": 11}],
    "output_tensors": [{"name": "y", "shape": [1, FC_M], "dtype": 11}, {"name": "sq", "shape": [1, FC_K], "dtype": 11}],
}


def fc_model(tmp_path, make_model):
    return str(make_model(tmp_path, fc_program(), io=FC_IO))


def copy_program(shape, dtype, scale=1.0, zero_point=0, wait_ms=0):
    """One input copied to one output of the same shape and dtype, optionally slowly."""
    b = ProgramBuilder()
    src = b.input(shape, dtype, scale=scale, zero_point=zero_point)
    dst = b.output(shape, dtype, scale=scale, zero_point=zero_point)
    if wait_ms:
        b.wait_ms(wait_ms)
    b.copy(dst, src)
    return b


def copy_io(shape, names=("src", "dst")):
    return {
        "name": "copy",
        "version": [1, 0, 0],
        "input_tensors": [{"name": names[0], "shape": list(shape)}],
        "output_tensors": [{"name": names[1], "shape": list(shape)}],
    }


def copy_model(tmp_path, make_model, shape=(2, 3), dtype="float32", **kwargs):
    return str(make_model(tmp_path, copy_program(list(shape), dtype, **kwargs), io=copy_io(shape)))


def failing_model(tmp_path, make_model, job_status=2):
    b = ProgramBuilder()
    src = b.input([4], "float32")
    dst = b.output([4], "float32")
    b.copy(dst, src)
    b.raise_exception(job_status=job_status)
    return str(make_model(tmp_path, b, io=copy_io((4,))))


def ramp(shape, dtype, start=0):
    return (np.arange(int(np.prod(shape))) + start).astype(dtype).reshape(shape)


def run_copy_in_own_runtime(path):
    """Runs a 4-float copy model in a runtime of the calling process's own (a
    multiprocessing worker's): the outputs as a list."""
    import kiv

    with kiv.Runtime() as runtime, runtime.load(path) as model:
        return model.run(np.arange(4, dtype=np.float32))[0].tolist()
