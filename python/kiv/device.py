"""What the driver tells about the device: its target, status and topology
(partitions, their clusters and cores). Runtime.device describes it, and a
runtime sizes its streams by the cores counted here."""

from __future__ import annotations

import dataclasses
from typing import Any

import libkiv

from . import _native

STATUS_NAMES = {0: "idle", 1: "busy", 2: "exception"}

# Per partition, per cluster, its core count as the driver reports it: None
# where a count failed (the partition's clusters, or one cluster's cores).
_Topology = tuple[tuple[int | None, ...] | None, ...]


@dataclasses.dataclass(frozen=True)
class Device:
    """The device as the driver reports it (Runtime.device); None where a query failed."""

    #: The NPU's target name.
    target: str | None
    #: "idle", "busy", "exception", or "unknown (N)" for another code.
    status: str | None
    #: Per partition, per cluster, its core count; a partition whose clusters
    #: or cores cannot be counted has None.
    layout: tuple[tuple[int, ...] | None, ...] | None

    def cores(self, partition: int) -> int | None:
        """The cores of one partition, None when the driver does not tell.

        Raises nothing.

        :param partition: the partition's index, from 0.
        """
        if self.layout is None or not 0 <= partition < len(self.layout):
            return None
        clusters = self.layout[partition]
        return None if clusters is None else sum(clusters)

    def as_dict(self) -> dict[str, Any]:
        """The JSON form: target, status, counts of partitions, clusters and cores, and the layout.

        Raises nothing.
        """
        known = None if self.layout is None or None in self.layout else [c for c in self.layout if c is not None]
        return {
            "target": self.target,
            "status": self.status,
            "partitions": None if self.layout is None else len(self.layout),
            "clusters": None if known is None else sum(len(c) for c in known),
            "cores": None if known is None else sum(sum(c) for c in known),
            "layout": None if self.layout is None else [None if c is None else list(c) for c in self.layout],
        }


def _value(answer: tuple[libkiv.kiv_status_t, Any]) -> Any:
    status, value = answer
    return value if int(status) == 0 else None


def _clusters(npu: libkiv.NPU, partition: int) -> tuple[int | None, ...] | None:
    count = _value(_native.cluster_count(npu, partition))
    if count is None:
        return None
    return tuple(_value(_native.core_count(npu, partition, cluster)) for cluster in range(count))


def _all_counted(clusters: tuple[int | None, ...] | None) -> tuple[int, ...] | None:
    """The clusters' core counts when every one is known, else None."""
    if clusters is None or None in clusters:
        return None
    return tuple(count for count in clusters if count is not None)


def topology(npu: libkiv.NPU) -> _Topology | None:
    """Every core count the driver gives, walking partitions, then their
    clusters; None when it does not count the partitions."""
    partitions = _value(_native.partition_count(npu))
    return None if partitions is None else tuple(_clusters(npu, p) for p in range(partitions))


def device_cores(npu: libkiv.NPU) -> int:
    """The cores of every partition and cluster, as far as the driver tells."""
    return sum(count or 0 for clusters in topology(npu) or () for count in clusters or ())


def describe(npu: libkiv.NPU) -> Device:
    """The device of an open context."""
    status = _value(_native.device_status(npu))
    target = _value(_native.target(npu)) or None
    counted = topology(npu)
    return Device(
        target=target,
        status=None if status is None else STATUS_NAMES.get(status, "unknown (%d)" % status),
        layout=None if counted is None else tuple(_all_counted(clusters) for clusters in counted),
    )
