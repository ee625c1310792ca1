"""Reading the arrays a user names on the command line: .npy files (one
array) and .npz files (arrays by name), with messages that name the file."""

from __future__ import annotations

import os
import re
from typing import Any

import numpy as np
import numpy.typing as npt

from .usage import UsageError

NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = b"PK\x03\x04"
SUFFIXES = (".npy", ".npz")

# A .npy file's array, or a .npz file's arrays by name.
Loaded = npt.NDArray[Any] | dict[str, npt.NDArray[Any]]


def load_arrays(path: str) -> Loaded:
    """The array of a .npy file or the arrays of a .npz file, told apart by
    their contents; UsageError saying what the file is otherwise."""
    if not os.path.exists(path):
        raise UsageError("%s: no such file" % path)
    if os.path.isdir(path):
        raise UsageError("%s: is a directory, not a .npy or .npz file" % path)
    try:
        with open(path, "rb") as f:
            magic = f.read(len(NPY_MAGIC))
        if magic.startswith(NPY_MAGIC):
            array: npt.NDArray[Any] = np.load(path, allow_pickle=False)
            return array
        if magic.startswith(ZIP_MAGIC):
            with np.load(path, allow_pickle=False) as archive:
                return {name: archive[name] for name in archive.files}
    except (OSError, ValueError, EOFError) as err:
        raise UsageError("%s: cannot be read as a numpy file: %s" % (path, err)) from None
    raise UsageError(
        "%s: is not a .npy or .npz file (expected an array saved with numpy.save, or arrays by name saved with "
        "numpy.savez)" % path
    )


def natural_key(name: str) -> list[tuple[int, int | str]]:
    """Orders names as people count: img2 before img10. Runs of digits
    compare as numbers, the rest as text (numbers first where one has a
    number and the other text)."""
    return [(0, int(part)) if part.isdecimal() else (1, part) for part in re.split(r"(\d+)", name) if part]


def sample_files(directory: str) -> list[str]:
    """The .npy and .npz files of a directory of samples, in natural order of their names."""
    names = sorted((name for name in os.listdir(directory) if name.endswith(SUFFIXES)),
                   key=lambda name: (natural_key(os.path.splitext(name)[0]), name))
    if not names:
        raise UsageError("%s: holds no .npy or .npz file" % directory)
    return [os.path.join(directory, name) for name in names]


def npz_path(path: str) -> str:
    """The file numpy.savez writes for `path`: it appends .npz when missing."""
    return path if path.endswith(".npz") else path + ".npz"
