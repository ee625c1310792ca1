"""kiv info: what a model is, and the driver that runs it."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from typing import Any

from ..container import container_identity
from ..model import Model
from ..runtime import Runtime
from ..tensor_info import TensorInfo
from .device import device_text
from .documents import json_text, opening, setting
from .labels import dtype_label, float_label, name_label, version_label
from .loading import opened


def _tensor_rows(infos: Sequence[TensorInfo]) -> list[tuple[str, ...]]:
    return [
        ("  " + t.name, "shape %s" % (t.shape,), dtype_label(t), "%d bytes" % t.size,
         "scale %s, zero point %d" % (float_label(t.scale), t.zero_point))
        for t in infos
    ]


def columns(rows: Sequence[tuple[str, ...]]) -> list[str]:
    """The rows as lines of left-aligned columns."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def describe(model: Model, runtime: Runtime) -> str:
    """The listing of `kiv info`: model, driver, inputs and outputs."""
    name, version = container_identity(model.path)
    lines = [
        "model    %s %s (%s, %d bytes)"
        % (name_label(name), version_label(version), model.path, os.path.getsize(model.path)),
        "build    version %d" % model.build_version,
        "driver   %s" % runtime.driver,
        "device   %s" % device_text(runtime.device),
        "inputs",
    ]
    lines += columns(_tensor_rows(model.inputs)) if model.inputs else ["  (none)"]
    lines.append("outputs")
    lines += columns(_tensor_rows(model.outputs)) if model.outputs else ["  (none)"]
    return "\n".join(lines)


def tensor_object(t: TensorInfo) -> dict[str, Any]:
    return {"name": t.name, "shape": list(t.shape), "dtype": dtype_label(t), "bytes": t.size, "scale": t.scale,
            "zero_point": t.zero_point}


def info_as_dict(model: Model, runtime: Runtime) -> dict[str, Any]:
    return {
        **opening("info"),
        **setting(model, runtime),
        "inputs": [tensor_object(t) for t in model.inputs],
        "outputs": [tensor_object(t) for t in model.outputs],
    }


def command_info(args: argparse.Namespace) -> int:
    with opened(args.model, args.driver) as session:
        if args.json:
            print(json_text(info_as_dict(session.model, session.runtime)))
        else:
            print(describe(session.model, session.runtime))
    return 0
