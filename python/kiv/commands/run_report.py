"""What kiv run reports of each input set, as text or as its entry in the
JSON document: the outputs (or the file they went to), the profile and the
check against the reference."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..tensor_info import TensorInfo
from .info import columns
from .input_data import Sample
from .profiles import profile_text
from .reference import Comparison, comparison_object, notes, report

Arrays = dict[str, npt.NDArray[Any]]


@dataclasses.dataclass
class SampleRun:
    """What one input set gave: its outputs (dequantised with --dequantize),
    where they were written (or why not), its profile and its check against
    the reference."""

    sample: Sample
    outputs: Arrays
    written: str | None = None
    write_error: str | None = None
    profile: dict[str, Any] | None = None
    check: Check | None = None


@dataclasses.dataclass(frozen=True)
class Check:
    """A sample's outputs against its reference file."""

    path: str
    rtol: float
    comparisons: list[Comparison]
    unused: list[str]  # reference arrays that name no output

    @property
    def ok(self) -> bool:
        return all(c.ok for c in self.comparisons)


def _print_outputs(done: SampleRun, several: bool) -> None:
    if done.written is not None and done.write_error is None:
        shapes = ", ".join("%s %s %s" % (n, a.dtype, a.shape) for n, a in done.outputs.items())
        print("wrote %s: %s" % (done.written, shapes))
        return
    if several:
        print("sample %s" % done.sample.name)
    with np.printoptions(threshold=64, edgeitems=4):
        for name, array in done.outputs.items():
            print("%s %s %s\n%s" % (name, array.dtype, array.shape, array))


def _print_check(check: Check, infos: Sequence[TensorInfo]) -> None:
    print("reference %s (rtol %g)" % (check.path, check.rtol))
    print("\n".join(columns(report(check.comparisons)) + notes(check.comparisons, infos)))
    if check.unused:
        print("  not compared (no output of that name): %s" % ", ".join(check.unused))
    differing = sum(not c.ok for c in check.comparisons)
    if differing:
        print("%d of %d outputs differ from the reference" % (differing, len(check.comparisons)))
    else:
        print("all %d outputs match the reference" % len(check.comparisons))


def print_sample(done: SampleRun, several: bool, infos: Sequence[TensorInfo]) -> None:
    _print_outputs(done, several)
    if done.profile is not None:
        print(profile_text(done.profile))
    if done.check is not None:
        _print_check(done.check, infos)


def sample_object(done: SampleRun) -> dict[str, Any]:
    """A sample's entry in the JSON document."""
    outputs = []
    for name, array in done.outputs.items():
        entry: dict[str, Any] = {"name": name, "dtype": str(array.dtype), "shape": list(array.shape)}
        if done.written is not None and done.write_error is None:
            entry["file"] = done.written
        else:
            entry["values"] = array.tolist()
        outputs.append(entry)
    check = None
    if done.check is not None:
        check = {"path": done.check.path, "rtol": done.check.rtol, "match": done.check.ok,
                 "outputs": [comparison_object(c) for c in done.check.comparisons], "not_compared": done.check.unused}
    return {"name": done.sample.name, "outputs": outputs, "profile": done.profile, "reference": check}
