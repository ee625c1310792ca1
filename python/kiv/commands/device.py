"""What the driver tells about the device: its target, status and
topology (partitions, their clusters and cores), for kiv info and for the
hint on a job option the device refused."""

from __future__ import annotations

import dataclasses
from typing import Any

import libkiv

from .. import _native
from ..errors import KivError

STATUS_NAMES = {0: "idle", 1: "busy", 2: "exception"}

# The job option a refusal names, by the driver's status.
_REFUSED_OPTION = {
    int(libkiv.KIV_STATUS_ERROR_INVALID_PARTITION_ID): "partition",
    int(libkiv.KIV_STATUS_ERROR_INVALID_CORE_ID): "core",
    int(libkiv.KIV_STATUS_ERROR_INVALID_QOS): "qos",
}


@dataclasses.dataclass(frozen=True)
class Device:
    """The device as the driver reports it; None where a query failed."""

    target: str | None
    status: str | None
    #: Per partition, per cluster, its core count; a partition whose
    #: clusters cannot be counted has None.
    layout: tuple[tuple[int, ...] | None, ...] | None

    def cores(self, partition: int) -> int | None:
        """The cores of one partition, None when the driver does not tell."""
        if self.layout is None or not 0 <= partition < len(self.layout):
            return None
        clusters = self.layout[partition]
        return None if clusters is None else sum(clusters)

    def as_dict(self) -> dict[str, Any]:
        """The JSON form: target, status, counts of partitions, clusters and cores, and the layout."""
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


def _clusters(npu: libkiv.NPU, partition: int) -> tuple[int, ...] | None:
    count = _value(_native.cluster_count(npu, partition))
    if count is None:
        return None
    cores = [_value(_native.core_count(npu, partition, cluster)) for cluster in range(count)]
    return None if None in cores else tuple(cores)


def query_device(npu: libkiv.NPU) -> Device:
    """The device of an open context."""
    status = _value(_native.device_status(npu))
    partitions = _value(_native.partition_count(npu))
    return Device(
        target=_value(_native.target(npu)) or None,
        status=None if status is None else STATUS_NAMES.get(status, "unknown (%d)" % status),
        layout=None if partitions is None else tuple(_clusters(npu, p) for p in range(partitions)),
    )


def _plural(count: int, word: str) -> str:
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def device_text(device: Device) -> str:
    """One line: "KVS_0404MP4, idle; 1 partition, 1 cluster, 4 cores"."""
    head = "%s, %s" % (device.target or "target not reported", device.status or "status not reported")
    if device.layout is None:
        return head + "; topology not reported"
    if None in device.layout:
        return "%s; %s, clusters and cores not reported" % (head, _plural(len(device.layout), "partition"))
    facts = device.as_dict()
    return "%s; %s" % (head, ", ".join(_plural(facts[key], key[:-1]) for key in ("partitions", "clusters", "cores")))


def _numbers(count: int, word: str) -> str:
    """"core 0 only", "cores 0 to 3"."""
    if count == 0:
        return "no %ss" % word
    return "%s 0 only" % word if count == 1 else "%ss 0 to %d" % (word, count - 1)


def refusal_hint(device: Device, error: KivError, partition: int) -> str | None:
    """What the device has, for a job option it refused; None when the error
    is no such refusal. `partition` is the one the jobs asked for."""
    option = _REFUSED_OPTION.get(error.code)
    if option is None:
        return None
    if option == "qos":
        return "the driver does not report the QoS levels the device has"
    if option == "partition":
        if device.layout is None:
            return "the driver does not report the partitions the device has"
        return "the device has %s" % _numbers(len(device.layout), "partition")
    cores = device.cores(partition)
    if cores is None:
        return "the driver does not report the cores the device has"
    return "partition %d of the device has %s" % (partition, _numbers(cores, "core"))
