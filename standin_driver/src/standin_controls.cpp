#include "standin_controls.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace standin {
namespace {

std::atomic<uint32_t> g_init_status{0};
std::atomic<uint32_t> g_deinit_status{0};
std::atomic<uint32_t> g_tensor_write_limit{UINT32_MAX};
std::atomic<uint32_t> g_completion_fault{0};
std::atomic<bool> g_close_waits{false};
std::atomic<bool> g_status_queries_wait{true};
std::atomic<uint64_t> g_status_queries{0};

// Forced statuses by entry point; the flag spares every call the lock while
// none is set.
std::mutex g_call_status_mu;
std::map<std::string, uint32_t> g_call_status;
std::atomic<bool> g_any_call_status{false};

// A decimal status from the environment; unset, empty or unparsable means 0.
uint32_t env_status(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX) return 0;
    return static_cast<uint32_t>(value);
}

}  // namespace

void set_forced_init_status(uint32_t status) {
    g_init_status = status;
}
void set_forced_deinit_status(uint32_t status) {
    g_deinit_status = status;
}

void set_tensor_write_limit(uint32_t bytes) {
    g_tensor_write_limit = bytes;
}

uint32_t tensor_write_limit() {
    return g_tensor_write_limit.load();
}

uint32_t forced_init_status() {
    const uint32_t set = g_init_status.load();
    return set != 0 ? set : env_status("AIPU_STANDIN_INIT_STATUS");
}

uint32_t forced_deinit_status() {
    const uint32_t set = g_deinit_status.load();
    return set != 0 ? set : env_status("AIPU_STANDIN_DEINIT_STATUS");
}

void set_forced_call_status(const char* entry_point, uint32_t status) {
    std::lock_guard<std::mutex> lock(g_call_status_mu);
    if (entry_point == nullptr) {
        g_call_status.clear();
    } else if (status == 0) {
        g_call_status.erase(entry_point);
    } else {
        g_call_status[entry_point] = status;
    }
    g_any_call_status = !g_call_status.empty();
}

uint32_t forced_call_status(const char* entry_point) {
    if (!g_any_call_status.load()) return 0;
    std::lock_guard<std::mutex> lock(g_call_status_mu);
    auto it = g_call_status.find(entry_point);
    return it == g_call_status.end() ? 0 : it->second;
}

void set_completion_fault(uint32_t fault) {
    g_completion_fault = fault;
}

uint32_t completion_fault() {
    return g_completion_fault.load();
}

void set_close_waits_for_completions(bool on) {
    g_close_waits = on;
}

bool close_waits_for_completions() {
    return g_close_waits.load();
}

void set_status_queries_wait(bool on) {
    g_status_queries_wait = on;
}

bool status_queries_wait() {
    return g_status_queries_wait.load();
}

void count_status_query() {
    g_status_queries.fetch_add(1, std::memory_order_relaxed);
}

uint64_t status_queries() {
    return g_status_queries.load();
}

void controls_before_fork() {
    g_call_status_mu.lock();
}

void controls_after_fork() {
    g_call_status_mu.unlock();
}

}  // namespace standin
