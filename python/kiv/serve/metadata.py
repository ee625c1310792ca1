"""What the server and its models say of themselves: server and model metadata."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from .._version import __version__
from ..tensor_info import TensorInfo
from .datatypes import datatype_name, tensor_parameters
from .repository import ServedModel

SERVER_NAME = "kiv"
# The protocol's extensions this server implements.
EXTENSIONS = ("binary_tensor_data", "model_repository", "system_shared_memory", "statistics")
# The platform of every model: a zor container run by kiv.
PLATFORM = "kiv_zor"


def server_metadata() -> dict[str, Any]:
    return {"name": SERVER_NAME, "version": __version__, "extensions": list(EXTENSIONS)}


def tensor_metadata(info: TensorInfo) -> dict[str, Any]:
    """A tensor's name, datatype and shape, and a quantised tensor's scale and zero point as parameters."""
    entry: dict[str, Any] = {"name": info.name, "datatype": datatype_name(info.dtype), "shape": list(info.shape)}
    parameters = tensor_parameters(info)
    if parameters:
        entry["parameters"] = parameters
    return entry


def model_metadata(served: ServedModel) -> dict[str, Any]:
    def tensors(infos: Sequence[TensorInfo]) -> list[dict[str, Any]]:
        return [tensor_metadata(info) for info in infos]

    return {
        "name": served.name,
        "versions": [served.version],
        "platform": PLATFORM,
        "inputs": tensors(served.model.inputs),
        "outputs": tensors(served.model.outputs),
    }
