"""The input sets of `kiv run` and `kiv bench`: from -i files, a directory
of samples, or filled in (--random), and checked against the model's inputs
(dtype, shape; real values quantised with --quantize) before anything runs."""

from __future__ import annotations

import argparse
import dataclasses
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..tensor_info import TensorInfo
from .array_files import load_arrays, sample_files
from .usage import UsageError

# The arrays of one input set, by input name.
Arrays = dict[str, npt.NDArray[Any]]
# Given arrays by input name, each with the file it came from.
Sourced = dict[str, tuple[npt.NDArray[Any], str]]

FILL_WORDS = {"zeros": 0.0, "ones": 1.0}
UNIFORM = "uniform"


@dataclasses.dataclass(frozen=True)
class Sample:
    """One input set: `name` is the sample file's name without its suffix,
    None when the inputs do not come from a directory."""

    name: str | None
    arrays: Arrays
    #: The inputs filled in (--random), not given.
    filled: tuple[str, ...] = ()


def fill_mode(text: str) -> str:
    """The value of --random: uniform, zeros, ones or a number."""
    if text in FILL_WORDS or text == UNIFORM:
        return text
    try:
        float(text)
    except ValueError:
        raise ValueError("takes uniform, zeros, ones or a number, not %r" % text) from None
    return text


def _uniform(info: TensorInfo, rng: np.random.Generator) -> npt.NDArray[Any]:
    """Uniform over the dtype's range; for a float type over [-1, 1), since
    values across a float type's range overflow any arithmetic."""
    dtype = info.dtype
    if dtype.kind == "f":
        return rng.uniform(-1.0, 1.0, size=info.shape).astype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, size=info.shape).astype(dtype)
    limits = np.iinfo(dtype)
    return rng.integers(limits.min, limits.max, size=info.shape, dtype=dtype, endpoint=True)


def _constant(info: TensorInfo, value: float, quantize: bool) -> npt.NDArray[Any]:
    real = np.full(info.shape, value, dtype=np.float64)
    if quantize and _quantised_integers(info):
        return as_input(info, real, True, "--random %g" % value)
    with np.errstate(over="ignore", invalid="ignore"):
        array = real.astype(info.dtype)
    exact = array == real if info.dtype.kind in "biu" else np.isfinite(array)
    if not exact.all():
        raise UsageError("--random %g: input '%s' (%s) cannot hold %g%s" % (
            value, info.name, info.dtype, value, _quantize_hint(info)))
    return array


def filled(info: TensorInfo, mode: str, rng: np.random.Generator, quantize: bool) -> npt.NDArray[Any]:
    if mode == UNIFORM:
        return _uniform(info, rng)
    return _constant(info, FILL_WORDS[mode] if mode in FILL_WORDS else float(mode), quantize)


def _quantised_integers(info: TensorInfo) -> bool:
    return info.dtype.kind in "iu" and info.scale != 0


def _quantize_hint(info: TensorInfo) -> str:
    if not _quantised_integers(info):
        return ""
    return "; give --quantize to quantise real values with its scale %g and zero point %d" % (
        info.scale, info.zero_point)


def _significant(shape: Sequence[int]) -> tuple[int, ...]:
    return tuple(d for d in shape if d != 1)


def as_input(info: TensorInfo, array: npt.NDArray[Any], quantize: bool, source: str) -> npt.NDArray[Any]:
    """`array` as input `info` takes it: real values quantised when asked,
    else of the input's dtype exactly; its shape the input's, up to
    dimensions of size 1. UsageError naming `source` otherwise."""
    if quantize and array.dtype.kind == "f" and info.dtype.kind in "iu":
        if info.scale == 0:
            raise UsageError("%s: input '%s' (%s) has no scale to quantise with" % (source, info.name, info.dtype))
        array = info.quantize(array)
    if array.dtype != info.dtype:
        hint = _quantize_hint(info) if array.dtype.kind == "f" else ""
        raise UsageError(
            "%s: input '%s' expects dtype %s, got %s%s" % (source, info.name, info.dtype, array.dtype, hint)
        )
    if _significant(array.shape) != _significant(info.shape):
        raise UsageError("%s: input '%s' has shape %s, got %s" % (source, info.name, info.shape, array.shape))
    return np.ascontiguousarray(array.reshape(info.shape))


@dataclasses.dataclass
class _Given:
    """What the -i options name: arrays for every set, and a directory of samples."""

    arrays: Sourced = dataclasses.field(default_factory=dict)
    directory: str | None = None

    def add(self, name: str, array: npt.NDArray[Any], source: str) -> None:
        if name in self.arrays:
            raise UsageError("input '%s' is given twice (%s and %s)" % (name, self.arrays[name][1], source))
        self.arrays[name] = (array, source)


def _single_input(names: Sequence[str], source: str) -> str:
    if len(names) != 1:
        raise UsageError("%s: name the input it holds (NAME=FILE); the model's inputs are %s" % (source, list(names)))
    return names[0]


def _arrays_of(loaded: npt.NDArray[Any] | dict[str, npt.NDArray[Any]], names: Sequence[str], source: str,
               name: str | None = None) -> dict[str, npt.NDArray[Any]]:
    """The arrays by input name that a loaded file gives: a .npy file one
    array (for `name`, or the only input), a .npz file arrays by input name
    (or, for `name`, its only array or the one of that name)."""
    if isinstance(loaded, np.ndarray):
        return {name or _single_input(names, source): loaded}
    if name is not None:
        if name in loaded:
            return {name: loaded[name]}
        if len(loaded) == 1:
            return {name: next(iter(loaded.values()))}
        raise UsageError("%s: holds %s, none named '%s'" % (source, sorted(loaded), name))
    unknown = sorted(set(loaded) - set(names))
    if unknown:
        raise UsageError("%s: arrays %s name no input; the model's inputs are %s" % (source, unknown, list(names)))
    return loaded


def names_directory(item: str) -> bool:
    """Whether an -i item names a directory of samples."""
    name, sep, path = item.rpartition("=")
    return not sep and os.path.isdir(path)


def _given(items: Sequence[str], names: Sequence[str]) -> _Given:
    given = _Given()
    for item in items:
        name, sep, path = item.rpartition("=")
        if names_directory(item):
            if given.directory is not None:
                raise UsageError("give one directory of samples, not %s and %s" % (given.directory, path))
            given.directory = path
            continue
        if sep and name not in names:
            raise UsageError("the model has no input %r; its inputs are %s" % (name, list(names)))
        for key, array in _arrays_of(load_arrays(path), names, path, name if sep else None).items():
            given.add(key, array, path)
    return given


def _sets(given: _Given, names: Sequence[str]) -> list[tuple[str | None, Sourced]]:
    if given.directory is None:
        return [(None, dict(given.arrays))]
    sets: list[tuple[str | None, Sourced]] = []
    for path in sample_files(given.directory):
        sample = _Given(dict(given.arrays))
        for key, array in _arrays_of(load_arrays(path), names, path).items():
            sample.add(key, array, path)
        sets.append((os.path.splitext(os.path.basename(path))[0], sample.arrays))
    return sets


def _checked(info: TensorInfo, arrays: Sourced, fill: str, rng: np.random.Generator,
             quantize: bool) -> npt.NDArray[Any]:
    if info.name in arrays:
        array, source = arrays[info.name]
        return as_input(info, array, quantize, source)
    return filled(info, fill, rng, quantize)


def input_samples(inputs: Sequence[TensorInfo], items: Sequence[str], fill: str, seed: int,
                  quantize: bool) -> list[Sample]:
    """The input sets the -i options name (one, or one per sample of a
    directory), the inputs they leave out filled as `fill` says, every
    array checked against its input."""
    names = [t.name for t in inputs]
    rng = np.random.default_rng(seed)
    samples = []
    for label, arrays in _sets(_given(items, names), names):
        missing = tuple(t.name for t in inputs if t.name not in arrays)
        samples.append(Sample(label, {t.name: _checked(t, arrays, fill, rng, quantize) for t in inputs}, missing))
    return samples


def filled_note(samples: Sequence[Sample], fill: str, seed: int) -> str | None:
    """What was filled in without being asked for (no --random), or None."""
    filled = sorted({name for sample in samples for name in sample.filled})
    if not filled:
        return None
    how = "uniform random data (seed %d)" % seed if fill == UNIFORM else fill
    return "input%s %s: no -i given, filled with %s" % ("s" if len(filled) > 1 else "", ", ".join(filled), how)


def inputs_object(args: argparse.Namespace, samples: Sequence[Sample], fill: str) -> dict[str, Any]:
    """Where the input sets came from, for the JSON documents: the -i
    items, the inputs filled in and how, and the samples by name."""
    named = samples[0].name is not None
    filled = sorted({name for sample in samples for name in sample.filled})
    return {"given": list(args.input), "filled": filled, "random": fill if filled else None, "seed": args.seed,
            "quantize": args.quantize, "sets": len(samples), "samples": [s.name for s in samples] if named else None}
