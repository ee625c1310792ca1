"""Turning the caller's input objects into arrays the runtime can read, and
the runtime's output bytes into arrays."""

from __future__ import annotations

import itertools
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, SupportsIndex, cast, overload

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from .tensor_info import TensorInfo

# One input's value: a numpy array, a bytes-like object holding the raw
# tensor, or a number or nested lists of numbers.
InputValue = npt.ArrayLike
# One input set of Model.run_batch: the values in input order, a mapping by
# input name, or, for a one-input model, the value itself.
InputSet = Sequence[InputValue] | Mapping[str, InputValue] | InputValue


def describe(info: TensorInfo) -> str:
    return "input '%s' (index %d)" % (info.name, info.index)


def _same_shape(expected: tuple[int, ...], given: tuple[int, ...]) -> bool:
    """Equal, or different only by dimensions of size 1."""
    return tuple(d for d in expected if d != 1) == tuple(d for d in given if d != 1)


def _check_shape(info: TensorInfo, shape: tuple[int, ...]) -> None:
    if not _same_shape(info.shape, shape):
        raise ValueError("%s has shape %s; got shape %s" % (describe(info), tuple(info.shape), tuple(shape)))


def _is_quantised(info: TensorInfo) -> bool:
    return info.dtype.kind in "iu" and (info.scale not in (0.0, 1.0) or info.zero_point != 0)


def _not_representable(info: TensorInfo, given: npt.NDArray[Any], what: str) -> ValueError:
    text = "%s is %s; %s" % (describe(info), info.dtype, what)
    if _is_quantised(info) and given.dtype.kind == "f":
        text += (
            "; real values are quantised with model.inputs[%d].quantize(values) (scale %g, zero point %d)"
            % (info.index, info.scale, info.zero_point)
        )
    return ValueError(text)


def _first(values: npt.NDArray[Any], bad: npt.NDArray[np.bool_]) -> object:
    return values[bad].flat[0].item()


def _exact_integers(info: TensorInfo, given: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`given` as the tensor's integer (or bool) dtype, if every value fits exactly."""
    target = info.dtype
    if given.dtype.kind == "f":
        bad = ~np.isfinite(given) | (given != np.trunc(given))
        if bad.any():
            raise _not_representable(info, given, "%r is not an integer" % _first(given, bad))
    if target.kind == "b":
        bad = (given != 0) & (given != 1)
        if bad.any():
            raise _not_representable(info, given, "%r is not a bool" % _first(given, bad))
        return given.astype(target)
    limits = np.iinfo(target)
    if given.size:
        low, high = given.min(), given.max()
        if low < limits.min or high > limits.max:
            value = low if low < limits.min else high
            raise _not_representable(
                info, given, "%r is out of its range %d..%d" % (value.item(), limits.min, limits.max)
            )
    return given.astype(target)


def _exact_floats(info: TensorInfo, given: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`given` as the tensor's floating dtype: integers only when exact, real
    values rounded to the dtype's precision but never overflowing."""
    target = info.dtype
    with np.errstate(over="ignore", invalid="ignore"):
        converted = given.astype(target)
        if given.dtype.kind in "biu":
            bad = converted.astype(given.dtype) != given
            if bad.any():
                raise _not_representable(info, given, "the integer %r has no exact value" % _first(given, bad))
        else:
            bad = np.isfinite(given) & ~np.isfinite(converted)
            if bad.any():
                raise _not_representable(info, given, "%r is out of its range" % _first(given, bad))
    return converted


def _from_values(info: TensorInfo, value: object) -> npt.NDArray[Any]:
    """Lists, tuples and scalars, converted to the tensor's dtype: for an
    integer (or bool) dtype every value must be a whole number in its range;
    for a float dtype integers must be exact in it, and real values are
    rounded to its precision but never beyond its range."""
    try:
        given = np.asarray(value)
    except (TypeError, ValueError) as err:
        raise TypeError("%s: cannot make an array of %s: %s" % (describe(info), type(value).__name__, err)) from None
    if given.dtype == object:
        raise ValueError(
            "%s takes numbers (%s); some values given are not numbers or too large for any number type"
            % (describe(info), info.dtype)
        )
    if given.dtype.kind not in "biuf":
        raise TypeError(
            "%s takes numbers (%s); got %s of %s" % (describe(info), info.dtype, type(value).__name__, given.dtype)
        )
    if info.dtype.kind in "biu":
        return _exact_integers(info, given)
    return _exact_floats(info, given)


def prepare_input(info: TensorInfo, value: object) -> npt.NDArray[Any]:
    """A C-contiguous array of exactly the tensor's bytes, or an error naming the tensor.

    Arrays must have the tensor's dtype (no silent casts) and its shape, up to
    dimensions of size 1. Lists and scalars are converted by _from_values'
    rule (whole numbers in range for an integer dtype; for a float dtype,
    exact integers and real values rounded to its precision). Bytes-like
    objects are the raw tensor and must have its byte size.
    """
    if isinstance(value, np.ndarray):
        if value.dtype != info.dtype:
            raise TypeError("%s expects dtype %s, got %s" % (describe(info), info.dtype, value.dtype))
        if value.shape != info.shape:
            _check_shape(info, value.shape)
        return value if value.flags.c_contiguous else np.ascontiguousarray(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        raw = np.frombuffer(value, dtype=np.uint8)
        if raw.nbytes != info.size:
            raise ValueError("%s needs %d bytes, got %d bytes" % (describe(info), info.size, raw.nbytes))
        return raw
    array = _from_values(info, value)
    _check_shape(info, array.shape)
    return np.ascontiguousarray(array)


def _order_by_name(infos: Sequence[TensorInfo], mapping: Mapping[str, object], kind: str = "input") -> list[object]:
    names = [info.name for info in infos]
    unknown = [key for key in mapping if key not in names]
    if unknown:
        raise ValueError("unknown %s name(s) %s; the model's %ss are %s" % (kind, unknown, kind, names))
    missing = [name for name in names if name not in mapping]
    if missing:
        raise ValueError("missing %s(s) %s" % (kind, missing))
    return [mapping[name] for name in names]


def input_args(infos: Sequence[TensorInfo], item: InputSet) -> tuple[object, ...]:
    """One input set of a batch or a stream as run()'s positional arguments."""
    if isinstance(item, Mapping):
        return (item,)
    if len(infos) == 1 and not isinstance(item, (list, tuple)):
        return (item,)
    # Several inputs: a sequence of values (tuple() refuses anything else).
    return tuple(cast("Iterable[object]", item))


def bind_inputs(infos: Sequence[TensorInfo], args: Sequence[object]) -> list[npt.NDArray[Any]]:
    """Arrays for every input in index order, from positional values or one mapping by name."""
    values: Sequence[object]
    if len(args) == 1 and not isinstance(args[0], np.ndarray) and isinstance(args[0], Mapping):
        values = _order_by_name(infos, args[0])
    else:
        values = list(args)
        if len(values) != len(infos):
            raise ValueError("the model takes %d input(s), got %d" % (len(infos), len(values)))
    return [prepare_input(info, value) for info, value in zip(infos, values)]


# Arrays of the caller's for a run's outputs: a sequence in output order, a
# mapping by output name, or the Outputs of an earlier run.
OutputArrays = Sequence[npt.NDArray[Any]] | Mapping[str, npt.NDArray[Any]]


def _output_array(info: TensorInfo, array: object) -> npt.NDArray[Any]:
    """`array` if the runtime can write output `info` straight into it, else
    the error that says what is wrong with it."""
    what = "output '%s' (index %d)" % (info.name, info.index)
    if not isinstance(array, np.ndarray):
        raise TypeError("%s: out= takes numpy arrays, got %s" % (what, type(array).__name__))
    if array.dtype != info.dtype:
        raise ValueError("%s is %s; out= gives an array of %s" % (what, info.dtype, array.dtype))
    if array.shape != info.shape:
        raise ValueError("%s has shape %s; out= gives shape %s" % (what, tuple(info.shape), array.shape))
    if array.nbytes != info.size:
        raise ValueError("%s is %d bytes; out= gives %d bytes" % (what, info.size, array.nbytes))
    if not array.flags.writeable:
        raise ValueError("%s: out= gives a read-only array" % what)
    if not array.flags.c_contiguous:
        raise ValueError("%s: out= gives an array that is not C-contiguous" % what)
    return array


class OutputTargets:
    """The caller's arrays for a run's outputs, in output order, held while
    the runtime may write into them. Each is held by a weak reference too,
    which makes numpy refuse to resize it (even with refcheck=False) until
    the job is done with it; the runtime also checks each length when it
    writes."""

    __slots__ = ("arrays", "_pins")

    def __init__(self, arrays: list[npt.NDArray[Any]]) -> None:
        self.arrays = arrays
        self._pins = [weakref.ref(array) for array in arrays]


def _check_apart(infos: Sequence[TensorInfo], arrays: list[npt.NDArray[Any]]) -> None:
    """Raises the ValueError of two outputs given the same memory, where one
    output would silently hold the other's values."""
    for (first, a), (second, b) in itertools.combinations(zip(infos, arrays), 2):
        if np.may_share_memory(a, b):
            raise ValueError(
                "outputs '%s' (index %d) and '%s' (index %d): out= gives arrays that share memory"
                % (first.name, first.index, second.name, second.index)
            )


def bind_outputs(infos: Sequence[TensorInfo], out: OutputArrays | None) -> OutputTargets | None:
    """The caller's array for every output in index order (None without
    out=), each checked to take the output exactly as it is, and none
    sharing memory with another."""
    if out is None:
        return None
    arrays: list[object]
    if isinstance(out, Mapping):
        arrays = _order_by_name(infos, out, "output")
    else:
        arrays = list(out)
        if len(arrays) != len(infos):
            raise ValueError("the model has %d output(s); out= gives %d" % (len(infos), len(arrays)))
    checked = [_output_array(info, array) for info, array in zip(infos, arrays)]
    _check_apart(infos, checked)
    return OutputTargets(checked)


class Outputs(list[npt.NDArray[Any]]):
    """The output arrays of one run, in output order, also by output name.

        (y,) = model.run(x)          # as a list
        y = model.run(x)["y"]        # by name

    Runs make them. Indexing by a name no output has raises KeyError, by a
    number past the end IndexError.
    """

    __slots__ = ("names", "profile")
    #: The output names, in order.
    names: tuple[str, ...]
    #: The driver's profiler tensors of the run, as bytes (joined, in index
    #: order), or None when the runtime does not profile or the driver gave none.
    profile: bytes | None

    @overload
    def __getitem__(self, key: SupportsIndex) -> npt.NDArray[Any]: ...

    @overload
    def __getitem__(self, key: slice) -> list[npt.NDArray[Any]]: ...

    @overload
    def __getitem__(self, key: str) -> npt.NDArray[Any]: ...

    def __getitem__(self, key: SupportsIndex | slice | str) -> npt.NDArray[Any] | list[npt.NDArray[Any]]:
        if isinstance(key, str):
            try:
                return super().__getitem__(self.names.index(key))
            except ValueError:
                raise KeyError("no output named %r; the model's outputs are %s" % (key, list(self.names))) from None
        return super().__getitem__(key)

    def as_dict(self) -> dict[str, npt.NDArray[Any]]:
        """The outputs as a dict by output name. Raises nothing."""
        return dict(zip(self.names, self))


def outputs_of(names: tuple[str, ...], arrays: Iterable[npt.NDArray[Any]], profile: bytes | None = None) -> Outputs:
    """An Outputs of `arrays` named `names` (a tuple)."""
    outputs = Outputs(arrays)
    outputs.names = names
    outputs.profile = profile
    return outputs
