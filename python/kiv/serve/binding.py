"""A request's tensors checked against the model and made into the arrays
that kiv runs: inputs by name, datatype and shape, their data as elements,
raw bytes or shared memory; the outputs asked for, and those that go into
shared memory as arrays over it (kiv's out=, so that the runtime writes
them there without a copy of the server's)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..tensor_info import TensorInfo
from .datatypes import datatype_name
from .errors import ServeError, invalid
from .requests import InferenceRequest, InputData, OutputRequest, SharedMemoryRef, element_count
from .shared_memory import SharedMemoryRegions


def _shape_fits(model_shape: tuple[int, ...], given: Sequence[int]) -> bool:
    """kiv's rule: equal but for dimensions of size 1."""
    return tuple(d for d in model_shape if d != 1) == tuple(d for d in given if d != 1)


def _elements(where: str, datatype: str, info: TensorInfo, values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Elements of any numeric dtype as the input's dtype, if every one
    fits it exactly: true and false for BOOL, whole numbers in range for the
    integer types, numbers for the float types."""
    kind = values.dtype.kind
    if kind not in "biuf":
        raise invalid("%s: the data must be a flat or nested list of numbers" % where)
    target = info.dtype
    if target.kind == "b":
        if kind != "b":
            raise invalid("%s: BOOL data must be true or false" % where)
        return values
    if kind == "b":
        raise invalid("%s: %s data must be numbers, not true or false" % (where, datatype))
    if target.kind in "iu":
        if kind == "f":
            raise invalid("%s: %s data must be whole numbers; got %r" % (where, datatype, values.flat[0].item()))
        limits = np.iinfo(target)
        if values.size and (values.min() < limits.min or values.max() > limits.max):
            bad = values.min() if values.min() < limits.min else values.max()
            raise invalid("%s: %d is out of the range of %s" % (where, int(bad), datatype))
    return values.astype(target, copy=False)


def _region_bytes(where: str, regions: SharedMemoryRegions, place: SharedMemoryRef, size: int,
                  write: bool) -> npt.NDArray[np.uint8]:
    """The bytes of a tensor in shared memory, or the error that says which tensor's place is wrong."""
    try:
        return regions.array(place.region, place.offset, size, write)
    except ServeError as error:
        raise ServeError(error.status, "%s: %s" % (where, error.message)) from None


def bind_input(model: str, info: TensorInfo, datatype: str, shape: Sequence[int], data: InputData,
               regions: SharedMemoryRegions) -> npt.NDArray[Any]:
    """The array of one input, of the input's dtype and shape, or the
    request error that names the model, the input and what is wrong."""
    where = "model '%s': input '%s'" % (model, info.name)
    expected = datatype_name(info.dtype)
    if datatype != expected:
        raise invalid("%s is %s; the request gives %s" % (where, expected, datatype or "no datatype"))
    if any(d < 0 for d in shape) or not _shape_fits(info.shape, shape):
        raise invalid("%s has shape %s; the request gives shape %s" % (where, list(info.shape), list(shape)))
    count = element_count(list(shape))
    if isinstance(data, np.ndarray):
        if data.size != count:
            raise invalid("%s: shape %s holds %d elements; the request gives %d"
                          % (where, list(shape), count, data.size))
        return _elements(where, datatype, info, data).reshape(info.shape)
    if isinstance(data, SharedMemoryRef):
        if data.byte_size != info.size:
            raise invalid("%s is %d bytes; shared memory byte size %d" % (where, info.size, data.byte_size))
        raw = _region_bytes(where, regions, data, data.byte_size, write=False)
    else:
        raw = np.frombuffer(data, np.uint8)
        if raw.nbytes != info.size:
            raise invalid("%s is %d bytes (%s of shape %s); the request gives %d bytes"
                          % (where, info.size, datatype, list(info.shape), raw.nbytes))
    return raw.view(info.dtype).reshape(info.shape)


def bind_inputs(model: str, infos: Sequence[TensorInfo], request: InferenceRequest,
                regions: SharedMemoryRegions) -> list[npt.NDArray[Any]]:
    """The arrays of every input of the model, in its order."""
    by_name = {info.name: info for info in infos}
    arrays: list[npt.NDArray[Any] | None] = [None] * len(infos)
    for tensor in request.inputs:
        info = by_name.get(tensor.name)
        if info is None:
            raise invalid("model '%s' has no input '%s'; its inputs are %s"
                          % (model, tensor.name, [i.name for i in infos]))
        if arrays[info.index] is not None:
            raise invalid("model '%s': input '%s' is given twice" % (model, tensor.name))
        arrays[info.index] = bind_input(model, info, tensor.datatype, tensor.shape, tensor.data, regions)
    missing = [info.name for info, array in zip(infos, arrays) if array is None]
    if missing:
        raise invalid("model '%s' needs input(s) %s; the request gives none for them" % (model, missing))
    return [array for array in arrays if array is not None]


def chosen_outputs(model: str, infos: Sequence[TensorInfo],
                   requested: list[OutputRequest] | None) -> list[tuple[TensorInfo, OutputRequest | None]]:
    """The outputs a response carries: those asked for, in that order, else all."""
    if requested is None or not requested:
        return [(info, None) for info in infos]
    by_name = {info.name: info for info in infos}
    chosen: list[tuple[TensorInfo, OutputRequest | None]] = []
    for output in requested:
        info = by_name.get(output.name)
        if info is None:
            raise invalid("model '%s' has no output '%s'; its outputs are %s"
                          % (model, output.name, [i.name for i in infos]))
        if any(seen.name == info.name for seen, _ in chosen):
            raise invalid("model '%s': output '%s' is asked for twice" % (model, output.name))
        chosen.append((info, output))
    return chosen


def output_targets(model: str, infos: Sequence[TensorInfo],
                   chosen: list[tuple[TensorInfo, OutputRequest | None]],
                   regions: SharedMemoryRegions) -> list[npt.NDArray[Any]] | None:
    """kiv's out= for a request with outputs in shared memory: an array over
    the client's region for each of those, a new one for the others; None
    when no output goes to shared memory."""
    places = {info.index: output.shared_memory for info, output in chosen
              if output is not None and output.shared_memory is not None}
    if not places:
        return None
    targets = []
    for info in infos:
        place = places.get(info.index)
        if place is None:
            targets.append(np.empty(info.shape, info.dtype))
            continue
        where = "model '%s': output '%s'" % (model, info.name)
        if place.byte_size < info.size:
            raise invalid("%s is %d bytes; shared memory byte size %d is too small"
                          % (where, info.size, place.byte_size))
        raw = _region_bytes(where, regions, place, info.size, write=True)
        targets.append(raw.view(info.dtype).reshape(info.shape))
    return targets
