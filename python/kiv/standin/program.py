"""Builds programs for the stand-in NPU, and numpy references of its
arithmetic.

ProgramBuilder has the same methods as the C++ npu_program::ProgramBuilder
and produces the same bytes; docs/npu-program-format.md describes them.

    builder = ProgramBuilder()
    x = builder.input([1, 4], "float32")
    y = builder.output([1, 4], "float32")
    builder.relu(y, x)
    program = builder.build()        # bytes: pack them with zor pack --bin
"""

from __future__ import annotations

import struct
from collections.abc import Sequence
from typing import Any, Literal, cast

import numpy as np
import numpy.typing as npt

from .. import _native

MAGIC = b"KVNP"
FORMAT_VERSION = 1
DEFAULT_BUILD_VERSION = 0x00010000

KIND_INPUT, KIND_OUTPUT, KIND_CONSTANT, KIND_TEMP = 0, 1, 2, 3
OP_COPY, OP_ADD, OP_MUL, OP_FULLY_CONNECTED, OP_RELU, OP_WAIT_MS, OP_RAISE = 1, 2, 3, 4, 5, 6, 7

# The driver's element types, from the runtime's one list (the same the
# driver's header holds): code <-> numpy dtype, for the types numpy has.
_CODE_DTYPES: dict[int, np.dtype[Any]] = {
    code: np.dtype(numpy_name) for code, (_, _, numpy_name) in _native.data_types().items() if numpy_name
}
_DTYPE_CODES = {dt: code for code, dt in _CODE_DTYPES.items()}


def dtype_code(dtype: npt.DTypeLike | int) -> int:
    """Element type code of a numpy dtype, a dtype name or an integer code.

    Raises:
        ValueError: the driver has no element type for this dtype.
        TypeError: `dtype` is not a dtype.
    """
    if isinstance(dtype, (int, np.integer)) and not isinstance(dtype, bool):
        return int(dtype)
    dt = np.dtype(cast(npt.DTypeLike, dtype))  # not a code, so a dtype
    if dt not in _DTYPE_CODES:
        raise ValueError(f"unsupported dtype {dt}")
    return _DTYPE_CODES[dt]


def numpy_dtype(code: int) -> np.dtype[Any]:
    """numpy dtype of an element type code.

    Raises:
        KeyError: numpy has no dtype for this code.
    """
    return _CODE_DTYPES[int(code)]


class ProgramBuilder:
    """Declare tensors (each call returns its table index), add operations,
    then build() the program bytes."""

    def __init__(self, build_version: int = DEFAULT_BUILD_VERSION) -> None:
        self._build_version = build_version
        self._tensors: list[bytes] = []
        self._ops: list[bytes] = []

    def _tensor(self, kind: int, shape: Sequence[int], dtype: npt.DTypeLike | int, scale: float, zero_point: int,
                data: bytes = b"") -> int:
        dims = [int(d) for d in shape]
        record = struct.pack("<BBBBfi", kind, dtype_code(dtype), len(dims), 0, scale, zero_point)
        record += struct.pack(f"<{len(dims)}I", *dims)
        record += struct.pack("<I", len(data)) + data
        self._tensors.append(record)
        return len(self._tensors) - 1

    def input(self, shape: Sequence[int], dtype: npt.DTypeLike | int, scale: float = 1.0, zero_point: int = 0) -> int:
        """Declares an input tensor; returns its index."""
        return self._tensor(KIND_INPUT, shape, dtype, scale, zero_point)

    def output(self, shape: Sequence[int], dtype: npt.DTypeLike | int, scale: float = 1.0,
               zero_point: int = 0) -> int:
        """Declares an output tensor; returns its index."""
        return self._tensor(KIND_OUTPUT, shape, dtype, scale, zero_point)

    def temp(self, shape: Sequence[int], dtype: npt.DTypeLike | int, scale: float = 1.0, zero_point: int = 0) -> int:
        """Declares an intermediate tensor; returns its index."""
        return self._tensor(KIND_TEMP, shape, dtype, scale, zero_point)

    def constant(self, array: npt.ArrayLike, scale: float = 1.0, zero_point: int = 0) -> int:
        """Declares a constant tensor holding `array` (its dtype and shape); returns its index."""
        values = np.ascontiguousarray(array)
        shape = values.shape if values.ndim > 0 else (1,)
        data = values.astype(values.dtype.newbyteorder("<")).tobytes()
        return self._tensor(KIND_CONSTANT, shape, values.dtype, scale, zero_point, data)

    def _op(self, code: int, *args: int) -> None:
        self._ops.append(struct.pack(f"<II{len(args)}I", code, len(args), *args))

    def copy(self, dst: int, src: int) -> None:
        self._op(OP_COPY, dst, src)

    def add(self, dst: int, a: int, b: int) -> None:
        self._op(OP_ADD, dst, a, b)

    def mul(self, dst: int, a: int, b: int) -> None:
        self._op(OP_MUL, dst, a, b)

    def fully_connected(self, dst: int, x: int, w: int, bias: int) -> None:
        self._op(OP_FULLY_CONNECTED, dst, x, w, bias)

    def relu(self, dst: int, src: int) -> None:
        self._op(OP_RELU, dst, src)

    def wait_ms(self, ms: int) -> None:
        """The device takes `ms` milliseconds here."""
        self._op(OP_WAIT_MS, ms)

    def raise_exception(self, job_status: int = 2) -> None:
        """The job ends here with `job_status` (2: exception)."""
        self._op(OP_RAISE, job_status)

    def build(self) -> bytes:
        """The program's bytes."""
        header = MAGIC + struct.pack("<5I", FORMAT_VERSION, self._build_version, len(self._tensors), len(self._ops), 0)
        return header + b"".join(self._tensors) + b"".join(self._ops)


# ---- numpy references of the driver's arithmetic -------------------------


def round_half_away(v: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Round half away from zero, exactly (no rounding error near .5)."""
    values = np.asarray(v, dtype=np.float64)
    a = np.abs(values)
    r = np.floor(a)
    r = r + (a - r >= 0.5)
    return np.copysign(r, values)


def dequantize(q: npt.ArrayLike, scale: float, zero_point: int) -> npt.NDArray[np.float64]:
    """Real values of integer data: scale * (q - zero_point), in float64."""
    return np.float64(np.float32(scale)) * (np.asarray(q).astype(np.int64) - zero_point).astype(np.float64)


def requantize(real: npt.ArrayLike, scale: float, zero_point: int, dtype: npt.DTypeLike) -> npt.NDArray[Any]:
    """round_half_away(real / scale) + zero_point, saturated to dtype; float32
    data is just cast."""
    dt = np.dtype(dtype)
    values = np.asarray(real, dtype=np.float64)
    if dt == np.float32:
        return values.astype(np.float32)
    q = round_half_away(values / np.float64(np.float32(scale))) + zero_point
    q = np.nan_to_num(q, nan=0.0)
    info = np.iinfo(dt)
    return np.clip(q, info.min, info.max).astype(dt)


def reference_fully_connected_quantized(x: npt.ArrayLike, w: npt.ArrayLike, bias: npt.ArrayLike, x_scale: float,
                                        x_zero_point: int, w_scale: float, w_zero_point: int, y_scale: float,
                                        y_zero_point: int, out_dtype: npt.DTypeLike = np.int8) -> npt.NDArray[Any]:
    """int8/uint8 fully connected as the driver computes it: the int64
    accumulator sum((x-zx)(w-zw)) + bias, times sx*sw/sy, rounded half away
    from zero, plus zy, saturated."""
    acc = (np.asarray(x).astype(np.int64) - x_zero_point) @ (np.asarray(w).astype(np.int64) - w_zero_point)
    acc = acc + np.asarray(bias).astype(np.int64)
    mult = np.float64(np.float32(x_scale)) * np.float64(np.float32(w_scale)) / np.float64(np.float32(y_scale))
    q = round_half_away(acc.astype(np.float64) * mult) + y_zero_point
    info = np.iinfo(np.dtype(out_dtype))
    return np.clip(q, info.min, info.max).astype(out_dtype)


def reference_fully_connected_float(x: npt.ArrayLike, w: npt.ArrayLike, bias: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """float32 fully connected, accumulated in float64 like the driver."""
    acc = np.asarray(x, np.float64) @ np.asarray(w, np.float64) + np.asarray(bias, np.float64)
    return acc.astype(np.float32)


def reference_elementwise(op: Literal["add", "mul"], a: npt.ArrayLike, a_scale: float, a_zero_point: int,
                          b: npt.ArrayLike, b_scale: float, b_zero_point: int, out_scale: float, out_zero_point: int,
                          out_dtype: npt.DTypeLike) -> npt.NDArray[Any]:
    """ADD ('add') or MUL ('mul') through real values, as the driver does."""
    def real(v: npt.ArrayLike, s: float, z: int) -> npt.NDArray[np.float64]:
        values = np.asarray(v)
        return values.astype(np.float64) if values.dtype == np.float32 else dequantize(values, s, z)

    ra, rb = real(a, a_scale, a_zero_point), real(b, b_scale, b_zero_point)
    r = ra + rb if op == "add" else ra * rb
    return requantize(r, out_scale, out_zero_point, out_dtype)
