"""Builds NPU programs for the stand-in driver, and numpy references of its
arithmetic.

ProgramBuilder has the same methods as the C++ npu_program::ProgramBuilder
and produces the same bytes; docs/npu-program-format.md describes them.
"""

import os
import re
import struct

import numpy as np

MAGIC = b"KVNP"
FORMAT_VERSION = 1
DEFAULT_BUILD_VERSION = 0x00010000

KIND_INPUT, KIND_OUTPUT, KIND_CONSTANT, KIND_TEMP = 0, 1, 2, 3
OP_COPY, OP_ADD, OP_MUL, OP_FULLY_CONNECTED, OP_RELU, OP_WAIT_MS, OP_RAISE = 1, 2, 3, 4, 5, 6, 7

# The driver's element types (AIPU_DATA_TYPE_LIST), read from its header in
# the source tree this builder comes with: code <-> numpy dtype, for the
# types numpy has.
_DRIVER_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "kiv_umd", "include",
                              "aipu_driver.h")


def _numpy_types(header):
    with open(header, encoding="utf-8") as f:
        text = f.read()
    rows = text[text.index("#define AIPU_DATA_TYPE_LIST(X)"):]
    rows = rows[:rows.index("// clang-format on")]
    return {int(code): np.dtype(name) for code, name in re.findall(r'X\(\w+, (\d+), \d+, "(\w+)"\)', rows)}


_CODE_DTYPES = _numpy_types(_DRIVER_HEADER)
_DTYPE_CODES = {dt: code for code, dt in _CODE_DTYPES.items()}


def dtype_code(dtype):
    """Element type code of a numpy dtype, a dtype name or an integer code."""
    if isinstance(dtype, (int, np.integer)) and not isinstance(dtype, bool):
        return int(dtype)
    dt = np.dtype(dtype)
    if dt not in _DTYPE_CODES:
        raise ValueError(f"unsupported dtype {dt}")
    return _DTYPE_CODES[dt]


def numpy_dtype(code):
    """numpy dtype of an element type code."""
    return _CODE_DTYPES[int(code)]


class ProgramBuilder:
    """Declare tensors (each call returns its table index), add operations,
    then build() the program bytes."""

    def __init__(self, build_version=DEFAULT_BUILD_VERSION):
        self._build_version = build_version
        self._tensors = []
        self._ops = []

    def _tensor(self, kind, shape, dtype, scale, zero_point, data=b""):
        shape = [int(d) for d in shape]
        record = struct.pack("<BBBBfi", kind, dtype_code(dtype), len(shape), 0, scale, zero_point)
        record += struct.pack(f"<{len(shape)}I", *shape)
        record += struct.pack("<I", len(data)) + data
        self._tensors.append(record)
        return len(self._tensors) - 1

    def input(self, shape, dtype, scale=1.0, zero_point=0):
        return self._tensor(KIND_INPUT, shape, dtype, scale, zero_point)

    def output(self, shape, dtype, scale=1.0, zero_point=0):
        return self._tensor(KIND_OUTPUT, shape, dtype, scale, zero_point)

    def temp(self, shape, dtype, scale=1.0, zero_point=0):
        return self._tensor(KIND_TEMP, shape, dtype, scale, zero_point)

    def constant(self, array, scale=1.0, zero_point=0):
        array = np.ascontiguousarray(array)
        shape = array.shape if array.ndim > 0 else (1,)
        data = array.astype(array.dtype.newbyteorder("<")).tobytes()
        return self._tensor(KIND_CONSTANT, shape, array.dtype, scale, zero_point, data)

    def _op(self, code, *args):
        self._ops.append(struct.pack(f"<II{len(args)}I", code, len(args), *args))

    def copy(self, dst, src):
        self._op(OP_COPY, dst, src)

    def add(self, dst, a, b):
        self._op(OP_ADD, dst, a, b)

    def mul(self, dst, a, b):
        self._op(OP_MUL, dst, a, b)

    def fully_connected(self, dst, x, w, bias):
        self._op(OP_FULLY_CONNECTED, dst, x, w, bias)

    def relu(self, dst, src):
        self._op(OP_RELU, dst, src)

    def wait_ms(self, ms):
        self._op(OP_WAIT_MS, ms)

    def raise_exception(self, job_status=2):
        self._op(OP_RAISE, job_status)

    def build(self):
        header = MAGIC + struct.pack("<5I", FORMAT_VERSION, self._build_version, len(self._tensors), len(self._ops), 0)
        return header + b"".join(self._tensors) + b"".join(self._ops)


# ---- numpy references of the driver's arithmetic -------------------------


def round_half_away(v):
    """Round half away from zero, exactly (no rounding error near .5)."""
    v = np.asarray(v, dtype=np.float64)
    a = np.abs(v)
    r = np.floor(a)
    r = r + (a - r >= 0.5)
    return np.copysign(r, v)


def dequantize(q, scale, zero_point):
    """Real values of integer data: scale * (q - zero_point), in float64."""
    return np.float64(np.float32(scale)) * (np.asarray(q).astype(np.int64) - zero_point).astype(np.float64)


def requantize(real, scale, zero_point, dtype):
    """round_half_away(real / scale) + zero_point, saturated to dtype; float32
    data is just cast."""
    dt = np.dtype(dtype)
    real = np.asarray(real, dtype=np.float64)
    if dt == np.float32:
        return real.astype(np.float32)
    q = round_half_away(real / np.float64(np.float32(scale))) + zero_point
    q = np.nan_to_num(q, nan=0.0)
    info = np.iinfo(dt)
    return np.clip(q, info.min, info.max).astype(dt)


def reference_fully_connected_quantized(x, w, bias, x_scale, x_zero_point, w_scale, w_zero_point, y_scale,
                                        y_zero_point, out_dtype=np.int8):
    """int8/uint8 fully connected as the driver computes it: the int64
    accumulator sum((x-zx)(w-zw)) + bias, times sx*sw/sy, rounded half away
    from zero, plus zy, saturated."""
    acc = (np.asarray(x).astype(np.int64) - x_zero_point) @ (np.asarray(w).astype(np.int64) - w_zero_point)
    acc = acc + np.asarray(bias).astype(np.int64)
    mult = np.float64(np.float32(x_scale)) * np.float64(np.float32(w_scale)) / np.float64(np.float32(y_scale))
    q = round_half_away(acc.astype(np.float64) * mult) + y_zero_point
    info = np.iinfo(np.dtype(out_dtype))
    return np.clip(q, info.min, info.max).astype(out_dtype)


def reference_fully_connected_float(x, w, bias):
    """float32 fully connected, accumulated in float64 like the driver."""
    acc = np.asarray(x, np.float64) @ np.asarray(w, np.float64) + np.asarray(bias, np.float64)
    return acc.astype(np.float32)


def reference_elementwise(op, a, a_scale, a_zero_point, b, b_scale, b_zero_point, out_scale, out_zero_point,
                          out_dtype):
    """ADD ('add') or MUL ('mul') through real values, as the driver does."""
    def real(v, s, z):
        v = np.asarray(v)
        return v.astype(np.float64) if v.dtype == np.float32 else dequantize(v, s, z)

    ra, rb = real(a, a_scale, a_zero_point), real(b, b_scale, b_zero_point)
    r = ra + rb if op == "add" else ra * rb
    return requantize(r, out_scale, out_zero_point, out_dtype)
