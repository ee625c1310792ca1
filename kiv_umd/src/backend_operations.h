// The backend operations, in slot order (the order is part of the
// interface and never changes). One row per operation:
//   X(api, adapter, name, parameters, arguments, driver entry point, driver arguments)
// api:     FORWARD when kiv_<name> only validates the context and forwards
//          (api_forwarders.cpp), OWN when the API function does more.
// adapter: how AipuAdapter serves it (aipu_adapter.cpp): GUARDED under the
//          backend mutex, with a check for a driver context and a bound entry
//          point; DIRECT without lock or check; OWN by code of its own.
// The driver arguments follow the driver context; the adapter passes them to
// the entry point aipu_<driver entry point>.
#ifndef KIV_BACKEND_OPERATIONS_H
#define KIV_BACKEND_OPERATIONS_H

// clang-format off
#define KIV_BACKEND_OPERATIONS(X) \
    X(OWN, OWN, init_context, (), (), init_context, ()) \
    X(OWN, OWN, deinit_context, (), (), deinit_context, ()) \
    X(FORWARD, GUARDED, config_global, (kiv_context* ctx, uint64_t types, void* config), (ctx, types, config), \
      config_global, (types, config)) \
    X(OWN, GUARDED, load_graph, \
      (kiv_context* ctx, const char* data, uint32_t size, uint64_t* graph_id, graph_config* cfg), \
      (ctx, data, size, graph_id, cfg), \
      load_graph_helper, (data, size, graph_id, reinterpret_cast<aipu_load_graph_config_t*>(cfg))) \
    X(FORWARD, GUARDED, unload_graph, (kiv_context* ctx, uint64_t graph_id), (ctx, graph_id), \
      unload_graph, (graph_id)) \
    X(FORWARD, DIRECT, job_infer_sync, (kiv_context* ctx, uint64_t job_id, int32_t time_out), \
      (ctx, job_id, time_out), finish_job, (job_id, time_out)) \
    X(OWN, OWN, job_infer_async, (kiv_context* ctx, uint64_t job_id, kiv_job_callback_t cb), (ctx, job_id, cb), \
      flush_job, ()) \
    X(FORWARD, DIRECT, create_job, (kiv_context* ctx, uint64_t graph_id, uint64_t* job_id, job_config* cfg), \
      (ctx, graph_id, job_id, cfg), create_job, (graph_id, job_id, job_options(cfg))) \
    X(FORWARD, DIRECT, clean_job, (kiv_context* ctx, uint64_t job_id), (ctx, job_id), clean_job, (job_id)) \
    X(FORWARD, DIRECT, get_job_status, \
      (kiv_context* ctx, uint64_t job_id, job_status_t* status, int32_t time_out), (ctx, job_id, status, time_out), \
      get_job_status, (job_id, reinterpret_cast<aipu_job_status_t*>(status), time_out)) \
    X(FORWARD, DIRECT, load_tensor, (kiv_context* ctx, uint64_t job_id, uint32_t index, const void* data), \
      (ctx, job_id, index, data), load_tensor, (job_id, index, data)) \
    X(FORWARD, DIRECT, get_tensor, \
      (kiv_context* ctx, uint64_t job_id, tensor_type_t type, uint32_t index, void* dest), \
      (ctx, job_id, type, index, dest), get_tensor, (job_id, type, index, dest)) \
    X(FORWARD, DIRECT, config_job, (kiv_context* ctx, uint64_t job_id, uint64_t types, void* config), \
      (ctx, job_id, types, config), config_job, (job_id, types, config)) \
    X(FORWARD, OWN, get_tensor_count, (kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t* count), \
      (ctx, graph_id, type, count), get_tensor_count, ()) \
    X(FORWARD, GUARDED, get_tensor_descriptor, \
      (kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t index, tensor_desc_t* desc), \
      (ctx, graph_id, type, index, desc), \
      get_tensor_descriptor, (graph_id, type, index, reinterpret_cast<aipu_tensor_desc_t*>(desc))) \
    X(FORWARD, DIRECT, ioctl, (kiv_context* ctx, device_type_t device, ioctl_cmd_t cmd, void* arg), \
      (ctx, device, cmd, arg), ioctl, (cmd, arg)) \
    X(FORWARD, DIRECT, get_partition_count, (kiv_context* ctx, uint32_t* count), (ctx, count), \
      get_partition_count, (count)) \
    X(FORWARD, DIRECT, get_cluster_count, (kiv_context* ctx, uint32_t partition, uint32_t* count), \
      (ctx, partition, count), get_cluster_count, (partition, count)) \
    X(FORWARD, DIRECT, get_core_count, (kiv_context* ctx, uint32_t partition, uint32_t cluster, uint32_t* count), \
      (ctx, partition, cluster, count), get_core_count, (partition, cluster, count)) \
    X(FORWARD, DIRECT, get_target, (kiv_context* ctx, char* target), (ctx, target), get_target, (target)) \
    X(FORWARD, DIRECT, get_device_status, (kiv_context* ctx, kiv_device_status_t* status), (ctx, status), \
      get_device_status, (reinterpret_cast<uint32_t*>(status))) \
    X(FORWARD, DIRECT, get_error_message, (kiv_context* ctx, kiv_status_t status, const char** msg), \
      (ctx, status, msg), get_error_message, (status, msg)) \
    X(FORWARD, DIRECT, create_batch_queue, (kiv_context* ctx, uint64_t graph_id, uint32_t* queue_id), \
      (ctx, graph_id, queue_id), create_batch_queue, (graph_id, queue_id)) \
    X(FORWARD, DIRECT, clean_batch_queue, (kiv_context* ctx, uint64_t graph_id, uint32_t queue_id), \
      (ctx, graph_id, queue_id), clean_batch_queue, (graph_id, queue_id)) \
    X(FORWARD, DIRECT, config_batch_dump, \
      (kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types, job_config_dump_t* dump), \
      (ctx, graph_id, queue_id, types, dump), config_batch_dump, (graph_id, queue_id, types, dump)) \
    X(FORWARD, DIRECT, add_batch, \
      (kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs, char** outputs), \
      (ctx, graph_id, queue_id, inputs, outputs), add_batch, (graph_id, queue_id, inputs, outputs)) \
    X(FORWARD, DIRECT, finish_batch, (kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, job_config* cfg), \
      (ctx, graph_id, queue_id, cfg), finish_batch, (graph_id, queue_id, job_options(cfg))) \
    X(FORWARD, DIRECT, specify_iobuf, (kiv_context* ctx, uint64_t job_id, shared_tensor_info_npu* info), \
      (ctx, job_id, info), specify_iobuf, (job_id, info))
// clang-format on

// Names each operation, for backends that report which one ran.
enum class BackendOperation {
#define KIV_OPERATION_ENUMERATOR(api, adapter, name, params, args, entry, driver_args) name,
    KIV_BACKEND_OPERATIONS(KIV_OPERATION_ENUMERATOR)
#undef KIV_OPERATION_ENUMERATOR
};

// Marks parameters as used where a generated body needs only some of them.
template <typename... Values>
inline void ignore_unused(const Values&...) {}

#endif  // KIV_BACKEND_OPERATIONS_H
