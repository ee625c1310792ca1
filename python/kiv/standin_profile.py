"""The stand-in NPU's profiler tensor: which core ran a job, and how long
each operation of its program took (docs/npu-program-format.md,
"Profiling"). Other drivers' profiles are not in this layout; decode_profile
tells them apart by the layout's mark."""

from __future__ import annotations

import dataclasses
import struct

_HEADER = struct.Struct("<4sIIIQQ")
_RECORD = struct.Struct("<IIQQ")
_MARK = b"KVPF"
_VERSION = 1

#: The stand-in program's operations, by opcode.
OPERATION_NAMES = {1: "COPY", 2: "ADD", 3: "MUL", 4: "FULLY_CONNECTED", 5: "RELU", 6: "WAIT_MS", 7: "RAISE"}


@dataclasses.dataclass(frozen=True)
class OperationTime:
    """One operation of a run: its index in the program, its opcode and name,
    when it started (nanoseconds from the job's start) and how long it took."""

    #: The operation's index in the program.
    index: int
    #: Its opcode.
    opcode: int
    #: The opcode's name (OPERATION_NAMES), or "opcode <n>" for one without.
    name: str
    #: When it started, in nanoseconds from the job's start.
    start_ns: int
    #: How long it took, in nanoseconds.
    duration_ns: int


@dataclasses.dataclass(frozen=True)
class StandinProfile:
    """A profiled run: the core that ran it, when it started (nanoseconds on
    the host's monotonic clock, which time.monotonic_ns reads), how long it
    took, and the operations that ran."""

    #: The core that ran the job.
    core: int
    #: When the run started, in nanoseconds on the host's monotonic clock.
    start_ns: int
    #: How long the run took, in nanoseconds.
    duration_ns: int
    #: The operations that ran, in order.
    operations: tuple[OperationTime, ...]


def decode_profile(data: bytes) -> StandinProfile | None:
    """The stand-in's profile in `data`, or None when `data` is not in its
    layout (another driver's profile). Raises nothing.

        profile = decode_profile(model.run(x).profile)
        print(profile.core, [(op.name, op.duration_ns) for op in profile.operations])

    :param data: a run's profile, as Outputs.profile holds it.
    """
    if len(data) < _HEADER.size or (len(data) - _HEADER.size) % _RECORD.size:
        return None
    mark, version, core, ran, start, duration = _HEADER.unpack_from(data)
    if mark != _MARK or version != _VERSION or _HEADER.size + ran * _RECORD.size > len(data):
        return None
    operations = []
    for number in range(ran):
        index, opcode, op_start, op_duration = _RECORD.unpack_from(data, _HEADER.size + number * _RECORD.size)
        name = OPERATION_NAMES.get(opcode, "opcode %d" % opcode)
        operations.append(OperationTime(index, opcode, name, op_start, op_duration))
    return StandinProfile(core, start, duration, tuple(operations))
