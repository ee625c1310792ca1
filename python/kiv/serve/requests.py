"""Inference requests and results as the server handles them, whichever
transport brought them: the tensors named, their data (elements, raw bytes
or a place in shared memory), and the outputs asked for."""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Union

import numpy.typing as npt

from ..tensor_info import TensorInfo


@dataclasses.dataclass(frozen=True)
class SharedMemoryRef:
    """`byte_size` bytes from `offset` of a registered shared memory region."""

    region: str
    offset: int
    byte_size: int


# An input's data: its elements as an array (from JSON or typed contents, of
# whatever dtype they came as), its raw bytes, or where it lies in shared memory.
InputData = Union[npt.NDArray[Any], bytes, memoryview, SharedMemoryRef]


@dataclasses.dataclass
class InputTensor:
    name: str
    datatype: str
    shape: list[int]
    data: InputData


@dataclasses.dataclass
class OutputRequest:
    """An output asked for: as binary data or JSON (HTTP; None: as the request
    says for all), or into shared memory."""

    name: str
    binary: bool | None = None
    shared_memory: SharedMemoryRef | None = None


@dataclasses.dataclass
class InferenceRequest:
    model: str
    version: str
    id: str
    inputs: list[InputTensor]
    # None: every output, in the model's order.
    outputs: list[OutputRequest] | None = None
    # HTTP: every output as binary data unless it says otherwise.
    binary_outputs: bool = False


@dataclasses.dataclass
class OutputTensor:
    info: TensorInfo
    # None when the output went into shared memory.
    array: npt.NDArray[Any] | None
    request: OutputRequest | None


@dataclasses.dataclass
class InferenceResult:
    model: str
    version: str
    id: str
    outputs: list[OutputTensor]


def output_is_binary(request: InferenceRequest, output: OutputTensor) -> bool:
    """Whether an HTTP response carries the output as binary data."""
    asked = output.request.binary if output.request is not None else None
    return request.binary_outputs if asked is None else asked


def element_count(shape: list[int]) -> int:
    return math.prod(shape)
