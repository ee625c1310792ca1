// The stand-in driver's contexts, status texts, topology, ioctl buffers,
// shared-buffer binding, batch queues and call recorder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "aipu_standin_loader.h"
#include "driver_context_test.h"
#include "kiv_api.h"
#include "npu_program_builder.h"

namespace {

using nlohmann::json;
using npu_program::ProgramBuilder;

class DeviceTest : public DriverContextTest {
protected:
    json last(const char* entry) { return json::parse(drv.describe_last_call(entry)); }
};

// y = x * 2 on four uint8 values (scale 1), and z = x copied.
std::vector<uint8_t> double_program() {
    ProgramBuilder b;
    const uint32_t x = b.input({4}, KIV_DATA_TYPE_U8);
    const uint32_t two = b.constant<uint8_t>({4}, KIV_DATA_TYPE_U8, {2, 2, 2, 2});
    const uint32_t y = b.output({4}, KIV_DATA_TYPE_U8);
    const uint32_t z = b.output({4}, KIV_DATA_TYPE_U8);
    b.mul(y, x, two);
    b.copy(z, x);
    return b.build();
}

TEST_F(DeviceTest, ContextsAreIndependentAndForeignHandlesRefused) {
    aipu_ctx_handle_t* other = nullptr;
    ASSERT_EQ(drv.aipu_init_context(&other), 0u);
    EXPECT_NE(other, ctx);
    EXPECT_EQ(drv.aipu_standin_open_context_count(), 2u);
    const uint64_t graph = load(double_program());
    uint32_t count = 0;
    EXPECT_EQ(drv.aipu_get_tensor_count(other, graph, KIV_TENSOR_TYPE_INPUT, &count),
              uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
    ASSERT_EQ(drv.aipu_deinit_context(other), 0u);
    EXPECT_EQ(drv.aipu_standin_open_context_count(), 1u);
    EXPECT_EQ(drv.aipu_get_tensor_count(ctx, graph, KIV_TENSOR_TYPE_INPUT, &count), 0u);

    int not_a_context = 0;
    auto* foreign = reinterpret_cast<aipu_ctx_handle_t*>(&not_a_context);
    const char* msg = "untouched";
    EXPECT_EQ(drv.aipu_get_error_message(foreign, 0, &msg), uint32_t(KIV_STATUS_ERROR_INVALID_CTX));
    EXPECT_STREQ(msg, "untouched");
    EXPECT_EQ(drv.aipu_get_partition_count(other, &count), uint32_t(KIV_STATUS_ERROR_INVALID_CTX));
    EXPECT_EQ(drv.aipu_deinit_context(other), uint32_t(KIV_STATUS_ERROR_INVALID_CTX));
    EXPECT_EQ(drv.aipu_deinit_context(nullptr), uint32_t(KIV_STATUS_ERROR_INVALID_CTX));
    EXPECT_EQ(drv.aipu_init_context(nullptr), uint32_t(KIV_STATUS_ERROR_NULL_PTR));
}

TEST_F(DeviceTest, ForcedInitAndDeinitFailures) {
    aipu_ctx_handle_t* other = nullptr;
    drv.aipu_standin_set_init_status(3);
    EXPECT_EQ(drv.aipu_init_context(&other), 3u);
    EXPECT_EQ(other, nullptr);
    drv.aipu_standin_set_init_status(0);
    ASSERT_EQ(setenv("AIPU_STANDIN_INIT_STATUS", "4", 1), 0);
    EXPECT_EQ(drv.aipu_init_context(&other), 4u);
    unsetenv("AIPU_STANDIN_INIT_STATUS");
    ASSERT_EQ(drv.aipu_init_context(&other), 0u);

    drv.aipu_standin_set_deinit_status(5);
    EXPECT_EQ(drv.aipu_deinit_context(other), 5u);
    drv.aipu_standin_set_deinit_status(0);
    ASSERT_EQ(setenv("AIPU_STANDIN_DEINIT_STATUS", "5", 1), 0);
    EXPECT_EQ(drv.aipu_deinit_context(other), 5u);
    unsetenv("AIPU_STANDIN_DEINIT_STATUS");
    EXPECT_EQ(drv.aipu_standin_open_context_count(), 2u);  // the refused close changed nothing
    EXPECT_EQ(drv.aipu_deinit_context(other), 0u);
}

TEST_F(DeviceTest, StatusTextsAndTopology) {
    const char* msg = nullptr;
    ASSERT_EQ(drv.aipu_get_error_message(ctx, 0, &msg), 0u);
    EXPECT_STREQ(msg, "success");
    ASSERT_EQ(drv.aipu_get_error_message(ctx, KIV_STATUS_ERROR_JOB_TIMEOUT, &msg), 0u);
    EXPECT_STREQ(msg, "job timed out");
    const char* unknown = nullptr;
    ASSERT_EQ(drv.aipu_get_error_message(ctx, 42, &unknown), 0u);
    EXPECT_STREQ(unknown, "unknown status");
    for (uint32_t s : {1u, 9u, 36u, 55u, 64u, 69u, 512u, 1159u}) {
        ASSERT_EQ(drv.aipu_get_error_message(ctx, s, &msg), 0u);
        ASSERT_NE(msg, nullptr);
        EXPECT_STRNE(msg, unknown) << s;
    }
    uint32_t n = 0;
    ASSERT_EQ(drv.aipu_get_partition_count(ctx, &n), 0u);
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(drv.aipu_get_cluster_count(ctx, 0, &n), 0u);
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(drv.aipu_get_core_count(ctx, 0, 0, &n), 0u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(drv.aipu_get_cluster_count(ctx, 1, &n), uint32_t(KIV_STATUS_ERROR_INVALID_PARTITION_ID));
    EXPECT_EQ(drv.aipu_get_core_count(ctx, 1, 0, &n), uint32_t(KIV_STATUS_ERROR_INVALID_PARTITION_ID));
    EXPECT_EQ(drv.aipu_get_core_count(ctx, 0, 1, &n), uint32_t(KIV_STATUS_ERROR_INVALID_CLUSTER_ID));
    char target[32] = {};
    ASSERT_EQ(drv.aipu_get_target(ctx, target), 0u);
    EXPECT_GT(std::strlen(target), 0u);
    ASSERT_EQ(drv.aipu_get_device_status(ctx, &n), 0u);
    EXPECT_EQ(n, uint32_t(KIV_DEV_IDLE));
}

TEST_F(DeviceTest, ShareAndDmaBuffersRoundTrip) {
    aipu_share_buf_t share{0, 0, 4000, 0};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ALLOC_SHARE_BUF, &share), 0u);
    EXPECT_NE(share.pa, 0u);
    ASSERT_NE(share.va, 0u);
    EXPECT_EQ(share.va % 4096, 0u);
    std::memset(reinterpret_cast<void*>(share.va), 0xAB, 4000);  // real, writable memory
    aipu_share_buf_t wrong = share;
    wrong.size = 4096;
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_FREE_SHARE_BUF, &wrong), uint32_t(KIV_STATUS_ERROR_BUF_FREE_FAIL));

    aipu_dma_buf_req_t req{-1, 0, 64};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ALLOC_DMABUF, &req), 0u);
    ASSERT_GE(req.fd, 0);
    char text[] = "dma payload";
    aipu_dmabuf_op_t op{req.fd, 10, sizeof(text), 0, text};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_WRITE_DMABUF, &op), 0u);
    char back[sizeof(text)] = {};
    aipu_dmabuf_op_t rd{req.fd, 10, sizeof(text), 0, back};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_READ_DMABUF, &rd), 0u);
    EXPECT_STREQ(back, text);
    aipu_dmabuf_op_t past{req.fd, 60, 5, 0, text};
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_WRITE_DMABUF, &past), uint32_t(KIV_STATUS_ERROR_INVALID_SIZE));
    aipu_dma_buf_t att{req.fd, 0, 0, 0};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ATTACH_DMABUF, &att), 0u);
    EXPECT_NE(att.pa, 0u);
    EXPECT_EQ(att.bytes, 64u);
    int32_t fd = req.fd;
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_DETACH_DMABUF, &fd), 0u);
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_FREE_DMABUF, &fd), 0u);
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_FREE_DMABUF, &fd), uint32_t(KIV_STATUS_ERROR_BUF_FREE_FAIL));
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_FREE_SHARE_BUF, &share), 0u);

    aipu_driver_version_t ver{};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_GET_VERSION, &ver), 0u);
    EXPECT_GT(strnlen(ver.umd_version, 16), 0u);
    EXPECT_LT(strnlen(ver.kmd_version, 16), 16u);
    uint32_t on = 1;
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_SET_PROFILE, &on), 0u);
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ENABLE_TICK_COUNTER, nullptr), 0u);
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_CONFIG_CLUSTERS, nullptr), 0u);
    EXPECT_EQ(drv.aipu_ioctl(ctx, 257, &on), uint32_t(KIV_STATUS_ERROR_INVALID_OP));
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ALLOC_SHARE_BUF, nullptr), uint32_t(KIV_STATUS_ERROR_NULL_PTR));
    aipu_bin_buildversion bv{12345, 0};
    EXPECT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION, &bv),
              uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
}

TEST_F(DeviceTest, JobTensorsBoundToSharedBuffers) {
    const uint64_t graph = load(double_program());
    uint64_t job = 0;
    ASSERT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);
    aipu_share_buf_t share{0, 0, 4096, 0};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ALLOC_SHARE_BUF, &share), 0u);
    auto* mem = reinterpret_cast<uint8_t*>(share.va);
    const uint8_t in[4] = {1, 2, 3, 100};
    std::memcpy(mem + 16, in, 4);
    aipu_dma_buf_req_t req{-1, 0, 32};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_ALLOC_DMABUF, &req), 0u);

    aipu_shared_tensor_info_t input{KIV_TENSOR_TYPE_INPUT, 0, share.pa + 16, -1, 0, AIPU_SHARED_BY_PA, 0};
    ASSERT_EQ(drv.aipu_specify_iobuf(ctx, job, &input), 0u);
    aipu_shared_tensor_info_t out0{KIV_TENSOR_TYPE_OUTPUT, 0, 0, req.fd, 8, AIPU_SHARED_BY_DMABUF, 0};
    ASSERT_EQ(drv.aipu_specify_iobuf(ctx, job, &out0), 0u);
    aipu_shared_tensor_info_t out1{KIV_TENSOR_TYPE_OUTPUT, 1, share.pa + 100, -1, 0, AIPU_SHARED_BY_PA, 0};
    ASSERT_EQ(drv.aipu_specify_iobuf(ctx, job, &out1), 0u);

    aipu_shared_tensor_info_t bad = input;
    bad.pa = share.pa + 4094;  // tensor would run past the buffer
    EXPECT_EQ(drv.aipu_specify_iobuf(ctx, job, &bad), uint32_t(KIV_STATUS_ERROR_INVALID_SIZE));
    bad.pa = 0x10;
    EXPECT_EQ(drv.aipu_specify_iobuf(ctx, job, &bad), uint32_t(KIV_STATUS_ERROR_SET_SHARED_TENSOR));
    bad = out0;
    bad.offset_in_dmabuf = 30;
    EXPECT_EQ(drv.aipu_specify_iobuf(ctx, job, &bad), uint32_t(KIV_STATUS_ERROR_INVALID_SIZE));
    bad.dmabuf_fd = 9999;
    EXPECT_EQ(drv.aipu_specify_iobuf(ctx, job, &bad), uint32_t(KIV_STATUS_ERROR_DMABUF_SHARED_IO));
    bad = input;
    bad.tensor_idx = 1;
    EXPECT_EQ(drv.aipu_specify_iobuf(ctx, job, &bad), uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_ID));
    bad.type = KIV_TENSOR_TYPE_PROFILER;
    EXPECT_EQ(drv.aipu_specify_iobuf(ctx, job, &bad), uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_TYPE));

    // The input comes from the share buffer, not from a loaded tensor.
    ASSERT_EQ(drv.aipu_finish_job(ctx, job, -1), 0u);
    uint8_t doubled[4] = {};
    aipu_dmabuf_op_t rd{req.fd, 8, 4, 0, reinterpret_cast<char*>(doubled)};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_READ_DMABUF, &rd), 0u);
    EXPECT_EQ(doubled[0], 2);
    EXPECT_EQ(doubled[3], 200);
    EXPECT_EQ(std::memcmp(mem + 100, in, 4), 0);
    uint8_t via_get[4] = {};
    ASSERT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, via_get), 0u);
    EXPECT_EQ(via_get[2], 6);
}

TEST_F(DeviceTest, BatchQueueRunsEveryBatchIntoCallerBuffers) {
    const uint64_t graph = load(double_program());
    uint32_t queue = 0;
    ASSERT_EQ(drv.aipu_create_batch_queue(ctx, graph, &queue), 0u);
    EXPECT_EQ(drv.aipu_create_batch_queue(ctx, graph + 99, &queue), uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
    uint8_t in[3][4], y[3][4] = {}, z[3][4] = {};
    for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < 4; ++i) in[b][i] = static_cast<uint8_t>(10 * b + i);
        char* inputs[] = {reinterpret_cast<char*>(in[b])};
        char* outputs[] = {reinterpret_cast<char*>(y[b]), reinterpret_cast<char*>(z[b])};
        ASSERT_EQ(drv.aipu_add_batch(ctx, graph, queue, inputs, outputs), 0u);
    }
    EXPECT_EQ(drv.aipu_add_batch(ctx, graph, queue, nullptr, nullptr), uint32_t(KIV_STATUS_ERROR_NULL_PTR));
    EXPECT_EQ(drv.aipu_add_batch(ctx, graph, queue + 1, nullptr, nullptr), uint32_t(KIV_STATUS_ERROR_NO_BATCH_QUEUE));
    EXPECT_EQ(y[2][3], 0);  // nothing runs before finish
    ASSERT_EQ(drv.aipu_finish_batch(ctx, graph, queue, nullptr), 0u);
    for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(y[b][i], 2 * in[b][i]);
            EXPECT_EQ(z[b][i], in[b][i]);
        }
    }
    EXPECT_EQ(drv.aipu_finish_batch(ctx, graph, queue + 1, nullptr), uint32_t(KIV_STATUS_ERROR_NO_BATCH_QUEUE));
    EXPECT_EQ(drv.aipu_clean_batch_queue(ctx, graph + 1, queue), uint32_t(KIV_STATUS_ERROR_NO_BATCH_QUEUE));
    EXPECT_EQ(drv.aipu_clean_batch_queue(ctx, graph, queue), 0u);
    EXPECT_EQ(drv.aipu_clean_batch_queue(ctx, graph, queue), uint32_t(KIV_STATUS_ERROR_NO_BATCH_QUEUE));
}

TEST_F(DeviceTest, RecorderDescribesOptionRecords) {
    EXPECT_EQ(drv.aipu_standin_describe_last_call("aipu_create_job", nullptr, 0), 0u);
    const std::vector<uint8_t> bytes = double_program();
    int32_t wt[] = {4, -1};
    aipu_load_graph_cfg_t lg{};
    lg.wt_mem_region = 3;
    lg.wt_idxes = wt;
    lg.wt_idxes_cnt = 2;
    lg.extra_weight_path = "/w/extra.bin";
    aipu_load_graph_config_t wrap{&lg};
    uint64_t refused = 0;
    // Described on entry, also when the device refuses the options (it has no region 3).
    EXPECT_EQ(drv.aipu_load_graph_helper(ctx, reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<uint32_t>(bytes.size()), &refused, &wrap),
              uint32_t(KIV_STATUS_ERROR_INVALID_CONFIG));
    json j = last("aipu_load_graph_helper");
    EXPECT_EQ(j["size"], bytes.size());
    EXPECT_EQ(j["data_hex_prefix"].get<std::string>().substr(0, 8), "4b564e50");
    EXPECT_EQ(j["config"]["wt_mem_region"], 3);
    EXPECT_EQ(j["config"]["wt_idxes"], json({4, -1}));
    EXPECT_EQ(j["config"]["extra_weight_path"], "/w/extra.bin");
    EXPECT_EQ(j["config"]["raw"].get<std::string>().size(), 80u);
    const uint64_t graph = load(bytes, nullptr);
    EXPECT_TRUE(last("aipu_load_graph_helper")["config"].is_null());

    uint32_t dims0[] = {1, 224}, dims1[] = {7};
    aipu_dynshape_item_t items[2] = {{0, 0, dims0}, {1, 0, dims1}};
    aipu_dynshape_param_t ds{2, 0, items};
    int32_t fm[] = {9};
    aipu_create_job_cfg_t cj{};
    cj.bits = 1 | (1 << 4) | (5 << 5) | (2 << 8) | (15 << 12);
    cj.fm_idxes = fm;
    cj.fm_idxes_cnt = 1;
    cj.dynshape = &ds;
    uint64_t job = 0;
    // Described on entry, also when the device refuses the options (it has one partition).
    ASSERT_EQ(drv.aipu_create_job(ctx, graph, &job, &cj), uint32_t(KIV_STATUS_ERROR_INVALID_PARTITION_ID));
    j = last("aipu_create_job");
    EXPECT_EQ(j["graph_id"], graph);
    const json& c = j["config"];
    EXPECT_EQ(c["partition_id"], 1);
    EXPECT_EQ(c["dbg_dispatch"], 1);
    EXPECT_EQ(c["dbg_core_id"], 5);
    EXPECT_EQ(c["qos_level"], 2);
    EXPECT_EQ(c["fm_mem_region"], 15);
    EXPECT_EQ(c["fm_idxes"], json({9}));
    EXPECT_EQ(c["raw"].get<std::string>().size(), 112u);
    ASSERT_EQ(c["dynshape"].size(), 2u);
    EXPECT_EQ(c["dynshape"][1]["ds_idx"], 1);
    EXPECT_EQ(c["dynshape"][1]["first_value"], 7);
    EXPECT_EQ(c["dynshape"][0]["raw_item"].get<std::string>().size(), 32u);
    ASSERT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);

    aipu_job_config_dump_t dump{nullptr, "pre", nullptr, "misc"};
    drv.aipu_config_job(ctx, job, KIV_JOB_CONFIG_TYPE_DUMP_TEXT, &dump);
    j = last("aipu_config_job");
    EXPECT_EQ(j["job_id"], job);
    EXPECT_TRUE(j["dump_dir"].is_null());
    EXPECT_EQ(j["prefix"], "pre");
    EXPECT_EQ(j["misc_prefix"], "misc");

    aipu_share_buf_t share{0, 0, 24, 7};
    drv.aipu_ioctl(ctx, AIPU_IOCTL_ALLOC_SHARE_BUF, &share);
    j = last("aipu_ioctl");
    EXPECT_EQ(j["cmd"], 263);
    EXPECT_EQ(j["arg_null"], false);
    EXPECT_EQ(j["raw"], std::string(32, '0') + "18000000" + "07000000");
    drv.aipu_ioctl(ctx, AIPU_IOCTL_DISABLE_TICK_COUNTER, nullptr);
    EXPECT_EQ(last("aipu_ioctl")["arg_null"], true);

    drv.aipu_finish_job(ctx, job, 250);
    j = last("aipu_finish_job");
    EXPECT_EQ(j["job_id"], job);
    EXPECT_EQ(j["time_out"], 250);
    ASSERT_EQ(drv.aipu_finish_batch(ctx, graph, 12345, nullptr), uint32_t(KIV_STATUS_ERROR_NO_BATCH_QUEUE));
    j = last("aipu_finish_batch");
    EXPECT_EQ(j["queue_id"], 12345);
    EXPECT_TRUE(j["config"].is_null());

    // Truncated copies stay terminated and report the full length.
    char small[8];
    const size_t full = drv.aipu_standin_describe_last_call("aipu_finish_batch", small, sizeof(small));
    EXPECT_GT(full, sizeof(small));
    EXPECT_EQ(std::strlen(small), sizeof(small) - 1);
    drv.aipu_standin_reset_calls();
    EXPECT_EQ(drv.aipu_standin_describe_last_call("aipu_finish_batch", nullptr, 0), 0u);

    // With recording off, as a driver runs by default, calls leave nothing.
    drv.aipu_standin_set_call_recording(0);
    drv.aipu_finish_job(ctx, job, 250);
    EXPECT_EQ(drv.aipu_standin_describe_last_call("aipu_finish_job", nullptr, 0), 0u);
    drv.aipu_standin_set_call_recording(1);
    drv.aipu_finish_job(ctx, job, 250);
    EXPECT_GT(drv.aipu_standin_describe_last_call("aipu_finish_job", nullptr, 0), 0u);
}

}  // namespace
