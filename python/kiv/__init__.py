"""kiv: a Pythonic layer over the libkiv NPU runtime module.

    with kiv.Runtime(driver="standin") as runtime, runtime.load("model.zor") as model:
        print(model.inputs, model.outputs)
        (y,) = model.run(x)

libkiv stays available underneath (Runtime.npu) for what this layer does not cover.
"""

from ._version import __version__
from .driver import DriverInfo, standin_path
from .dtypes import dequantize, numpy_dtype, quantize
from .errors import JobTimeout, KivError, ModelFormatError
from .inputs import Outputs
from .model import Model
from .runtime import Runtime
from .tensor_info import TensorInfo

__all__ = [
    "__version__",
    "DriverInfo",
    "JobTimeout",
    "KivError",
    "Model",
    "ModelFormatError",
    "Outputs",
    "Runtime",
    "TensorInfo",
    "dequantize",
    "numpy_dtype",
    "quantize",
    "standin_path",
]
