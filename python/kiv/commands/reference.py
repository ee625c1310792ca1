"""Checking a run's outputs against reference arrays (kiv run --reference):
per output the largest absolute and relative error, the cosine similarity,
the count of elements outside the tolerance and, for class scores, top-k
agreement. A quantised output is compared in real values with a reference
of real values, and within one quantisation step unless told otherwise."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..tensor_info import TensorInfo
from .array_files import load_arrays
from .usage import UsageError

Arrays = Mapping[str, npt.NDArray[Any]]

# Top-k agreement is shown for these k below the number of classes.
TOP_K = (1, 5)
# The default tolerances of outputs that are not quantised.
ATOL, RTOL = 1e-8, 1e-5
# A reference file's array of class labels, when no output has that name.
LABELS = "labels"


@dataclasses.dataclass(frozen=True)
class Comparison:
    """One output against its reference. `problem` is set when they cannot
    be compared (no reference array, another shape); `top` holds (k, rows
    that agree, rows) for class scores."""

    name: str
    problem: str | None = None
    atol: float = ATOL
    #: The output was dequantised to compare it with the reference's real values.
    dequantized: bool = False
    max_abs: float = 0.0
    max_rel: float = 0.0
    cosine: float = 1.0
    mismatches: int = 0
    size: int = 0
    top: tuple[tuple[int, int, int], ...] = ()

    @property
    def ok(self) -> bool:
        return self.problem is None and self.mismatches == 0


def _cosine(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    norms = float(np.linalg.norm(a) * np.linalg.norm(b))
    if norms == 0.0:
        return 1.0 if not a.any() and not b.any() else 0.0
    return float(np.dot(a.ravel(), b.ravel()) / norms)


def _top_agreement(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> tuple[tuple[int, int, int], ...]:
    """For 1-D or 2-D scores (a row per sample, a column per class): per k,
    the rows whose reference's highest class is among the output's k highest."""
    if a.ndim not in (1, 2) or a.shape[-1] < 2:
        return ()
    rows_a, rows_b = a.reshape(-1, a.shape[-1]), b.reshape(-1, b.shape[-1])
    best = rows_b.argmax(axis=1)
    ranked = np.argsort(-rows_a, axis=1, kind="stable")
    return tuple(
        (k, int((ranked[:, :k] == best[:, None]).any(axis=1).sum()), len(best))
        for k in TOP_K
        if k == 1 or k < a.shape[-1]
    )


def compare(name: str, output: npt.NDArray[Any], reference: npt.NDArray[Any], atol: float, rtol: float) -> Comparison:
    """An element mismatches where |output - reference| > atol + rtol * |reference|
    (NaN matches NaN). The relative error is taken where the reference is not 0."""
    if output.size != reference.size or tuple(d for d in output.shape if d != 1) != tuple(
        d for d in reference.shape if d != 1
    ):
        return Comparison(name, "shape %s against the reference's %s" % (output.shape, reference.shape))
    b = reference.astype(np.float64)
    a = output.astype(np.float64).reshape(b.shape)
    with np.errstate(invalid="ignore"):
        error = np.abs(a - b)
        close = np.isclose(a, b, rtol=rtol, atol=atol, equal_nan=True)
        nonzero = b != 0
        relative = error[nonzero] / np.abs(b[nonzero])
    return Comparison(
        name,
        max_abs=float(error.max()) if error.size else 0.0,
        max_rel=float(relative.max()) if relative.size else 0.0,
        cosine=_cosine(a, b),
        mismatches=int(close.size - np.count_nonzero(close)),
        size=int(close.size),
        top=_top_agreement(a, b),
    )


def is_quantised(info: TensorInfo) -> bool:
    """An integer tensor with a scale: its values stand for real ones."""
    return info.dtype.kind in "iu" and info.scale != 0


def comparable(info: TensorInfo, output: npt.NDArray[Any], reference: npt.NDArray[Any],
               atol: float | None) -> tuple[npt.NDArray[Any], float, bool]:
    """The output's values to compare with the reference, the absolute
    tolerance, and whether the output was dequantised for it. A quantised
    output meets a reference of real values as real values; its default
    tolerance is one quantisation step (its scale in real values, 1 in codes)."""
    if not is_quantised(info) or output.dtype.kind not in "iu":
        step = info.scale if is_quantised(info) else ATOL  # dequantised with --dequantize
        return output, step if atol is None else atol, False
    if reference.dtype.kind == "f":
        return info.dequantize(output), info.scale if atol is None else atol, True
    return output, 1.0 if atol is None else atol, False


def compare_all(infos: Sequence[TensorInfo], outputs: Arrays, reference: Arrays, atol: float | None,
                rtol: float) -> list[Comparison]:
    """Every output against the reference array of its name; `atol` None
    gives each output its default tolerance."""
    by_name = {info.name: info for info in infos}
    comparisons = []
    for name, array in outputs.items():
        if name not in reference:
            comparisons.append(Comparison(name, "missing from the reference"))
            continue
        values, tolerance, dequantized = comparable(by_name[name], array, reference[name], atol)
        comparison = compare(name, values, reference[name], tolerance, rtol)
        comparisons.append(dataclasses.replace(comparison, atol=tolerance, dequantized=dequantized))
    return comparisons


def report(comparisons: Sequence[Comparison]) -> list[tuple[str, ...]]:
    """A row per output, for columns()."""
    rows: list[tuple[str, ...]] = []
    for c in comparisons:
        verdict = "ok" if c.ok else "MISMATCH"
        if c.problem is not None:
            rows.append(("  " + c.name, c.problem, "", "", "", "", "", verdict))
            continue
        top = "  ".join("top-%d %d/%d" % entry for entry in c.top)
        rows.append(("  " + c.name, "atol %g" % c.atol, "max abs %.3g" % c.max_abs, "max rel %.3g" % c.max_rel,
                     "cosine %.6f" % c.cosine, "mismatches %d of %d" % (c.mismatches, c.size), top, verdict))
    return rows


def comparison_object(c: Comparison) -> dict[str, Any]:
    """A comparison in the JSON document."""
    return {"name": c.name, "match": c.ok, "problem": c.problem, "atol": c.atol, "dequantized": c.dequantized,
            "max_abs": c.max_abs, "max_rel": c.max_rel, "cosine": c.cosine, "mismatches": c.mismatches,
            "elements": c.size, "top": [{"k": k, "agree": agree, "rows": rows} for k, agree, rows in c.top]}


def notes(comparisons: Sequence[Comparison], infos: Sequence[TensorInfo]) -> list[str]:
    """A line for each output compared as real values rather than as it came."""
    by_name = {info.name: info for info in infos}
    return [
        "  %s: %s output dequantised (scale %g, zero point %d) to meet the reference's real values"
        % (c.name, by_name[c.name].dtype, by_name[c.name].scale, by_name[c.name].zero_point)
        for c in comparisons
        if c.dequantized
    ]


def reference_arrays(path: str, output_names: Sequence[str]) -> dict[str, npt.NDArray[Any]]:
    """The arrays of a reference file by output name: a .npz file's, or a
    .npy file's one array for a one-output model."""
    loaded = load_arrays(path)
    if isinstance(loaded, dict):
        return loaded
    if len(output_names) != 1:
        raise UsageError("%s: one array for a model with outputs %s; give an .npz file of arrays by output name"
                         % (path, list(output_names)))
    return {output_names[0]: loaded}


def reference_for(reference: str, sample: str | None) -> str:
    """The reference file of a sample: in a directory of references, the
    file of the sample's name."""
    if sample is None:
        return reference
    if not os.path.isdir(reference):
        raise UsageError("%s: a directory of samples is checked against a directory of references, one file "
                         "of the same name per sample" % reference)
    for suffix in (".npz", ".npy"):
        path = os.path.join(reference, sample + suffix)
        if os.path.exists(path):
            return path
    raise UsageError("%s: no reference for sample %s (%s.npz or .npy)" % (reference, sample, sample))
