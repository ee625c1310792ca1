#include <cstdint>
#include <cstdio>

#include "api_forward.h"
#include "kiv_log.h"

namespace {

constexpr const char* kLogFile = "src/kiv_api";

constexpr int64_t kFrequencies[] = {400000000, 600000000, 800000000, 1200000000};
constexpr const char* kDeviceTreeFreqPath = "/sys/class/devfreq/14260000.aipu/userspace/set_freq";
constexpr const char* kAcpiFreqPath = "/sys/class/devfreq/ZORH4000:00/userspace/set_freq";

// Device-tree systems expose the NPU under its bus address, ACPI systems
// under its hardware id; whichever node exists takes the write.
std::FILE* open_frequency_file() {
    std::FILE* file = std::fopen(kDeviceTreeFreqPath, "w");
    if (file == nullptr) file = std::fopen(kAcpiFreqPath, "w");
    return file;
}

}  // namespace

kiv_status_t kiv_get_partition_count(kiv_context* ctx, uint32_t* count) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_partition_count(ctx, count); });
}

kiv_status_t kiv_get_cluster_count(kiv_context* ctx, uint32_t partition, uint32_t* count) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_cluster_count(ctx, partition, count); });
}

kiv_status_t kiv_get_core_count(kiv_context* ctx, uint32_t partition, uint32_t cluster, uint32_t* count) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_core_count(ctx, partition, cluster, count); });
}

kiv_status_t kiv_get_target(kiv_context* ctx, char* target) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_target(ctx, target); });
}

kiv_status_t kiv_get_device_status(kiv_context* ctx, kiv_device_status_t* status) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_device_status(ctx, status); });
}

kiv_status_t kiv_ioctl(kiv_context* ctx, device_type_t device, ioctl_cmd_t cmd, void* arg) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.ioctl(ctx, device, cmd, arg); });
}

kiv_status_t kiv_specify_iobuf(kiv_context* ctx, uint64_t job_id, shared_tensor_info_npu* info) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.specify_iobuf(ctx, job_id, info); });
}

kiv_status_t kiv_set_freq(int32_t index) {
    if (static_cast<uint32_t>(index) > 3u) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "Invalid frequency index: %d\n", index);
        return KIV_STATUS_ERROR_INVALID_CONFIG;
    }
    std::FILE* file = open_frequency_file();
    if (file == nullptr) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "Failed to open frequency file, tried:\n  DT:   %s\n  ACPI: %s\n",
                kDeviceTreeFreqPath, kAcpiFreqPath);
        return KIV_STATUS_ERROR_OPEN_DEV_FAIL;
    }
    const long frequency = static_cast<long>(kFrequencies[index]);
    // The governor reports its own errors; a failed write changes nothing here.
    std::fprintf(file, "%ld", frequency);
    std::fclose(file);
    KIV_LOG(LogLevel::INFO, kLogFile, "NPU frequency set to: %ld\n", frequency);
    return KIV_STATUS_SUCCESS;
}
