// Binary layout of an NPU program as the stand-in driver executes it. Shared
// by the driver's parser and the program builders so that both sides agree on
// every constant. All integers are little-endian; see docs/npu-program-format.md.
#ifndef NPU_PROGRAM_FORMAT_H
#define NPU_PROGRAM_FORMAT_H

#include <cstdint>

#include "aipu_driver.h"

namespace npu_program {

// "KVNP" read as a little-endian 32-bit word.
constexpr uint8_t kMagic[4] = {'K', 'V', 'N', 'P'};
constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kDefaultBuildVersion = 0x00010000;

// Limits that keep a crafted program from making the driver allocate or loop
// without bound.
constexpr uint32_t kMaxTensors = 4096;
constexpr uint32_t kMaxOps = 65536;
constexpr uint32_t kMaxRank = 8;
constexpr uint64_t kMaxTensorBytes = 1ull << 30;  // per tensor and in total

enum TensorKind : uint8_t {
    kKindInput = 0,
    kKindOutput = 1,
    kKindConstant = 2,
    kKindTemp = 3,
};

enum OpCode : uint32_t {
    kOpCopy = 1,            // dst, src
    kOpAdd = 2,             // dst, a, b
    kOpMul = 3,             // dst, a, b
    kOpFullyConnected = 4,  // dst, x, w, bias
    kOpRelu = 5,            // dst, src
    kOpWaitMs = 6,          // milliseconds
    kOpRaise = 7,           // job status (>= 2)
};

// Number of u32 arguments each operation carries.
inline int op_arg_count(uint32_t op) {
    switch (op) {
        case kOpCopy:
        case kOpRelu:
            return 2;
        case kOpAdd:
        case kOpMul:
            return 3;
        case kOpFullyConnected:
            return 4;
        case kOpWaitMs:
        case kOpRaise:
            return 1;
        default:
            return -1;
    }
}

// Element type codes by their names in the driver's list (kF32 is
// AIPU_DATA_TYPE_F32).
#define NPU_PROGRAM_DATA_TYPE(name, code, bytes, numpy_name) k##name = code,
enum DataType : uint32_t { AIPU_DATA_TYPE_LIST(NPU_PROGRAM_DATA_TYPE) };
#undef NPU_PROGRAM_DATA_TYPE

// Bytes per element, 0 for a code the format does not store: it stores every
// type whose elements the driver's list gives a size.
inline uint32_t element_size(uint32_t dtype) {
    switch (dtype) {
#define NPU_PROGRAM_ELEMENT_SIZE(name, code, bytes, numpy_name) \
    case code:                                                  \
        return bytes;
        AIPU_DATA_TYPE_LIST(NPU_PROGRAM_ELEMENT_SIZE)
#undef NPU_PROGRAM_ELEMENT_SIZE
        default:
            return 0;
    }
}

}  // namespace npu_program

#endif  // NPU_PROGRAM_FORMAT_H
