// A test fixture holding a runtime context on the stand-in driver, with the
// driver's call recorder at hand to see what reached the driver.
#ifndef KIV_TEST_LIVE_RUNTIME_TEST_H
#define KIV_TEST_LIVE_RUNTIME_TEST_H

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "kiv_api.h"
#include "live_context.h"
#include "standin_controls.h"
#include "test_paths.h"

class LiveRuntimeTest : public ::testing::Test {
protected:
    kiv_context* ctx() const { return live_.get(); }
    // The recorded arguments of the last call of `entry`; null if none.
    nlohmann::json last_call(const char* entry) const {
        const std::string text = standin_.describe_last_call(entry);
        return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
    }

    StandinControls standin_{standin_library_path()};
    LiveContext live_;
};

#endif  // KIV_TEST_LIVE_RUNTIME_TEST_H
