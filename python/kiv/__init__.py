"""kiv: a Pythonic layer over the libkiv NPU runtime module.

    with kiv.Runtime(driver="standin") as runtime, runtime.load("model.zor") as model:
        print(model.inputs, model.outputs)
        (y,) = model.run(x)

libkiv stays available underneath (Runtime.npu) for what this layer does not cover.
"""


def _load_native() -> None:
    """Makes kiv._native importable: the package's native module, which
    libkiv.so carries beside libkiv (described by _native.pyi)."""
    import importlib.machinery
    import importlib.util
    import sys

    import libkiv

    name = __name__ + "._native"
    loader = importlib.machinery.ExtensionFileLoader(name, libkiv.__file__)
    spec = importlib.util.spec_from_file_location(name, libkiv.__file__, loader=loader)
    assert spec is not None  # given its loader, a spec always comes back
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[name] = module
    setattr(sys.modules[__name__], "_native", module)


_load_native()

from ._version import __version__  # noqa: E402
from .device import Device  # noqa: E402
from .driver import DriverInfo, standin_path  # noqa: E402
from .dtypes import dequantize, numpy_dtype, quantize  # noqa: E402
from .errors import RUNTIME_STATUSES, JobTimeout, KivError, ModelFormatError, RuntimeStatus, status_name  # noqa: E402
from .inputs import Outputs  # noqa: E402
from .job_options import JobOptions, LoadOptions  # noqa: E402
from .model import Model  # noqa: E402
from .runtime import Runtime  # noqa: E402
from .tensor_info import TensorInfo  # noqa: E402

__all__ = [
    "__version__",
    "Device",
    "DriverInfo",
    "JobTimeout",
    "JobOptions",
    "KivError",
    "LoadOptions",
    "Model",
    "ModelFormatError",
    "Outputs",
    "RUNTIME_STATUSES",
    "Runtime",
    "RuntimeStatus",
    "TensorInfo",
    "dequantize",
    "numpy_dtype",
    "quantize",
    "standin_path",
    "status_name",
]
