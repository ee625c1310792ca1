#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "env_guard.h"
#include "failing_allocator.h"
#include "fake_backend.h"
#include "kiv_api.h"
#include "kiv_context.h"
#include "kiv_log.h"
#include "loader_spy.h"
#include "standin_controls.h"
#include "standin_test.h"
#include "stderr_capture.h"
#include "temp_files.h"
#include "test_paths.h"

namespace {

const std::string kFailedInit =
    log_record_pattern("kiv_api", "ERROR", "kiv_init_context: Failed to initialize adapter\n");
const std::string kInvalidStructure =
    log_record_pattern("kiv_api", "ERROR", "validate_context: Invalid context structure\n");
const std::string kNotInitialised =
    log_record_pattern("kiv_api", "ERROR", "validate_context: Context not initialized\n");

class ContextTest : public StandinTest {};

// A handle built by hand around a fake backend, for states that
// kiv_init_context never hands out.
kiv_context* handle_with(std::unique_ptr<BackendAdapter> backend, bool initialised) {
    auto* handle = new kiv_context;
    handle->impl = std::make_unique<kiv_context_impl>();
    handle->impl->backend = std::move(backend);
    handle->impl->initialised = initialised;
    return handle;
}

}  // namespace

TEST_F(ContextTest, NullOutputPointerIsRejected) {
    StderrCapture capture;
    EXPECT_EQ(kiv_init_context(nullptr, 0), KIV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_TRUE(matches_whole(capture.finish(),
                              log_record_pattern("kiv_api", "ERROR", "kiv_init_context: context pointer is null\n")));
}

TEST_F(ContextTest, UnsupportedDeviceOpensNoDriver) {
    for (int32_t device : {1, 2, -1}) {
        kiv_context* ctx = reinterpret_cast<kiv_context*>(0x1);
        StderrCapture capture;
        EXPECT_EQ(kiv_init_context(&ctx, device), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_EQ(ctx, nullptr);
        // Only the selector record: no load was attempted.
        EXPECT_TRUE(
            matches_whole(capture.finish(),
                          log_record_pattern("kiv_api", "ERROR", "create_device_adapter: Unsupported device type\n")));
        EXPECT_EQ(standin_.open_context_count(), base_contexts_);
    }
}

TEST_F(ContextTest, MissingDriverLibraryGivesBackendLoadFailure) {
    EnvGuard path("AIPU_LIB_PATH", "/nonexistent/libaipudrv.so");
    kiv_context* ctx = reinterpret_cast<kiv_context*>(0x1);
    StderrCapture capture;
    EXPECT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_ERROR_BACKEND_LOAD_FAIL);
    EXPECT_EQ(ctx, nullptr);
    const std::string text = capture.finish();
    EXPECT_TRUE(matches_whole(
        text, log_record_pattern("aipu_adapter", "ERROR", "load_aipu_library: Failed to load backend: /nonexistent/") +
                  "[^\n]*\n" + kFailedInit))
        << text;
}

TEST_F(ContextTest, DriverLackingAnEntryPointIsRejectedAndClosed) {
    for (const std::string entry : kStandinOmittedEntries) {
        EnvGuard path("AIPU_LIB_PATH", library_without(entry).c_str());
        kiv_context* ctx = reinterpret_cast<kiv_context*>(0x1);
        StderrCapture capture;
        EXPECT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_ERROR_BACKEND_LOAD_FAIL) << entry;
        EXPECT_EQ(ctx, nullptr);
        const std::string text = capture.finish();
        EXPECT_TRUE(matches_whole(
            text, log_record_pattern("aipu_adapter", "ERROR", "load_aipu_library: Failed to load symbols: ") +
                      "[^\n]*undefined symbol: " + entry + "\n" + kFailedInit))
            << text;
        EXPECT_EQ(loader_spy_open_count(library_without(entry)), 0) << entry;
    }
}

TEST_F(ContextTest, DriverRefusingInitPassesItsStatusAndUnloads) {
    // A private copy, so that "unloaded" is not masked by the test's own handle.
    TempFile copy(".so");
    copy.copy_from(standin_library_path());
    EnvGuard path("AIPU_LIB_PATH", copy.path().c_str());
    EnvGuard refuse("AIPU_STANDIN_INIT_STATUS", "3");
    kiv_context* ctx = reinterpret_cast<kiv_context*>(0x1);
    StderrCapture capture;
    EXPECT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_ERROR_OPEN_DEV_FAIL);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_TRUE(matches_whole(capture.finish(), kFailedInit));
    EXPECT_EQ(loader_spy_open_count(copy.path()), 0);
}

TEST_F(ContextTest, RefusalThroughTheControlFunction) {
    standin_.set_init_status(3);
    kiv_context* ctx = nullptr;
    StderrCapture capture;
    EXPECT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_ERROR_OPEN_DEV_FAIL);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_TRUE(matches_whole(capture.finish(), kFailedInit));
}

TEST_F(ContextTest, LiveContextKeepsTheLibraryUntilDeinit) {
    TempFile copy(".so");
    copy.copy_from(standin_library_path());
    EnvGuard path("AIPU_LIB_PATH", copy.path().c_str());
    kiv_context* ctx = nullptr;
    ASSERT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_SUCCESS);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(ctx->impl->initialised);
    EXPECT_EQ(ctx->impl->device, 0);
    EXPECT_EQ(loader_spy_open_count(copy.path()), 1);
    uint32_t partitions = 0;
    EXPECT_EQ(kiv_get_partition_count(ctx, &partitions), KIV_STATUS_SUCCESS);
    EXPECT_GT(partitions, 0u);
    EXPECT_EQ(kiv_deinit_context(ctx), KIV_STATUS_SUCCESS);
    EXPECT_EQ(loader_spy_open_count(copy.path()), 0);
}

TEST_F(ContextTest, DeinitOfMissingHandleReportsInvalidHandleSilently) {
    StderrCapture capture;
    EXPECT_EQ(kiv_deinit_context(nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
    kiv_context empty;  // no inner record
    EXPECT_EQ(kiv_deinit_context(&empty), KIV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(capture.finish(), "");
}

TEST_F(ContextTest, DeinitFreesHandleEvenWhenTheBackendFails) {
    std::atomic<bool> destroyed{false};
    kiv_context* ctx = handle_with(std::make_unique<FakeBackend>(KIV_STATUS_ERROR_DEINIT_FAIL, &destroyed), true);
    EXPECT_EQ(kiv_deinit_context(ctx), KIV_STATUS_ERROR_DEINIT_FAIL);
    EXPECT_TRUE(destroyed);
}

TEST_F(ContextTest, DeinitWithoutBackendSucceedsAndIgnoresInitialisedFlag) {
    EXPECT_EQ(kiv_deinit_context(handle_with(nullptr, false)), KIV_STATUS_SUCCESS);
    std::atomic<bool> destroyed{false};
    EXPECT_EQ(kiv_deinit_context(handle_with(std::make_unique<FakeBackend>(KIV_STATUS_SUCCESS, &destroyed), false)),
              KIV_STATUS_SUCCESS);
    EXPECT_TRUE(destroyed);
}

TEST_F(ContextTest, DriverCloseFailureIsReturned) {
    kiv_context* ctx = nullptr;
    ASSERT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_SUCCESS);
    standin_.set_deinit_status(KIV_STATUS_ERROR_DEINIT_FAIL);
    EXPECT_EQ(kiv_deinit_context(ctx), KIV_STATUS_ERROR_DEINIT_FAIL);
    // The handle is gone; the driver context stays open in the driver, which
    // is what a failed close means. Close it through a fresh adapter state is
    // impossible, so account for it in the leak check.
    standin_.set_deinit_status(0);
    base_contexts_ += 1;
}

TEST_F(ContextTest, TwoContextsAreIndependent) {
    kiv_context* first = nullptr;
    kiv_context* second = nullptr;
    ASSERT_EQ(kiv_init_context(&first, 0), KIV_STATUS_SUCCESS);
    ASSERT_EQ(kiv_init_context(&second, 0), KIV_STATUS_SUCCESS);
    EXPECT_NE(first, second);
    EXPECT_EQ(standin_.open_context_count(), base_contexts_ + 2);
    EXPECT_EQ(kiv_deinit_context(first), KIV_STATUS_SUCCESS);
    EXPECT_EQ(standin_.open_context_count(), base_contexts_ + 1);
    uint32_t partitions = 0;
    EXPECT_EQ(kiv_get_partition_count(second, &partitions), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_deinit_context(second), KIV_STATUS_SUCCESS);
}

TEST_F(ContextTest, ValidationRejectsBrokenHandlesBeforeTheBackend) {
    uint32_t count = 0;
    {
        StderrCapture capture;
        EXPECT_EQ(kiv_get_partition_count(nullptr, &count), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_TRUE(matches_whole(capture.finish(), kInvalidStructure));
    }
    {
        kiv_context empty;
        StderrCapture capture;
        EXPECT_EQ(kiv_job_infer_sync(&empty, 1, 10), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_TRUE(matches_whole(capture.finish(), kInvalidStructure));
    }
    {
        std::unique_ptr<kiv_context> no_backend(handle_with(nullptr, true));
        StderrCapture capture;
        EXPECT_EQ(kiv_clean_job(no_backend.get(), 1), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_TRUE(matches_whole(capture.finish(), kInvalidStructure));
    }
    {
        auto fake = std::make_unique<FakeBackend>(KIV_STATUS_SUCCESS);
        FakeBackend* backend = fake.get();
        std::unique_ptr<kiv_context> uninitialised(handle_with(std::move(fake), false));
        StderrCapture capture;
        EXPECT_EQ(kiv_load_tensor(uninitialised.get(), 1, 0, "x"), KIV_STATUS_ERROR_INVALID_CTX);
        EXPECT_EQ(kiv_job_infer_async(uninitialised.get(), 1, [](uint64_t, job_status_t) { return 0; }),
                  KIV_STATUS_ERROR_INVALID_CTX);
        EXPECT_TRUE(matches_whole(capture.finish(), kNotInitialised + kNotInitialised));
        EXPECT_EQ(backend->calls(), 0);
    }
}

TEST_F(ContextTest, ValidationRecordsFollowTheThreshold) {
    set_log_level(LogLevel::NONE);
    StderrCapture capture;
    EXPECT_EQ(kiv_get_target(nullptr, nullptr), KIV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(kiv_init_context(nullptr, 0), KIV_STATUS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(capture.finish(), "");
}

// Every forwarder hands the backend's status back unchanged, including codes
// that have no name.
TEST_F(ContextTest, ForwardersReturnTheBackendStatusUnchanged) {
    const auto odd = static_cast<kiv_status_t>(42);
    auto fake = std::make_unique<FakeBackend>(odd);
    FakeBackend* backend = fake.get();
    std::unique_ptr<kiv_context> ctx(handle_with(std::move(fake), true));
    kiv_context* c = ctx.get();
    uint64_t id = 0;
    uint32_t u32 = 0;
    job_status_t job_status{};
    kiv_device_status_t device_status{};
    tensor_desc_t desc{};
    const char* text = nullptr;
    char target[64] = {};
    const kiv_status_t results[] = {
        kiv_unload_graph(c, 1),
        kiv_config_global(c, 0, nullptr),
        kiv_get_tensor_count(c, 1, KIV_TENSOR_TYPE_INPUT, &u32),
        kiv_get_tensor_descriptor(c, 1, KIV_TENSOR_TYPE_INPUT, 0, &desc),
        kiv_create_job(c, 1, &id, nullptr),
        kiv_config_job(c, 1, 0, nullptr),
        kiv_load_tensor(c, 1, 0, nullptr),
        kiv_get_tensor(c, 1, KIV_TENSOR_TYPE_OUTPUT, 0, nullptr),
        kiv_job_infer_sync(c, 1, 10),
        kiv_job_infer_async(c, 1, nullptr),
        kiv_get_job_status(c, 1, &job_status, 10),
        kiv_clean_job(c, 1),
        kiv_get_error_message(c, KIV_STATUS_ERROR_NULL_PTR, &text),
        kiv_create_batch_queue(c, 1, &u32),
        kiv_clean_batch_queue(c, 1, 0),
        kiv_config_batch_dump(c, 1, 0, 0, nullptr),
        kiv_add_batch(c, 1, 0, nullptr, nullptr),
        kiv_finish_batch(c, 1, 0, nullptr),
        kiv_get_partition_count(c, &u32),
        kiv_get_cluster_count(c, 0, &u32),
        kiv_get_core_count(c, 0, 0, &u32),
        kiv_get_target(c, target),
        kiv_get_device_status(c, &device_status),
        kiv_ioctl(c, npu, KIV_IOCTL_GET_VERSION, nullptr),
        kiv_specify_iobuf(c, 1, nullptr),
    };
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i) EXPECT_EQ(results[i], odd) << "call " << i;
    // Each function reaches its own operation, once: a forwarder wired to
    // another operation would still return the status.
    using Op = BackendOperation;
    const std::vector<Op> expected = {
        Op::unload_graph,      Op::config_global,      Op::get_tensor_count,    Op::get_tensor_descriptor,
        Op::create_job,        Op::config_job,         Op::load_tensor,         Op::get_tensor,
        Op::job_infer_sync,    Op::job_infer_async,    Op::get_job_status,      Op::clean_job,
        Op::get_error_message, Op::create_batch_queue, Op::clean_batch_queue,   Op::config_batch_dump,
        Op::add_batch,         Op::finish_batch,       Op::get_partition_count, Op::get_cluster_count,
        Op::get_core_count,    Op::get_target,         Op::get_device_status,   Op::ioctl,
        Op::specify_iobuf,
    };
    ASSERT_EQ(backend->operations().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(static_cast<int>(backend->operations()[i]), static_cast<int>(expected[i])) << "call " << i;
    }
}

// The allocations of the handle, its inner record and the backend come
// before the driver is touched. Each failing one gives the status of its
// kind, silently, with `*ctx` null and no driver context left open.
TEST_F(ContextTest, FailureDuringCreationLeavesNothingBehind) {
    const struct {
        AllocationFailure kind;
        kiv_status_t status;
    } cases[] = {
        {AllocationFailure::bad_alloc, KIV_STATUS_ERROR_OUT_OF_MEMORY},
        {AllocationFailure::runtime_error, KIV_STATUS_ERROR_INTERNAL},
    };
    for (const auto& c : cases) {
        for (int nth = 1; nth <= 4; ++nth) {
            const std::string where = (c.kind == AllocationFailure::bad_alloc ? "bad_alloc" : "runtime_error") +
                                      std::string(" at allocation ") + std::to_string(nth);
            kiv_context* ctx = reinterpret_cast<kiv_context*>(0x1);
            StderrCapture capture;
            fail_nth_allocation(nth, c.kind);
            const kiv_status_t status = kiv_init_context(&ctx, 0);
            const bool failed = disarm_allocation_failure();
            EXPECT_TRUE(failed) << where;
            EXPECT_EQ(status, c.status) << where;
            EXPECT_EQ(ctx, nullptr) << where;
            EXPECT_EQ(capture.finish(), "") << where;
            EXPECT_EQ(standin_.open_context_count(), base_contexts_) << where;
        }
    }
}

// Past those four, allocations happen while a driver library is open: an
// exception there must close it again, as a refusal would.
TEST_F(ContextTest, FailureWhileTheLibraryIsOpenClosesIt) {
    const std::string library = library_without("aipu_finish_job");
    EnvGuard path("AIPU_LIB_PATH", library.c_str());
    // A first, plain attempt runs the library's own initialisers (it stays
    // mapped once loaded), so the failures below hit the runtime alone.
    {
        kiv_context* ctx = nullptr;
        StderrCapture quiet;
        ASSERT_EQ(kiv_init_context(&ctx, 0), KIV_STATUS_ERROR_BACKEND_LOAD_FAIL);
    }
    int reached = 0;
    for (int nth = 5; nth < 40; ++nth) {
        kiv_context* ctx = reinterpret_cast<kiv_context*>(0x1);
        StderrCapture capture;
        fail_nth_allocation(nth);
        const kiv_status_t status = kiv_init_context(&ctx, 0);
        if (!disarm_allocation_failure()) break;
        ++reached;
        EXPECT_EQ(status, KIV_STATUS_ERROR_OUT_OF_MEMORY) << "allocation " << nth;
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(loader_spy_open_count(library), 0) << "allocation " << nth;
    }
    EXPECT_GT(reached, 0);
}
