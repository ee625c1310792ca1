"""Top-1 and top-5 accuracy over a set of samples (kiv run --labels, or
labels in the reference files): how often the class a label names is among
the highest scores of the model's first output."""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np
import numpy.typing as npt

from .array_files import NPY_MAGIC, load_arrays
from .reference import TOP_K
from .usage import UsageError


def load_labels(path: str) -> npt.NDArray[np.int64]:
    """Class labels from a .npy file of integers, or a text file of whole
    numbers separated by white space (one per line, say)."""
    try:
        with open(path, "rb") as f:
            numpy_file = f.read(len(NPY_MAGIC)) == NPY_MAGIC
        if numpy_file:
            loaded = load_arrays(path)
            assert not isinstance(loaded, dict)  # a .npy file holds one array
            if loaded.dtype.kind not in "iu":
                raise UsageError("%s: labels must be integers, not %s" % (path, loaded.dtype))
            return loaded.astype(np.int64).ravel()
        with open(path, encoding="utf-8") as f:
            words = f.read().split()
    except (OSError, UnicodeDecodeError) as err:
        raise UsageError("%s: cannot be read as labels: %s" % (path, err)) from None
    try:
        return np.array([int(word) for word in words], dtype=np.int64)
    except ValueError as err:
        raise UsageError("%s: labels must be whole numbers: %s" % (path, err)) from None


def score_rows(scores: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The scores as a row per sample, a column per class."""
    return scores.reshape(-1, scores.shape[-1] if scores.ndim else 1)


@dataclasses.dataclass
class Accuracy:
    """Counts of rows whose label is among the k highest scores, per k."""

    classes: int
    rows: int = 0
    hits: dict[int, int] = dataclasses.field(default_factory=dict)

    @property
    def ks(self) -> tuple[int, ...]:
        return tuple(k for k in TOP_K if k == 1 or k < self.classes)

    def add(self, scores: npt.NDArray[Any], labels: npt.NDArray[np.int64], source: str) -> None:
        """Counts one sample's rows of scores against their labels."""
        rows = score_rows(scores)
        if len(labels) != len(rows):
            raise UsageError("%s: %d labels for %d rows of scores" % (source, len(labels), len(rows)))
        ranked = np.argsort(-rows.astype(np.float64), axis=1, kind="stable")
        for k in self.ks:
            self.hits[k] = self.hits.get(k, 0) + int((ranked[:, :k] == labels[:, None]).any(axis=1).sum())
        self.rows += len(rows)

    def as_dict(self) -> dict[str, Any]:
        hits = {k: self.hits.get(k, 0) for k in self.ks}
        return {"labels": self.rows, **{"top%d" % k: {"hits": h, "rate": h / self.rows} for k, h in hits.items()}}

    def text(self) -> str:
        parts = ["top-%d %.1f%% (%d/%d)" % (k, 100 * self.hits.get(k, 0) / self.rows, self.hits.get(k, 0), self.rows)
                 for k in self.ks]
        return "accuracy over %d labels: %s" % (self.rows, ", ".join(parts))


def split_labels(labels: npt.NDArray[np.int64], samples: int, rows: int, path: str) -> list[npt.NDArray[np.int64]]:
    """A labels file cut into each sample's labels: `rows` per sample, in order."""
    if len(labels) != samples * rows:
        raise UsageError("%s: %d labels for %d sample%s of %d row%s of scores" % (
            path, len(labels), samples, "" if samples == 1 else "s", rows, "" if rows == 1 else "s"))
    return list(labels.reshape(samples, rows))
