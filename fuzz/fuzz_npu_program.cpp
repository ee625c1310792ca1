// NPU programs of any bytes through the stand-in driver: the parser must
// refuse or accept them without reading outside the bytes it is lent, and an
// accepted program must run to a result on zeroed inputs and clean up.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "aipu_driver.h"
#include "kiv_api.h"
#include "npu_program_format.h"
#include "program.h"

namespace {

// Programs that would sleep or allocate for long are parsed but not run, so
// that each input stays fast.
constexpr uint32_t kMaxRunWaitMs = 2;
constexpr uint64_t kMaxRunBytes = 1u << 18;

bool worth_running(const standin::Program& program) {
    uint64_t bytes = 0;
    for (const standin::TensorSpec& tensor : program.tensors) bytes += tensor.bytes;
    if (bytes > kMaxRunBytes) return false;
    for (const standin::OpSpec& op : program.ops) {
        if (op.code == npu_program::kOpWaitMs && op.args[0] > kMaxRunWaitMs) return false;
    }
    return true;
}

const aipu_ctx_handle_t* context() {
    static aipu_ctx_handle_t* ctx = [] {
        aipu_ctx_handle_t* opened = nullptr;
        if (aipu_init_context(&opened) != 0) std::abort();
        return opened;
    }();
    return ctx;
}

void check(bool condition) {
    if (!condition) std::abort();
}

void run_job(const aipu_ctx_handle_t* ctx, uint64_t graph_id) {
    uint64_t job_id = 0;
    aipu_create_job_cfg_t config{};
    check(aipu_create_job(ctx, graph_id, &job_id, &config) == 0);
    uint32_t inputs = 0, outputs = 0;
    check(aipu_get_tensor_count(ctx, graph_id, KIV_TENSOR_TYPE_INPUT, &inputs) == 0);
    check(aipu_get_tensor_count(ctx, graph_id, KIV_TENSOR_TYPE_OUTPUT, &outputs) == 0);
    for (uint32_t i = 0; i < inputs; ++i) {
        aipu_tensor_desc_t desc{};
        check(aipu_get_tensor_descriptor(ctx, graph_id, KIV_TENSOR_TYPE_INPUT, i, &desc) == 0);
        std::vector<uint8_t> zeros(desc.size);
        check(aipu_load_tensor(ctx, job_id, i, zeros.data()) == 0);
    }
    const uint32_t status = aipu_finish_job(ctx, job_id, 10000);
    check(status == 0 || status == KIV_STATUS_ERROR_JOB_EXCEPTION);
    if (status == 0) {
        for (uint32_t i = 0; i < outputs; ++i) {
            aipu_tensor_desc_t desc{};
            check(aipu_get_tensor_descriptor(ctx, graph_id, KIV_TENSOR_TYPE_OUTPUT, i, &desc) == 0);
            std::vector<uint8_t> out(desc.size);
            check(aipu_get_tensor(ctx, job_id, KIV_TENSOR_TYPE_OUTPUT, i, out.data()) == 0);
        }
    }
    check(aipu_clean_job(ctx, job_id) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The driver's own copy of exactly `size` bytes, so ASan sees any read past it.
    std::vector<uint8_t> bytes(data, data + size);
    standin::Program program;
    const uint32_t parsed = standin::parse_program(bytes.data(), bytes.size(), program);

    const aipu_ctx_handle_t* ctx = context();
    uint64_t graph_id = 0;
    const uint32_t loaded = aipu_load_graph_helper(ctx, reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<uint32_t>(bytes.size()), &graph_id, nullptr);
    // The entry point and the parser must agree on what is a program.
    check((parsed == 0) == (loaded == 0));
    if (loaded != 0) return 0;
    if (worth_running(program)) run_job(ctx, graph_id);
    check(aipu_unload_graph(ctx, graph_id) == 0);
    return 0;
}
