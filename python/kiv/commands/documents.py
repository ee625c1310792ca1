"""The JSON documents of kiv info, run and bench share their opening and
their objects: which kiv made the document, when and with which command;
the model, the driver and the device. docs/kiv-command.md describes each
document's keys."""

from __future__ import annotations

import datetime
import json
import math
from typing import Any

from .. import __version__
from ..container import container_identity
from ..model import Model
from ..runtime import Runtime
from .labels import version_label


def opening(command: str) -> dict[str, Any]:
    """The keys every document starts with: kiv_version, command and date
    (UTC, ISO 8601, to the second)."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    return {"kiv_version": __version__, "command": command, "date": now.isoformat().replace("+00:00", "Z")}


def model_object(model: Model) -> dict[str, Any]:
    name, version = container_identity(model.path)
    return {"name": name, "version": version_label(version), "path": model.path, "build_version": model.build_version}


def driver_object(runtime: Runtime) -> dict[str, Any]:
    return {"path": runtime.driver.path, "versions": list(runtime.driver.versions),
            "standin": runtime.driver.is_standin}


def setting(model: Model, runtime: Runtime) -> dict[str, Any]:
    """What ran: the model, the driver and the device."""
    return {"model": model_object(model), "driver": driver_object(runtime),
            "device": runtime.device.as_dict()}


def _finite(value: Any) -> Any:
    """`value` with every NaN or infinity made null, which JSON can hold."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    return value


def json_text(document: dict[str, Any]) -> str:
    """The document as standard JSON, indented."""
    return json.dumps(_finite(document), indent=2, allow_nan=False)
