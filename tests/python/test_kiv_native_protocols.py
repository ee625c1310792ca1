"""The Protocols of kiv/_board.py and kiv/container.py describe the modules
of kiv's own that libkiv.so carries as they are: the same attributes, and
functions with the same parameters. (The modules have no file a type checker
could read, so nothing else compares the two.)"""

import inspect

import pytest

from kiv._board import Board, BoardQueue, board
from kiv.container import Containers, containers

# (Protocol, what it describes), for every native module and class.
DESCRIBED = [(Board, board), (BoardQueue, board.Queue), (Containers, containers)]
IDS = ["board", "board.Queue", "containers"]


def _described(protocol):
    """Public members of a Protocol: its functions and its annotated attributes."""
    return {name for name in vars(protocol) if not name.startswith("_")} | set(protocol.__annotations__)


def _parameters(signature_line):
    """Parameter names and defaults of a pybind11 signature line, without self:
    'name(self: T, a: int, b: object = None) -> R' gives ['a', 'b=None']."""
    inside = signature_line[signature_line.index("(") + 1 : signature_line.rindex(") ->")]
    params = []
    for part in inside.split(", "):
        name, _, rest = part.partition(":")
        default = rest.partition(" = ")[2]
        if name != "self":
            params.append(name + ("=" + default if default else ""))
    return params


def _protocol_parameters(function):
    params = list(inspect.signature(function).parameters.values())[1:]  # without self
    return [p.name + ("" if p.default is inspect.Parameter.empty else "=%r" % p.default) for p in params]


@pytest.mark.parametrize("protocol, native", DESCRIBED, ids=IDS)
def test_protocol_names_every_module_attribute_and_nothing_else(protocol, native):
    assert _described(protocol) == {name for name in dir(native) if not name.startswith("_")}


@pytest.mark.parametrize("protocol, native", DESCRIBED, ids=IDS)
def test_protocol_functions_have_the_module_parameters(protocol, native):
    for name, function in vars(protocol).items():
        if name.startswith("_") or not inspect.isfunction(function):
            continue
        signature_line = inspect.getdoc(getattr(native, name)).splitlines()[0]
        assert _protocol_parameters(function) == _parameters(signature_line), name


def test_board_constants_are_the_queue_entry_kinds():
    assert isinstance(board.JOB, int) and isinstance(board.TICKET, int) and board.JOB != board.TICKET
    queue = board.Queue()
    queue.post(7)
    assert queue.get(1.0) == (board.TICKET, 7, 0)
    assert queue.get(0.0) is None
