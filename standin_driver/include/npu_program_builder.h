// Builds NPU programs for the stand-in driver: declare tensors, add
// operations, then build() the bytes that aipu_load_graph_helper accepts.
// The Python builder (npu_program.py) has the same methods and produces the
// same bytes.
#ifndef NPU_PROGRAM_BUILDER_H
#define NPU_PROGRAM_BUILDER_H

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "npu_program_format.h"

namespace npu_program {

class ProgramBuilder {
public:
    explicit ProgramBuilder(uint32_t build_version = kDefaultBuildVersion) : build_version_(build_version) {}

    uint32_t input(const std::vector<uint32_t>& shape, uint32_t dtype, float scale = 1.0f, int32_t zero_point = 0) {
        return add_tensor(kKindInput, shape, dtype, scale, zero_point, {});
    }
    uint32_t output(const std::vector<uint32_t>& shape, uint32_t dtype, float scale = 1.0f, int32_t zero_point = 0) {
        return add_tensor(kKindOutput, shape, dtype, scale, zero_point, {});
    }
    uint32_t temp(const std::vector<uint32_t>& shape, uint32_t dtype, float scale = 1.0f, int32_t zero_point = 0) {
        return add_tensor(kKindTemp, shape, dtype, scale, zero_point, {});
    }
    // `values` holds the elements in row-major order; T must match `dtype`'s
    // element size.
    template <typename T>
    uint32_t constant(const std::vector<uint32_t>& shape, uint32_t dtype, const std::vector<T>& values,
                      float scale = 1.0f, int32_t zero_point = 0) {
        static_assert(std::is_trivially_copyable<T>::value, "constant values must be plain numbers");
        if (sizeof(T) != element_size(dtype)) throw std::invalid_argument("element size does not match dtype");
        std::vector<uint8_t> bytes(values.size() * sizeof(T));
        if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
        return add_tensor(kKindConstant, shape, dtype, scale, zero_point, std::move(bytes));
    }

    void copy(uint32_t dst, uint32_t src) { add_op(kOpCopy, {dst, src}); }
    void add(uint32_t dst, uint32_t a, uint32_t b) { add_op(kOpAdd, {dst, a, b}); }
    void mul(uint32_t dst, uint32_t a, uint32_t b) { add_op(kOpMul, {dst, a, b}); }
    void fully_connected(uint32_t dst, uint32_t x, uint32_t w, uint32_t bias) {
        add_op(kOpFullyConnected, {dst, x, w, bias});
    }
    void relu(uint32_t dst, uint32_t src) { add_op(kOpRelu, {dst, src}); }
    void wait_ms(uint32_t ms) { add_op(kOpWaitMs, {ms}); }
    void raise_exception(uint32_t job_status = 2) { add_op(kOpRaise, {job_status}); }

    std::vector<uint8_t> build() const {
        std::vector<uint8_t> out(kMagic, kMagic + 4);
        put_u32(out, kFormatVersion);
        put_u32(out, build_version_);
        put_u32(out, tensor_count_);
        put_u32(out, op_count_);
        put_u32(out, 0);
        out.insert(out.end(), tensors_.begin(), tensors_.end());
        out.insert(out.end(), ops_.begin(), ops_.end());
        return out;
    }

private:
    static void put_u32(std::vector<uint8_t>& out, uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }

    uint32_t add_tensor(uint8_t kind, const std::vector<uint32_t>& shape, uint32_t dtype, float scale,
                        int32_t zero_point, std::vector<uint8_t> data) {
        std::vector<uint8_t>& t = tensors_;
        t.push_back(kind);
        t.push_back(static_cast<uint8_t>(dtype));
        t.push_back(static_cast<uint8_t>(shape.size()));
        t.push_back(0);
        uint32_t bits = 0;
        std::memcpy(&bits, &scale, 4);
        put_u32(t, bits);
        put_u32(t, static_cast<uint32_t>(zero_point));
        for (uint32_t d : shape) put_u32(t, d);
        put_u32(t, static_cast<uint32_t>(data.size()));
        t.insert(t.end(), data.begin(), data.end());
        return tensor_count_++;
    }

    void add_op(uint32_t code, const std::vector<uint32_t>& args) {
        put_u32(ops_, code);
        put_u32(ops_, static_cast<uint32_t>(args.size()));
        for (uint32_t a : args) put_u32(ops_, a);
        ++op_count_;
    }

    uint32_t build_version_;
    uint32_t tensor_count_ = 0;
    uint32_t op_count_ = 0;
    std::vector<uint8_t> tensors_;
    std::vector<uint8_t> ops_;
};

}  // namespace npu_program

#endif  // NPU_PROGRAM_BUILDER_H
