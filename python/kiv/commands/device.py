"""The device in words, for kiv info and for the hint on a job option the
device refused."""

from __future__ import annotations

from ..device import Device, describe
from ..errors import KivError
from ..job_options import job_option_of

__all__ = ["device_text", "query_device", "refusal_hint"]

# The device of an open libkiv NPU object; the command asks Runtime.device.
query_device = describe


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
    """What the device has, for a job option it refused (partition, core or
    QoS level); None when the error is no such refusal. `partition` is the
    one the jobs asked for."""
    option = job_option_of(error.code)
    if option == "qos":
        return "the driver does not report the QoS levels the device has"
    if option == "partition":
        if device.layout is None:
            return "the driver does not report the partitions the device has"
        return "the device has %s" % _numbers(len(device.layout), "partition")
    if option != "core":
        return None
    cores = device.cores(partition)
    if cores is None:
        return "the driver does not report the cores the device has"
    return "partition %d of the device has %s" % (partition, _numbers(cores, "core"))
