#include "standin_controls.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace standin {
namespace {

std::atomic<uint32_t> g_init_status{0};
std::atomic<uint32_t> g_deinit_status{0};
std::atomic<uint32_t> g_tensor_write_limit{UINT32_MAX};

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

}  // namespace standin
