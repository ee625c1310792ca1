"""Locks of the kiv package, which a forked child finds free.

A forked child has one thread: a lock that another thread of the parent
held at the fork would stay held in the child for good, and the child would
hang in the first call that takes it (its exit included). Every lock of the
package is an owner's `_lock` made by owned_lock(), and a forked child finds
a new one in its place.
"""

from __future__ import annotations

import os
import threading
import weakref
from typing import Any

_owners: weakref.WeakSet[Any] = weakref.WeakSet()


def owned_lock(owner: Any) -> threading.Lock:
    """A new lock for `owner._lock`, replaced by a new one in a forked child."""
    _owners.add(owner)
    return threading.Lock()


def _renew_in_child() -> None:
    for owner in list(_owners):
        owner._lock = threading.Lock()


os.register_at_fork(after_in_child=_renew_in_child)
