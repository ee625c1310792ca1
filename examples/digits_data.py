"""The 8x8 handwritten digits data set: loading and a seeded train/test split."""

import gzip
from dataclasses import dataclass

import numpy as np

PIXELS = 64
CLASSES = 10
# Pixels are grey levels 0..16; dividing by this maps them onto [0, 1].
PIXEL_MAX = 16.0


@dataclass
class Split:
    x_train: np.ndarray  # float32 [N, 64], grey levels 0..16
    y_train: np.ndarray  # int64 [N]
    x_test: np.ndarray
    y_test: np.ndarray


def load_digits(path):
    """Returns (pixels float32 [N, 64], labels int64 [N]) from the csv.gz file."""
    with gzip.open(path, "rt") as f:
        table = np.loadtxt(f, delimiter=",", dtype=np.float32)
    if table.ndim != 2 or table.shape[1] != PIXELS + 1:
        raise ValueError(f"{path}: expected {PIXELS + 1} columns, got shape {table.shape}")
    pixels = table[:, :PIXELS]
    labels = table[:, PIXELS].astype(np.int64)
    if pixels.min() < 0 or pixels.max() > PIXEL_MAX or labels.min() < 0 or labels.max() >= CLASSES:
        raise ValueError(f"{path}: values out of range")
    return pixels, labels


def split(pixels, labels, test_fraction=0.2, seed=0):
    """Shuffles with a fixed seed, then cuts off the last test_fraction as the test set."""
    order = np.random.default_rng(seed).permutation(len(labels))
    n_test = int(round(len(labels) * test_fraction))
    train, test = order[:-n_test], order[-n_test:]
    return Split(pixels[train], labels[train], pixels[test], labels[test])
