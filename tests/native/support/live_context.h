// A runtime context on the stand-in driver for the duration of a test.
#ifndef KIV_TEST_LIVE_CONTEXT_H
#define KIV_TEST_LIVE_CONTEXT_H

#include <gtest/gtest.h>

#include "kiv_api.h"

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
    kiv_context* ctx_ = nullptr;
};

#endif  // KIV_TEST_LIVE_CONTEXT_H
