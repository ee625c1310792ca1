"""The native completion board, a small module of kiv's own that libkiv.so
carries beside the libkiv module (kiv_umd/src/python/py_completion_board.cpp).

Loaded from libkiv.so by its own name, so libkiv keeps exactly its own
attributes. Its `notify` has the runtime's native completion signature: the
runtime calls it on the driver's thread without the interpreter lock, and
only the thread that waits for the job takes the lock, when it wakes.
"""

import importlib.machinery
import importlib.util

import libkiv

_NAME = "kiv_completion_board"


def _load():
    loader = importlib.machinery.ExtensionFileLoader(_NAME, libkiv.__file__)
    spec = importlib.util.spec_from_file_location(_NAME, libkiv.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


board = _load()
