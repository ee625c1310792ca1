// A backend that talks to no driver: every operation returns `status` and is
// counted, and destruction is reported, so that tests can observe what the
// API layer does with its backend.
#ifndef KIV_TEST_FAKE_BACKEND_H
#define KIV_TEST_FAKE_BACKEND_H

#include <atomic>

#include "backend_adapter.h"

class FakeBackend : public BackendAdapter {
public:
    explicit FakeBackend(kiv_status_t status, std::atomic<bool>* destroyed = nullptr)
        : status_(status), destroyed_(destroyed) {}
    ~FakeBackend() override {
        if (destroyed_) *destroyed_ = true;
    }

    int calls() const { return calls_; }

    kiv_status_t init_context() override { return answer(); }
    kiv_status_t deinit_context() override { return answer(); }
    kiv_status_t config_global(kiv_context*, uint64_t, void*) override { return answer(); }
    kiv_status_t load_graph(kiv_context*, const char*, uint32_t, uint64_t*, graph_config*) override { return answer(); }
    kiv_status_t unload_graph(kiv_context*, uint64_t) override { return answer(); }
    kiv_status_t job_infer_sync(kiv_context*, uint64_t, int32_t) override { return answer(); }
    kiv_status_t job_infer_async(kiv_context*, uint64_t, kiv_job_callback_t) override { return answer(); }
    kiv_status_t create_job(kiv_context*, uint64_t, uint64_t*, job_config*) override { return answer(); }
    kiv_status_t clean_job(kiv_context*, uint64_t) override { return answer(); }
    kiv_status_t get_job_status(kiv_context*, uint64_t, job_status_t*, int32_t) override { return answer(); }
    kiv_status_t load_tensor(kiv_context*, uint64_t, uint32_t, const void*) override { return answer(); }
    kiv_status_t get_tensor(kiv_context*, uint64_t, tensor_type_t, uint32_t, void*) override { return answer(); }
    kiv_status_t config_job(kiv_context*, uint64_t, uint64_t, void*) override { return answer(); }
    kiv_status_t get_tensor_count(kiv_context*, uint64_t, tensor_type_t, uint32_t*) override { return answer(); }
    kiv_status_t get_tensor_descriptor(kiv_context*, uint64_t, tensor_type_t, uint32_t, tensor_desc_t*) override {
        return answer();
    }
    kiv_status_t ioctl(kiv_context*, device_type_t, ioctl_cmd_t, void*) override { return answer(); }
    kiv_status_t get_partition_count(kiv_context*, uint32_t*) override { return answer(); }
    kiv_status_t get_cluster_count(kiv_context*, uint32_t, uint32_t*) override { return answer(); }
    kiv_status_t get_core_count(kiv_context*, uint32_t, uint32_t, uint32_t*) override { return answer(); }
    kiv_status_t get_target(kiv_context*, char*) override { return answer(); }
    kiv_status_t get_device_status(kiv_context*, kiv_device_status_t*) override { return answer(); }
    kiv_status_t get_error_message(kiv_context*, kiv_status_t, const char**) override { return answer(); }
    kiv_status_t create_batch_queue(kiv_context*, uint64_t, uint32_t*) override { return answer(); }
    kiv_status_t clean_batch_queue(kiv_context*, uint64_t, uint32_t) override { return answer(); }
    kiv_status_t config_batch_dump(kiv_context*, uint64_t, uint32_t, uint64_t, job_config_dump_t*) override {
        return answer();
    }
    kiv_status_t add_batch(kiv_context*, uint64_t, uint32_t, char**, char**) override { return answer(); }
    kiv_status_t finish_batch(kiv_context*, uint64_t, uint32_t, job_config*) override { return answer(); }
    kiv_status_t specify_iobuf(kiv_context*, uint64_t, shared_tensor_info_npu*) override { return answer(); }

private:
    kiv_status_t answer() {
        ++calls_;
        return status_;
    }

    kiv_status_t status_;
    std::atomic<bool>* destroyed_;
    int calls_ = 0;
};

#endif  // KIV_TEST_FAKE_BACKEND_H
