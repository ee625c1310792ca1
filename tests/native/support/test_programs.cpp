#include "test_programs.h"

#include <gtest/gtest.h>

#include "model_container.h"
#include "npu_program_builder.h"

using npu_program::ProgramBuilder;

std::vector<uint8_t> add_program(uint32_t n) {
    ProgramBuilder b;
    const uint32_t a = b.input({n}, npu_program::kF32);
    const uint32_t c = b.input({n}, npu_program::kF32);
    const uint32_t out = b.output({n}, npu_program::kF32);
    b.add(out, a, c);
    return b.build();
}

std::vector<uint8_t> dense_relu_program(uint32_t k, uint32_t m, const std::vector<float>& w,
                                        const std::vector<float>& bias) {
    ProgramBuilder b;
    const uint32_t x = b.input({1, k}, npu_program::kF32);
    const uint32_t weights = b.constant({k, m}, npu_program::kF32, w);
    const uint32_t offsets = b.constant({m}, npu_program::kF32, bias);
    const uint32_t hidden = b.temp({1, m}, npu_program::kF32);
    const uint32_t out = b.output({1, m}, npu_program::kF32);
    b.fully_connected(hidden, x, weights, offsets);
    b.relu(out, hidden);
    return b.build();
}

std::vector<uint8_t> copy_program(uint32_t bytes, uint32_t wait_ms) {
    ProgramBuilder b;
    const uint32_t in = b.input({bytes}, npu_program::kU8);
    const uint32_t out = b.output({bytes}, npu_program::kU8);
    if (wait_ms > 0) b.wait_ms(wait_ms);
    b.copy(out, in);
    return b.build();
}

std::vector<uint8_t> raising_program(uint32_t job_status) {
    ProgramBuilder b;
    const uint32_t in = b.input({4}, npu_program::kU8);
    const uint32_t out = b.output({4}, npu_program::kU8);
    b.copy(out, in);
    b.raise_exception(job_status);
    return b.build();
}

std::unique_ptr<TempFile> write_program_container(const std::vector<std::vector<uint8_t>>& programs) {
    auto file = std::make_unique<TempFile>(".zor");
    ContainerSpec spec;
    spec.executables = programs;
    write_container(file->path(), spec);
    return file;
}

uint64_t load_program(kiv_context* ctx, const std::vector<uint8_t>& program, kiv_status_t* status) {
    const auto file = write_program_container({program});
    uint64_t graph_id = 0;
    const kiv_status_t s = kiv_load_graph(ctx, file->path().c_str(), &graph_id, nullptr);
    if (status) {
        *status = s;
    } else {
        EXPECT_EQ(s, KIV_STATUS_SUCCESS);
    }
    return graph_id;
}

JobRun run_job(kiv_context* ctx, uint64_t graph_id, const std::vector<std::vector<uint8_t>>& inputs) {
    JobRun run;
    uint64_t job_id = 0;
    if ((run.status = kiv_create_job(ctx, graph_id, &job_id, nullptr)) != KIV_STATUS_SUCCESS) return run;
    for (uint32_t i = 0; i < inputs.size(); ++i) {
        if ((run.status = kiv_load_tensor(ctx, job_id, i, inputs[i].data())) != KIV_STATUS_SUCCESS) break;
    }
    if (run.status == KIV_STATUS_SUCCESS) run.status = kiv_job_infer_sync(ctx, job_id, -1);
    uint32_t count = 0;
    if (run.status == KIV_STATUS_SUCCESS)
        run.status = kiv_get_tensor_count(ctx, graph_id, KIV_TENSOR_TYPE_OUTPUT, &count);
    for (uint32_t i = 0; run.status == KIV_STATUS_SUCCESS && i < count; ++i) {
        tensor_desc_t desc{};
        run.status = kiv_get_tensor_descriptor(ctx, graph_id, KIV_TENSOR_TYPE_OUTPUT, i, &desc);
        if (run.status != KIV_STATUS_SUCCESS) break;
        std::vector<uint8_t> data(desc.size);
        run.status = kiv_get_tensor(ctx, job_id, KIV_TENSOR_TYPE_OUTPUT, i, data.data());
        run.outputs.push_back(std::move(data));
    }
    EXPECT_EQ(kiv_clean_job(ctx, job_id), KIV_STATUS_SUCCESS);
    return run;
}
