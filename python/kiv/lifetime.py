"""When runtimes and models are released.

Each Runtime and Model has a kiv._native.Lifetime: it counts the object's
users (operations under way, jobs not yet finished, a runtime's loaded
models) and runs the release once the object is closed and the last user
has left. Its one state ("open", "closing", "released", "given up",
"inherited") is the object's: the transitions are written once, in the
native lifetime. It is also what holds across fork: in a forked child, an
object of the parent's is "inherited": it refuses every use and releases
nothing, since its driver context is the parent's.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable
from typing import NoReturn

from . import _native
from .errors import INVALID_HANDLE, KivError

Steps = Callable[[], Iterable[Callable[[], object]]]


def try_all(steps: Iterable[Callable[[], object]]) -> None:
    """Runs every step, then raises the first failure; an interrupt
    (Ctrl-C) in one step does not keep the others from running."""
    first_error: BaseException | None = None
    for step in steps:
        try:
            step()
        except BaseException as err:  # the other steps still run
            first_error = first_error or err
    if first_error is not None:
        raise first_error


def release_by(what: str, steps: Steps) -> Callable[[bool], None]:
    """A Lifetime's release: runs every step of `steps()`; with raising False
    (the release fell to whichever user left last), failures are warned about."""

    def release(raising: bool) -> None:
        try:
            try_all(steps())
        except Exception as err:
            if raising:
                raise
            warnings.warn("closing %s: %s" % (what, err), RuntimeWarning)

    return release


def refusal(kind: str, name: str) -> Callable[[bool], NoReturn]:
    """A Lifetime's refusal of a use: ValueError once closed; KivError in a
    forked child, for an object of the parent's."""

    def refuse(inherited: bool) -> NoReturn:
        if inherited:
            raise KivError(
                "kiv." + kind,
                INVALID_HANDLE,
                "the runtime belongs to the parent process",
                "a child process must open a kiv.Runtime of its own",
            )
        raise ValueError("%s is closed" % name)

    return refuse


def lifetime(kind: str, name: str, steps: Steps) -> _native.Lifetime:
    """The Lifetime of a `kind` ("Runtime", "Model") called `name` in errors,
    released by the steps of `steps()`."""
    return _native.Lifetime(refusal(kind, name), release_by(name, steps))


def is_closed(life: _native.Lifetime) -> bool:
    """Whether the object was closed (by close(), or given up at exit); one
    of the parent's in a forked child tells nothing of the parent's close."""
    return life.state not in ("open", "inherited")


def close_quietly(life: _native.Lifetime) -> None:
    """Closes what nothing refers to any more (a finalizer): failures are warned about."""
    try:
        life.close()
    except Exception as err:
        warnings.warn("closing an object nothing refers to any more: %s" % err, RuntimeWarning)


def check_owned(life: _native.Lifetime) -> None:
    """Raises the refusal of an object that a forked child inherited from its
    parent; called before any lock of the object is taken."""
    if life.state == "inherited":
        life.enter()  # refused
