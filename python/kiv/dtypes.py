"""Element types of the runtime's tensors as numpy dtypes, and quantisation."""

from __future__ import annotations

from typing import Any, SupportsInt

import numpy as np
import numpy.typing as npt

from . import _native

# The runtime's element types, from its one list: {code: (name, bytes, numpy's name)}.
_DATA_TYPES = _native.data_types()

# Types whose elements numpy represents directly. The remaining runtime types
# (NONE, BF16 and the 4- and 12-bit packings) are handed over as raw bytes.
_NUMPY_BY_DATA_TYPE: dict[int, np.dtype[Any]] = {
    code: np.dtype(numpy_name) for code, (_, _, numpy_name) in _DATA_TYPES.items() if numpy_name
}

RAW_DTYPE = np.dtype(np.uint8)


def numpy_dtype(data_type: SupportsInt) -> np.dtype[Any] | None:
    """The numpy dtype of a kiv_data_type_t, or None when numpy has no equivalent.

    Args:
        data_type: a libkiv.kiv_data_type_t or its code.

    Raises:
        TypeError: `data_type` is not a whole number.
    """
    return _NUMPY_BY_DATA_TYPE.get(int(data_type))


def data_type_name(data_type: SupportsInt) -> str | None:
    """The name kiv and zor give a kiv_data_type_t: numpy's where numpy has
    the type ("float32"), else the runtime's in lower case ("bf16"); None for
    a code the runtime does not define.

    Raises:
        TypeError: `data_type` is not a whole number.
    """
    known = _DATA_TYPES.get(int(data_type))
    return None if known is None else known[0]


def quantize(values: npt.ArrayLike, scale: float, zero_point: int, dtype: npt.DTypeLike) -> npt.NDArray[Any]:
    """Maps real values to integers of `dtype`: round(values / scale) + zero_point, saturated.

    Halves round away from zero (2.5 steps give 3, -2.5 give -3), as the
    NPU's own requantisation does; Python's round() and numpy's rint() take
    halves to the even neighbour instead (2 and -2).

    Args:
        values: real values, a number or anything numpy makes an array of.
        scale: the quantisation scale, not 0.
        zero_point: the code of the real value 0.
        dtype: an integer dtype, whose range the codes are saturated to.

    Raises:
        TypeError: `dtype` is not an integer type.
        ValueError: `scale` is 0, or `values` are not numbers.
    """
    target = np.dtype(dtype)
    if target.kind not in "iu":
        raise TypeError("quantize needs an integer dtype, got %s" % target)
    if not scale:
        raise ValueError("quantize needs a non-zero scale")
    limits = np.iinfo(target)
    ratio = np.asarray(values, dtype=np.float64) / scale
    # Halves round away from zero, as the NPU's own requantisation does.
    q = np.where(ratio >= 0, np.floor(ratio + 0.5), np.ceil(ratio - 0.5)) + zero_point
    return np.clip(q, limits.min, limits.max).astype(target)


def dequantize(values: npt.ArrayLike, scale: float, zero_point: int) -> npt.NDArray[np.float32]:
    """Maps quantised integers back to real values: (values - zero_point) * scale, as float32.

    Args:
        values: the codes, a number or anything numpy makes an array of.
        scale: the quantisation scale, not 0.
        zero_point: the code of the real value 0.

    Raises:
        ValueError: `scale` is 0, or `values` are not numbers.
    """
    if not scale:
        raise ValueError("dequantize needs a non-zero scale")
    return ((np.asarray(values, dtype=np.float64) - zero_point) * scale).astype(np.float32)
