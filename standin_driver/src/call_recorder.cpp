#include "call_recorder.h"

#include <cstring>

namespace standin {

CallRecorder& CallRecorder::instance() {
    // Never destroyed, like the context registry: entry points may be called
    // from threads that outlive static destruction.
    static CallRecorder* recorder = new CallRecorder();
    return *recorder;
}

void CallRecorder::record(const char* entry_point, const nlohmann::json& args) {
    // Texts from callers need not be UTF-8; replace what is not.
    std::string text = args.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mu_);
    last_[entry_point] = std::move(text);
}

size_t CallRecorder::describe(const char* entry_point, char* buffer, size_t capacity) const {
    if (entry_point == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = last_.find(entry_point);
    if (it == last_.end()) return 0;
    const std::string& text = it->second;
    if (buffer != nullptr && capacity > 0) {
        const size_t n = std::min(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return text.size();
}

void CallRecorder::reset() {
    std::lock_guard<std::mutex> lock(mu_);
    last_.clear();
}

}  // namespace standin
