"""What kiv run checks each sample against: its reference arrays
(--reference) and its class labels (--labels, or an array `labels` in the
reference files), all read before the first job."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..tensor_info import TensorInfo
from .accuracy import load_labels, split_labels
from .input_data import Sample
from .reference import LABELS, reference_arrays, reference_for
from .usage import UsageError


@dataclasses.dataclass(frozen=True)
class Expected:
    """One sample's reference file and arrays (None without --reference)
    and labels (None without labels)."""

    reference_path: str | None
    reference: dict[str, npt.NDArray[Any]] | None
    labels: npt.NDArray[np.int64] | None


def score_rows_per_sample(outputs: Sequence[TensorInfo]) -> int:
    """Rows of class scores one run gives: the first output's elements over its last dimension."""
    shape = outputs[0].shape
    return math.prod(shape[:-1]) if shape else 1


def _references(path: str | None, samples: Sequence[Sample],
                outputs: Sequence[TensorInfo]) -> list[tuple[str | None, dict[str, npt.NDArray[Any]] | None]]:
    if path is None:
        return [(None, None)] * len(samples)
    names = [t.name for t in outputs]
    files = [reference_for(path, sample.name) for sample in samples]
    return [(file, reference_arrays(file, names)) for file in files]


def expected_per_sample(samples: Sequence[Sample], outputs: Sequence[TensorInfo], reference: str | None,
                        labels: str | None) -> list[Expected]:
    """What each sample is checked against. Labels come from the labels
    file, a sample's rows of scores after another's; or else from the
    reference files' arrays named `labels` (when no output has that name)."""
    references = _references(reference, samples, outputs)
    rows = score_rows_per_sample(outputs) if outputs else 0
    if labels is not None:
        if not outputs:
            raise UsageError("--labels %s: the model has no output to score" % labels)
        per_sample: list[npt.NDArray[np.int64] | None] = list(
            split_labels(load_labels(labels), len(samples), rows, labels))
    else:
        per_sample = [_labels_of(file, arrays, outputs) for file, arrays in references]
    return [Expected(file, arrays, sample_labels) for (file, arrays), sample_labels in zip(references, per_sample)]


def _labels_of(file: str | None, arrays: dict[str, npt.NDArray[Any]] | None,
               outputs: Sequence[TensorInfo]) -> npt.NDArray[np.int64] | None:
    """The labels a reference file holds, if any."""
    if file is None or arrays is None or LABELS not in arrays or LABELS in {t.name for t in outputs}:
        return None
    labels = arrays.pop(LABELS)
    if labels.dtype.kind not in "iu":
        raise UsageError("%s: its labels must be integers, not %s" % (file, labels.dtype))
    return labels.astype(np.int64).ravel()
