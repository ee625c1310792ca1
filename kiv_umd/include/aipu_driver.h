// The AIPU user-mode driver interface as libkiv uses it: the 28 entry points
// that the runtime binds by name, the records that cross them, and the values
// they carry (statuses, element and tensor types, configuration flags, device
// and job statuses, ioctl commands). A driver, the stand-in included, needs
// nothing else; the runtime's API (kiv_api.h) takes its values from here.
// Layouts are fixed byte for byte (little-endian, natural alignment) because
// the Python module builds these records and the runtime passes them through.
#ifndef AIPU_DRIVER_H
#define AIPU_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <functional>

// A status: one of the lists below, or a code a driver adds; 0 is success.
typedef uint32_t aipu_status_t;

// Every named status, with what it means: X(name without prefix, value,
// text). A driver reports the codes of the first list; those of the second
// are the runtime's own and never come from a driver. kiv_status_t
// (kiv_api.h), the Python module's kiv_status_t, the stand-in's texts and the
// kiv package's texts for the runtime's codes are all made from these lists.
// clang-format off
#define AIPU_DRIVER_STATUS_LIST(X) \
    X(SUCCESS, 0, "success") \
    X(ERROR_NULL_PTR, 1, "null pointer argument") \
    X(ERROR_INVALID_CTX, 2, "invalid driver context") \
    X(ERROR_OPEN_DEV_FAIL, 3, "cannot open the NPU device") \
    X(ERROR_DEV_ABNORMAL, 4, "NPU device in abnormal state") \
    X(ERROR_DEINIT_FAIL, 5, "context deinitialisation failed") \
    X(ERROR_INVALID_CONFIG, 6, "invalid configuration") \
    X(ERROR_UNKNOWN_BIN, 7, "unknown executable format or version") \
    X(ERROR_GVERSION_UNSUPPORTED, 8, "graph version not supported") \
    X(ERROR_INVALID_GBIN, 9, "invalid graph executable") \
    X(ERROR_TARGET_NOT_FOUND, 10, "target not found") \
    X(ERROR_INVALID_GRAPH_ID, 11, "invalid graph id") \
    X(ERROR_OPEN_FILE_FAIL, 12, "cannot open file") \
    X(ERROR_MAP_FILE_FAIL, 13, "cannot map file") \
    X(ERROR_READ_FILE_FAIL, 14, "cannot read file") \
    X(ERROR_WRITE_FILE_FAIL, 15, "cannot write file") \
    X(ERROR_INVALID_JOB_ID, 16, "invalid job id") \
    X(ERROR_JOB_EXCEPTION, 17, "job ended with an exception") \
    X(ERROR_JOB_TIMEOUT, 18, "job timed out") \
    X(ERROR_OP_NOT_SUPPORTED, 19, "operation not supported") \
    X(ERROR_INVALID_OP, 20, "invalid operation") \
    X(ERROR_INVALID_SIZE, 21, "invalid size") \
    X(ERROR_BUF_ALLOC_FAIL, 22, "buffer allocation failed") \
    X(ERROR_BUF_FREE_FAIL, 23, "buffer release failed") \
    X(ERROR_INVALID_CORE_ID, 24, "invalid core id") \
    X(ERROR_RESERVE_SRAM_FAIL, 25, "cannot reserve SRAM") \
    X(ERROR_INVALID_TENSOR_ID, 26, "invalid tensor id") \
    X(ERROR_INVALID_CLUSTER_ID, 27, "invalid cluster id") \
    X(ERROR_INVALID_PARTITION_ID, 28, "invalid partition id") \
    X(ERROR_PRINTF_FAIL, 29, "printf buffer failure") \
    X(ERROR_INVALID_TENSOR_TYPE, 30, "invalid tensor type") \
    X(ERROR_INVALID_GM, 31, "invalid GM configuration") \
    X(ERROR_INVALID_SEGMMU, 32, "invalid SegMMU configuration") \
    X(ERROR_INVALID_QOS, 33, "invalid QoS level") \
    X(ERROR_INVALID_TENSOR_CNT, 34, "invalid tensor count") \
    X(ERROR_TIMEOUT, 35, "operation timed out") \
    X(ERROR_NO_BATCH_QUEUE, 36, "no such batch queue") \
    X(ERROR_MARK_SHARED_TENSOR, 37, "cannot mark shared tensor") \
    X(ERROR_SET_SHARED_TENSOR, 38, "cannot set shared tensor") \
    X(ERROR_DMABUF_SHARED_IO, 39, "DMA buffer shared IO failure") \
    X(ERROR_GET_SHAPE_FAILED, 40, "cannot get tensor shape") \
    X(ERROR_SET_SHAPE_FAILED, 41, "cannot set tensor shape") \
    X(ERROR_NOT_CONFIG_SHAPE, 48, "dynamic shape not configured") \
    X(ERROR_UNMATCH_OUT_SHAPE, 49, "output shape does not match") \
    X(ERROR_ZERO_TENSOR_SIZE, 50, "tensor size is zero") \
    X(ERROR_ALLOC_GRIP_ID, 51, "cannot allocate grid id") \
    X(ERROR_ALLOC_GROUP_ID, 52, "cannot allocate group id") \
    X(ERROR_NOT_FOUND_IN_HASHTABLE, 53, "id not found") \
    X(ERROR_INVALID_COREDUMP, 54, "invalid core dump") \
    X(ERROR_JOB_DISPATCH_FAIL, 55, "job dispatch failed") \
    X(MAX, 56, "status limit") \
    X(ERROR_UNKNOWN_ERROR, 512, "unknown error") \
    X(ERROR_KEYBOARD_INTERRUPT, 768, "keyboard interrupt") \
    X(ERROR_SYSTEM_ERR, 769, "system error") \
    X(ERROR_OUT_OF_SPEC, 896, "outside the hardware limits") \
    X(ERROR_OUT_OF_AIFF_SPEC, 897, "outside the AIFF unit limits") \
    X(ERROR_OUT_OF_TPC_SPEC, 898, "outside the TPC unit limits") \
    X(ERROR_OUT_OF_DMA_SPEC, 899, "outside the DMA unit limits") \
    X(ERROR_OUT_OF_MEM_RANGE, 1024, "memory access out of range") \
    X(ERROR_OUT_OF_SRAM_RANGE, 1025, "SRAM access out of range") \
    X(ERROR_OUT_OF_LSRAM0_RANGE, 1026, "LSRAM0 access out of range") \
    X(ERROR_OUT_OF_LSRAM1_RANGE, 1027, "LSRAM1 access out of range") \
    X(ERROR_OUT_OF_GSRAM0_RANGE, 1029, "GSRAM0 access out of range") \
    X(ERROR_OUT_OF_GSRAM1_RANGE, 1030, "GSRAM1 access out of range") \
    X(ERROR_ARITHMETIC_ERR, 1152, "arithmetic error") \
    X(ERROR_FLOAT_POINT_ERR, 1153, "floating point error") \
    X(ERROR_UNDERFLOW_ERR, 1154, "underflow") \
    X(ERROR_OVERFLOW_ERR, 1155, "overflow") \
    X(ERROR_NOT_A_NUMBER_ERR, 1156, "not a number") \
    X(ERROR_INFINITY_ERR, 1157, "infinity") \
    X(ERROR_STRING_LENGTH_ERR, 1158, "string length error") \
    X(ERROR_ZERO_DIVISION_ERR, 1159, "division by zero")

#define AIPU_RUNTIME_STATUS_LIST(X) \
    X(ERROR_INVALID_HANDLE, 64, "invalid runtime context handle") \
    X(ERROR_OUT_OF_MEMORY, 65, "out of memory") \
    X(ERROR_BACKEND_LOAD_FAIL, 66, "the NPU driver library could not be loaded") \
    X(ERROR_NOT_IMPLEMENTED, 67, "not implemented by this backend") \
    X(ERROR_INTERNAL, 69, "internal error of the runtime")
// clang-format on

#define AIPU_STATUS_ENUMERATOR(name, value, text) AIPU_STATUS_##name = value,
enum aipu_status_code : aipu_status_t { AIPU_DRIVER_STATUS_LIST(AIPU_STATUS_ENUMERATOR) };
#undef AIPU_STATUS_ENUMERATOR

// Opaque driver context, filled in by aipu_init_context.
typedef struct aipu_ctx_handle aipu_ctx_handle_t;

// A job's outcome: X(name without prefix, value). Fixed 32-bit: a driver may
// report outcomes beyond the named ones.
#define AIPU_JOB_STATUS_LIST(X) X(NO_STATUS, 0) X(DONE, 1) X(EXCEPTION, 2)
#define AIPU_JOB_STATUS_ENUMERATOR(name, value) AIPU_JOB_STATUS_##name = value,
typedef enum : uint32_t { AIPU_JOB_STATUS_LIST(AIPU_JOB_STATUS_ENUMERATOR) } aipu_job_status_t;
#undef AIPU_JOB_STATUS_ENUMERATOR

// What aipu_get_device_status reports: X(name without prefix, value).
#define AIPU_DEVICE_STATUS_LIST(X) X(IDLE, 0) X(BUSY, 1) X(EXCEPTION, 2)
#define AIPU_DEVICE_STATUS_ENUMERATOR(name, value) AIPU_DEVICE_STATUS_##name = value,
enum aipu_device_status_code : uint32_t { AIPU_DEVICE_STATUS_LIST(AIPU_DEVICE_STATUS_ENUMERATOR) };
#undef AIPU_DEVICE_STATUS_ENUMERATOR

// The tensor lists of a graph, which the tensor entry points select:
// X(name without prefix, value).
// clang-format off
#define AIPU_TENSOR_TYPE_LIST(X) \
    X(INPUT, 0) \
    X(OUTPUT, 1) \
    X(INTER_DUMP, 2) \
    X(PRINTF, 3) \
    X(PROFILER, 4) \
    X(LAYER_COUNTER, 5) \
    X(ERROR_CODE, 6) \
    X(OUT_TENSOR_SHAPE, 7)
// clang-format on

// Tensor list selector, one of the list's (a caller may pass others).
typedef uint32_t aipu_tensor_type_t;
#define AIPU_TENSOR_TYPE_ENUMERATOR(name, value) AIPU_TENSOR_TYPE_##name = value,
enum aipu_tensor_type_code : aipu_tensor_type_t { AIPU_TENSOR_TYPE_LIST(AIPU_TENSOR_TYPE_ENUMERATOR) };
#undef AIPU_TENSOR_TYPE_ENUMERATOR

// Bit flags of the `types` arguments of aipu_config_global, aipu_config_job
// and aipu_config_batch_dump, combined by OR: X(name without prefix, value).
// clang-format off
#define AIPU_CONFIG_TYPE_LIST(X) \
    X(JOB_CONFIG_TYPE_DUMP_TEXT, 1u << 0) \
    X(JOB_CONFIG_TYPE_DUMP_WEIGHT, 1u << 1) \
    X(JOB_CONFIG_TYPE_DUMP_RODATA, 1u << 2) \
    X(JOB_CONFIG_TYPE_DUMP_DESCRIPTOR, 1u << 3) \
    X(JOB_CONFIG_TYPE_DUMP_INPUT, 1u << 4) \
    X(JOB_CONFIG_TYPE_DUMP_OUTPUT, 1u << 5) \
    X(JOB_CONFIG_TYPE_DUMP_REUSE, 1u << 6) \
    X(JOB_CONFIG_TYPE_DUMP_TCB_CHAIN, 1u << 7) \
    X(JOB_CONFIG_TYPE_DUMP_EMULATION, 1u << 8) \
    X(JOB_CONFIG_TYPE_DUMP_PROFILE, 1u << 9) \
    X(CONFIG_TYPE_SIMULATION, 1u << 16) \
    X(CONFIG_TYPE_HW, 1u << 17) \
    X(GLOBAL_CONFIG_TYPE_DISABLE_VER_CHECK, 1u << 24) \
    X(GLOBAL_CONFIG_TYPE_ENABLE_VER_CHECK, 1u << 25)
// clang-format on

#define AIPU_CONFIG_TYPE_ENUMERATOR(name, value) AIPU_##name = value,
enum aipu_config_type_flag : uint32_t { AIPU_CONFIG_TYPE_LIST(AIPU_CONFIG_TYPE_ENUMERATOR) };
#undef AIPU_CONFIG_TYPE_ENUMERATOR

// Every element type of a tensor: X(name without prefix, code, bytes per
// element, numpy's name). Bytes are 0 for NONE and for the packed 4- and
// 12-bit types, whose layout is the device's own (the driver's descriptors
// give their tensors' sizes); numpy's name is empty where numpy has no such
// type. kiv_data_type_t (kiv_api.h), the Python module's kiv_data_type_t,
// the stand-in's program format, the zor tool's names and the kiv package's
// numpy types and names are all made from this list: a new type is one row.
// clang-format off
#define AIPU_DATA_TYPE_LIST(X) \
    X(NONE, 0, 0, "") \
    X(BOOL, 1, 1, "bool") \
    X(U8, 2, 1, "uint8") \
    X(S8, 3, 1, "int8") \
    X(U16, 4, 2, "uint16") \
    X(S16, 5, 2, "int16") \
    X(U32, 6, 4, "uint32") \
    X(S32, 7, 4, "int32") \
    X(U64, 8, 8, "uint64") \
    X(S64, 9, 8, "int64") \
    X(F16, 10, 2, "float16") \
    X(F32, 11, 4, "float32") \
    X(F64, 12, 8, "float64") \
    X(BF16, 13, 2, "") \
    X(ALIGNED_U4, 18, 0, "") \
    X(ALIGNED_S4, 19, 0, "") \
    X(ALIGNED_U12, 20, 0, "") \
    X(ALIGNED_S12, 21, 0, "") \
    X(COMPACT_U4, 32, 0, "") \
    X(COMPACT_S4, 33, 0, "") \
    X(COMPACT_U12, 34, 0, "") \
    X(COMPACT_S12, 35, 0, "")
// clang-format on

// Element type code, one of the list's (a driver may report others).
typedef uint32_t aipu_data_type_t;
#define AIPU_DATA_TYPE_ENUMERATOR(name, code, bytes, numpy_name) AIPU_DATA_TYPE_##name = code,
enum aipu_data_type_code : aipu_data_type_t { AIPU_DATA_TYPE_LIST(AIPU_DATA_TYPE_ENUMERATOR) };
#undef AIPU_DATA_TYPE_ENUMERATOR

typedef struct {
    uint32_t id;
    uint32_t size;
    float scale;
    int32_t zero_point;
    aipu_data_type_t data_type;
} aipu_tensor_desc_t;
static_assert(sizeof(aipu_tensor_desc_t) == 20, "tensor descriptor layout");

// Completion callable handed to aipu_flush_job by value; called once when the
// job ends. Its result goes back to the driver.
typedef std::function<int(uint64_t job_id, aipu_job_status_t status)> aipu_job_callback_func_t;

// Load-graph options (40 bytes).
typedef struct {
    uint8_t wt_mem_region;  // bits 0..3
    uint8_t reserved0[7];
    int32_t* wt_idxes;      // offset 8
    uint32_t wt_idxes_cnt;  // offset 16
    uint32_t reserved1;
    const char* extra_weight_path;  // offset 24
    uint64_t reserved2;             // offset 32
} aipu_load_graph_cfg_t;
static_assert(sizeof(aipu_load_graph_cfg_t) == 40, "load-graph options layout");
static_assert(offsetof(aipu_load_graph_cfg_t, extra_weight_path) == 24, "load-graph options layout");

// Wrapper whose only member is the address of the load-graph options; this is
// what aipu_load_graph_helper receives.
typedef struct {
    aipu_load_graph_cfg_t* load_graph_cfg;
} aipu_load_graph_config_t;

// One dynamic-shape item: the input index and its dimension values.
typedef struct {
    uint32_t ds_idx;
    uint32_t reserved;
    uint32_t* ds_data;  // offset 8
} aipu_dynshape_item_t;
static_assert(sizeof(aipu_dynshape_item_t) == 16, "dynamic-shape item layout");

typedef struct {
    uint32_t input_shape_cnt;
    uint32_t reserved;
    aipu_dynshape_item_t* shape_items;  // offset 8
} aipu_dynshape_param_t;
static_assert(sizeof(aipu_dynshape_param_t) == 16, "dynamic-shape record layout");

// Bit positions of the create-job option word (offset 0, 16 bits used).
enum {
    AIPU_JOB_CFG_PARTITION_SHIFT = 0,      // 4 bits
    AIPU_JOB_CFG_DBG_DISPATCH_SHIFT = 4,   // 1 bit
    AIPU_JOB_CFG_DBG_CORE_ID_SHIFT = 5,    // 3 bits
    AIPU_JOB_CFG_QOS_SHIFT = 8,            // 4 bits
    AIPU_JOB_CFG_FM_MEM_REGION_SHIFT = 12  // 4 bits
};

// Create-job options (56 bytes).
typedef struct {
    uint16_t bits;  // see AIPU_JOB_CFG_*_SHIFT
    uint8_t reserved0[14];
    int32_t* fm_idxes;      // offset 16
    uint32_t fm_idxes_cnt;  // offset 24
    uint32_t reserved1;
    aipu_dynshape_param_t* dynshape;  // offset 32
    uint8_t reserved2[16];
} aipu_create_job_cfg_t;
static_assert(sizeof(aipu_create_job_cfg_t) == 56, "create-job options layout");
static_assert(offsetof(aipu_create_job_cfg_t, dynshape) == 32, "create-job options layout");

// Dump options: null means "not set".
typedef struct {
    const char* dump_dir;
    const char* prefix;
    const char* output_prefix;
    const char* misc_prefix;
} aipu_job_config_dump_t;

typedef struct {
    bool poll_in_commit_thread;
    uint8_t reserved;
} aipu_global_config_hw_t;
static_assert(sizeof(aipu_global_config_hw_t) == 2, "hw config layout");

struct aipu_core_info {
    uint64_t reg_base;
};

struct aipu_bin_buildversion {
    uint64_t graph_id;              // in
    uint32_t aipubin_buildversion;  // out
};
static_assert(sizeof(aipu_bin_buildversion) == 16, "build-version layout");

// Shared buffer (commands 263 and 264).
typedef struct {
    uint64_t pa;        // out for alloc, in for free
    uint64_t va;        // out: address in this process
    uint32_t size;      // in
    uint32_t mem_type;  // 0 unless the caller names one
} aipu_share_buf_t;
static_assert(sizeof(aipu_share_buf_t) == 24, "share-buffer layout");

// DMA buffer allocation (command 265).
typedef struct {
    int32_t fd;  // out
    uint32_t reserved;
    uint64_t bytes;  // in
} aipu_dma_buf_req_t;
static_assert(sizeof(aipu_dma_buf_req_t) == 16, "dma-buffer request layout");

// DMA buffer attach (commands 267 and 270).
typedef struct {
    int32_t fd;  // in
    uint32_t reserved;
    uint64_t pa;     // out
    uint64_t bytes;  // out
} aipu_dma_buf_t;
static_assert(sizeof(aipu_dma_buf_t) == 24, "dma-buffer attach layout");

// Version strings (command 272).
typedef struct {
    char umd_version[16];
    char kmd_version[16];
} aipu_driver_version_t;
static_assert(sizeof(aipu_driver_version_t) == 32, "version layout");

// DMA buffer write (command 268).
typedef struct {
    int32_t fd;
    uint32_t offset_in_dmabuf;
    uint32_t size;
    uint32_t reserved;
    char* data;  // offset 16
} aipu_dmabuf_op_t;
static_assert(sizeof(aipu_dmabuf_op_t) == 24, "dma-buffer write layout");

// The commands of aipu_ioctl. The runtime's ioctl_cmd_t names most of them;
// the stand-in serves all but the three dynamic-shape queries (257 to 259).
enum aipu_ioctl_cmd : uint32_t {
    AIPU_IOCTL_SET_PROFILE = 255,
    AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION = 256,
    AIPU_IOCTL_GET_DS_NUM = 257,
    AIPU_IOCTL_GET_DS_DIM_NUM = 258,
    AIPU_IOCTL_GET_DS_INFO = 259,
    AIPU_IOCTL_ALLOC_SHARE_BUF = 263,
    AIPU_IOCTL_FREE_SHARE_BUF = 264,
    AIPU_IOCTL_ALLOC_DMABUF = 265,
    AIPU_IOCTL_FREE_DMABUF = 266,
    AIPU_IOCTL_ATTACH_DMABUF_PRIVATE = 267,
    AIPU_IOCTL_WRITE_DMABUF = 268,
    AIPU_IOCTL_READ_DMABUF = 269,
    AIPU_IOCTL_ATTACH_DMABUF = 270,
    AIPU_IOCTL_DETACH_DMABUF = 271,
    AIPU_IOCTL_GET_VERSION = 272,
    AIPU_IOCTL_ENABLE_TICK_COUNTER = 273,
    AIPU_IOCTL_DISABLE_TICK_COUNTER = 274,
    AIPU_IOCTL_CONFIG_CLUSTERS = 275,
};

// How a job's tensor is bound to a shared buffer by aipu_specify_iobuf.
typedef enum : uint32_t {
    AIPU_SHARED_BY_PA = 0,      // a buffer from AIPU_IOCTL_ALLOC_SHARE_BUF
    AIPU_SHARED_BY_DMABUF = 1,  // a buffer from AIPU_IOCTL_ALLOC_DMABUF
} aipu_shared_case_t;

typedef struct aipu_shared_tensor_info {
    uint32_t type;  // AIPU_TENSOR_TYPE_INPUT or AIPU_TENSOR_TYPE_OUTPUT
    uint32_t tensor_idx;
    uint64_t pa;        // AIPU_SHARED_BY_PA
    int32_t dmabuf_fd;  // AIPU_SHARED_BY_DMABUF
    uint32_t offset_in_dmabuf;
    uint32_t shared_case_type;  // aipu_shared_case_t
    uint32_t reserved;
} aipu_shared_tensor_info_t;
static_assert(sizeof(aipu_shared_tensor_info_t) == 32, "shared-tensor layout");

// The 28 entry points, in the order the runtime binds them: X(name without
// the aipu_ prefix, parameters). Declared below with C linkage, so that they
// are found by name; the runtime's entry table, its binding and the kiv
// package's diagnosis of a driver library all follow this one list.
// clang-format off
#define AIPU_DRIVER_ENTRY_POINTS(X) \
    X(init_context, (aipu_ctx_handle_t** ctx)) \
    X(deinit_context, (const aipu_ctx_handle_t* ctx)) \
    X(config_global, (const aipu_ctx_handle_t* ctx, uint64_t types, void* config)) \
    X(load_graph_helper, (const aipu_ctx_handle_t* ctx, const char* graph_buf, uint32_t graph_size, \
                          uint64_t* graph_id, aipu_load_graph_config_t* config)) \
    X(unload_graph, (const aipu_ctx_handle_t* ctx, uint64_t graph_id)) \
    X(get_tensor_count, (const aipu_ctx_handle_t* ctx, uint64_t id, aipu_tensor_type_t type, uint32_t* count)) \
    X(get_tensor_descriptor, (const aipu_ctx_handle_t* ctx, uint64_t id, aipu_tensor_type_t type, uint32_t tensor, \
                              aipu_tensor_desc_t* desc)) \
    X(get_error_message, (const aipu_ctx_handle_t* ctx, aipu_status_t status, const char** msg)) \
    X(create_job, (const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint64_t* job_id, \
                   aipu_create_job_cfg_t* config)) \
    X(config_job, (const aipu_ctx_handle_t* ctx, uint64_t job_id, uint64_t types, void* config)) \
    X(clean_job, (const aipu_ctx_handle_t* ctx, uint64_t job_id)) \
    X(finish_job, (const aipu_ctx_handle_t* ctx, uint64_t job_id, int32_t time_out)) \
    X(flush_job, (const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_job_callback_func_t cb)) \
    X(get_job_status, (const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_job_status_t* status, int32_t time_out)) \
    X(load_tensor, (const aipu_ctx_handle_t* ctx, uint64_t job_id, uint32_t tensor, const void* data)) \
    X(get_tensor, (const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_tensor_type_t type, uint32_t tensor, \
                   void* data)) \
    X(get_device_status, (const aipu_ctx_handle_t* ctx, uint32_t* status)) \
    X(get_target, (const aipu_ctx_handle_t* ctx, char* target)) \
    X(get_partition_count, (const aipu_ctx_handle_t* ctx, uint32_t* count)) \
    X(get_cluster_count, (const aipu_ctx_handle_t* ctx, uint32_t partition, uint32_t* count)) \
    X(get_core_count, (const aipu_ctx_handle_t* ctx, uint32_t partition, uint32_t cluster, uint32_t* count)) \
    X(ioctl, (const aipu_ctx_handle_t* ctx, uint32_t cmd, void* arg)) \
    X(create_batch_queue, (const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t* queue_id)) \
    X(clean_batch_queue, (const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id)) \
    X(config_batch_dump, (const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types, \
                          aipu_job_config_dump_t* config)) \
    X(add_batch, (const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs, \
                  char** outputs)) \
    X(finish_batch, (const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id, \
                     aipu_create_job_cfg_t* config)) \
    X(specify_iobuf, (const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_shared_tensor_info_t* info))
// clang-format on

#define AIPU_DECLARE_ENTRY_POINT(name, params) aipu_status_t aipu_##name params;
extern "C" {
AIPU_DRIVER_ENTRY_POINTS(AIPU_DECLARE_ENTRY_POINT)
}
#undef AIPU_DECLARE_ENTRY_POINT

#endif  // AIPU_DRIVER_H
