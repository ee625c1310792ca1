// A test fixture that talks to the stand-in driver directly: one driver
// context per test, opened on a clean call recorder that is on, and closed
// afterwards.
#ifndef KIV_TEST_DRIVER_CONTEXT_TEST_H
#define KIV_TEST_DRIVER_CONTEXT_TEST_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "aipu_standin_loader.h"
#include "test_paths.h"

class DriverContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(drv.loaded());
        drv.aipu_standin_reset_calls();
        drv.aipu_standin_set_call_recording(1);
        ASSERT_EQ(drv.aipu_init_context(&ctx), 0u);
    }
    void TearDown() override {
        if (ctx) {
            EXPECT_EQ(drv.aipu_deinit_context(ctx), 0u);
        }
        drv.aipu_standin_set_call_recording(0);
    }
    uint64_t load(const std::vector<uint8_t>& bytes, aipu_load_graph_config_t* cfg = nullptr) {
        uint64_t graph = 0;
        EXPECT_EQ(drv.aipu_load_graph_helper(ctx, reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<uint32_t>(bytes.size()), &graph, cfg),
                  0u);
        return graph;
    }

    aipu_standin::DriverLibrary drv{standin_library_path()};
    aipu_ctx_handle_t* ctx = nullptr;
};

#endif  // KIV_TEST_DRIVER_CONTEXT_TEST_H
