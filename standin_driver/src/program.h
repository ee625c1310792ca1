// A parsed NPU program: the driver's own copy of everything it keeps from the
// bytes lent to aipu_load_graph_helper.
#ifndef STANDIN_PROGRAM_H
#define STANDIN_PROGRAM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "aipu_driver.h"

namespace standin {

struct TensorSpec {
    uint8_t kind = 0;  // npu_program::TensorKind
    uint32_t dtype = 0;
    std::vector<uint32_t> shape;
    float scale = 1.0f;
    int32_t zero_point = 0;
    uint64_t elements = 0;
    uint32_t bytes = 0;
    std::vector<uint8_t> data;  // constants only
};

struct OpSpec {
    uint32_t code = 0;
    std::vector<uint32_t> args;
};

struct Program {
    uint32_t build_version = 0;
    std::vector<TensorSpec> tensors;
    std::vector<OpSpec> ops;
    // Table indexes of the inputs and outputs, in tensor-index order.
    std::vector<uint32_t> inputs;
    std::vector<uint32_t> outputs;

    // Descriptor of input/output `index`, as the driver reports it.
    aipu_tensor_desc_t descriptor(const std::vector<uint32_t>& list, uint32_t index) const;
};

// Parses and validates `size` bytes. Returns 0 and fills `out`, or
// AIPU_STATUS_ERROR_UNKNOWN_BIN for a foreign magic or version, or
// AIPU_STATUS_ERROR_INVALID_GBIN for anything malformed.
uint32_t parse_program(const uint8_t* data, size_t size, Program& out);

}  // namespace standin

#endif  // STANDIN_PROGRAM_H
