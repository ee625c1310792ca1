// Remembers, per entry point, a JSON description of the arguments of its
// last call, for tests that check what the runtime handed to the driver.
// Off until a test switches it on (aipu_standin_set_call_recording).
#ifndef STANDIN_CALL_RECORDER_H
#define STANDIN_CALL_RECORDER_H

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace standin {

class CallRecorder {
public:
    static CallRecorder& instance();

    void set_enabled(bool on) { enabled_.store(on, std::memory_order_relaxed); }
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

    void record(const char* entry_point, const nlohmann::json& args);
    // Copies the description into `buffer` (truncated, always terminated when
    // capacity > 0) and returns its full length; 0 when never called.
    size_t describe(const char* entry_point, char* buffer, size_t capacity) const;
    void reset();

    // Keeps the recorder locked through a fork, so that the child finds it free.
    void before_fork() { mu_.lock(); }
    void after_fork() { mu_.unlock(); }

private:
    CallRecorder() = default;
    std::atomic<bool> enabled_{false};
    mutable std::mutex mu_;
    std::map<std::string, std::string> last_;
};

}  // namespace standin

#endif  // STANDIN_CALL_RECORDER_H
