// A backend that talks to no driver: every operation returns `status` and is
// recorded by name, and destruction is reported, so that tests can observe
// which operation the API layer called and what it does with its backend.
#ifndef KIV_TEST_FAKE_BACKEND_H
#define KIV_TEST_FAKE_BACKEND_H

#include <atomic>
#include <vector>

#include "backend_adapter.h"

class FakeBackend : public BackendAdapter {
public:
    explicit FakeBackend(kiv_status_t status, std::atomic<bool>* destroyed = nullptr)
        : status_(status), destroyed_(destroyed) {}
    ~FakeBackend() override {
        if (destroyed_) *destroyed_ = true;
    }

    int calls() const { return static_cast<int>(operations_.size()); }
    // The operations called, in order.
    const std::vector<BackendOperation>& operations() const { return operations_; }

#define FAKE_BACKEND_OPERATION(api, adapter, name, params, args, entry, driver_args) \
    kiv_status_t name params override {                                              \
        ignore_unused args;                                                          \
        return answer(BackendOperation::name);                                       \
    }
    KIV_BACKEND_OPERATIONS(FAKE_BACKEND_OPERATION)
#undef FAKE_BACKEND_OPERATION

private:
    kiv_status_t answer(BackendOperation operation) {
        operations_.push_back(operation);
        return status_;
    }

    kiv_status_t status_;
    std::atomic<bool>* destroyed_;
    std::vector<BackendOperation> operations_;
};

#endif  // KIV_TEST_FAKE_BACKEND_H
