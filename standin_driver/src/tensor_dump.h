// Writing job tensors to files for the dump options of aipu_config_job and
// aipu_config_batch_dump.
#ifndef STANDIN_TENSOR_DUMP_H
#define STANDIN_TENSOR_DUMP_H

#include <cstdint>
#include <string>
#include <vector>

#include "aipu_driver.h"

namespace standin {

struct DumpConfig {
    bool inputs = false;
    bool outputs = false;
    std::string dir;
    std::string prefix;  // empty: the caller's default

    bool any() const { return inputs || outputs; }
};

// Builds a dump configuration from the caller's types and record. Returns 0,
// or AIPU_STATUS_ERROR_INVALID_CONFIG when dump bits are set without a record
// or without an existing directory.
uint32_t make_dump_config(uint64_t types, const aipu_job_config_dump_t* record, DumpConfig& out);

// Writes "<dir>/<stem>_input<i>.bin" (or _output<i>) for every tensor.
// Failures to write are not job failures: the run itself is unaffected.
void dump_tensors(const DumpConfig& cfg, const std::string& stem, const char* role,
                  const std::vector<std::vector<uint8_t>>& tensors);

}  // namespace standin

#endif  // STANDIN_TENSOR_DUMP_H
