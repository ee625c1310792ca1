"""How the server serves each model: its defaults from the command line, and
a model's own settings from the NAME.toml file beside NAME.zor.

    in_flight = 8            # jobs of the model on the NPU at once
    max_queue = 64           # requests waiting beyond those; more are refused as busy
    job_timeout = 10.0       # seconds a request waits for its job
    [job_options]            # kiv.JobOptions: partition, core, qos, memory_region
    qos = 1
    [batching]               # dynamic batching: requests gathered into one batch queue
    max_size = 8
    max_delay_ms = 0.5
"""

from __future__ import annotations

import dataclasses
import math
import tomllib
from collections.abc import Mapping
from typing import Any

from ..job_options import JobOptions

# The job options a settings file may give: where and how the jobs run. The
# dump options name files of the server's machine and stay with the command
# line's kiv run and kiv bench.
_JOB_OPTION_KEYS = ("partition", "core", "qos", "memory_region")


class SettingsError(ValueError):
    """A settings file or option that cannot be used; the text names the file and key."""


@dataclasses.dataclass(frozen=True)
class Batching:
    """Dynamic batching: up to `max_size` requests that arrive within
    `max_delay` seconds of the first run as one batch queue. A size of 1 is
    no batching."""

    max_size: int = 1
    max_delay: float = 0.0

    @property
    def enabled(self) -> bool:
        return self.max_size > 1


@dataclasses.dataclass(frozen=True)
class ModelSettings:
    in_flight: int
    max_queue: int
    job_timeout: float
    job_options: JobOptions = JobOptions()
    batching: Batching = Batching()


def _whole(where: str, value: object, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise SettingsError("%s must be a whole number of at least %d, got %r" % (where, low, value))
    return value


def _seconds(where: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        raise SettingsError("%s must be a number of seconds above 0, got %r" % (where, value))
    return float(value)


def _table(where: str, value: object) -> Mapping[str, Any]:
    if not isinstance(value, dict):
        raise SettingsError("%s must be a table, got %r" % (where, value))
    return value


def _refuse_unknown(where: str, table: Mapping[str, Any], known: tuple[str, ...]) -> None:
    unknown = sorted(set(table) - set(known))
    if unknown:
        raise SettingsError("%s: unknown setting(s) %s; the settings are %s" % (where, unknown, list(known)))


def _job_options(where: str, table: Mapping[str, Any], defaults: JobOptions) -> JobOptions:
    _refuse_unknown(where, table, _JOB_OPTION_KEYS)
    try:
        return dataclasses.replace(defaults, **table)
    except (TypeError, ValueError) as err:
        raise SettingsError("%s: %s" % (where, err)) from None


def _batching(where: str, table: Mapping[str, Any], defaults: Batching) -> Batching:
    _refuse_unknown(where, table, ("max_size", "max_delay_ms"))
    size = _whole(where + " max_size", table.get("max_size", defaults.max_size), 1)
    delay = defaults.max_delay
    if "max_delay_ms" in table:
        delay = _seconds(where + " max_delay_ms", table["max_delay_ms"]) / 1000.0
    return Batching(size, delay)


def model_settings(where: str, document: Mapping[str, Any], defaults: ModelSettings) -> ModelSettings:
    """The settings a parsed settings file gives, the rest from `defaults`;
    `where` names the file in errors."""
    _refuse_unknown(where, document, ("in_flight", "max_queue", "job_timeout", "job_options", "batching"))
    return ModelSettings(
        in_flight=_whole(where + ": in_flight", document.get("in_flight", defaults.in_flight), 1),
        max_queue=_whole(where + ": max_queue", document.get("max_queue", defaults.max_queue), 0),
        job_timeout=_seconds(where + ": job_timeout", document.get("job_timeout", defaults.job_timeout)),
        job_options=_job_options(where + ": [job_options]", _table(where + ": job_options",
                                                                   document.get("job_options", {})),
                                 defaults.job_options),
        batching=_batching(where + ": [batching]", _table(where + ": batching", document.get("batching", {})),
                           defaults.batching),
    )


def read_model_settings(path: str, defaults: ModelSettings) -> ModelSettings:
    """The settings of the file at `path` (the server's own repository
    listing found it, never a client)."""
    try:
        with open(path, "rb") as f:
            document = tomllib.load(f)
    except tomllib.TOMLDecodeError as err:
        raise SettingsError("%s: %s" % (path, err)) from None
    except OSError as err:
        raise SettingsError("%s: %s" % (path, err.strerror or err)) from None
    return model_settings(path, document, defaults)
