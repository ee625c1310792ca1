"""The protocol's datatype names of kiv's element types, and what each needs."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..tensor_info import TensorInfo

# numpy's dtype of each kiv element type and the protocol's name for it. A
# tensor of a type numpy lacks (BF16, the packed 4- and 12-bit types) reaches
# kiv as raw bytes, and so the protocol sees UINT8 elements, as kiv does.
_NAMES: dict[np.dtype[Any], str] = {
    np.dtype(np.bool_): "BOOL",
    np.dtype(np.uint8): "UINT8",
    np.dtype(np.uint16): "UINT16",
    np.dtype(np.uint32): "UINT32",
    np.dtype(np.uint64): "UINT64",
    np.dtype(np.int8): "INT8",
    np.dtype(np.int16): "INT16",
    np.dtype(np.int32): "INT32",
    np.dtype(np.int64): "INT64",
    np.dtype(np.float16): "FP16",
    np.dtype(np.float32): "FP32",
    np.dtype(np.float64): "FP64",
}
_DTYPES = {name: dtype for dtype, name in _NAMES.items()}

#: Every datatype name of the protocol, kiv's and BYTES (strings, which no model of kiv takes).
PROTOCOL_DATATYPES = frozenset(_DTYPES) | {"BYTES"}


def datatype_name(dtype: np.dtype[Any]) -> str:
    """The protocol's name of a numpy dtype that kiv hands over ("FP32")."""
    return _NAMES[np.dtype(dtype)]


def numpy_dtype(datatype: str) -> np.dtype[Any] | None:
    """numpy's dtype of a protocol datatype name; None for BYTES and unknown names."""
    return _DTYPES.get(datatype)


def is_quantised(info: TensorInfo) -> bool:
    """Integers that stand for real values: a scale other than 1 or a zero point."""
    return info.dtype.kind in "iu" and (info.scale not in (0.0, 1.0) or info.zero_point != 0)


def tensor_parameters(info: TensorInfo) -> dict[str, float | int]:
    """The parameters that describe a tensor beyond datatype and shape: a
    quantised tensor's scale and zero point, so that clients can map its
    integers to real values, (q - zero_point) * scale."""
    if not is_quantised(info):
        return {}
    return {"scale": info.scale, "zero_point": info.zero_point}
