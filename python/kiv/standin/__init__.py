"""The stand-in NPU's Python side, installed with the stand-in driver (the
libkiv-standin package, pip with KIV_INSTALL_STANDIN_DRIVER=ON, cmake
--install with --component standin), which lies in this directory too
(kiv.standin_path()):

- ProgramBuilder writes programs the stand-in runs
  (docs/npu-program-format.md); kiv.standin.program also has numpy
  references of the stand-in's arithmetic;
- StandinControls reaches the stand-in's test controls.
"""

from .controls import StandinControls
from .program import ProgramBuilder

__all__ = ["ProgramBuilder", "StandinControls"]
