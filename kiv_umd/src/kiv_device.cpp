#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kiv_api.h"
#include "kiv_log.h"

namespace {

constexpr const char* kLogFile = "src/kiv_api";

constexpr int64_t kFrequencies[] = {400000000, 600000000, 800000000, 1200000000};
constexpr const char* kDeviceTreeFreqPath = "/sys/class/devfreq/14260000.aipu/userspace/set_freq";
constexpr const char* kAcpiFreqPath = "/sys/class/devfreq/ZORH4000:00/userspace/set_freq";

struct FrequencyFile {
    std::FILE* file = nullptr;
    const char* path = nullptr;
};

// Device-tree systems expose the NPU under its bus address, ACPI systems
// under its hardware id; whichever node exists takes the write.
FrequencyFile open_frequency_file() {
    for (const char* path : {kDeviceTreeFreqPath, kAcpiFreqPath}) {
        if (std::FILE* file = std::fopen(path, "w")) return FrequencyFile{file, path};
    }
    return FrequencyFile{};
}

// Writes the value and closes the file; 0 on success, else the error number.
// The write is buffered, so a refusal by the governor (or a full device)
// often shows only when the file is closed.
int write_and_close(std::FILE* file, long frequency) {
    errno = 0;
    int error = std::fprintf(file, "%ld", frequency) < 0 ? errno : 0;
    if (std::fclose(file) != 0 && error == 0) error = errno;
    return error;
}

}  // namespace

kiv_status_t kiv_set_freq(int32_t index) {
    if (static_cast<uint32_t>(index) > 3u) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "Invalid frequency index: %d\n", index);
        return KIV_STATUS_ERROR_INVALID_CONFIG;
    }
    const FrequencyFile target = open_frequency_file();
    if (target.file == nullptr) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "Failed to open frequency file, tried:\n  DT:   %s\n  ACPI: %s\n",
                kDeviceTreeFreqPath, kAcpiFreqPath);
        return KIV_STATUS_ERROR_OPEN_DEV_FAIL;
    }
    const long frequency = static_cast<long>(kFrequencies[index]);
    // A frequency the kernel did not take must not be reported as set.
    if (const int error = write_and_close(target.file, frequency)) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "Failed to write frequency file %s: %s\n", target.path,
                std::strerror(error));
        return KIV_STATUS_ERROR_WRITE_FILE_FAIL;
    }
    KIV_LOG(LogLevel::INFO, kLogFile, "NPU frequency set to: %ld\n", frequency);
    return KIV_STATUS_SUCCESS;
}
