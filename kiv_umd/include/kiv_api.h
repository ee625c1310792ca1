// Public runtime API of libkiv: status codes, enumerations, records and the
// kiv_* entry points. Graph, job and queue ids are issued by the driver and
// never interpreted here; records are handed to the driver unchanged, so their
// layout is the driver's layout.
#ifndef KIV_API_H
#define KIV_API_H

#include <cstdint>
#include <functional>

#include "aipu_driver.h"

// Every enumeration here has a fixed 32-bit underlying type: values come from
// the driver and from Python unchecked, and every 32-bit value must be a valid
// value of the type (the driver's statuses, ioctl commands, device types...).

// Status of every API function: the driver's codes (up to KIV_STATUS_MAX and
// the 512..1159 block) and the runtime's own (64..69), listed with their
// texts in aipu_driver.h.
#define KIV_STATUS_ENUMERATOR(name, value, text) KIV_STATUS_##name = value,
typedef enum : uint32_t {
    AIPU_DRIVER_STATUS_LIST(KIV_STATUS_ENUMERATOR) AIPU_RUNTIME_STATUS_LIST(KIV_STATUS_ENUMERATOR)
} kiv_status_t;
#undef KIV_STATUS_ENUMERATOR

// First argument of kiv_ioctl; the AIPU backend ignores it.
typedef enum : uint32_t { cpu = 0, npu = 1, gpu = 2 } device_type_t;

#define KIV_DEVICE_STATUS_ENUMERATOR(name, value) KIV_DEV_##name = value,
typedef enum : uint32_t { AIPU_DEVICE_STATUS_LIST(KIV_DEVICE_STATUS_ENUMERATOR) } kiv_device_status_t;
#undef KIV_DEVICE_STATUS_ENUMERATOR

#define KIV_TENSOR_TYPE_ENUMERATOR(name, value) KIV_TENSOR_TYPE_##name = value,
typedef enum : uint32_t { AIPU_TENSOR_TYPE_LIST(KIV_TENSOR_TYPE_ENUMERATOR) } tensor_type_t;
#undef KIV_TENSOR_TYPE_ENUMERATOR

// Element types, listed with their sizes and numpy names in aipu_driver.h.
#define KIV_DATA_TYPE_ENUMERATOR(name, code, bytes, numpy_name) KIV_DATA_TYPE_##name = code,
typedef enum : uint32_t { AIPU_DATA_TYPE_LIST(KIV_DATA_TYPE_ENUMERATOR) } kiv_data_type_t;
#undef KIV_DATA_TYPE_ENUMERATOR

// Exported to Python as kiv_job_status_t. The completion bridge also delivers
// the unnamed value 3 for every driver outcome above EXCEPTION.
#define KIV_JOB_STATUS_ENUMERATOR(name, value) KIV_JOB_STATUS_##name = value,
typedef enum : uint32_t { AIPU_JOB_STATUS_LIST(KIV_JOB_STATUS_ENUMERATOR) } job_status_t;
#undef KIV_JOB_STATUS_ENUMERATOR

// Bit flags, combined by OR into the 64-bit `types` arguments.
#define KIV_CONFIG_TYPE_ENUMERATOR(name, value) KIV_##name = value,
typedef enum : uint32_t { AIPU_CONFIG_TYPE_LIST(KIV_CONFIG_TYPE_ENUMERATOR) } kiv_config_type_t;
#undef KIV_CONFIG_TYPE_ENUMERATOR

// The driver's ioctl commands that the runtime names (aipu_driver.h numbers
// them all).
typedef enum : uint32_t {
    KIV_IOCTL_SET_PROFILE = AIPU_IOCTL_SET_PROFILE,
    KIV_IOCTL_GET_KIVBIN_BUILDVERSION = AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION,
    KIV_IOCTL_GET_DS_NUM = AIPU_IOCTL_GET_DS_NUM,
    KIV_IOCTL_GET_DS_DIM_NUM = AIPU_IOCTL_GET_DS_DIM_NUM,
    KIV_IOCTL_GET_DS_INFO = AIPU_IOCTL_GET_DS_INFO,
    KIV_IOCTL_ALLOC_SHARE_BUF = AIPU_IOCTL_ALLOC_SHARE_BUF,
    KIV_IOCTL_FREE_SHARE_BUF = AIPU_IOCTL_FREE_SHARE_BUF,
    KIV_IOCTL_ALLOC_DMABUF = AIPU_IOCTL_ALLOC_DMABUF,
    KIV_IOCTL_FREE_DMABUF = AIPU_IOCTL_FREE_DMABUF,
    KIV_IOCTL_WRITE_DMABUF = AIPU_IOCTL_WRITE_DMABUF,
    KIV_IOCTL_READ_DMABUF = AIPU_IOCTL_READ_DMABUF,
    KIV_IOCTL_ATTACH_DMABUF = AIPU_IOCTL_ATTACH_DMABUF,
    KIV_IOCTL_DETACH_DMABUF = AIPU_IOCTL_DETACH_DMABUF,
    KIV_IOCTL_GET_VERSION = AIPU_IOCTL_GET_VERSION,
} ioctl_cmd_t;

// Exported to Python as kiv_ioctl_tickcounter_t.
typedef enum : uint32_t {
    AIPU_IOCTL_EN_TICK_COUNTER = 0,
    AIPU_IOCTL_DI_TICK_COUNTER = 1,
} kiv_ioctl_tickcounter_t;

// Filled by the tensor-descriptor query; same layout as aipu_tensor_desc_t.
typedef struct {
    uint32_t id;
    uint32_t size;
    float scale;
    int32_t zero_point;
    kiv_data_type_t data_type;
} tensor_desc_t;

// Options of kiv_load_graph: the address of an aipu_load_graph_cfg_t. The
// backend hands the graph_config pointer itself to the driver.
typedef struct graph_config {
    aipu_load_graph_cfg_t* load_graph_cfg;
} graph_config;

// Options of kiv_create_job and kiv_finish_batch: the address of an
// aipu_create_job_cfg_t. The backend hands this member to the driver.
typedef struct job_config {
    aipu_create_job_cfg_t* create_job_cfg;
} job_config;

// Dump options: four texts, null meaning "not set".
typedef aipu_job_config_dump_t job_config_dump_t;

// Driver records passed through unchanged.
typedef aipu_shared_tensor_info_t shared_tensor_info_npu;

// Completion callable of kiv_job_infer_async.
typedef std::function<int32_t(uint64_t job_id, job_status_t status)> kiv_job_callback_t;

struct kiv_context;

// Context lifecycle.
kiv_status_t kiv_init_context(kiv_context** ctx, int32_t device);
kiv_status_t kiv_deinit_context(kiv_context* ctx);

// Graphs, jobs, tensors.
kiv_status_t kiv_load_graph(kiv_context* ctx, const char* path, uint64_t* graph_id, graph_config* cfg);
kiv_status_t kiv_unload_graph(kiv_context* ctx, uint64_t graph_id);
kiv_status_t kiv_config_global(kiv_context* ctx, uint64_t types, void* config);
kiv_status_t kiv_get_tensor_count(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t* count);
kiv_status_t kiv_get_tensor_descriptor(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t index,
                                       tensor_desc_t* desc);
kiv_status_t kiv_create_job(kiv_context* ctx, uint64_t graph_id, uint64_t* job_id, job_config* cfg);
kiv_status_t kiv_config_job(kiv_context* ctx, uint64_t job_id, uint64_t types, void* config);
kiv_status_t kiv_load_tensor(kiv_context* ctx, uint64_t job_id, uint32_t index, const void* data);
kiv_status_t kiv_get_tensor(kiv_context* ctx, uint64_t job_id, tensor_type_t type, uint32_t index, void* dest);
kiv_status_t kiv_job_infer_sync(kiv_context* ctx, uint64_t job_id, int32_t time_out);
kiv_status_t kiv_job_infer_async(kiv_context* ctx, uint64_t job_id, kiv_job_callback_t cb);
kiv_status_t kiv_get_job_status(kiv_context* ctx, uint64_t job_id, job_status_t* status, int32_t time_out);
kiv_status_t kiv_clean_job(kiv_context* ctx, uint64_t job_id);
kiv_status_t kiv_get_error_message(kiv_context* ctx, kiv_status_t status, const char** msg);
kiv_status_t kiv_get_tensor_shape(const char* path, uint32_t type, uint32_t index, char* name, uint32_t* name_len,
                                  int32_t* shape, uint32_t* shape_len);

// Batch queues.
kiv_status_t kiv_create_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t* queue_id);
kiv_status_t kiv_clean_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id);
kiv_status_t kiv_config_batch_dump(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                   job_config_dump_t* dump);
kiv_status_t kiv_add_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs, char** outputs);
kiv_status_t kiv_finish_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, job_config* cfg);

// Device queries and control.
kiv_status_t kiv_get_partition_count(kiv_context* ctx, uint32_t* count);
kiv_status_t kiv_get_cluster_count(kiv_context* ctx, uint32_t partition, uint32_t* count);
kiv_status_t kiv_get_core_count(kiv_context* ctx, uint32_t partition, uint32_t cluster, uint32_t* count);
kiv_status_t kiv_get_target(kiv_context* ctx, char* target);
kiv_status_t kiv_get_device_status(kiv_context* ctx, kiv_device_status_t* status);
kiv_status_t kiv_ioctl(kiv_context* ctx, device_type_t device, ioctl_cmd_t cmd, void* arg);
kiv_status_t kiv_specify_iobuf(kiv_context* ctx, uint64_t job_id, shared_tensor_info_npu* info);
kiv_status_t kiv_set_freq(int32_t index);

#endif  // KIV_API_H
