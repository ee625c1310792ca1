// A runtime context on the stand-in driver for the duration of a test.
#ifndef KIV_TEST_LIVE_CONTEXT_H
#define KIV_TEST_LIVE_CONTEXT_H

#include <gtest/gtest.h>

#include "env_guard.h"
#include "kiv_api.h"
#include "test_paths.h"

class LiveContext {
public:
    LiveContext() { EXPECT_EQ(kiv_init_context(&ctx_, 0), KIV_STATUS_SUCCESS); }
    ~LiveContext() {
        if (ctx_) {
            EXPECT_EQ(kiv_deinit_context(ctx_), KIV_STATUS_SUCCESS);
        }
    }
    LiveContext(const LiveContext&) = delete;
    LiveContext& operator=(const LiveContext&) = delete;

    kiv_context* get() const { return ctx_; }

private:
    // Named before the context opens: the default name is the system's driver.
    EnvGuard standin_{"AIPU_LIB_PATH", standin_library_path().c_str()};
    kiv_context* ctx_ = nullptr;
};

#endif  // KIV_TEST_LIVE_CONTEXT_H
