// Device queries and ioctl round trips through the runtime to the stand-in.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <string>

#include "kiv_api.h"
#include "live_context.h"
#include "live_runtime_test.h"
#include "standin_controls.h"
#include "stderr_capture.h"
#include "test_paths.h"

namespace {

class DeviceTest : public LiveRuntimeTest {};

}  // namespace

TEST_F(DeviceTest, TopologyAndStateQueries) {
    uint32_t partitions = 0;
    ASSERT_EQ(kiv_get_partition_count(ctx(), &partitions), KIV_STATUS_SUCCESS);
    ASSERT_GT(partitions, 0u);
    uint32_t clusters = 0;
    ASSERT_EQ(kiv_get_cluster_count(ctx(), 0, &clusters), KIV_STATUS_SUCCESS);
    EXPECT_GT(clusters, 0u);
    uint32_t cores = 0;
    ASSERT_EQ(kiv_get_core_count(ctx(), 0, 0, &cores), KIV_STATUS_SUCCESS);
    EXPECT_GT(cores, 0u);
    EXPECT_EQ(last_call("aipu_get_core_count").value("partition", 99u), 0u);

    // A partition the device does not have is the driver's to reject.
    uint32_t unused = 12345;
    const kiv_status_t bad = kiv_get_cluster_count(ctx(), partitions, &unused);
    EXPECT_NE(bad, KIV_STATUS_SUCCESS);
    const char* text = nullptr;
    ASSERT_EQ(kiv_get_error_message(ctx(), bad, &text), KIV_STATUS_SUCCESS);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);

    char target[128] = {};
    ASSERT_EQ(kiv_get_target(ctx(), target), KIV_STATUS_SUCCESS);
    EXPECT_GT(std::strlen(target), 0u);

    kiv_device_status_t status = KIV_DEV_EXCEPTION;
    ASSERT_EQ(kiv_get_device_status(ctx(), &status), KIV_STATUS_SUCCESS);
    EXPECT_EQ(status, KIV_DEV_IDLE);
}

TEST_F(DeviceTest, IoctlIgnoresTheDeviceType) {
    aipu_driver_version_t reference{};
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_GET_VERSION, &reference), KIV_STATUS_SUCCESS);
    EXPECT_GT(std::strlen(reference.umd_version), 0u);
    for (int device : {0, 2, 77, -5}) {
        aipu_driver_version_t version{};
        EXPECT_EQ(kiv_ioctl(ctx(), static_cast<device_type_t>(device), KIV_IOCTL_GET_VERSION, &version),
                  KIV_STATUS_SUCCESS);
        EXPECT_STREQ(version.umd_version, reference.umd_version);
        EXPECT_STREQ(version.kmd_version, reference.kmd_version);
        const auto call = last_call("aipu_ioctl");
        EXPECT_EQ(call.value("cmd", 0u), static_cast<unsigned>(KIV_IOCTL_GET_VERSION));
    }
    // The payload pointer travels unchanged: a null one is the driver's to refuse.
    EXPECT_EQ(kiv_ioctl(ctx(), cpu, KIV_IOCTL_GET_VERSION, nullptr), KIV_STATUS_ERROR_NULL_PTR);
    EXPECT_TRUE(last_call("aipu_ioctl").value("arg_null", false));
}

TEST_F(DeviceTest, DmaBufferWriteReadRoundTrip) {
    aipu_dma_buf_req_t request{};
    request.bytes = 64;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_ALLOC_DMABUF, &request), KIV_STATUS_SUCCESS);
    ASSERT_GE(request.fd, 0);

    char payload[16];
    for (int i = 0; i < 16; ++i) payload[i] = static_cast<char>(0xA0 + i);
    aipu_dmabuf_op_t write_op{};
    write_op.fd = request.fd;
    write_op.offset_in_dmabuf = 8;
    write_op.size = sizeof payload;
    write_op.data = payload;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_WRITE_DMABUF, &write_op), KIV_STATUS_SUCCESS);

    char back[16] = {};
    aipu_dmabuf_op_t read_op = write_op;
    read_op.data = back;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_READ_DMABUF, &read_op), KIV_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back, payload, sizeof payload), 0);

    int32_t fd = request.fd;
    EXPECT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_FREE_DMABUF, &fd), KIV_STATUS_SUCCESS);
    EXPECT_NE(kiv_ioctl(ctx(), npu, KIV_IOCTL_READ_DMABUF, &read_op), KIV_STATUS_SUCCESS);
}

TEST_F(DeviceTest, ShareBufferIsMappedIntoThisProcess) {
    aipu_share_buf_t buffer{};
    buffer.size = 256;
    ASSERT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_ALLOC_SHARE_BUF, &buffer), KIV_STATUS_SUCCESS);
    ASSERT_NE(buffer.va, 0u);
    std::memset(reinterpret_cast<void*>(buffer.va), 0x5A, buffer.size);
    EXPECT_EQ(kiv_ioctl(ctx(), npu, KIV_IOCTL_FREE_SHARE_BUF, &buffer), KIV_STATUS_SUCCESS);
}

TEST(DeviceHandle, ForwardersValidateFirst) {
    uint32_t count = 0;
    StderrCapture capture;
    EXPECT_EQ(kiv_get_partition_count(nullptr, &count), KIV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(kiv_ioctl(nullptr, npu, KIV_IOCTL_GET_VERSION, nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(kiv_specify_iobuf(nullptr, 1, nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
    const std::string record = log_record_pattern("kiv_api", "ERROR", "validate_context: Invalid context structure\n");
    EXPECT_TRUE(matches_whole(capture.finish(), record + record + record));
}
