"""The words kiv shares with zor for what a container holds: names, versions,
element types and scales (docs/kiv-command.md#labels)."""

from __future__ import annotations

import numpy as np

import libkiv

from ..dtypes import data_type_name
from ..tensor_info import TensorInfo

NO_NAME = "(no name)"


def name_label(name: str) -> str:
    return name or NO_NAME


def version_label(text: str) -> str:
    """"1.2.3", "1.2.3 (draft)" or "(not set)", from the container code's
    version text ("1.2.3", with "d" appended for a draft)."""
    draft = text.endswith("d")
    number = text[:-1] if draft else text
    # A container without a version table reads the schema's defaults.
    if number == "-1.-1.-1":
        return "(not set)"
    return number + " (draft)" if draft else number


def element_type_label(data_type: libkiv.kiv_data_type_t) -> str:
    """The type's name (kiv.dtypes.data_type_name), or "unknown (CODE)"."""
    name = data_type_name(data_type)
    return "unknown (%d)" % int(data_type) if name is None else name


def dtype_label(info: TensorInfo) -> str:
    """The tensor's element type; for a tensor kiv hands over as raw bytes,
    marked so."""
    label = element_type_label(info.data_type)
    return label + " as raw bytes" if info.is_raw else label


def float_label(value: float) -> str:
    """The shortest decimal text that reads back as the same single-precision
    number (containers store scales as such): 0.1, not 0.100000001."""
    single = np.float32(value)
    for digits in range(1, 10):
        text = "%.*g" % (digits, single)
        if np.float32(text) == single:
            return text
    return "%.9g" % single
