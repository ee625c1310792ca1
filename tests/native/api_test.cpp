// Graph, job, tensor and batch API against the stand-in driver.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kiv_api.h"
#include "live_context.h"
#include "live_runtime_test.h"
#include "model_container.h"
#include "npu_program_builder.h"
#include "standin_controls.h"
#include "stderr_capture.h"
#include "temp_files.h"
#include "test_paths.h"
#include "test_programs.h"

namespace {

class ApiTest : public LiveRuntimeTest {};

std::string hex_prefix(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < 32; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace

TEST_F(ApiTest, LoadGraphStatuses) {
    uint64_t graph_id = 0;
    EXPECT_EQ(kiv_load_graph(ctx(), "/nonexistent/model.zor", &graph_id, nullptr), KIV_STATUS_ERROR_OPEN_FILE_FAIL);

    TempFile junk(".zor");
    junk.write("definitely not a container", 26);
    EXPECT_EQ(kiv_load_graph(ctx(), junk.path().c_str(), &graph_id, nullptr), KIV_STATUS_ERROR_INTERNAL);

    {
        StderrCapture capture;
        EXPECT_EQ(kiv_load_graph(ctx(), nullptr, &graph_id, nullptr), KIV_STATUS_ERROR_NULL_PTR);
        EXPECT_EQ(capture.finish(), "");
    }
    {
        // The handle is checked before the path.
        StderrCapture capture;
        EXPECT_EQ(kiv_load_graph(nullptr, nullptr, &graph_id, nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_TRUE(matches_whole(
            capture.finish(), log_record_pattern("kiv_api", "ERROR", "validate_context: Invalid context structure\n")));
    }
    {
        TempFile empty(".zor");
        write_container(empty.path(), ContainerSpec{});
        StderrCapture capture;
        EXPECT_EQ(kiv_load_graph(ctx(), empty.path().c_str(), &graph_id, nullptr), KIV_STATUS_ERROR_INVALID_GBIN);
        EXPECT_TRUE(
            matches_whole(capture.finish(),
                          log_record_pattern("kiv_api", "ERROR", "kiv_load_graph: no subgraph/model data in zor\n")));
    }
    // A driver rejection passes through: the executable is not a program.
    const auto bogus = write_program_container({{'X', 'Y', 'Z', 'W', 1, 2, 3}});
    EXPECT_EQ(kiv_load_graph(ctx(), bogus->path().c_str(), &graph_id, nullptr), KIV_STATUS_ERROR_UNKNOWN_BIN);
}

TEST_F(ApiTest, OnlyTheFirstSubgraphReachesTheDriver) {
    const auto first = copy_program(8);
    const auto second = add_program(4);
    const auto file = write_program_container({first, second});
    uint64_t graph_id = 0;
    ASSERT_EQ(kiv_load_graph(ctx(), file->path().c_str(), &graph_id, nullptr), KIV_STATUS_SUCCESS);
    const auto call = last_call("aipu_load_graph_helper");
    EXPECT_EQ(call.value("size", 0u), first.size());
    EXPECT_EQ(call.value("data_hex_prefix", ""), hex_prefix(first));
    EXPECT_FALSE(call.value("has_wrapper", true));

    const std::vector<uint8_t> input = {1, 2, 3, 4, 5, 6, 7, 8};
    const JobRun run = run_job(ctx(), graph_id, {input});
    ASSERT_EQ(run.status, KIV_STATUS_SUCCESS);
    ASSERT_EQ(run.outputs.size(), 1u);
    EXPECT_EQ(run.outputs[0], input);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
    EXPECT_NE(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, GraphOptionsArePassedAsTheWrapperItself) {
    const auto file = write_program_container({copy_program(4)});
    aipu_load_graph_cfg_t options{};
    options.wt_mem_region = 3;
    options.extra_weight_path = "/tmp/extra_weights";
    graph_config cfg{&options};
    uint64_t graph_id = 0;
    // The device has no region 3: it refuses the options it was handed.
    ASSERT_EQ(kiv_load_graph(ctx(), file->path().c_str(), &graph_id, &cfg), KIV_STATUS_ERROR_INVALID_CONFIG);
    const auto call = last_call("aipu_load_graph_helper");
    EXPECT_TRUE(call.value("has_wrapper", false));
    EXPECT_EQ(call["config"].value("wt_mem_region", 0u), 3u);
    EXPECT_EQ(call["config"].value("extra_weight_path", ""), "/tmp/extra_weights");
}

TEST_F(ApiTest, DenseLayerMatchesReference) {
    constexpr uint32_t k = 16, m = 5;
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> w(k * m), bias(m), x(k);
    for (auto& v : w) v = dist(rng);
    for (auto& v : bias) v = dist(rng);
    const uint64_t graph_id = load_program(ctx(), dense_relu_program(k, m, w, bias));

    uint32_t inputs = 0, outputs = 0;
    ASSERT_EQ(kiv_get_tensor_count(ctx(), graph_id, KIV_TENSOR_TYPE_INPUT, &inputs), KIV_STATUS_SUCCESS);
    ASSERT_EQ(kiv_get_tensor_count(ctx(), graph_id, KIV_TENSOR_TYPE_OUTPUT, &outputs), KIV_STATUS_SUCCESS);
    EXPECT_EQ(inputs, 1u);
    EXPECT_EQ(outputs, 1u);
    tensor_desc_t desc{};
    ASSERT_EQ(kiv_get_tensor_descriptor(ctx(), graph_id, KIV_TENSOR_TYPE_INPUT, 0, &desc), KIV_STATUS_SUCCESS);
    EXPECT_EQ(desc.size, k * sizeof(float));
    EXPECT_EQ(desc.data_type, KIV_DATA_TYPE_F32);

    for (int round = 0; round < 5; ++round) {
        for (auto& v : x) v = dist(rng);
        std::vector<float> expected(m);
        for (uint32_t j = 0; j < m; ++j) {
            double sum = bias[j];
            for (uint32_t i = 0; i < k; ++i) sum += static_cast<double>(x[i]) * w[i * m + j];
            expected[j] = static_cast<float>(std::max(sum, 0.0));
        }
        const JobRun run = run_job(ctx(), graph_id, {as_bytes(x)});
        ASSERT_EQ(run.status, KIV_STATUS_SUCCESS);
        const auto got = from_bytes<float>(run.outputs.at(0));
        ASSERT_EQ(got.size(), m);
        for (uint32_t j = 0; j < m; ++j) EXPECT_NEAR(got[j], expected[j], 1e-4f) << "element " << j;
    }
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, JobOptionsReachTheDriverAsTheInnerRecord) {
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    uint64_t job_id = 0;
    ASSERT_EQ(kiv_create_job(ctx(), graph_id, &job_id, nullptr), KIV_STATUS_SUCCESS);
    EXPECT_TRUE(last_call("aipu_create_job")["config"].is_null());
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);

    job_config empty{nullptr};
    ASSERT_EQ(kiv_create_job(ctx(), graph_id, &job_id, &empty), KIV_STATUS_SUCCESS);
    EXPECT_TRUE(last_call("aipu_create_job")["config"].is_null());
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);

    aipu_create_job_cfg_t options{};
    int32_t fm_idxes[] = {4, 9};
    options.bits = static_cast<uint16_t>((2u << AIPU_JOB_CFG_PARTITION_SHIFT) | (5u << AIPU_JOB_CFG_QOS_SHIFT));
    options.fm_idxes = fm_idxes;
    options.fm_idxes_cnt = 2;
    job_config cfg{&options};
    const kiv_status_t status = kiv_create_job(ctx(), graph_id, &job_id, &cfg);
    const auto config = last_call("aipu_create_job")["config"];
    ASSERT_FALSE(config.is_null());
    EXPECT_EQ(config.value("partition_id", 0u), 2u);
    EXPECT_EQ(config.value("qos_level", 0u), 5u);
    EXPECT_EQ(config["fm_idxes"], nlohmann::json::array({4, 9}));
    if (status == KIV_STATUS_SUCCESS) {
        EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    }
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, JobStatusAndDriverFailuresPassThrough) {
    const uint64_t graph_id = load_program(ctx(), raising_program(2));
    uint64_t job_id = 0;
    ASSERT_EQ(kiv_create_job(ctx(), graph_id, &job_id, nullptr), KIV_STATUS_SUCCESS);
    const uint8_t input[4] = {1, 2, 3, 4};
    ASSERT_EQ(kiv_load_tensor(ctx(), job_id, 0, input), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_job_infer_sync(ctx(), job_id, -1), KIV_STATUS_ERROR_JOB_EXCEPTION);
    job_status_t status = KIV_JOB_STATUS_NO_STATUS;
    EXPECT_EQ(kiv_get_job_status(ctx(), job_id, &status, -1), KIV_STATUS_SUCCESS);
    EXPECT_EQ(status, KIV_JOB_STATUS_EXCEPTION);
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_ERROR_INVALID_JOB_ID);
    EXPECT_EQ(kiv_load_tensor(ctx(), job_id, 0, input), KIV_STATUS_ERROR_INVALID_JOB_ID);
    const char* text = nullptr;
    ASSERT_EQ(kiv_get_error_message(ctx(), KIV_STATUS_ERROR_INVALID_JOB_ID, &text), KIV_STATUS_SUCCESS);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, SyncWaitTimesOutWhileTheJobRuns) {
    const uint64_t graph_id = load_program(ctx(), copy_program(4, 2000));
    uint64_t job_id = 0;
    ASSERT_EQ(kiv_create_job(ctx(), graph_id, &job_id, nullptr), KIV_STATUS_SUCCESS);
    const uint8_t input[4] = {9, 8, 7, 6};
    ASSERT_EQ(kiv_load_tensor(ctx(), job_id, 0, input), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_job_infer_sync(ctx(), job_id, 1), KIV_STATUS_ERROR_JOB_TIMEOUT);
    EXPECT_EQ(last_call("aipu_finish_job").value("time_out", 0), 1);
    job_status_t status = KIV_JOB_STATUS_DONE;
    // A later wait without limit collects the same job.
    EXPECT_EQ(kiv_job_infer_sync(ctx(), job_id, -1), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_get_job_status(ctx(), job_id, &status, 0), KIV_STATUS_SUCCESS);
    EXPECT_EQ(status, KIV_JOB_STATUS_DONE);
    uint8_t output[4] = {};
    ASSERT_EQ(kiv_get_tensor(ctx(), job_id, KIV_TENSOR_TYPE_OUTPUT, 0, output), KIV_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(output, input, 4), 0);
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, SyncJobsFromSeveralThreads) {
    constexpr uint32_t n = 64;
    const uint64_t graph_id = load_program(ctx(), add_program(n));
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::vector<float> a(n), b(n);
                for (uint32_t i = 0; i < n; ++i) {
                    a[i] = static_cast<float>(t * 1000 + round);
                    b[i] = static_cast<float>(i);
                }
                const JobRun run = run_job(ctx(), graph_id, {as_bytes(a), as_bytes(b)});
                if (run.status != KIV_STATUS_SUCCESS || run.outputs.size() != 1) {
                    ++failures[t];
                    continue;
                }
                const auto sum = from_bytes<float>(run.outputs[0]);
                for (uint32_t i = 0; i < n; ++i) {
                    if (sum[i] != a[i] + b[i]) ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, BatchQueueEndToEnd) {
    constexpr uint32_t n = 8;
    const uint64_t graph_id = load_program(ctx(), add_program(n));
    uint32_t queue_id = 0;
    ASSERT_EQ(kiv_create_batch_queue(ctx(), graph_id, &queue_id), KIV_STATUS_SUCCESS);

    job_config_dump_t dump{nullptr, "batch_prefix", nullptr, nullptr};
    EXPECT_EQ(kiv_config_batch_dump(ctx(), graph_id, queue_id, 0, &dump), KIV_STATUS_SUCCESS);
    const auto dump_call = last_call("aipu_config_batch_dump");
    EXPECT_EQ(dump_call.value("prefix", ""), "batch_prefix");
    EXPECT_TRUE(dump_call["dump_dir"].is_null());

    constexpr int kBatches = 3;
    std::vector<std::vector<float>> a(kBatches, std::vector<float>(n)), b = a, out = a;
    std::vector<char*> input_sets[kBatches];
    std::vector<char*> output_sets[kBatches];
    for (int k = 0; k < kBatches; ++k) {
        for (uint32_t i = 0; i < n; ++i) {
            a[k][i] = static_cast<float>(k * 10 + i);
            b[k][i] = 0.5f;
            out[k][i] = -1.0f;
        }
        input_sets[k] = {reinterpret_cast<char*>(a[k].data()), reinterpret_cast<char*>(b[k].data())};
        output_sets[k] = {reinterpret_cast<char*>(out[k].data())};
        ASSERT_EQ(kiv_add_batch(ctx(), graph_id, queue_id, input_sets[k].data(), output_sets[k].data()),
                  KIV_STATUS_SUCCESS);
    }
    ASSERT_EQ(kiv_finish_batch(ctx(), graph_id, queue_id, nullptr), KIV_STATUS_SUCCESS);
    EXPECT_TRUE(last_call("aipu_finish_batch")["config"].is_null());
    for (int k = 0; k < kBatches; ++k) {
        for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(out[k][i], a[k][i] + b[k][i]) << "batch " << k << " element " << i;
    }
    EXPECT_EQ(kiv_clean_batch_queue(ctx(), graph_id, queue_id), KIV_STATUS_SUCCESS);
    EXPECT_NE(kiv_add_batch(ctx(), graph_id, queue_id, input_sets[0].data(), output_sets[0].data()),
              KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, FinishBatchPassesTheInnerJobOptions) {
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    uint32_t queue_id = 0;
    ASSERT_EQ(kiv_create_batch_queue(ctx(), graph_id, &queue_id), KIV_STATUS_SUCCESS);
    aipu_create_job_cfg_t options{};
    options.bits = static_cast<uint16_t>(1u << AIPU_JOB_CFG_PARTITION_SHIFT);
    job_config cfg{&options};
    kiv_finish_batch(ctx(), graph_id, queue_id, &cfg);
    const auto config = last_call("aipu_finish_batch")["config"];
    ASSERT_FALSE(config.is_null());
    EXPECT_EQ(config.value("partition_id", 0u), 1u);
    EXPECT_EQ(kiv_clean_batch_queue(ctx(), graph_id, queue_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, SharedBuffersCarryJobInputAndOutput) {
    constexpr uint32_t bytes = 32;
    const uint64_t graph_id = load_program(ctx(), copy_program(bytes));
    aipu_share_buf_t in_buf{}, out_buf{};
    in_buf.size = bytes;
    out_buf.size = bytes;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_ALLOC_SHARE_BUF, &in_buf), KIV_STATUS_SUCCESS);
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_ALLOC_SHARE_BUF, &out_buf), KIV_STATUS_SUCCESS);
    auto* in_view = reinterpret_cast<uint8_t*>(in_buf.va);
    auto* out_view = reinterpret_cast<uint8_t*>(out_buf.va);
    for (uint32_t i = 0; i < bytes; ++i) {
        in_view[i] = static_cast<uint8_t>(3 * i + 1);
        out_view[i] = 0;
    }

    uint64_t job_id = 0;
    ASSERT_EQ(kiv_create_job(ctx(), graph_id, &job_id, nullptr), KIV_STATUS_SUCCESS);
    shared_tensor_info_npu input{};
    input.type = KIV_TENSOR_TYPE_INPUT;
    input.tensor_idx = 0;
    input.pa = in_buf.pa;
    input.shared_case_type = AIPU_SHARED_BY_PA;
    shared_tensor_info_npu output = input;
    output.type = KIV_TENSOR_TYPE_OUTPUT;
    output.pa = out_buf.pa;
    ASSERT_EQ(kiv_specify_iobuf(ctx(), job_id, &input), KIV_STATUS_SUCCESS);
    ASSERT_EQ(kiv_specify_iobuf(ctx(), job_id, &output), KIV_STATUS_SUCCESS);
    ASSERT_EQ(kiv_job_infer_sync(ctx(), job_id, -1), KIV_STATUS_SUCCESS);
    for (uint32_t i = 0; i < bytes; ++i) EXPECT_EQ(out_view[i], in_view[i]) << i;

    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_FREE_SHARE_BUF, &in_buf), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_FREE_SHARE_BUF, &out_buf), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(ApiTest, DmaBufferFeedsAJobInput) {
    constexpr uint32_t bytes = 16;
    const uint64_t graph_id = load_program(ctx(), copy_program(bytes));
    aipu_dma_buf_req_t request{};
    request.bytes = 64;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_ALLOC_DMABUF, &request), KIV_STATUS_SUCCESS);
    char payload[bytes];
    for (uint32_t i = 0; i < bytes; ++i) payload[i] = static_cast<char>(0x40 + i);
    aipu_dmabuf_op_t write_op{};
    write_op.fd = request.fd;
    write_op.offset_in_dmabuf = 16;
    write_op.size = bytes;
    write_op.data = payload;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_WRITE_DMABUF, &write_op), KIV_STATUS_SUCCESS);

    uint64_t job_id = 0;
    ASSERT_EQ(kiv_create_job(ctx(), graph_id, &job_id, nullptr), KIV_STATUS_SUCCESS);
    shared_tensor_info_npu input{};
    input.type = KIV_TENSOR_TYPE_INPUT;
    input.tensor_idx = 0;
    input.dmabuf_fd = request.fd;
    input.offset_in_dmabuf = 16;
    input.shared_case_type = AIPU_SHARED_BY_DMABUF;
    ASSERT_EQ(kiv_specify_iobuf(ctx(), job_id, &input), KIV_STATUS_SUCCESS);
    ASSERT_EQ(kiv_job_infer_sync(ctx(), job_id, -1), KIV_STATUS_SUCCESS);
    char output[bytes] = {};
    ASSERT_EQ(kiv_get_tensor(ctx(), job_id, KIV_TENSOR_TYPE_OUTPUT, 0, output), KIV_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(output, payload, bytes), 0);

    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    int32_t fd = request.fd;
    EXPECT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_FREE_DMABUF, &fd), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}
