"""What is wrong with a file the runtime could not read as a model container.

The runtime reports only a status (cannot open, rejected, no executable);
this module looks at the file itself to say why, in words: missing, a
directory, empty, not a container, truncated, or holding no subgraph. A
container is one FlatBuffers buffer: a 32-bit offset of the root table, then
tables that find their fields through a vtable, and strings and vectors
that tables point to. Containers are written back to front, so the root
table sits near the start and a file cut short loses what tables point to.
"""

from __future__ import annotations

import os
import struct

_ROOT_NEAR_START = 256  # a container's root table lies within its first bytes
_MAX_BUFFER = 2**31 - 1
# Fields of the root table that hold offsets: version, name, subgraphs,
# tensors, inputs, outputs, io_json.
_ROOT_FIELDS = 7
_SUBGRAPHS_FIELD = 2
# Fields of a subgraph table: name, data, inputs, outputs, backend.
_DATA_FIELD, _INPUTS_FIELD, _OUTPUTS_FIELD = 1, 2, 3

# A table as the reader finds it: (its offset, its vtable's offset, the vtable's size).
_Table = tuple[int, int, int]


class _Layout(Exception):
    """The file is not laid out as a container; `truncated` tells whether it
    looks like one that was cut short."""

    def __init__(self, text: str, truncated: bool = False) -> None:
        super().__init__(text)
        self.truncated = truncated


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data

    def u16(self, at: int) -> int:
        return self._unpack("<H", at)

    def u32(self, at: int) -> int:
        return self._unpack("<I", at)

    def i32(self, at: int) -> int:
        return self._unpack("<i", at)

    def _unpack(self, form: str, at: int) -> int:
        size = struct.calcsize(form)
        if at < 0 or at + size > len(self.data):
            raise _Layout("it points past its end", truncated=True)
        value: int = struct.unpack_from(form, self.data, at)[0]
        return value

    def root_fields(self) -> _Table:
        """Offsets of the root table and its vtable, and the vtable's size."""
        root = self.u32(0)
        if root % 4 or root >= _MAX_BUFFER:
            raise _Layout("it does not start with a container's root table offset")
        if root + 4 > len(self.data):
            raise _Layout("its root table lies past its end", truncated=root < _ROOT_NEAR_START)
        return self.table(root, "its root table")

    def table(self, at: int, what: str) -> _Table:
        """Offsets of the table at `at` and its vtable, and the vtable's size."""
        vtable = at - self.i32(at)
        if vtable < 0 or vtable % 2:
            raise _Layout("%s has no valid field table" % what)
        size = self.u16(vtable)
        if size < 4 or size % 2:
            raise _Layout("%s has no valid field table" % what)
        if vtable + size > len(self.data):
            raise _Layout("it ends inside %s" % what, truncated=True)
        return at, vtable, size

    def field(self, table: int, vtable: int, size: int, number: int) -> int | None:
        """Position of the value of field `number` of a table, or None when absent."""
        slot = 4 + 2 * number
        if slot + 2 > size:
            return None
        offset = self.u16(vtable + slot)
        return table + offset if offset else None

    def target(self, position: int) -> int:
        """Where the offset stored at `position` points; checked to lie in the file."""
        to = position + self.u32(position)
        if to + 4 > len(self.data):
            raise _Layout("a part of the model lies past its end", truncated=True)
        return to

    def subgraph(self, subgraphs: int, index: int) -> _Table:
        """The table of entry `index` of the subgraph vector at `subgraphs`."""
        return self.table(self.target(subgraphs + 4 + 4 * index), "a subgraph's table")

    def check_executable(self, subgraph: _Table) -> None:
        """Checks that a subgraph's executable lies in the file: subgraphs
        were written first, so they are what a cut loses first."""
        data = self.field(*subgraph, _DATA_FIELD)
        if data is not None:
            vector = self.target(data)
            if vector + 4 + self.u32(vector) > len(self.data):
                raise _Layout("an NPU executable lies past its end", truncated=True)

    def names(self, table: _Table, number: int) -> list[str]:
        """The strings of the name list in field `number` of a table."""
        position = self.field(*table, number)
        if position is None:
            return []
        vector = self.target(position)
        names = []
        for index in range(self.u32(vector)):
            text = self.target(vector + 4 + 4 * index)
            end = text + 4 + self.u32(text)
            if end > len(self.data):
                raise _Layout("a name lies past its end", truncated=True)
            names.append(self.data[text + 4 : end].decode("utf-8", "replace"))
        return names


def _subgraph_vector(reader: _Reader) -> int | None:
    """The position of the root's subgraph vector, or None."""
    root = reader.root_fields()
    position = reader.field(*root, _SUBGRAPHS_FIELD)
    return reader.target(position) if position is not None else None


def _layout_problem(data: bytes) -> str | None:
    """None when `data` is laid out like a container with at least one
    subgraph, else a text saying what is wrong."""
    if len(data) < 8:
        return "is too short to be a model container (%d bytes)" % len(data)
    reader = _Reader(data)
    try:
        root, vtable, size = reader.root_fields()
        if reader.field(root, vtable, size, 0) is None:
            return "is not a zor model container (it has no model version)"
        targets = {}
        for number in range(_ROOT_FIELDS):
            position = reader.field(root, vtable, size, number)
            if position is not None:
                targets[number] = reader.target(position)
        subgraphs = targets.get(_SUBGRAPHS_FIELD)
        count = 0
        if subgraphs is not None:
            count = reader.u32(subgraphs)
            if count:
                reader.u32(subgraphs + 4 * count)  # the last entry lies in the file
            for index in range(count):
                reader.check_executable(reader.subgraph(subgraphs, index))
    except _Layout as problem:
        if problem.truncated:
            return "is truncated: %s (%d bytes)" % (problem, len(data))
        return "is not a zor model container: %s" % problem
    if count == 0:
        return "holds no subgraph, so no NPU executable to load"
    return None


def diagnose(path: str) -> str | None:
    """Why `path` cannot be read as a model container; None when nothing is
    visibly wrong with the file (the runtime or the driver judged its
    contents)."""
    if not os.path.exists(path):
        return "no such file"
    if os.path.isdir(path):
        return "is a directory, not a model container file"
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_BUFFER + 1)
    except OSError as err:
        return "cannot be read: %s" % (err.strerror or err)
    if not data:
        return "is empty, not a model container"
    if len(data) > _MAX_BUFFER:
        return "is larger than any model container can be"
    return _layout_problem(data)


def _scalar(reader: _Reader, table: _Table, number: int, form: str, default: int) -> int:
    position = reader.field(*table, number)
    return default if position is None else reader._unpack(form, position)


def container_identity(path: str) -> tuple[str, str]:
    """(name, version text) of a readable container: the version as the
    container tools print it, "1.2.3", with "d" for a draft."""
    with open(path, "rb") as f:
        data = f.read(_MAX_BUFFER + 1)
    reader = _Reader(data)
    try:
        root = reader.root_fields()
        name = ""
        name_at = reader.field(*root, 1)
        if name_at is not None:
            text = reader.target(name_at)
            name = data[text + 4 : text + 4 + reader.u32(text)].decode("utf-8", "replace")
        version_at = reader.field(*root, 0)
        if version_at is None:
            return name, "-1.-1.-1d"
        version = reader.table(reader.target(version_at), "the version's table")
        numbers = [_scalar(reader, version, n, "<i", -1) for n in range(3)]
        draft = _scalar(reader, version, 3, "<B", 1) != 0
    except _Layout as problem:
        raise ValueError("%s %s" % (path, problem)) from None
    return name, ".".join(str(n) for n in numbers) + ("d" if draft else "")


def first_subgraph_names(path: str) -> tuple[list[str], list[str]]:
    """The input and output names that the first subgraph of container `path`
    lists, as two lists; both empty when the file cannot be read as a
    container or has no subgraph."""
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_BUFFER + 1)
        reader = _Reader(data)
        subgraphs = _subgraph_vector(reader)
        if subgraphs is None or reader.u32(subgraphs) == 0:
            return [], []
        first = reader.subgraph(subgraphs, 0)
        return reader.names(first, _INPUTS_FIELD), reader.names(first, _OUTPUTS_FIELD)
    except (OSError, _Layout):
        return [], []
