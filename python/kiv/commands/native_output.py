"""What the native layers print while a model loads, kept off standard output.

The container reader prints its failure line on standard output, libkiv a
"[PY UMD ERROR]" line and the runtime its log on standard error: three lines
for one failure, and text in the middle of a --json document. The kiv
command opens the runtime and loads the model with both file descriptors
pointing at a file; what they printed then goes to standard error after a
successful load and is dropped after a failure, whose one line the command
prints itself.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import tempfile
from collections.abc import Iterator


def _flush_everything() -> None:
    sys.stdout.flush()
    sys.stderr.flush()
    # The container reader writes through C's stdio, which buffers a file.
    ctypes.CDLL(None).fflush(None)


@contextlib.contextmanager
def native_output_to_stderr() -> Iterator[None]:
    """Holds back what file descriptors 1 and 2 receive while the block runs;
    it goes to standard error if the block succeeds, or if KIV_LOG_LEVEL asks
    for the runtime's log."""
    _flush_everything()
    saved = (os.dup(1), os.dup(2))
    succeeded = False
    with tempfile.TemporaryFile() as held:
        try:
            os.dup2(held.fileno(), 1)
            os.dup2(held.fileno(), 2)
            yield
            succeeded = True
        finally:
            _flush_everything()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
            if succeeded or os.environ.get("KIV_LOG_LEVEL"):
                held.seek(0)
                sys.stderr.buffer.write(held.read())
                sys.stderr.flush()
