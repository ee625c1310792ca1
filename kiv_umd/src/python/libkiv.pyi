"""ZOR KIV UMD python APIs

Type stub of the libkiv extension module: the enumerations, the configuration
and result records, and the NPU class. Runtime failures are not exceptions:
methods return a kiv_status_t (alone or first in a tuple) and print a
"[PY UMD ERROR] " line on standard error.
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
    """Device status reported by the driver."""

    KIV_DEV_IDLE: ClassVar[kiv_device_status_t]
    KIV_DEV_BUSY: ClassVar[kiv_device_status_t]
    KIV_DEV_EXCEPTION: ClassVar[kiv_device_status_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, kiv_device_status_t]]

class kiv_data_type_t:
    """Element type of a tensor."""

    KIV_DATA_TYPE_NONE: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_BOOL: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_U8: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_S8: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_U16: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_S16: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_U32: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_S32: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_U64: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_S64: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_F16: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_F32: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_F64: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_BF16: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_ALIGNED_U4: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_ALIGNED_S4: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_ALIGNED_U12: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_ALIGNED_S12: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_COMPACT_U4: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_COMPACT_S4: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_COMPACT_U12: ClassVar[kiv_data_type_t]
    KIV_DATA_TYPE_COMPACT_S12: ClassVar[kiv_data_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, kiv_data_type_t]]

class tensor_type_t:
    """Kind of tensor of a graph or job."""

    KIV_TENSOR_TYPE_INPUT: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_OUTPUT: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_INTER_DUMP: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_PRINTF: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_PROFILER: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_LAYER_COUNTER: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_ERROR_CODE: ClassVar[tensor_type_t]
    KIV_TENSOR_TYPE_OUT_TENSOR_SHAPE: ClassVar[tensor_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, tensor_type_t]]

class kiv_job_status_t:
    """Completion state of a job."""

    KIV_JOB_STATUS_NO_STATUS: ClassVar[kiv_job_status_t]
    KIV_JOB_STATUS_DONE: ClassVar[kiv_job_status_t]
    KIV_JOB_STATUS_EXCEPTION: ClassVar[kiv_job_status_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, kiv_job_status_t]]

class kiv_config_type_t:
    """Job and global configuration flags; combine them as integers."""

    KIV_JOB_CONFIG_TYPE_DUMP_TEXT: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_WEIGHT: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_RODATA: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_DESCRIPTOR: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_INPUT: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_REUSE: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_TCB_CHAIN: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_EMULATION: ClassVar[kiv_config_type_t]
    KIV_JOB_CONFIG_TYPE_DUMP_PROFILE: ClassVar[kiv_config_type_t]
    KIV_CONFIG_TYPE_SIMULATION: ClassVar[kiv_config_type_t]
    KIV_CONFIG_TYPE_HW: ClassVar[kiv_config_type_t]
    KIV_GLOBAL_CONFIG_TYPE_DISABLE_VER_CHECK: ClassVar[kiv_config_type_t]
    KIV_GLOBAL_CONFIG_TYPE_ENABLE_VER_CHECK: ClassVar[kiv_config_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, kiv_config_type_t]]

class ioctl_cmd_t:
    """Commands of NPU.kiv_ioctl."""

    KIV_IOCTL_SET_PROFILE: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_GET_KIVBIN_BUILDVERSION: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_GET_DS_NUM: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_GET_DS_DIM_NUM: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_GET_DS_INFO: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_ALLOC_SHARE_BUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_FREE_SHARE_BUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_ALLOC_DMABUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_FREE_DMABUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_WRITE_DMABUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_READ_DMABUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_ATTACH_DMABUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_DETACH_DMABUF: ClassVar[ioctl_cmd_t]
    KIV_IOCTL_GET_VERSION: ClassVar[ioctl_cmd_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, ioctl_cmd_t]]

class kiv_ioctl_tickcounter_t:
    """Tick counter switch values."""

    AIPU_IOCTL_EN_TICK_COUNTER: ClassVar[kiv_ioctl_tickcounter_t]
    AIPU_IOCTL_DI_TICK_COUNTER: ClassVar[kiv_ioctl_tickcounter_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, kiv_ioctl_tickcounter_t]]

class device_type_t:
    """Device a command is addressed to."""

    cpu: ClassVar[device_type_t]
    npu: ClassVar[device_type_t]
    gpu: ClassVar[device_type_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    __members__: ClassVar[dict[str, device_type_t]]

class kiv_status_t:
    """Status of every runtime call. Codes without a member (64 to 69) still come back as kiv_status_t objects."""

    KIV_STATUS_SUCCESS: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_NULL_PTR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_CTX: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OPEN_DEV_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_DEV_ABNORMAL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_DEINIT_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_CONFIG: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_UNKNOWN_BIN: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_GVERSION_UNSUPPORTED: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_GBIN: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_TARGET_NOT_FOUND: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_GRAPH_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OPEN_FILE_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_MAP_FILE_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_READ_FILE_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_WRITE_FILE_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_JOB_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_JOB_EXCEPTION: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_JOB_TIMEOUT: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OP_NOT_SUPPORTED: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_OP: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_SIZE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_BUF_ALLOC_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_BUF_FREE_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_CORE_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_RESERVE_SRAM_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_TENSOR_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_CLUSTER_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_PARTITION_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_PRINTF_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_TENSOR_TYPE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_GM: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_SEGMMU: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_QOS: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_TENSOR_CNT: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_TIMEOUT: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_NO_BATCH_QUEUE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_MARK_SHARED_TENSOR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_SET_SHARED_TENSOR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_DMABUF_SHARED_IO: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_GET_SHAPE_FAILED: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_SET_SHAPE_FAILED: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_NOT_CONFIG_SHAPE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_UNMATCH_OUT_SHAPE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_ZERO_TENSOR_SIZE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_ALLOC_GRIP_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_ALLOC_GROUP_ID: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_NOT_FOUND_IN_HASHTABLE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INVALID_COREDUMP: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_JOB_DISPATCH_FAIL: ClassVar[kiv_status_t]
    KIV_STATUS_MAX: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_UNKNOWN_ERROR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_KEYBOARD_INTERRUPT: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_SYSTEM_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_SPEC: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_AIFF_SPEC: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_TPC_SPEC: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_DMA_SPEC: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_MEM_RANGE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_SRAM_RANGE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_LSRAM0_RANGE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_LSRAM1_RANGE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_GSRAM0_RANGE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OUT_OF_GSRAM1_RANGE: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_ARITHMETIC_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_FLOAT_POINT_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_UNDERFLOW_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_OVERFLOW_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_NOT_A_NUMBER_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_INFINITY_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_STRING_LENGTH_ERR: ClassVar[kiv_status_t]
    KIV_STATUS_ERROR_ZERO_DIVISION_ERR: ClassVar[kiv_status_t]

    def __init__(self, value: SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
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
    """A runtime context handle; constructed empty. No method takes it."""

    def __init__(self) -> None: ...

class tensor_desc_t:
    """Descriptor of one tensor: index, byte size and quantisation."""

    def __init__(self) -> None: ...
    id: int
    size: int
    scale: float
    zero_point: int
    data_type: kiv_data_type_t

class job_config_dump_t:
    """Dump options of a job or batch queue; only dump_dir and prefix reach the runtime."""

    def __init__(self) -> None: ...
    @property
    def dump_dir(self) -> str: ...
    @dump_dir.setter
    def dump_dir(self, value: _Text) -> None: ...
    @property
    def prefix(self) -> str: ...
    @prefix.setter
    def prefix(self, value: _Text) -> None: ...
    @property
    def output_prefix(self) -> str: ...
    @output_prefix.setter
    def output_prefix(self, value: _Text) -> None: ...
    @property
    def misc_prefix(self) -> str: ...
    @misc_prefix.setter
    def misc_prefix(self, value: _Text) -> None: ...

class job_config_simulation_t:
    def __init__(self) -> None: ...
    @property
    def data_dir(self) -> str: ...
    @data_dir.setter
    def data_dir(self, value: _Text) -> None: ...

class aipu_global_config_simulation_t:
    def __init__(self) -> None: ...
    @property
    def simulator(self) -> str: ...
    @simulator.setter
    def simulator(self, value: _Text) -> None: ...
    @property
    def log_file_path(self) -> str: ...
    @log_file_path.setter
    def log_file_path(self, value: _Text) -> None: ...
    @property
    def npu_arch_desc(self) -> str: ...
    @npu_arch_desc.setter
    def npu_arch_desc(self, value: _Text) -> None: ...
    @property
    def plugin_name(self) -> str: ...
    @plugin_name.setter
    def plugin_name(self, value: _Text) -> None: ...
    @property
    def json_filename(self) -> str: ...
    @json_filename.setter
    def json_filename(self, value: _Text) -> None: ...
    log_level: int
    gm_size: int
    verbose: bool
    enable_avx: bool
    enable_calloc: bool
    en_eval: bool
    en_l2d: bool
    en_fast_perf: bool
    freq_mhz: int
    ddr_latency_rd: int
    ddr_latency_wr: int
    ddr_bw: int
    ddr_bw_ratio: float
    @property
    def perf_report(self) -> str: ...
    @perf_report.setter
    def perf_report(self, value: _Text) -> None: ...

class aipu_global_config_hw_t:
    def __init__(self) -> None: ...
    poll_in_commit_thread: bool

class aipu_core_info_t:
    def __init__(self) -> None: ...
    reg_base: int

class aipu_bin_buildversion_t:
    def __init__(self) -> None: ...
    graph_id: int
    aipubin_buildversion: int

class aipu_dynshape_num_t:
    def __init__(self) -> None: ...
    graph_id: int
    ds_num: int

class aipu_dynshape_dim_num_t:
    def __init__(self) -> None: ...
    graph_id: int
    ds_idx: int
    max_threshhold: bool
    @property
    def ds_dim_num(self) -> list[int]: ...
    @ds_dim_num.setter
    def ds_dim_num(self, value: Sequence[int]) -> None: ...

class aipu_dynshape_info_t:
    def __init__(self) -> None: ...
    graph_id: int
    ds_idx: int
    max_threshhold: bool
    @property
    def ds_data(self) -> list[int]: ...
    @ds_data.setter
    def ds_data(self, value: Sequence[int]) -> None: ...

class kiv_dynshape_param_t:
    def __init__(self) -> None: ...
    @property
    def shape_items(self) -> list[list[int]]: ...
    @shape_items.setter
    def shape_items(self, value: Sequence[Sequence[int]]) -> None: ...

class kiv_load_graph_cfg_t:
    """Configuration of NPU.kiv_load_graph."""

    def __init__(self) -> None: ...
    wt_mem_region: int
    @property
    def wt_idxes(self) -> list[int]: ...
    @wt_idxes.setter
    def wt_idxes(self, value: Sequence[int]) -> None: ...
    @property
    def extra_weight_path(self) -> str: ...
    @extra_weight_path.setter
    def extra_weight_path(self, value: _Text) -> None: ...

class kiv_create_job_cfg_t:
    """Configuration of NPU.kiv_create_job and NPU.kiv_finish_batch."""

    def __init__(self) -> None: ...
    partition_id: int
    dbg_dispatch: int
    dbg_core_id: int
    qos_level: int
    fm_mem_region: int
    @property
    def fm_idxes(self) -> list[int]: ...
    @fm_idxes.setter
    def fm_idxes(self, value: Sequence[int]) -> None: ...
    @property
    def dynshape(self) -> list[list[int]]: ...
    @dynshape.setter
    def dynshape(self, value: list[list[int]]) -> None: ...

class NPU:
    """One runtime context and the operations on it. NPU() opens nothing;
    call kiv_init_context first and kiv_deinit_context when done."""

    def __init__(self) -> None: ...
    # Context, graph and job methods.
    def kiv_init_context(self) -> kiv_status_t: ...
    def kiv_deinit_context(self) -> kiv_status_t: ...
    def kiv_get_error_message(self, status: _Int) -> str: ...
    def kiv_load_graph(
        self, graph_bin: str, cfg: Optional[kiv_load_graph_cfg_t] = None
    ) -> tuple[kiv_status_t, int]: ...
    def kiv_unload_graph(self, graph_id: _Int) -> kiv_status_t: ...
    def kiv_create_job(
        self, graph_id: _Int, cfg: Optional[kiv_create_job_cfg_t] = None
    ) -> tuple[kiv_status_t, int]: ...
    def kiv_config_job(self, job_id: _Int, types: _Int, cfg: job_config_dump_t) -> kiv_status_t: ...
    def kiv_job_infer_sync(self, job_id: _Int, time_out: _Int = -1) -> kiv_status_t: ...
    def kiv_job_infer_async(
        self, job_id: _Int, py_cb: Optional[Callable[[int, kiv_job_status_t], int]] = None
    ) -> kiv_status_t: ...
    def kiv_get_job_status(self, job_id: _Int, timeout: _Int = -1) -> tuple[kiv_status_t, kiv_job_status_t]: ...
    def kiv_clean_job(self, job_id: _Int) -> kiv_status_t: ...
    def kiv_get_tensor_count(self, graph_id: _Int, type: tensor_type_t) -> tuple[kiv_status_t, int]: ...
    # Tensor data. kiv_get_tensor returns bytes, bytearray or a 1-D uint8
    # numpy array, following the kind of object last given to kiv_load_tensor.
    def kiv_get_tensor_shape(
        self, zor_model: str, type: tensor_type_t, index: _Int
    ) -> tuple[kiv_status_t, str, list[int]]: ...
    def kiv_get_tensor_descriptor(self, graph_id: _Int, type: tensor_type_t, tensor: _Int) -> tensor_desc_t: ...
    def kiv_load_tensor_from_file(self, job_id: _Int, tensor: _Int, filename: str) -> kiv_status_t: ...
    def kiv_load_tensor(self, job_id: _Int, tensor: _Int, hdl: Any) -> kiv_status_t: ...
    def kiv_get_tensor(
        self, job_id: _Int, type: tensor_type_t, tensor: _Int
    ) -> tuple[kiv_status_t, Union[bytes, bytearray, numpy.typing.NDArray[numpy.uint8], None]]: ...
    # ioctl: the keyword form takes the command's inputs as keywords and
    # returns a tuple led by the status; the data form writes a DMA buffer.
    @overload
    def kiv_ioctl(self, device: device_type_t, cmd: _Int, **kwargs: int) -> tuple[Any, ...]: ...
    @overload
    def kiv_ioctl(
        self, device: device_type_t, cmd: _Int, py_arg: dict[str, int], data: Union[str, bytes, bytearray]
    ) -> kiv_status_t: ...
    # Batch queues. Buffers given to kiv_add_batch must stay alive and
    # unresized until kiv_finish_batch has returned.
    def kiv_create_batch_queue(self, graph_id: _Int) -> tuple[kiv_status_t, int]: ...
    def kiv_clean_batch_queue(self, graph_id: _Int, queue_id: _Int) -> kiv_status_t: ...
    def kiv_config_batch_dump(
        self, graph_id: _Int, queue_id: _Int, types: _Int, dump_cfg: job_config_dump_t = ...
    ) -> kiv_status_t: ...
    def kiv_add_batch(
        self, graph_id: _Int, queue_id: _Int, inputs: Sequence[_Buffer], outputs: Sequence[_WritableBuffer]
    ) -> kiv_status_t: ...
    def kiv_finish_batch(
        self, graph_id: _Int, queue_id: _Int, cfg: Optional[kiv_create_job_cfg_t] = None
    ) -> kiv_status_t: ...
