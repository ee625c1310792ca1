#include "status_texts.h"

#include "kiv_api.h"

namespace standin {

const char* status_text(uint32_t status) {
    switch (status) {
        case KIV_STATUS_SUCCESS:
            return "success";
        case KIV_STATUS_ERROR_NULL_PTR:
            return "null pointer argument";
        case KIV_STATUS_ERROR_INVALID_CTX:
            return "invalid driver context";
        case KIV_STATUS_ERROR_OPEN_DEV_FAIL:
            return "cannot open the NPU device";
        case KIV_STATUS_ERROR_DEV_ABNORMAL:
            return "NPU device in abnormal state";
        case KIV_STATUS_ERROR_DEINIT_FAIL:
            return "context deinitialisation failed";
        case KIV_STATUS_ERROR_INVALID_CONFIG:
            return "invalid configuration";
        case KIV_STATUS_ERROR_UNKNOWN_BIN:
            return "unknown executable format or version";
        case KIV_STATUS_ERROR_GVERSION_UNSUPPORTED:
            return "graph version not supported";
        case KIV_STATUS_ERROR_INVALID_GBIN:
            return "invalid graph executable";
        case KIV_STATUS_ERROR_TARGET_NOT_FOUND:
            return "target not found";
        case KIV_STATUS_ERROR_INVALID_GRAPH_ID:
            return "invalid graph id";
        case KIV_STATUS_ERROR_OPEN_FILE_FAIL:
            return "cannot open file";
        case KIV_STATUS_ERROR_MAP_FILE_FAIL:
            return "cannot map file";
        case KIV_STATUS_ERROR_READ_FILE_FAIL:
            return "cannot read file";
        case KIV_STATUS_ERROR_WRITE_FILE_FAIL:
            return "cannot write file";
        case KIV_STATUS_ERROR_INVALID_JOB_ID:
            return "invalid job id";
        case KIV_STATUS_ERROR_JOB_EXCEPTION:
            return "job ended with an exception";
        case KIV_STATUS_ERROR_JOB_TIMEOUT:
            return "job timed out";
        case KIV_STATUS_ERROR_OP_NOT_SUPPORTED:
            return "operation not supported";
        case KIV_STATUS_ERROR_INVALID_OP:
            return "invalid operation";
        case KIV_STATUS_ERROR_INVALID_SIZE:
            return "invalid size";
        case KIV_STATUS_ERROR_BUF_ALLOC_FAIL:
            return "buffer allocation failed";
        case KIV_STATUS_ERROR_BUF_FREE_FAIL:
            return "buffer release failed";
        case KIV_STATUS_ERROR_INVALID_CORE_ID:
            return "invalid core id";
        case KIV_STATUS_ERROR_RESERVE_SRAM_FAIL:
            return "cannot reserve SRAM";
        case KIV_STATUS_ERROR_INVALID_TENSOR_ID:
            return "invalid tensor id";
        case KIV_STATUS_ERROR_INVALID_CLUSTER_ID:
            return "invalid cluster id";
        case KIV_STATUS_ERROR_INVALID_PARTITION_ID:
            return "invalid partition id";
        case KIV_STATUS_ERROR_PRINTF_FAIL:
            return "printf buffer failure";
        case KIV_STATUS_ERROR_INVALID_TENSOR_TYPE:
            return "invalid tensor type";
        case KIV_STATUS_ERROR_INVALID_GM:
            return "invalid GM configuration";
        case KIV_STATUS_ERROR_INVALID_SEGMMU:
            return "invalid SegMMU configuration";
        case KIV_STATUS_ERROR_INVALID_QOS:
            return "invalid QoS level";
        case KIV_STATUS_ERROR_INVALID_TENSOR_CNT:
            return "invalid tensor count";
        case KIV_STATUS_ERROR_TIMEOUT:
            return "operation timed out";
        case KIV_STATUS_ERROR_NO_BATCH_QUEUE:
            return "no such batch queue";
        case KIV_STATUS_ERROR_MARK_SHARED_TENSOR:
            return "cannot mark shared tensor";
        case KIV_STATUS_ERROR_SET_SHARED_TENSOR:
            return "cannot set shared tensor";
        case KIV_STATUS_ERROR_DMABUF_SHARED_IO:
            return "DMA buffer shared IO failure";
        case KIV_STATUS_ERROR_GET_SHAPE_FAILED:
            return "cannot get tensor shape";
        case KIV_STATUS_ERROR_SET_SHAPE_FAILED:
            return "cannot set tensor shape";
        case KIV_STATUS_ERROR_NOT_CONFIG_SHAPE:
            return "dynamic shape not configured";
        case KIV_STATUS_ERROR_UNMATCH_OUT_SHAPE:
            return "output shape does not match";
        case KIV_STATUS_ERROR_ZERO_TENSOR_SIZE:
            return "tensor size is zero";
        case KIV_STATUS_ERROR_ALLOC_GRIP_ID:
            return "cannot allocate grid id";
        case KIV_STATUS_ERROR_ALLOC_GROUP_ID:
            return "cannot allocate group id";
        case KIV_STATUS_ERROR_NOT_FOUND_IN_HASHTABLE:
            return "id not found";
        case KIV_STATUS_ERROR_INVALID_COREDUMP:
            return "invalid core dump";
        case KIV_STATUS_ERROR_JOB_DISPATCH_FAIL:
            return "job dispatch failed";
        case KIV_STATUS_MAX:
            return "status limit";
        case KIV_STATUS_ERROR_INVALID_HANDLE:
            return "invalid runtime handle";
        case KIV_STATUS_ERROR_OUT_OF_MEMORY:
            return "out of memory";
        case KIV_STATUS_ERROR_BACKEND_LOAD_FAIL:
            return "backend load failed";
        case KIV_STATUS_ERROR_NOT_IMPLEMENTED:
            return "not implemented";
        case KIV_STATUS_ERROR_INTERNAL:
            return "internal error";
        case KIV_STATUS_ERROR_UNKNOWN_ERROR:
            return "unknown error";
        case KIV_STATUS_ERROR_KEYBOARD_INTERRUPT:
            return "keyboard interrupt";
        case KIV_STATUS_ERROR_SYSTEM_ERR:
            return "system error";
        case KIV_STATUS_ERROR_OUT_OF_SPEC:
            return "outside the hardware limits";
        case KIV_STATUS_ERROR_OUT_OF_AIFF_SPEC:
            return "outside the AIFF unit limits";
        case KIV_STATUS_ERROR_OUT_OF_TPC_SPEC:
            return "outside the TPC unit limits";
        case KIV_STATUS_ERROR_OUT_OF_DMA_SPEC:
            return "outside the DMA unit limits";
        case KIV_STATUS_ERROR_OUT_OF_MEM_RANGE:
            return "memory access out of range";
        case KIV_STATUS_ERROR_OUT_OF_SRAM_RANGE:
            return "SRAM access out of range";
        case KIV_STATUS_ERROR_OUT_OF_LSRAM0_RANGE:
            return "LSRAM0 access out of range";
        case KIV_STATUS_ERROR_OUT_OF_LSRAM1_RANGE:
            return "LSRAM1 access out of range";
        case KIV_STATUS_ERROR_OUT_OF_GSRAM0_RANGE:
            return "GSRAM0 access out of range";
        case KIV_STATUS_ERROR_OUT_OF_GSRAM1_RANGE:
            return "GSRAM1 access out of range";
        case KIV_STATUS_ERROR_ARITHMETIC_ERR:
            return "arithmetic error";
        case KIV_STATUS_ERROR_FLOAT_POINT_ERR:
            return "floating point error";
        case KIV_STATUS_ERROR_UNDERFLOW_ERR:
            return "underflow";
        case KIV_STATUS_ERROR_OVERFLOW_ERR:
            return "overflow";
        case KIV_STATUS_ERROR_NOT_A_NUMBER_ERR:
            return "not a number";
        case KIV_STATUS_ERROR_INFINITY_ERR:
            return "infinity";
        case KIV_STATUS_ERROR_STRING_LENGTH_ERR:
            return "string length error";
        case KIV_STATUS_ERROR_ZERO_DIVISION_ERR:
            return "division by zero";
        default:
            return "unknown status";
    }
}

}  // namespace standin
