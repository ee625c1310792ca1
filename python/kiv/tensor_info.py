"""What a model's inputs and outputs look like, from the container and the runtime."""

from __future__ import annotations

import dataclasses
import math
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import libkiv

from . import _native, dtypes
from .container import container_description
from .errors import check


@dataclasses.dataclass(frozen=True)
class TensorInfo:
    """One input or output tensor of a loaded model.

    `shape` and `dtype` describe the numpy array this layer takes or returns;
    `size` is the tensor's length in bytes as the runtime reports it, and
    `data_type` the runtime's own element type. When numpy has no equivalent
    for that type, `dtype` is uint8 and the array holds the raw bytes.
    `shape_from_container` is False when the container gave no usable shape
    and the array is one-dimensional.
    """

    #: The tensor's index among the model's inputs or outputs.
    index: int
    #: Its name.
    name: str
    #: The shape of its array.
    shape: tuple[int, ...]
    #: The dtype of its array.
    dtype: np.dtype[Any]
    #: Its length in bytes, as the runtime reports it.
    size: int
    #: The quantisation scale; a real value is scale * (code - zero_point).
    scale: float
    #: The quantisation zero point.
    zero_point: int
    #: The runtime's element type.
    data_type: libkiv.kiv_data_type_t
    #: Whether the container gave the shape (else it is one dimension of the elements).
    shape_from_container: bool

    @property
    def is_raw(self) -> bool:
        """True when the array holds raw bytes rather than elements of `data_type`."""
        return dtypes.numpy_dtype(self.data_type) != self.dtype

    def quantize(self, values: npt.ArrayLike) -> npt.NDArray[Any]:
        """Real values to this tensor's integer dtype, using its scale and zero point:
        round(values / scale) + zero_point, halves away from zero, saturated.

        Args:
            values: real values, a number or anything numpy makes an array of.

        Raises:
            TypeError: the tensor's dtype is not an integer type.
            ValueError: the tensor has no scale (0).
        """
        return dtypes.quantize(values, self.scale, self.zero_point, self.dtype)

    def dequantize(self, values: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """This tensor's integers to real values (float32), using its scale and zero point.

        Args:
            values: the tensor's integers, a number or anything numpy makes an array of.

        Raises:
            ValueError: the tensor has no scale (0).
        """
        return dtypes.dequantize(values, self.scale, self.zero_point)


def _element_dtype(data_type: libkiv.kiv_data_type_t, size: int) -> np.dtype[Any]:
    dtype = dtypes.numpy_dtype(data_type)
    if dtype is None or size % dtype.itemsize != 0:
        return dtypes.RAW_DTYPE
    return dtype


def _resolve_shape(
    name: str, container_shape: Sequence[int], dtype: np.dtype[Any], size: int
) -> tuple[tuple[int, ...], bool]:
    """The container's shape when it matches the byte size, else one dimension."""
    count = size // dtype.itemsize
    if not container_shape:
        return (count,), False
    shape = tuple(int(d) for d in container_shape)
    if all(d > 0 for d in shape) and math.prod(shape) * dtype.itemsize == size:
        return shape, True
    warnings.warn(
        "tensor '%s': container shape %s does not hold %d bytes of %s; using shape (%d,)"
        % (name, list(shape), size, dtype, count),
        RuntimeWarning,
        stacklevel=4,
    )
    return (count,), False


@dataclasses.dataclass(frozen=True)
class ContainerTensors:
    """The input and output tensors a container names: (name, shape) of each."""

    inputs: list[tuple[str, list[int]]]
    outputs: list[tuple[str, list[int]]]


def _named(tensors: _native.TensorList) -> list[tuple[str, list[int]]]:
    """(name, shape) of each tensor. Shapes come with the graph's names only:
    the runtime's own shape query reads no others."""
    entries, named_by_subgraph = tensors
    return [(name, [] if named_by_subgraph else list(shape)) for name, shape, *_ in entries]


def container_tensors(container_path: str) -> ContainerTensors:
    """The tensors container `path` names, described once, natively.

    One rule names tensors here and in the zor tool, that of the container
    code: the names the graph lists; where the graph lists none, the first
    subgraph's (a container packed from a bare executable names only its
    subgraph's "input" and "output"); where that list gives the i-th tensor
    no name, "input<i>" or "output<i>". A file that cannot be read names none.
    """
    try:
        _, _, inputs, outputs = container_description(container_path)
    except ValueError:
        return ContainerTensors([], [])
    return ContainerTensors(_named(inputs), _named(outputs))


def describe_tensors(
    npu: libkiv.NPU, graph_id: int, container: ContainerTensors, tensor_type: libkiv.tensor_type_t
) -> list[TensorInfo]:
    """TensorInfo for every tensor of one type (input or output) of a loaded
    graph, named as `container` names them."""
    status, count = npu.kiv_get_tensor_count(graph_id, tensor_type)
    check(npu, "kiv_get_tensor_count", status)
    is_input = int(tensor_type) == int(libkiv.KIV_TENSOR_TYPE_INPUT)
    prefix = "input" if is_input else "output"
    named = container.inputs if is_input else container.outputs
    names = [named[index] if index < len(named) else ("", []) for index in range(count)]
    infos = []
    for index in range(count):
        desc = npu.kiv_get_tensor_descriptor(graph_id, tensor_type, index)
        if desc.size == 0:
            # libkiv reports a failed query as an all-zero descriptor; a tensor
            # of no bytes cannot be fed or read either.
            raise_zero_size(npu, prefix, index)
        name, shape = names[index]
        if not name:
            name, shape = "%s%d" % (prefix, index), []
        dtype = _element_dtype(desc.data_type, desc.size)
        resolved, from_container = _resolve_shape(name, shape, dtype, desc.size)
        infos.append(
            TensorInfo(
                index=index,
                name=name,
                shape=resolved,
                dtype=dtype,
                size=int(desc.size),
                scale=float(desc.scale),
                zero_point=int(desc.zero_point),
                data_type=desc.data_type,
                shape_from_container=from_container,
            )
        )
    return infos


def raise_zero_size(npu: libkiv.NPU, prefix: str, index: int) -> None:
    check(
        npu,
        "kiv_get_tensor_descriptor",
        libkiv.KIV_STATUS_ERROR_ZERO_TENSOR_SIZE,
        "%s %d has no bytes" % (prefix, index),
    )
