"""Small modules of kiv's own that libkiv.so carries beside the libkiv module.

Each is loaded from libkiv.so by its own name, so libkiv keeps exactly its
own attributes. They have no file of their own for a type checker to read:
the module that uses one describes it with a Protocol.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
from types import ModuleType

import libkiv


def load(name: str) -> ModuleType:
    """The module `name` that libkiv.so carries."""
    loader = importlib.machinery.ExtensionFileLoader(name, libkiv.__file__)
    spec = importlib.util.spec_from_file_location(name, libkiv.__file__, loader=loader)
    assert spec is not None  # given its loader, a spec always comes back
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
