"""The extension module beneath kiv: the runtime's API for Python, one method per runtime function.

An `NPU` object holds one runtime context. Each of its methods converts its
arguments, calls the runtime function of the same name with the object's
context, and hands back what the runtime returned: a `kiv_status_t`, alone or
first in a tuple, and in place of the other values, when the call failed, the
failure values the method names. A runtime failure is not an exception: the
failing method prints one line on standard error, the function's name and the
runtime's text for the status, such as ``[PY UMD ERROR] kiv_load_graph:
cannot open file``. Without an open context that text is ``unknown status
<code>``. Some methods
check their arguments themselves and print a line of their own, which each
method names. `NPU.kiv_init_context`, `NPU.kiv_deinit_context` and
`NPU.kiv_get_error_message` print none.

Exceptions are raised only for arguments a method cannot take: `TypeError`
for a value of the wrong type or out of the range of its parameter (negative
ids, a timeout beyond 32 bits, a plain int where an enumeration member is
expected, a ``py_cb`` that is not callable), `RuntimeError` for a
configuration record of the wrong class.

The enumerations' members are also attributes of the module
(``libkiv.KIV_STATUS_SUCCESS`` is ``libkiv.kiv_status_t.KIV_STATUS_SUCCESS``).
A member converts with ``int()``, compares equal to its value, and is
accepted wherever an integer is; flags of `kiv_config_type_t` combine as
integers. The runtime's own status codes, 64 to 69, have no member: they come
back as `kiv_status_t` values that print as ``kiv_status_t.???``
(`kiv.status_name` names them, and the reference of `kiv` lists them).

What ``help()`` shows of each class, method and member is what this
reference says.
"""

from typing import Any, Callable, ClassVar, Optional, Sequence, SupportsInt, Union, overload

import numpy
import numpy.typing

_Buffer = Union[bytes, bytearray, numpy.ndarray]
_WritableBuffer = Union[bytearray, numpy.ndarray]
_Text = Union[str, bytes]
# Integers also accept enumeration members through their integer conversion.
_Int = SupportsInt

class kiv_device_status_t:
    """What the driver says of the device's state.

    No method of `NPU` returns it; `kiv.Runtime.device` reports it by name."""

    #: The device runs nothing.
    KIV_DEV_IDLE: ClassVar[kiv_device_status_t]
    #: The device runs a job or a batch, or has one queued.
    KIV_DEV_BUSY: ClassVar[kiv_device_status_t]
    #: The device is in an exception state.
    KIV_DEV_EXCEPTION: ClassVar[kiv_device_status_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, kiv_device_status_t]]

class kiv_data_type_t:
    """The element type of a tensor, as `tensor_desc_t.data_type` gives it."""

    #: No element type.
    KIV_DATA_TYPE_NONE: ClassVar[kiv_data_type_t]
    #: Booleans, numpy's bool, 1 byte per element.
    KIV_DATA_TYPE_BOOL: ClassVar[kiv_data_type_t]
    #: Unsigned 8-bit integers, numpy's uint8.
    KIV_DATA_TYPE_U8: ClassVar[kiv_data_type_t]
    #: Signed 8-bit integers, numpy's int8.
    KIV_DATA_TYPE_S8: ClassVar[kiv_data_type_t]
    #: Unsigned 16-bit integers, numpy's uint16.
    KIV_DATA_TYPE_U16: ClassVar[kiv_data_type_t]
    #: Signed 16-bit integers, numpy's int16.
    KIV_DATA_TYPE_S16: ClassVar[kiv_data_type_t]
    #: Unsigned 32-bit integers, numpy's uint32.
    KIV_DATA_TYPE_U32: ClassVar[kiv_data_type_t]
    #: Signed 32-bit integers, numpy's int32.
    KIV_DATA_TYPE_S32: ClassVar[kiv_data_type_t]
    #: Unsigned 64-bit integers, numpy's uint64.
    KIV_DATA_TYPE_U64: ClassVar[kiv_data_type_t]
    #: Signed 64-bit integers, numpy's int64.
    KIV_DATA_TYPE_S64: ClassVar[kiv_data_type_t]
    #: Half-precision floats, numpy's float16.
    KIV_DATA_TYPE_F16: ClassVar[kiv_data_type_t]
    #: Single-precision floats, numpy's float32.
    KIV_DATA_TYPE_F32: ClassVar[kiv_data_type_t]
    #: Double-precision floats, numpy's float64.
    KIV_DATA_TYPE_F64: ClassVar[kiv_data_type_t]
    #: Brain floats, 2 bytes per element; numpy has no such type.
    KIV_DATA_TYPE_BF16: ClassVar[kiv_data_type_t]
    #: Unsigned 4-bit integers in the device's aligned layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_ALIGNED_U4: ClassVar[kiv_data_type_t]
    #: Signed 4-bit integers in the device's aligned layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_ALIGNED_S4: ClassVar[kiv_data_type_t]
    #: Unsigned 12-bit integers in the device's aligned layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_ALIGNED_U12: ClassVar[kiv_data_type_t]
    #: Signed 12-bit integers in the device's aligned layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_ALIGNED_S12: ClassVar[kiv_data_type_t]
    #: Unsigned 4-bit integers in the device's compact layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_COMPACT_U4: ClassVar[kiv_data_type_t]
    #: Signed 4-bit integers in the device's compact layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_COMPACT_S4: ClassVar[kiv_data_type_t]
    #: Unsigned 12-bit integers in the device's compact layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_COMPACT_U12: ClassVar[kiv_data_type_t]
    #: Signed 12-bit integers in the device's compact layout; the tensor's descriptor gives its size.
    KIV_DATA_TYPE_COMPACT_S12: ClassVar[kiv_data_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, kiv_data_type_t]]

class tensor_type_t:
    """Which of a graph's tensor lists a tensor method addresses; a tensor's index
    counts within its list."""

    #: The graph's inputs.
    KIV_TENSOR_TYPE_INPUT: ClassVar[tensor_type_t]
    #: The graph's outputs.
    KIV_TENSOR_TYPE_OUTPUT: ClassVar[tensor_type_t]
    #: Intermediate tensors a job can dump.
    KIV_TENSOR_TYPE_INTER_DUMP: ClassVar[tensor_type_t]
    #: The buffers of the device's printf.
    KIV_TENSOR_TYPE_PRINTF: ClassVar[tensor_type_t]
    #: The profiler tensors, written while profiling is on (`ioctl_cmd_t.KIV_IOCTL_SET_PROFILE`).
    KIV_TENSOR_TYPE_PROFILER: ClassVar[tensor_type_t]
    #: The layer counters.
    KIV_TENSOR_TYPE_LAYER_COUNTER: ClassVar[tensor_type_t]
    #: The error code tensors.
    KIV_TENSOR_TYPE_ERROR_CODE: ClassVar[tensor_type_t]
    #: The output shapes of a graph with dynamic shapes.
    KIV_TENSOR_TYPE_OUT_TENSOR_SHAPE: ClassVar[tensor_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, tensor_type_t]]

class kiv_job_status_t:
    """How a job ended, as `NPU.kiv_get_job_status` and the callable of
    `NPU.kiv_job_infer_async` report it. A driver may report other values."""

    #: No outcome yet (the job has not ended, or never ran), also what a failed status query gives.
    KIV_JOB_STATUS_NO_STATUS: ClassVar[kiv_job_status_t]
    #: The job ended normally; its outputs are written.
    KIV_JOB_STATUS_DONE: ClassVar[kiv_job_status_t]
    #: The job ended with an exception.
    KIV_JOB_STATUS_EXCEPTION: ClassVar[kiv_job_status_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, kiv_job_status_t]]

class kiv_config_type_t:
    """Flags of `NPU.kiv_config_job` and `NPU.kiv_config_batch_dump`: what the
    driver dumps. Combine them as integers (``int(a) | int(b)``); members have
    no ``|``. The stand-in NPU dumps inputs and outputs and ignores the other flags."""

    #: Dump the executable's code.
    KIV_JOB_CONFIG_TYPE_DUMP_TEXT: ClassVar[kiv_config_type_t]
    #: Dump the weights.
    KIV_JOB_CONFIG_TYPE_DUMP_WEIGHT: ClassVar[kiv_config_type_t]
    #: Dump the read-only data.
    KIV_JOB_CONFIG_TYPE_DUMP_RODATA: ClassVar[kiv_config_type_t]
    #: Dump the descriptors.
    KIV_JOB_CONFIG_TYPE_DUMP_DESCRIPTOR: ClassVar[kiv_config_type_t]
    #: Dump each run's inputs, before it runs.
    KIV_JOB_CONFIG_TYPE_DUMP_INPUT: ClassVar[kiv_config_type_t]
    #: Dump each run's outputs, after it ran.
    KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT: ClassVar[kiv_config_type_t]
    #: Dump the reused buffers.
    KIV_JOB_CONFIG_TYPE_DUMP_REUSE: ClassVar[kiv_config_type_t]
    #: Dump the chain of task control blocks.
    KIV_JOB_CONFIG_TYPE_DUMP_TCB_CHAIN: ClassVar[kiv_config_type_t]
    #: Dump the files an emulator would take.
    KIV_JOB_CONFIG_TYPE_DUMP_EMULATION: ClassVar[kiv_config_type_t]
    #: Dump the profile data.
    KIV_JOB_CONFIG_TYPE_DUMP_PROFILE: ClassVar[kiv_config_type_t]
    #: A global setting of a simulator (no method of this module sets it).
    KIV_CONFIG_TYPE_SIMULATION: ClassVar[kiv_config_type_t]
    #: A global setting of the hardware (no method of this module sets it).
    KIV_CONFIG_TYPE_HW: ClassVar[kiv_config_type_t]
    #: A global setting, no check of the executable's version.
    KIV_GLOBAL_CONFIG_TYPE_DISABLE_VER_CHECK: ClassVar[kiv_config_type_t]
    #: A global setting, a check of the executable's version.
    KIV_GLOBAL_CONFIG_TYPE_ENABLE_VER_CHECK: ClassVar[kiv_config_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, kiv_config_type_t]]

class ioctl_cmd_t:
    """The driver commands of `NPU.kiv_ioctl`. Each member says what the keyword
    form takes and returns; the form refuses the commands it does not serve
    with ``(KIV_STATUS_ERROR_INVALID_OP,)``."""

    #: Switches profiling on or off, with ``set_profile=1`` or ``0``; returns ``(status,)``.
    KIV_IOCTL_SET_PROFILE: ClassVar[ioctl_cmd_t]
    #: Asks for a loaded graph's build version, with ``graph_id=``; returns ``(status, version)``.
    KIV_IOCTL_GET_KIVBIN_BUILDVERSION: ClassVar[ioctl_cmd_t]
    #: Not served by `NPU.kiv_ioctl`.
    KIV_IOCTL_GET_DS_NUM: ClassVar[ioctl_cmd_t]
    #: Not served by `NPU.kiv_ioctl`.
    KIV_IOCTL_GET_DS_DIM_NUM: ClassVar[ioctl_cmd_t]
    #: Not served by `NPU.kiv_ioctl`.
    KIV_IOCTL_GET_DS_INFO: ClassVar[ioctl_cmd_t]
    #: Allocates a buffer shared with the device, with ``size=`` (and ``mem_type=``, passed to the driver when given); returns ``(status, pa, array)``.
    KIV_IOCTL_ALLOC_SHARE_BUF: ClassVar[ioctl_cmd_t]
    #: Frees a shared buffer, with ``pa=`` and ``size=``; returns ``(status,)``.
    KIV_IOCTL_FREE_SHARE_BUF: ClassVar[ioctl_cmd_t]
    #: Allocates a DMA buffer, with ``bytes=``; returns ``(status, fd)``.
    KIV_IOCTL_ALLOC_DMABUF: ClassVar[ioctl_cmd_t]
    #: Frees a DMA buffer, with ``dmabuf_fd=``; returns ``(status,)``.
    KIV_IOCTL_FREE_DMABUF: ClassVar[ioctl_cmd_t]
    #: Writes into a DMA buffer, through the data form of `NPU.kiv_ioctl` only.
    KIV_IOCTL_WRITE_DMABUF: ClassVar[ioctl_cmd_t]
    #: Not served by `NPU.kiv_ioctl`.
    KIV_IOCTL_READ_DMABUF: ClassVar[ioctl_cmd_t]
    #: Attaches a DMA buffer, with ``dmabuf_fd=``; returns ``(status, pa, bytes)``.
    KIV_IOCTL_ATTACH_DMABUF: ClassVar[ioctl_cmd_t]
    #: Detaches a DMA buffer, with ``dmabuf_fd=``; returns ``(status,)``.
    KIV_IOCTL_DETACH_DMABUF: ClassVar[ioctl_cmd_t]
    #: The driver's two version texts; returns ``(status, first, second)``.
    KIV_IOCTL_GET_VERSION: ClassVar[ioctl_cmd_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, ioctl_cmd_t]]

class kiv_ioctl_tickcounter_t:
    """The values of the driver's tick-counter switch. `NPU.kiv_ioctl` takes
    neither as a command: it switches the counter with the commands 273 (on)
    and 274 (off), which take no keywords."""

    #: The tick counter on.
    AIPU_IOCTL_EN_TICK_COUNTER: ClassVar[kiv_ioctl_tickcounter_t]
    #: The tick counter off.
    AIPU_IOCTL_DI_TICK_COUNTER: ClassVar[kiv_ioctl_tickcounter_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, kiv_ioctl_tickcounter_t]]

class device_type_t:
    """The device a `NPU.kiv_ioctl` command is addressed to, passed to the driver as it is."""

    #: The host's processor.
    cpu: ClassVar[device_type_t]
    #: The NPU, the device of every command `NPU.kiv_ioctl` serves.
    npu: ClassVar[device_type_t]
    #: A graphics processor.
    gpu: ClassVar[device_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, device_type_t]]

class kiv_status_t:
    """The status of every runtime call; 0 is success. Each member's description
    is the runtime's text for it (`NPU.kiv_get_error_message`). The runtime's
    own codes 64 to 69 come back as kiv_status_t values without a member."""

    #: success
    KIV_STATUS_SUCCESS: ClassVar[kiv_status_t]
    #: null pointer argument
    KIV_STATUS_ERROR_NULL_PTR: ClassVar[kiv_status_t]
    #: invalid driver context
    KIV_STATUS_ERROR_INVALID_CTX: ClassVar[kiv_status_t]
    #: cannot open the NPU device
    KIV_STATUS_ERROR_OPEN_DEV_FAIL: ClassVar[kiv_status_t]
    #: NPU device in abnormal state
    KIV_STATUS_ERROR_DEV_ABNORMAL: ClassVar[kiv_status_t]
    #: context deinitialisation failed
    KIV_STATUS_ERROR_DEINIT_FAIL: ClassVar[kiv_status_t]
    #: invalid configuration
    KIV_STATUS_ERROR_INVALID_CONFIG: ClassVar[kiv_status_t]
    #: unknown executable format or version
    KIV_STATUS_ERROR_UNKNOWN_BIN: ClassVar[kiv_status_t]
    #: graph version not supported
    KIV_STATUS_ERROR_GVERSION_UNSUPPORTED: ClassVar[kiv_status_t]
    #: invalid graph executable
    KIV_STATUS_ERROR_INVALID_GBIN: ClassVar[kiv_status_t]
    #: target not found
    KIV_STATUS_ERROR_TARGET_NOT_FOUND: ClassVar[kiv_status_t]
    #: invalid graph id
    KIV_STATUS_ERROR_INVALID_GRAPH_ID: ClassVar[kiv_status_t]
    #: cannot open file
    KIV_STATUS_ERROR_OPEN_FILE_FAIL: ClassVar[kiv_status_t]
    #: cannot map file
    KIV_STATUS_ERROR_MAP_FILE_FAIL: ClassVar[kiv_status_t]
    #: cannot read file
    KIV_STATUS_ERROR_READ_FILE_FAIL: ClassVar[kiv_status_t]
    #: cannot write file
    KIV_STATUS_ERROR_WRITE_FILE_FAIL: ClassVar[kiv_status_t]
    #: invalid job id
    KIV_STATUS_ERROR_INVALID_JOB_ID: ClassVar[kiv_status_t]
    #: job ended with an exception
    KIV_STATUS_ERROR_JOB_EXCEPTION: ClassVar[kiv_status_t]
    #: job timed out
    KIV_STATUS_ERROR_JOB_TIMEOUT: ClassVar[kiv_status_t]
    #: operation not supported
    KIV_STATUS_ERROR_OP_NOT_SUPPORTED: ClassVar[kiv_status_t]
    #: invalid operation
    KIV_STATUS_ERROR_INVALID_OP: ClassVar[kiv_status_t]
    #: invalid size
    KIV_STATUS_ERROR_INVALID_SIZE: ClassVar[kiv_status_t]
    #: buffer allocation failed
    KIV_STATUS_ERROR_BUF_ALLOC_FAIL: ClassVar[kiv_status_t]
    #: buffer release failed
    KIV_STATUS_ERROR_BUF_FREE_FAIL: ClassVar[kiv_status_t]
    #: invalid core id
    KIV_STATUS_ERROR_INVALID_CORE_ID: ClassVar[kiv_status_t]
    #: cannot reserve SRAM
    KIV_STATUS_ERROR_RESERVE_SRAM_FAIL: ClassVar[kiv_status_t]
    #: invalid tensor id
    KIV_STATUS_ERROR_INVALID_TENSOR_ID: ClassVar[kiv_status_t]
    #: invalid cluster id
    KIV_STATUS_ERROR_INVALID_CLUSTER_ID: ClassVar[kiv_status_t]
    #: invalid partition id
    KIV_STATUS_ERROR_INVALID_PARTITION_ID: ClassVar[kiv_status_t]
    #: printf buffer failure
    KIV_STATUS_ERROR_PRINTF_FAIL: ClassVar[kiv_status_t]
    #: invalid tensor type
    KIV_STATUS_ERROR_INVALID_TENSOR_TYPE: ClassVar[kiv_status_t]
    #: invalid GM configuration
    KIV_STATUS_ERROR_INVALID_GM: ClassVar[kiv_status_t]
    #: invalid SegMMU configuration
    KIV_STATUS_ERROR_INVALID_SEGMMU: ClassVar[kiv_status_t]
    #: invalid QoS level
    KIV_STATUS_ERROR_INVALID_QOS: ClassVar[kiv_status_t]
    #: invalid tensor count
    KIV_STATUS_ERROR_INVALID_TENSOR_CNT: ClassVar[kiv_status_t]
    #: operation timed out
    KIV_STATUS_ERROR_TIMEOUT: ClassVar[kiv_status_t]
    #: no such batch queue
    KIV_STATUS_ERROR_NO_BATCH_QUEUE: ClassVar[kiv_status_t]
    #: cannot mark shared tensor
    KIV_STATUS_ERROR_MARK_SHARED_TENSOR: ClassVar[kiv_status_t]
    #: cannot set shared tensor
    KIV_STATUS_ERROR_SET_SHARED_TENSOR: ClassVar[kiv_status_t]
    #: DMA buffer shared IO failure
    KIV_STATUS_ERROR_DMABUF_SHARED_IO: ClassVar[kiv_status_t]
    #: cannot get tensor shape
    KIV_STATUS_ERROR_GET_SHAPE_FAILED: ClassVar[kiv_status_t]
    #: cannot set tensor shape
    KIV_STATUS_ERROR_SET_SHAPE_FAILED: ClassVar[kiv_status_t]
    #: dynamic shape not configured
    KIV_STATUS_ERROR_NOT_CONFIG_SHAPE: ClassVar[kiv_status_t]
    #: output shape does not match
    KIV_STATUS_ERROR_UNMATCH_OUT_SHAPE: ClassVar[kiv_status_t]
    #: tensor size is zero
    KIV_STATUS_ERROR_ZERO_TENSOR_SIZE: ClassVar[kiv_status_t]
    #: cannot allocate grid id
    KIV_STATUS_ERROR_ALLOC_GRIP_ID: ClassVar[kiv_status_t]
    #: cannot allocate group id
    KIV_STATUS_ERROR_ALLOC_GROUP_ID: ClassVar[kiv_status_t]
    #: id not found
    KIV_STATUS_ERROR_NOT_FOUND_IN_HASHTABLE: ClassVar[kiv_status_t]
    #: invalid core dump
    KIV_STATUS_ERROR_INVALID_COREDUMP: ClassVar[kiv_status_t]
    #: job dispatch failed
    KIV_STATUS_ERROR_JOB_DISPATCH_FAIL: ClassVar[kiv_status_t]
    #: status limit
    KIV_STATUS_MAX: ClassVar[kiv_status_t]
    #: unknown error
    KIV_STATUS_ERROR_UNKNOWN_ERROR: ClassVar[kiv_status_t]
    #: keyboard interrupt
    KIV_STATUS_ERROR_KEYBOARD_INTERRUPT: ClassVar[kiv_status_t]
    #: system error
    KIV_STATUS_ERROR_SYSTEM_ERR: ClassVar[kiv_status_t]
    #: outside the hardware limits
    KIV_STATUS_ERROR_OUT_OF_SPEC: ClassVar[kiv_status_t]
    #: outside the AIFF unit limits
    KIV_STATUS_ERROR_OUT_OF_AIFF_SPEC: ClassVar[kiv_status_t]
    #: outside the TPC unit limits
    KIV_STATUS_ERROR_OUT_OF_TPC_SPEC: ClassVar[kiv_status_t]
    #: outside the DMA unit limits
    KIV_STATUS_ERROR_OUT_OF_DMA_SPEC: ClassVar[kiv_status_t]
    #: memory access out of range
    KIV_STATUS_ERROR_OUT_OF_MEM_RANGE: ClassVar[kiv_status_t]
    #: SRAM access out of range
    KIV_STATUS_ERROR_OUT_OF_SRAM_RANGE: ClassVar[kiv_status_t]
    #: LSRAM0 access out of range
    KIV_STATUS_ERROR_OUT_OF_LSRAM0_RANGE: ClassVar[kiv_status_t]
    #: LSRAM1 access out of range
    KIV_STATUS_ERROR_OUT_OF_LSRAM1_RANGE: ClassVar[kiv_status_t]
    #: GSRAM0 access out of range
    KIV_STATUS_ERROR_OUT_OF_GSRAM0_RANGE: ClassVar[kiv_status_t]
    #: GSRAM1 access out of range
    KIV_STATUS_ERROR_OUT_OF_GSRAM1_RANGE: ClassVar[kiv_status_t]
    #: arithmetic error
    KIV_STATUS_ERROR_ARITHMETIC_ERR: ClassVar[kiv_status_t]
    #: floating point error
    KIV_STATUS_ERROR_FLOAT_POINT_ERR: ClassVar[kiv_status_t]
    #: underflow
    KIV_STATUS_ERROR_UNDERFLOW_ERR: ClassVar[kiv_status_t]
    #: overflow
    KIV_STATUS_ERROR_OVERFLOW_ERR: ClassVar[kiv_status_t]
    #: not a number
    KIV_STATUS_ERROR_NOT_A_NUMBER_ERR: ClassVar[kiv_status_t]
    #: infinity
    KIV_STATUS_ERROR_INFINITY_ERR: ClassVar[kiv_status_t]
    #: string length error
    KIV_STATUS_ERROR_STRING_LENGTH_ERR: ClassVar[kiv_status_t]
    #: division by zero
    KIV_STATUS_ERROR_ZERO_DIVISION_ERR: ClassVar[kiv_status_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str:
        """The member's name; ``"???"`` for a value without a member."""
    @property
    def value(self) -> int:
        """The member's value."""
    __members__: ClassVar[dict[str, kiv_status_t]]

# Every enumeration exports its members into the module namespace.
KIV_DEV_IDLE: kiv_device_status_t
KIV_DEV_BUSY: kiv_device_status_t
KIV_DEV_EXCEPTION: kiv_device_status_t

KIV_DATA_TYPE_NONE: kiv_data_type_t
KIV_DATA_TYPE_BOOL: kiv_data_type_t
KIV_DATA_TYPE_U8: kiv_data_type_t
KIV_DATA_TYPE_S8: kiv_data_type_t
KIV_DATA_TYPE_U16: kiv_data_type_t
KIV_DATA_TYPE_S16: kiv_data_type_t
KIV_DATA_TYPE_U32: kiv_data_type_t
KIV_DATA_TYPE_S32: kiv_data_type_t
KIV_DATA_TYPE_U64: kiv_data_type_t
KIV_DATA_TYPE_S64: kiv_data_type_t
KIV_DATA_TYPE_F16: kiv_data_type_t
KIV_DATA_TYPE_F32: kiv_data_type_t
KIV_DATA_TYPE_F64: kiv_data_type_t
KIV_DATA_TYPE_BF16: kiv_data_type_t
KIV_DATA_TYPE_ALIGNED_U4: kiv_data_type_t
KIV_DATA_TYPE_ALIGNED_S4: kiv_data_type_t
KIV_DATA_TYPE_ALIGNED_U12: kiv_data_type_t
KIV_DATA_TYPE_ALIGNED_S12: kiv_data_type_t
KIV_DATA_TYPE_COMPACT_U4: kiv_data_type_t
KIV_DATA_TYPE_COMPACT_S4: kiv_data_type_t
KIV_DATA_TYPE_COMPACT_U12: kiv_data_type_t
KIV_DATA_TYPE_COMPACT_S12: kiv_data_type_t

KIV_TENSOR_TYPE_INPUT: tensor_type_t
KIV_TENSOR_TYPE_OUTPUT: tensor_type_t
KIV_TENSOR_TYPE_INTER_DUMP: tensor_type_t
KIV_TENSOR_TYPE_PRINTF: tensor_type_t
KIV_TENSOR_TYPE_PROFILER: tensor_type_t
KIV_TENSOR_TYPE_LAYER_COUNTER: tensor_type_t
KIV_TENSOR_TYPE_ERROR_CODE: tensor_type_t
KIV_TENSOR_TYPE_OUT_TENSOR_SHAPE: tensor_type_t

KIV_JOB_STATUS_NO_STATUS: kiv_job_status_t
KIV_JOB_STATUS_DONE: kiv_job_status_t
KIV_JOB_STATUS_EXCEPTION: kiv_job_status_t

KIV_JOB_CONFIG_TYPE_DUMP_TEXT: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_WEIGHT: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_RODATA: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_DESCRIPTOR: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_INPUT: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_REUSE: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_TCB_CHAIN: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_EMULATION: kiv_config_type_t
KIV_JOB_CONFIG_TYPE_DUMP_PROFILE: kiv_config_type_t
KIV_CONFIG_TYPE_SIMULATION: kiv_config_type_t
KIV_CONFIG_TYPE_HW: kiv_config_type_t
KIV_GLOBAL_CONFIG_TYPE_DISABLE_VER_CHECK: kiv_config_type_t
KIV_GLOBAL_CONFIG_TYPE_ENABLE_VER_CHECK: kiv_config_type_t

KIV_IOCTL_SET_PROFILE: ioctl_cmd_t
KIV_IOCTL_GET_KIVBIN_BUILDVERSION: ioctl_cmd_t
KIV_IOCTL_GET_DS_NUM: ioctl_cmd_t
KIV_IOCTL_GET_DS_DIM_NUM: ioctl_cmd_t
KIV_IOCTL_GET_DS_INFO: ioctl_cmd_t
KIV_IOCTL_ALLOC_SHARE_BUF: ioctl_cmd_t
KIV_IOCTL_FREE_SHARE_BUF: ioctl_cmd_t
KIV_IOCTL_ALLOC_DMABUF: ioctl_cmd_t
KIV_IOCTL_FREE_DMABUF: ioctl_cmd_t
KIV_IOCTL_WRITE_DMABUF: ioctl_cmd_t
KIV_IOCTL_READ_DMABUF: ioctl_cmd_t
KIV_IOCTL_ATTACH_DMABUF: ioctl_cmd_t
KIV_IOCTL_DETACH_DMABUF: ioctl_cmd_t
KIV_IOCTL_GET_VERSION: ioctl_cmd_t

AIPU_IOCTL_EN_TICK_COUNTER: kiv_ioctl_tickcounter_t
AIPU_IOCTL_DI_TICK_COUNTER: kiv_ioctl_tickcounter_t

cpu: device_type_t
npu: device_type_t
gpu: device_type_t

KIV_STATUS_SUCCESS: kiv_status_t
KIV_STATUS_ERROR_NULL_PTR: kiv_status_t
KIV_STATUS_ERROR_INVALID_CTX: kiv_status_t
KIV_STATUS_ERROR_OPEN_DEV_FAIL: kiv_status_t
KIV_STATUS_ERROR_DEV_ABNORMAL: kiv_status_t
KIV_STATUS_ERROR_DEINIT_FAIL: kiv_status_t
KIV_STATUS_ERROR_INVALID_CONFIG: kiv_status_t
KIV_STATUS_ERROR_UNKNOWN_BIN: kiv_status_t
KIV_STATUS_ERROR_GVERSION_UNSUPPORTED: kiv_status_t
KIV_STATUS_ERROR_INVALID_GBIN: kiv_status_t
KIV_STATUS_ERROR_TARGET_NOT_FOUND: kiv_status_t
KIV_STATUS_ERROR_INVALID_GRAPH_ID: kiv_status_t
KIV_STATUS_ERROR_OPEN_FILE_FAIL: kiv_status_t
KIV_STATUS_ERROR_MAP_FILE_FAIL: kiv_status_t
KIV_STATUS_ERROR_READ_FILE_FAIL: kiv_status_t
KIV_STATUS_ERROR_WRITE_FILE_FAIL: kiv_status_t
KIV_STATUS_ERROR_INVALID_JOB_ID: kiv_status_t
KIV_STATUS_ERROR_JOB_EXCEPTION: kiv_status_t
KIV_STATUS_ERROR_JOB_TIMEOUT: kiv_status_t
KIV_STATUS_ERROR_OP_NOT_SUPPORTED: kiv_status_t
KIV_STATUS_ERROR_INVALID_OP: kiv_status_t
KIV_STATUS_ERROR_INVALID_SIZE: kiv_status_t
KIV_STATUS_ERROR_BUF_ALLOC_FAIL: kiv_status_t
KIV_STATUS_ERROR_BUF_FREE_FAIL: kiv_status_t
KIV_STATUS_ERROR_INVALID_CORE_ID: kiv_status_t
KIV_STATUS_ERROR_RESERVE_SRAM_FAIL: kiv_status_t
KIV_STATUS_ERROR_INVALID_TENSOR_ID: kiv_status_t
KIV_STATUS_ERROR_INVALID_CLUSTER_ID: kiv_status_t
KIV_STATUS_ERROR_INVALID_PARTITION_ID: kiv_status_t
KIV_STATUS_ERROR_PRINTF_FAIL: kiv_status_t
KIV_STATUS_ERROR_INVALID_TENSOR_TYPE: kiv_status_t
KIV_STATUS_ERROR_INVALID_GM: kiv_status_t
KIV_STATUS_ERROR_INVALID_SEGMMU: kiv_status_t
KIV_STATUS_ERROR_INVALID_QOS: kiv_status_t
KIV_STATUS_ERROR_INVALID_TENSOR_CNT: kiv_status_t
KIV_STATUS_ERROR_TIMEOUT: kiv_status_t
KIV_STATUS_ERROR_NO_BATCH_QUEUE: kiv_status_t
KIV_STATUS_ERROR_MARK_SHARED_TENSOR: kiv_status_t
KIV_STATUS_ERROR_SET_SHARED_TENSOR: kiv_status_t
KIV_STATUS_ERROR_DMABUF_SHARED_IO: kiv_status_t
KIV_STATUS_ERROR_GET_SHAPE_FAILED: kiv_status_t
KIV_STATUS_ERROR_SET_SHAPE_FAILED: kiv_status_t
KIV_STATUS_ERROR_NOT_CONFIG_SHAPE: kiv_status_t
KIV_STATUS_ERROR_UNMATCH_OUT_SHAPE: kiv_status_t
KIV_STATUS_ERROR_ZERO_TENSOR_SIZE: kiv_status_t
KIV_STATUS_ERROR_ALLOC_GRIP_ID: kiv_status_t
KIV_STATUS_ERROR_ALLOC_GROUP_ID: kiv_status_t
KIV_STATUS_ERROR_NOT_FOUND_IN_HASHTABLE: kiv_status_t
KIV_STATUS_ERROR_INVALID_COREDUMP: kiv_status_t
KIV_STATUS_ERROR_JOB_DISPATCH_FAIL: kiv_status_t
KIV_STATUS_MAX: kiv_status_t
KIV_STATUS_ERROR_UNKNOWN_ERROR: kiv_status_t
KIV_STATUS_ERROR_KEYBOARD_INTERRUPT: kiv_status_t
KIV_STATUS_ERROR_SYSTEM_ERR: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_SPEC: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_AIFF_SPEC: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_TPC_SPEC: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_DMA_SPEC: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_MEM_RANGE: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_SRAM_RANGE: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_LSRAM0_RANGE: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_LSRAM1_RANGE: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_GSRAM0_RANGE: kiv_status_t
KIV_STATUS_ERROR_OUT_OF_GSRAM1_RANGE: kiv_status_t
KIV_STATUS_ERROR_ARITHMETIC_ERR: kiv_status_t
KIV_STATUS_ERROR_FLOAT_POINT_ERR: kiv_status_t
KIV_STATUS_ERROR_UNDERFLOW_ERR: kiv_status_t
KIV_STATUS_ERROR_OVERFLOW_ERR: kiv_status_t
KIV_STATUS_ERROR_NOT_A_NUMBER_ERR: kiv_status_t
KIV_STATUS_ERROR_INFINITY_ERR: kiv_status_t
KIV_STATUS_ERROR_STRING_LENGTH_ERR: kiv_status_t
KIV_STATUS_ERROR_ZERO_DIVISION_ERR: kiv_status_t

class kiv_context_t:
    """A runtime context handle, made empty; kept for programs that name the
    type. No method takes it: an `NPU` holds its context itself."""

    def __init__(self) -> None: ...

class tensor_desc_t:
    """One tensor as the runtime describes it (`NPU.kiv_get_tensor_descriptor`):
    a copy, which belongs to the caller."""

    def __init__(self) -> None: ...
    #: The tensor's index in its list (0 in a descriptor of a failed call).
    id: int
    #: The tensor's size in bytes, which the tensor methods read and write.
    size: int
    #: The quantisation scale; a real value is scale * (code - zero_point).
    scale: float
    #: The quantisation zero point.
    zero_point: int
    #: The element type.
    data_type: kiv_data_type_t

class job_config_dump_t:
    """Where a job or a batch queue dumps (`NPU.kiv_config_job`,
    `NPU.kiv_config_batch_dump`). Only `dump_dir` and `prefix` reach the
    runtime, each only when not empty. Texts are kept as the bytes given
    (a str as UTF-8)."""

    def __init__(self) -> None: ...
    @property
    def dump_dir(self) -> str:
        """The directory the driver writes the dump files into; it must exist (default empty)."""
    @dump_dir.setter
    def dump_dir(self, value: _Text) -> None: ...
    @property
    def prefix(self) -> str:
        """The start of the dump files' names; empty leaves the driver's own (default empty)."""
    @prefix.setter
    def prefix(self, value: _Text) -> None: ...
    @property
    def output_prefix(self) -> str:
        """Kept in the record, never passed to the runtime."""
    @output_prefix.setter
    def output_prefix(self, value: _Text) -> None: ...
    @property
    def misc_prefix(self) -> str:
        """Kept in the record, never passed to the runtime."""
    @misc_prefix.setter
    def misc_prefix(self, value: _Text) -> None: ...

class job_config_simulation_t:
    """A job's simulator settings; no method of this module takes the record."""

    def __init__(self) -> None: ...
    @property
    def data_dir(self) -> str:
        """The simulator's data directory (default empty)."""
    @data_dir.setter
    def data_dir(self, value: _Text) -> None: ...

class aipu_global_config_simulation_t:
    """A simulator's global settings; no method of this module takes the
    record. Texts default to empty, numbers to 0 and flags to False, unless
    said otherwise."""

    def __init__(self) -> None: ...
    @property
    def simulator(self) -> str:
        """The simulator program's path."""
    @simulator.setter
    def simulator(self, value: _Text) -> None: ...
    @property
    def log_file_path(self) -> str:
        """The simulator's log file."""
    @log_file_path.setter
    def log_file_path(self, value: _Text) -> None: ...
    @property
    def npu_arch_desc(self) -> str:
        """The description of the simulated NPU's architecture."""
    @npu_arch_desc.setter
    def npu_arch_desc(self, value: _Text) -> None: ...
    @property
    def plugin_name(self) -> str:
        """The simulator plugin's name."""
    @plugin_name.setter
    def plugin_name(self, value: _Text) -> None: ...
    @property
    def json_filename(self) -> str:
        """The simulator's JSON settings file."""
    @json_filename.setter
    def json_filename(self, value: _Text) -> None: ...
    #: The simulator's log level.
    log_level: int
    #: The size of the simulated GM memory.
    gm_size: int
    #: Whether the simulator logs verbosely.
    verbose: bool
    #: Whether the simulator uses AVX instructions.
    enable_avx: bool
    #: Whether the simulator allocates zeroed memory.
    enable_calloc: bool
    #: Whether the simulator evaluates performance.
    en_eval: bool
    #: Whether the simulator models the L2D cache.
    en_l2d: bool
    #: Whether the simulator takes its fast performance mode.
    en_fast_perf: bool
    #: The simulated clock in MHz (default 1000).
    freq_mhz: int
    #: The simulated DDR read latency.
    ddr_latency_rd: int
    #: The simulated DDR write latency.
    ddr_latency_wr: int
    #: The simulated DDR bandwidth (default 256).
    ddr_bw: int
    #: The share of the DDR bandwidth the NPU gets (default 1.0).
    ddr_bw_ratio: float
    @property
    def perf_report(self) -> str:
        """The simulator's performance report file."""
    @perf_report.setter
    def perf_report(self, value: _Text) -> None: ...

class aipu_global_config_hw_t:
    """The hardware's global settings; no method of this module takes the record."""

    def __init__(self) -> None: ...
    #: Whether the driver polls for completions in the thread that commits jobs (default False).
    poll_in_commit_thread: bool

class aipu_core_info_t:
    """A core's description; no method of this module takes the record."""

    def __init__(self) -> None: ...
    #: The base address of the core's registers (default 0).
    reg_base: int

class aipu_bin_buildversion_t:
    """A graph's build version, as the driver's record holds it. `NPU.kiv_ioctl`
    builds the record itself from ``graph_id=`` (`ioctl_cmd_t.KIV_IOCTL_GET_KIVBIN_BUILDVERSION`)."""

    def __init__(self) -> None: ...
    #: The graph asked about (default 0).
    graph_id: int
    #: The graph's build version (default 0).
    aipubin_buildversion: int

class aipu_dynshape_num_t:
    """How many dynamic shapes a graph has; no method of this module takes the record."""

    def __init__(self) -> None: ...
    #: The graph asked about (default 0).
    graph_id: int
    #: The number of dynamic shapes (default 0).
    ds_num: int

class aipu_dynshape_dim_num_t:
    """The number of dimensions of a graph's dynamic shape; no method of this
    module takes the record."""

    def __init__(self) -> None: ...
    #: The graph asked about (default 0).
    graph_id: int
    #: The dynamic shape's index (default 0).
    ds_idx: int
    #: Whether the largest shape is asked for (default False); spelled with "hh".
    max_threshhold: bool
    @property
    def ds_dim_num(self) -> list[int]:
        """The dimension counts (a new list on every read; default empty)."""
    @ds_dim_num.setter
    def ds_dim_num(self, value: Sequence[int]) -> None: ...

class aipu_dynshape_info_t:
    """The dimensions of a graph's dynamic shape; no method of this module
    takes the record."""

    def __init__(self) -> None: ...
    #: The graph asked about (default 0).
    graph_id: int
    #: The dynamic shape's index (default 0).
    ds_idx: int
    #: Whether the largest shape is asked for (default False); spelled with "hh".
    max_threshhold: bool
    @property
    def ds_data(self) -> list[int]:
        """The dimensions (a new list on every read; default empty)."""
    @ds_data.setter
    def ds_data(self, value: Sequence[int]) -> None: ...

class kiv_dynshape_param_t:
    """Dynamic input shapes; no method of this module takes the record
    (`kiv_create_job_cfg_t.dynshape` carries them to `NPU.kiv_create_job`)."""

    def __init__(self) -> None: ...
    @property
    def shape_items(self) -> list[list[int]]:
        """One list of dimensions per input (a new list on every read; default empty)."""
    @shape_items.setter
    def shape_items(self, value: Sequence[Sequence[int]]) -> None: ...

class kiv_load_graph_cfg_t:
    """Where `NPU.kiv_load_graph` places a graph's weights. Numbers are kept as
    given (0 to 255) and narrowed to their field when the record is passed."""

    def __init__(self) -> None: ...
    #: The memory region of the weights; its low 4 bits reach the runtime (default 0).
    wt_mem_region: int
    @property
    def wt_idxes(self) -> list[int]:
        """The weights placed in that region (a new list on every read; default empty)."""
    @wt_idxes.setter
    def wt_idxes(self, value: Sequence[int]) -> None: ...
    @property
    def extra_weight_path(self) -> str:
        """A file of further weights for the driver to load; empty for none (the default)."""
    @extra_weight_path.setter
    def extra_weight_path(self, value: _Text) -> None: ...

class kiv_create_job_cfg_t:
    """How a job runs (`NPU.kiv_create_job`) or a batch queue's work
    (`NPU.kiv_finish_batch`, which leaves out `dynshape`). Numbers are kept
    as given (0 to 255) and narrowed to their bits when the record is passed;
    all default to 0, the lists to empty."""

    def __init__(self) -> None: ...
    #: The partition the job runs in; low 4 bits.
    partition_id: int
    #: Whether the job runs on `dbg_core_id` only; low bit.
    dbg_dispatch: int
    #: The core a `dbg_dispatch` job runs on; low 3 bits.
    dbg_core_id: int
    #: The job's QoS level (higher runs first when every core is busy); low 4 bits.
    qos_level: int
    #: The memory region of the feature maps; low 4 bits.
    fm_mem_region: int
    @property
    def fm_idxes(self) -> list[int]:
        """The feature maps placed in that region (a new list on every read)."""
    @fm_idxes.setter
    def fm_idxes(self, value: Sequence[int]) -> None: ...
    @property
    def dynshape(self) -> list[list[int]]:
        """One list of dimensions per input, in input order, for a graph with
        dynamic shapes (a new list on every read). It takes a list of lists:
        another sequence raises TypeError, an element that is no unsigned
        32-bit integer RuntimeError (the old value stays), and an item that
        is no list is left out, with the line "please provide list nest for
        dynamic input shape, even if there is only 1 input" on standard error."""
    @dynshape.setter
    def dynshape(self, value: list[list[int]]) -> None: ...

class NPU:
    """One runtime context and the runtime's operations on it.

    ``NPU()`` opens nothing: call `kiv_init_context` first, and
    `kiv_deinit_context` when done (an object dropped with its context open
    closes it). Each method calls the runtime function of its name with the
    object's context; without an open context (before `kiv_init_context`,
    after `kiv_deinit_context`, in a forked child) the runtime answers with
    status 64, the invalid-handle status. Methods may be called from several
    threads; those that wait (`kiv_job_infer_sync`, `kiv_get_job_status`
    with a timeout, `kiv_finish_batch`) hold the interpreter lock while they
    do.
    """

    def __init__(self) -> None: ...
    # Context, graph and job methods.
    def kiv_init_context(self) -> kiv_status_t:
        """Opens a runtime context on the NPU driver library that the
        environment variable AIPU_LIB_PATH names, else on ``libaipudrv.so``
        from the system's library search. A context this object holds is
        closed first.

        :returns: the status: KIV_STATUS_SUCCESS, or the failure, such as
            66 when no usable driver library can be loaded (the runtime's
            diagnostic log says why on standard error).

        Prints no ``[PY UMD ERROR]`` line.
        """
    def kiv_deinit_context(self) -> kiv_status_t:
        """Closes the context: the driver's context, the graphs and jobs left
        in it. The object holds no context afterwards, whatever the status,
        and later calls get status 64 (a second kiv_deinit_context too). The
        interpreter lock is released while the driver closes.

        :returns: the driver's status for the close.

        Prints no ``[PY UMD ERROR]`` line.
        """
    def kiv_get_error_message(self, status: _Int) -> str:
        """The runtime's text for a status: the driver's text for its codes,
        the runtime's for its own (64 to 69), ``unknown status`` for others.

        :param status: a `kiv_status_t` or its integer value.
        :returns: the text.
        :raises RuntimeError: "basic_string: construction from null is not
            valid", when no context is open (the runtime then has no text).
        """
    def kiv_load_graph(
        self, graph_bin: str, cfg: Optional[kiv_load_graph_cfg_t] = None
    ) -> tuple[kiv_status_t, int]:
        """Loads a zor model container as a graph.

        :param graph_bin: the container's path.
        :param cfg: where the weights go, or None for the driver's choice.
        :returns: ``(status, graph_id)``; after a failure
            ``(status, 18446744073709551615)``.
        :raises RuntimeError: ``cfg`` is neither None nor a `kiv_load_graph_cfg_t`.

        A failure prints ``[PY UMD ERROR] kiv_load_graph: <status text>``;
        a file the container reader cannot read (none, or not a container)
        also prints ``Error loading model: <path>`` on standard output.
        """
    def kiv_unload_graph(self, graph_id: _Int) -> kiv_status_t:
        """Unloads a graph, with its batch queues.

        :param graph_id: the graph, as kiv_load_graph gave it.
        :returns: the status.

        A failure prints ``[PY UMD ERROR] kiv_unload_graph: <status text>``.
        """
    def kiv_create_job(
        self, graph_id: _Int, cfg: Optional[kiv_create_job_cfg_t] = None
    ) -> tuple[kiv_status_t, int]:
        """Creates a job of a graph, to be loaded with inputs and run any
        number of times.

        :param graph_id: the graph.
        :param cfg: where and how the job runs (partition, core, QoS, feature
            maps, dynamic shapes), or None for the driver's choice.
        :returns: ``(status, job_id)``; after a failure ``(status, 0)``.
        :raises RuntimeError: ``cfg`` is neither None nor a `kiv_create_job_cfg_t`.

        A failure prints ``[PY UMD ERROR] kiv_create_job: <status text>``.
        """
    def kiv_config_job(self, job_id: _Int, types: _Int, cfg: job_config_dump_t) -> kiv_status_t:
        """Has the driver dump a job's tensors on every later run.

        :param job_id: the job.
        :param types: `kiv_config_type_t` dump flags combined as an integer,
            such as ``int(KIV_JOB_CONFIG_TYPE_DUMP_INPUT) | int(KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT)``.
        :param cfg: the directory and file name prefix of the dumps.
        :returns: the status (the stand-in NPU answers 6 for a directory that
            does not exist).
        :raises RuntimeError: ``cfg`` is not a `job_config_dump_t` (None included).

        A failure prints ``[PY UMD ERROR] kiv_config_job: <status text>``.
        """
    def kiv_job_infer_sync(self, job_id: _Int, time_out: _Int = -1) -> kiv_status_t:
        """Runs a job and waits for it to end, holding the interpreter lock.

        :param job_id: the job, its inputs loaded.
        :param time_out: how long to wait, in the driver's unit
            (milliseconds on the stand-in NPU); -1 waits as long as it takes.
        :returns: the status: KIV_STATUS_SUCCESS once the job ended well,
            KIV_STATUS_ERROR_JOB_EXCEPTION when it ended with an exception,
            KIV_STATUS_ERROR_JOB_TIMEOUT when the wait ran out (the job goes
            on running).

        A failure prints ``[PY UMD ERROR] kiv_job_infer_sync: <status text>``.
        """
    def kiv_job_infer_async(
        self, job_id: _Int, py_cb: Optional[Callable[[int, kiv_job_status_t], int]] = None
    ) -> kiv_status_t:
        """Starts a job and returns at once.

        :param job_id: the job, its inputs loaded.
        :param py_cb: called once when the job has ended, as ``py_cb(job_id,
            job_status)`` with a `kiv_job_status_t`, on a thread of the driver
            (holding the interpreter lock); the integer it returns goes back
            to the driver. What it raises, or a result that is no 32-bit
            integer, goes to ``sys.unraisablehook`` and the driver gets -1.
            None: nothing is called; ask `kiv_get_job_status`.
        :returns: the status of the start.
        :raises TypeError: ``py_cb`` is neither None nor callable.

        A failure prints ``[PY UMD ERROR] kiv_job_infer_async: <status text>``.
        """
    def kiv_get_job_status(self, job_id: _Int, timeout: _Int = -1) -> tuple[kiv_status_t, kiv_job_status_t]:
        """How a job stands, waiting for it to end at most `timeout`,
        holding the interpreter lock.

        :param job_id: the job.
        :param timeout: how long to wait for the end, in the driver's unit
            (milliseconds on the stand-in NPU); 0 asks without waiting, -1
            waits as long as it takes.
        :returns: ``(status, job_status)``: KIV_JOB_STATUS_DONE or
            KIV_JOB_STATUS_EXCEPTION once the job ended,
            KIV_JOB_STATUS_NO_STATUS while it runs; after a failure
            ``(status, KIV_JOB_STATUS_NO_STATUS)``.

        A failure prints ``[PY UMD ERROR] kiv_get_job_status: <status text>``.
        """
    def kiv_clean_job(self, job_id: _Int) -> kiv_status_t:
        """Frees a job (the stand-in NPU first waits for one that still runs).

        :param job_id: the job.
        :returns: the status.

        A failure prints ``[PY UMD ERROR] kiv_clean_job: <status text>``.
        """
    def kiv_get_tensor_count(self, graph_id: _Int, type: tensor_type_t) -> tuple[kiv_status_t, int]:
        """How many tensors of one kind a graph has.

        :param graph_id: the graph.
        :param type: the kind: inputs, outputs, profiler tensors, ...
        :returns: ``(status, count)``; after a failure ``(status, 0)``.

        A failure prints ``[PY UMD ERROR] kiv_get_tensor_count: <status text>``.
        """
    # Tensor data.
    def kiv_get_tensor_shape(
        self, zor_model: str, type: tensor_type_t, index: _Int
    ) -> tuple[kiv_status_t, str, list[int]]:
        """A tensor's name and shape, read from a container file. It needs no
        context and no loaded graph, and reads the file anew on each call.

        :param zor_model: the container's path.
        :param type: KIV_TENSOR_TYPE_INPUT or KIV_TENSOR_TYPE_OUTPUT.
        :param index: the tensor's index among them.
        :returns: ``(status, name, shape)``, the shape a list of ints; after a
            failure ``(status, "", [])``: KIV_STATUS_ERROR_INVALID_TENSOR_TYPE
            for another kind, KIV_STATUS_ERROR_INVALID_TENSOR_ID for an index
            past the last tensor.

        Prints no ``[PY UMD ERROR]`` line; a file the container reader cannot
        read prints ``Error loading model: <path>`` on standard output.
        """
    def kiv_get_tensor_descriptor(self, graph_id: _Int, type: tensor_type_t, tensor: _Int) -> tensor_desc_t:
        """A tensor's description: its size, element type and quantisation.

        :param graph_id: the graph (a job of it serves too).
        :param type: the tensor's kind.
        :param tensor: its index among them.
        :returns: a new `tensor_desc_t`; after a failure one whose fields are
            all 0 (no status is returned: a size of 0 tells).

        A failure prints ``[PY UMD ERROR] kiv_get_tensor_descriptor: <status text>``.
        """
    def kiv_load_tensor_from_file(self, job_id: _Int, tensor: _Int, filename: str) -> kiv_status_t:
        """Loads an input of a job from the start of a file, as many bytes as
        the input holds (a longer file is read only that far).

        :param job_id: the job.
        :param tensor: the input's index.
        :param filename: the file.
        :returns: the status: KIV_STATUS_ERROR_OPEN_FILE_FAIL for a file that
            cannot be opened, KIV_STATUS_ERROR_INVALID_SIZE for one shorter
            than the input, KIV_STATUS_ERROR_MAP_FILE_FAIL for one that cannot
            be mapped, else the runtime's.

        A failure prints its line: ``[PY UMD ERROR] kiv_get_tensor_descriptor:
        <status text>`` (no such job or input), ``[PY UMD ERROR] open file
        failed: <path>!``, ``[PY UMD ERROR] kiv_load_tensor_from_file: <path> is
        <n> bytes, tensor <i> needs <size>``, ``[PY UMD ERROR] RT failed in
        mapping graph file: <path>! (errno = <n>)``, or ``[PY UMD ERROR]
        kiv_load_tensor: <status text>``. The kind of object kiv_get_tensor
        returns stays as it was.
        """
    def kiv_load_tensor(self, job_id: _Int, tensor: _Int, hdl: Any) -> kiv_status_t:
        """Loads an input of a job from a bytes, bytearray or numpy array
        object: its raw bytes, whatever the array's dtype and shape (an
        array that is not C-contiguous through a contiguous copy), as many as
        the input holds. The kind of object also decides what
        `kiv_get_tensor` returns from then on, on this object.

        :param job_id: the job.
        :param tensor: the input's index.
        :param hdl: the data.
        :returns: the status: KIV_STATUS_ERROR_READ_FILE_FAIL (14) for an
            object of another kind, KIV_STATUS_ERROR_NULL_PTR (1) for an array
            numpy cannot convert, KIV_STATUS_ERROR_INVALID_SIZE for data
            shorter than the input, else the runtime's.

        A failure prints its line: ``[PY UMD ERROR] input tensor only supports
        bytes,bytearray or numpy array``, ``[PY UMD ERROR] numpy array is
        invalid``, ``[PY UMD ERROR] kiv_get_tensor_descriptor: <status text>``
        (no such job or input), ``[PY UMD ERROR] kiv_load_tensor: input is <n>
        bytes, tensor <i> needs <size>``, or ``[PY UMD ERROR] kiv_load_tensor:
        <status text>``.
        """
    def kiv_get_tensor(
        self, job_id: _Int, type: tensor_type_t, tensor: _Int
    ) -> tuple[kiv_status_t, Union[bytes, bytearray, numpy.typing.NDArray[numpy.uint8], None]]:
        """Reads a tensor of a job (an output once the job ran) into a new
        object of the tensor's size in bytes.

        :param job_id: the job.
        :param type: the tensor's kind.
        :param tensor: its index among them.
        :returns: ``(status, data)``: data is bytes, a bytearray or a 1-D uint8
            numpy array, following the kind of object last given to
            `kiv_load_tensor` on this NPU (bytes before any); bytes the driver
            does not write are 0. After a failure ``(status, None)``.

        A failure prints ``[PY UMD ERROR] kiv_get_tensor_descriptor: <status
        text>`` (no such job or tensor) or ``[PY UMD ERROR] kiv_get_tensor:
        <status text>``.
        """
    # ioctl: the keyword form takes the command's inputs as keywords and
    # returns a tuple led by the status; the data form writes a DMA buffer.
    @overload
    def kiv_ioctl(self, device: device_type_t, cmd: _Int, **kwargs: int) -> tuple[Any, ...]: ...
    @overload
    def kiv_ioctl(
        self, device: device_type_t, cmd: _Int, py_arg: dict[str, int], data: Union[str, bytes, bytearray]
    ) -> kiv_status_t:
        """Passes a command to the driver, in one of two forms.

        The keyword form, ``kiv_ioctl(device, cmd, **kwargs)``, takes the
        command's inputs as keywords (each `ioctl_cmd_t` member says which)
        and returns a tuple led by the status, with the command's results
        after it, whatever the status. A required keyword left out gives
        KIV_STATUS_ERROR_INVALID_CONFIG with zeros for the results, and
        prints ``[PY UMD ERROR] please provide kwargs <name>``; a command it
        does not serve gives ``(KIV_STATUS_ERROR_INVALID_OP,)`` and prints
        ``[PY UMD ERROR] kiv_ioctl invalid cmd <cmd>``. The driver's own
        failures print nothing. Commands 267 (attach, as 270), and 273, 274
        and 275 (no keywords, ``(status,)``) are served besides the members.
        KIV_IOCTL_ALLOC_SHARE_BUF's array views the shared buffer in place:
        it stays valid until KIV_IOCTL_FREE_SHARE_BUF frees the buffer, and
        is None when the driver gave none.

        The data form, ``kiv_ioctl(device, cmd, py_arg, data)``, writes
        ``py_arg["size"]`` bytes of ``data`` (a str as UTF-8, bytes or a
        bytearray) at ``py_arg["offset_in_dmabuf"]`` into the DMA buffer
        ``py_arg["dmabuf_fd"]`` (absent keys count as 0). ``cmd`` must be
        KIV_IOCTL_WRITE_DMABUF, else it returns KIV_STATUS_ERROR_INVALID_OP
        and prints ``[PY UMD ERROR] kiv_ioctl with 3 args must use cmd:
        AIPU_IOCTL_WRITE_DMABUF``; data shorter than the size gives
        KIV_STATUS_ERROR_INVALID_SIZE and ``[PY UMD ERROR] kiv_ioctl: data is
        <n> bytes, size is <size>``; a driver failure prints ``[PY UMD ERROR]
        kiv_ioctl: <status text>``. It returns the status alone.

        :param device: the device addressed, ``npu`` for the NPU.
        :param cmd: the command, an `ioctl_cmd_t` or its value.
        :param kwargs: the command's inputs (keyword form).
        :param py_arg: ``dmabuf_fd``, ``offset_in_dmabuf`` and ``size`` (data form).
        :param data: the bytes to write (data form).
        :returns: a tuple led by the status (keyword form); the status (data form).
        :raises RuntimeError: a keyword value that does not fit its field.
        :raises TypeError: ``data`` that is not a str, bytes or bytearray.
        """
    # Batch queues. kiv_add_batch keeps its buffers alive until the queue is
    # finished or cleaned.
    def kiv_create_batch_queue(self, graph_id: _Int) -> tuple[kiv_status_t, int]:
        """Opens a batch queue on a graph: sets of input and output buffers,
        run together by `kiv_finish_batch`.

        :param graph_id: the graph.
        :returns: ``(status, queue_id)``; after a failure ``(status, 0)``.

        A failure prints ``[PY UMD ERROR] kiv_create_batch_queue: <status text>``.
        """
    def kiv_clean_batch_queue(self, graph_id: _Int, queue_id: _Int) -> kiv_status_t:
        """Discards a batch queue, and the buffers it kept.

        :param graph_id: the graph.
        :param queue_id: the queue.
        :returns: the status (KIV_STATUS_ERROR_NO_BATCH_QUEUE for a queue the
            graph does not have).

        A failure prints ``[PY UMD ERROR] kiv_clean_batch_queue: <status text>``.
        """
    def kiv_config_batch_dump(
        self, graph_id: _Int, queue_id: _Int, types: _Int, dump_cfg: job_config_dump_t = ...
    ) -> kiv_status_t:
        """Has the driver dump the tensors of every set a queue runs later, as
        `kiv_config_job` does for a job. The stand-in NPU names the files
        ``<prefix>_<queue id>_<n>_input<i>.bin`` (and ``output``), ``n``
        counting the sets the queue ran, from 0 (prefix ``batch`` when
        empty).

        :param graph_id: the graph.
        :param queue_id: the queue.
        :param types: `kiv_config_type_t` dump flags combined as an integer.
        :param dump_cfg: the directory and file name prefix of the dumps.
        :returns: the status.
        :raises RuntimeError: ``dump_cfg`` is not a `job_config_dump_t` (also
            when left out: its default is an empty dict).

        A failure prints ``[PY UMD ERROR] kiv_config_batch_dump: <status text>``.
        """
    def kiv_add_batch(
        self, graph_id: _Int, queue_id: _Int, inputs: Sequence[_Buffer], outputs: Sequence[_WritableBuffer]
    ) -> kiv_status_t:
        """Queues one set of buffers: one per input and one per output of the
        graph, in tensor order, each at least the tensor's size. The outputs
        are written in place when the queue's work is finished. The queue
        keeps a reference to every buffer until it is finished or cleaned; a
        bytearray must not be resized meanwhile.

        :param graph_id: the graph.
        :param queue_id: the queue.
        :param inputs: bytes, bytearray or numpy arrays (one that is not
            C-contiguous through a copy).
        :param outputs: bytearray or writable C-contiguous numpy arrays.
        :returns: the status: KIV_STATUS_ERROR_NULL_PTR (1) for a buffer it
            refuses, KIV_STATUS_ERROR_INVALID_TENSOR_CNT for a count other than
            the graph's, KIV_STATUS_ERROR_INVALID_SIZE for a buffer shorter
            than its tensor, else the runtime's. Nothing is queued after a
            failure.

        A failure prints its line: ``[PY UMD ERROR] kiv_add_batch only accepts
        bytes, bytearray or numpy array``, ``[PY UMD ERROR] kiv_add_batch
        cannot accept `bytes` object for output, provide bytearray or numpy
        array``, ``[PY UMD ERROR] numpy array is invalid``, ``[PY UMD ERROR]
        kiv_add_batch output <i> is not a C-contiguous numpy array`` (or ``is a
        read-only numpy array``), ``[PY UMD ERROR] kiv_add_batch: <n> inputs
        given, graph has <count>`` (or outputs), ``[PY UMD ERROR]
        kiv_add_batch: input <i> is <n> bytes, tensor needs <size>`` (or
        output), ``[PY UMD ERROR] kiv_get_tensor_count: <status text>`` or
        ``[PY UMD ERROR] kiv_get_tensor_descriptor: <status text>`` (no such
        graph), or ``[PY UMD ERROR] kiv_add_batch: <status text>``.
        """
    def kiv_finish_batch(
        self, graph_id: _Int, queue_id: _Int, cfg: Optional[kiv_create_job_cfg_t] = None
    ) -> kiv_status_t:
        """Runs every set queued and waits until all are done, holding the
        interpreter lock; their outputs are then written. The queue is empty
        afterwards and takes new sets.

        :param graph_id: the graph.
        :param queue_id: the queue.
        :param cfg: where and how the sets run, as for `kiv_create_job`
            (without dynamic shapes), or None for the driver's choice.
        :returns: the status (KIV_STATUS_ERROR_JOB_EXCEPTION when a set ended
            with an exception; the others still ran).
        :raises RuntimeError: ``cfg`` is neither None nor a `kiv_create_job_cfg_t`.

        A failure prints ``[PY UMD ERROR] kiv_finish_batch: <status text>``.
        """
