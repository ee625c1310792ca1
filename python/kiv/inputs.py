"""Turning the caller's input objects into arrays the runtime can read."""

from collections.abc import Mapping

import numpy as np


def _describe(info):
    return "input '%s' (index %d)" % (info.name, info.index)


def _as_array(info, value):
    if isinstance(value, np.ndarray):
        if value.dtype != info.dtype:
            raise TypeError("%s expects dtype %s, got %s" % (_describe(info), info.dtype, value.dtype))
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        raw = np.frombuffer(value, dtype=np.uint8)
        if raw.nbytes != info.size:
            raise ValueError("%s needs %d bytes, got %d bytes" % (_describe(info), info.size, raw.nbytes))
        return raw.view(info.dtype)
    try:
        return np.asarray(value, dtype=info.dtype)
    except (TypeError, ValueError) as err:
        raise TypeError("%s: cannot convert %s to %s: %s" % (_describe(info), type(value).__name__, info.dtype, err))


def prepare_input(info, value):
    """A C-contiguous array of exactly the tensor's bytes, or an error naming the tensor.

    Arrays must have the tensor's dtype (no silent casts); their shape may
    differ from the tensor's as long as the element count matches, since the
    runtime reads the bytes in C order.
    """
    array = _as_array(info, value)
    if array.nbytes != info.size:
        raise ValueError(
            "%s needs %d bytes (shape %s of %s), got %d bytes (shape %s)"
            % (_describe(info), info.size, info.shape, info.dtype, array.nbytes, array.shape)
        )
    return np.ascontiguousarray(array)


def _order_by_name(infos, mapping):
    names = [info.name for info in infos]
    unknown = [key for key in mapping if key not in names]
    if unknown:
        raise ValueError("unknown input name(s) %s; the model's inputs are %s" % (unknown, names))
    missing = [name for name in names if name not in mapping]
    if missing:
        raise ValueError("missing input(s) %s" % missing)
    return [mapping[name] for name in names]


def bind_inputs(infos, args):
    """Arrays for every input in index order, from positional values or one mapping by name."""
    if len(args) == 1 and isinstance(args[0], Mapping):
        values = _order_by_name(infos, args[0])
    else:
        values = list(args)
        if len(values) != len(infos):
            raise ValueError("the model takes %d input(s), got %d" % (len(infos), len(values)))
    return [prepare_input(info, value) for info, value in zip(infos, values)]


def unpack_output(info, data):
    """The bytes libkiv returned for an output, as an array of the tensor's dtype and shape.

    libkiv returns bytes, bytearray or a uint8 array depending on what was last
    loaded through the same NPU object; all three are handled alike.
    """
    raw = np.frombuffer(data, dtype=np.uint8)
    if raw.nbytes != info.size:
        raise ValueError("output '%s' returned %d bytes, expected %d" % (info.name, raw.nbytes, info.size))
    if not raw.flags.writeable:
        raw = raw.copy()
    return raw.view(info.dtype).reshape(info.shape)
