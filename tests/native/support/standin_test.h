// A test fixture on the stand-in driver: quiet logging restored afterwards,
// the driver's failure switches reset, and a check that every driver context
// a test opened was closed again.
#ifndef KIV_TEST_STANDIN_TEST_H
#define KIV_TEST_STANDIN_TEST_H

#include <gtest/gtest.h>

#include <cstdint>

#include "env_guard.h"
#include "kiv_log.h"
#include "standin_controls.h"
#include "test_paths.h"

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_threshold_ = get_logger_config()->load();
        set_log_level(LogLevel::INFO);
        base_contexts_ = standin_.open_context_count();
    }
    void TearDown() override {
        standin_.set_init_status(0);
        standin_.set_deinit_status(0);
        get_logger_config()->store(saved_threshold_);
        EXPECT_EQ(standin_.open_context_count(), base_contexts_) << "a driver context was leaked";
    }

    StandinControls standin_{standin_library_path()};
    // The stand-in is always chosen by name: the default name means the
    // system's driver, which these machines do not have.
    EnvGuard lib_path_{"AIPU_LIB_PATH", standin_library_path().c_str()};
    uint32_t base_contexts_ = 0;
    int32_t saved_threshold_ = 1;
};

#endif  // KIV_TEST_STANDIN_TEST_H
