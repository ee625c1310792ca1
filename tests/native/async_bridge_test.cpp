// The completion bridge on its own, called the way the driver calls it.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "aipu_completion_bridge.h"
#include "kiv_log.h"
#include "stderr_capture.h"

TEST(JobStatusTranslation, KeepsZeroToThreeAndFoldsTheRest) {
    EXPECT_EQ(translate_job_status(AIPU_JOB_STATUS_NO_STATUS), KIV_JOB_STATUS_NO_STATUS);
    EXPECT_EQ(translate_job_status(AIPU_JOB_STATUS_DONE), KIV_JOB_STATUS_DONE);
    EXPECT_EQ(translate_job_status(AIPU_JOB_STATUS_EXCEPTION), KIV_JOB_STATUS_EXCEPTION);
    for (uint32_t raw : {3u, 4u, 7u, 255u, 0x80000000u, 0xffffffffu}) {
        EXPECT_EQ(static_cast<int>(translate_job_status(static_cast<aipu_job_status_t>(raw))), 3) << raw;
    }
}

TEST(CompletionBridge, PassesIdAndTranslatedStatusAndReturnsTheResult) {
    uint64_t seen_id = 0;
    int seen_status = -1;
    auto driver_cb = make_driver_callback([&](uint64_t id, job_status_t status) {
        seen_id = id;
        seen_status = status;
        return 1234;
    });
    EXPECT_EQ(driver_cb(0xfedcba9876543210ull, static_cast<aipu_job_status_t>(7)), 1234);
    EXPECT_EQ(seen_id, 0xfedcba9876543210ull);
    EXPECT_EQ(seen_status, 3);
    EXPECT_EQ(driver_cb(5, AIPU_JOB_STATUS_DONE), 1234);
    EXPECT_EQ(seen_status, KIV_JOB_STATUS_DONE);
}

TEST(CompletionBridge, EmptyCallableIsNotInvoked) {
    auto driver_cb = make_driver_callback(kiv_job_callback_t{});
    ASSERT_TRUE(static_cast<bool>(driver_cb));
    StderrCapture capture;
    EXPECT_EQ(driver_cb(1, AIPU_JOB_STATUS_DONE), 0);
    EXPECT_EQ(capture.finish(), "");
}

TEST(CompletionBridge, ThrowingCallableIsContainedAndLogged) {
    const int32_t saved = get_logger_config()->load();
    set_log_level(LogLevel::INFO);
    auto std_throw = make_driver_callback([](uint64_t, job_status_t) -> int32_t { throw std::runtime_error("boom"); });
    auto odd_throw = make_driver_callback([](uint64_t, job_status_t) -> int32_t { throw 17; });
    StderrCapture capture;
    EXPECT_EQ(std_throw(77, AIPU_JOB_STATUS_DONE), -1);
    EXPECT_EQ(odd_throw(78, AIPU_JOB_STATUS_EXCEPTION), -1);
    const std::string text = capture.finish();
    get_logger_config()->store(saved);
    EXPECT_TRUE(matches_whole(
        text,
        log_record_pattern("aipu_adapter", "ERROR",
                           "bridge_job_completion: completion callback of job 77 threw: boom\n") +
            log_record_pattern("aipu_adapter", "ERROR",
                               "bridge_job_completion: completion callback of job 78 threw: unknown exception\n")))
        << text;
}

TEST(CompletionBridge, EveryCopyOwnsItsCallable) {
    auto token = std::make_shared<int>(5);
    std::weak_ptr<int> watch = token;
    aipu_job_callback_func_t copy;
    {
        auto driver_cb = make_driver_callback([token](uint64_t, job_status_t) { return *token; });
        token.reset();
        copy = driver_cb;
    }
    // The original is gone; the copy still holds the captured state.
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(copy(1, AIPU_JOB_STATUS_DONE), 5);
    copy = nullptr;
    EXPECT_TRUE(watch.expired());
}
