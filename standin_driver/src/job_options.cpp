#include "job_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "aipu_driver.h"
#include "context.h"
#include "npu_program_format.h"
#include "unique_fd.h"

namespace standin {
namespace {

uint32_t count_of_kind(const Program& program, uint8_t kind) {
    return static_cast<uint32_t>(std::count_if(program.tensors.begin(), program.tensors.end(),
                                               [&](const TensorSpec& t) { return t.kind == kind; }));
}

// Each of the `count` indexes must name one of `available` tensors.
uint32_t check_indexes(const int32_t* indexes, uint32_t count, uint32_t available) {
    if (count == 0) return 0;
    if (indexes == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    for (uint32_t i = 0; i < count; ++i) {
        if (indexes[i] < 0 || static_cast<uint32_t>(indexes[i]) >= available)
            return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
    }
    return 0;
}

// Reads the regular file at `path` whole, as a device loading extra weights would.
uint32_t read_whole_file(const char* path) {
    kiv::UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return AIPU_STATUS_ERROR_OPEN_FILE_FAIL;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(file.get(), buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0 && errno != EINTR) return AIPU_STATUS_ERROR_READ_FILE_FAIL;
    }
}

uint32_t field(uint16_t bits, int shift, uint16_t mask) {
    return static_cast<uint32_t>((bits >> shift) & mask);
}

}  // namespace

uint32_t placement_of(const aipu_create_job_cfg_t* options, const Program& program, Placement& out) {
    out = Placement{};
    if (options == nullptr) return 0;
    const uint16_t bits = options->bits;
    if (field(bits, AIPU_JOB_CFG_PARTITION_SHIFT, 0xF) >= kPartitionCount)
        return AIPU_STATUS_ERROR_INVALID_PARTITION_ID;
    const uint32_t core = field(bits, AIPU_JOB_CFG_DBG_CORE_ID_SHIFT, 0x7);
    const bool pinned = field(bits, AIPU_JOB_CFG_DBG_DISPATCH_SHIFT, 0x1) != 0;
    if (pinned && core >= kCoreCount) return AIPU_STATUS_ERROR_INVALID_CORE_ID;
    const uint32_t qos = field(bits, AIPU_JOB_CFG_QOS_SHIFT, 0xF);
    if (qos >= kQosLevels) return AIPU_STATUS_ERROR_INVALID_QOS;
    if (field(bits, AIPU_JOB_CFG_FM_MEM_REGION_SHIFT, 0xF) >= kMemoryRegionCount) {
        return AIPU_STATUS_ERROR_INVALID_CONFIG;
    }
    // Feature maps are the program's temporary tensors, in table order.
    const uint32_t temporaries = count_of_kind(program, npu_program::kKindTemp);
    if (uint32_t status = check_indexes(options->fm_idxes, options->fm_idxes_cnt, temporaries)) return status;
    out.core = pinned ? static_cast<int>(core) : -1;
    out.qos = qos;
    return 0;
}

uint32_t check_load_options(const aipu_load_graph_cfg_t* options, const Program& program) {
    if (options == nullptr) return 0;
    if ((options->wt_mem_region & 0xF) >= kMemoryRegionCount) return AIPU_STATUS_ERROR_INVALID_CONFIG;
    // Weights are the program's constant tensors, in table order.
    const uint32_t constants = count_of_kind(program, npu_program::kKindConstant);
    if (uint32_t status = check_indexes(options->wt_idxes, options->wt_idxes_cnt, constants)) return status;
    return options->extra_weight_path != nullptr ? read_whole_file(options->extra_weight_path) : 0;
}

}  // namespace standin
