"""kiv: a Pythonic layer over the libkiv NPU runtime module.

    with kiv.Runtime() as runtime, runtime.load("model.zor") as model:
        print(model.inputs, model.outputs)
        (y,) = model.run(x)

libkiv stays available underneath (Runtime.npu) for what this layer does not cover.
"""

from .dtypes import dequantize, numpy_dtype, quantize
from .errors import KivError
from .model import Model
from .runtime import Runtime
from .tensor_info import TensorInfo

__all__ = ["KivError", "Model", "Runtime", "TensorInfo", "dequantize", "numpy_dtype", "quantize"]
