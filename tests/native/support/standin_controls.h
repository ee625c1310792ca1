// The stand-in driver's test controls, reached through the same
// libaipudrv.so instance that the runtime loads. The stand-in records calls
// while such an object lives.
#ifndef KIV_TEST_STANDIN_CONTROLS_H
#define KIV_TEST_STANDIN_CONTROLS_H

#include <cstddef>
#include <cstdint>
#include <string>

class StandinControls {
public:
    explicit StandinControls(const std::string& library_path);
    ~StandinControls();
    StandinControls(const StandinControls&) = delete;
    StandinControls& operator=(const StandinControls&) = delete;

    void set_init_status(uint32_t status) const { set_init_status_(status); }
    void set_deinit_status(uint32_t status) const { set_deinit_status_(status); }
    uint32_t open_context_count() const { return open_context_count_(); }
    void reset_calls() const { reset_calls_(); }
    // The JSON description of the last call of `entry_point`; empty if none.
    std::string describe_last_call(const char* entry_point) const;

private:
    void* library_ = nullptr;
    void (*set_init_status_)(uint32_t) = nullptr;
    void (*set_deinit_status_)(uint32_t) = nullptr;
    uint32_t (*open_context_count_)() = nullptr;
    void (*reset_calls_)() = nullptr;
    size_t (*describe_last_call_)(const char*, char*, size_t) = nullptr;
    void (*set_call_recording_)(uint32_t) = nullptr;
};

#endif  // KIV_TEST_STANDIN_CONTROLS_H
