// The AIPU user-mode driver interface as libkiv uses it: the 28 entry points
// that the runtime binds by name, and the records that cross them. Layouts
// are fixed byte for byte (little-endian, natural alignment) because the
// Python module builds these records and the runtime passes them through.
#ifndef AIPU_DRIVER_H
#define AIPU_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <functional>

// Driver statuses use the numbering of kiv_status_t; 0 is success.
typedef uint32_t aipu_status_t;

// Opaque driver context, filled in by aipu_init_context.
typedef struct aipu_ctx_handle aipu_ctx_handle_t;

// Fixed 32-bit: a driver may report job outcomes beyond the named ones.
typedef enum : uint32_t {
    AIPU_JOB_STATUS_NO_STATUS = 0,
    AIPU_JOB_STATUS_DONE = 1,
    AIPU_JOB_STATUS_EXCEPTION = 2,
} aipu_job_status_t;

// Tensor list selector, numbered like tensor_type_t.
typedef uint32_t aipu_tensor_type_t;
// Element type code, numbered like kiv_data_type_t.
typedef uint32_t aipu_data_type_t;

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

// ioctl command numbers served by the driver (numbered like ioctl_cmd_t, plus
// the four unnamed ones).
enum {
    AIPU_IOCTL_SET_PROFILE = 255,
    AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION = 256,
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
    uint32_t type;  // tensor_type_t: input or output
    uint32_t tensor_idx;
    uint64_t pa;        // AIPU_SHARED_BY_PA
    int32_t dmabuf_fd;  // AIPU_SHARED_BY_DMABUF
    uint32_t offset_in_dmabuf;
    uint32_t shared_case_type;  // aipu_shared_case_t
    uint32_t reserved;
} aipu_shared_tensor_info_t;
static_assert(sizeof(aipu_shared_tensor_info_t) == 32, "shared-tensor layout");

// The 28 entry points, with C linkage so that they are found by name.
extern "C" {
aipu_status_t aipu_init_context(aipu_ctx_handle_t** ctx);
aipu_status_t aipu_deinit_context(const aipu_ctx_handle_t* ctx);
aipu_status_t aipu_config_global(const aipu_ctx_handle_t* ctx, uint64_t types, void* config);
aipu_status_t aipu_load_graph_helper(const aipu_ctx_handle_t* ctx, const char* graph_buf, uint32_t graph_size,
                                     uint64_t* graph_id, aipu_load_graph_config_t* config);
aipu_status_t aipu_unload_graph(const aipu_ctx_handle_t* ctx, uint64_t graph_id);
aipu_status_t aipu_get_tensor_count(const aipu_ctx_handle_t* ctx, uint64_t id, aipu_tensor_type_t type,
                                    uint32_t* count);
aipu_status_t aipu_get_tensor_descriptor(const aipu_ctx_handle_t* ctx, uint64_t id, aipu_tensor_type_t type,
                                         uint32_t tensor, aipu_tensor_desc_t* desc);
aipu_status_t aipu_get_error_message(const aipu_ctx_handle_t* ctx, aipu_status_t status, const char** msg);
aipu_status_t aipu_create_job(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint64_t* job_id,
                              aipu_create_job_cfg_t* config);
aipu_status_t aipu_config_job(const aipu_ctx_handle_t* ctx, uint64_t job_id, uint64_t types, void* config);
aipu_status_t aipu_finish_job(const aipu_ctx_handle_t* ctx, uint64_t job_id, int32_t time_out);
aipu_status_t aipu_flush_job(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_job_callback_func_t cb);
aipu_status_t aipu_clean_job(const aipu_ctx_handle_t* ctx, uint64_t job_id);
aipu_status_t aipu_get_job_status(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_job_status_t* status,
                                  int32_t time_out);
aipu_status_t aipu_load_tensor(const aipu_ctx_handle_t* ctx, uint64_t job_id, uint32_t tensor, const void* data);
aipu_status_t aipu_get_tensor(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_tensor_type_t type, uint32_t tensor,
                              void* data);
aipu_status_t aipu_get_device_status(const aipu_ctx_handle_t* ctx, uint32_t* status);
aipu_status_t aipu_get_target(const aipu_ctx_handle_t* ctx, char* target);
aipu_status_t aipu_get_partition_count(const aipu_ctx_handle_t* ctx, uint32_t* count);
aipu_status_t aipu_get_cluster_count(const aipu_ctx_handle_t* ctx, uint32_t partition, uint32_t* count);
aipu_status_t aipu_get_core_count(const aipu_ctx_handle_t* ctx, uint32_t partition, uint32_t cluster, uint32_t* count);
aipu_status_t aipu_ioctl(const aipu_ctx_handle_t* ctx, uint32_t cmd, void* arg);
aipu_status_t aipu_create_batch_queue(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t* queue_id);
aipu_status_t aipu_clean_batch_queue(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id);
aipu_status_t aipu_config_batch_dump(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                     aipu_job_config_dump_t* config);
aipu_status_t aipu_add_batch(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs,
                             char** outputs);
aipu_status_t aipu_finish_batch(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id,
                                aipu_create_job_cfg_t* config);
aipu_status_t aipu_specify_iobuf(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_shared_tensor_info_t* info);
}

#endif  // AIPU_DRIVER_H
