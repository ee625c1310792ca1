#include "standin_controls.h"

#include <dlfcn.h>

#include <stdexcept>
#include <vector>

namespace {

template <typename Fn>
void bind(void* library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    if (slot == nullptr) throw std::runtime_error(std::string("stand-in control missing: ") + name);
}

}  // namespace

StandinControls::StandinControls(const std::string& library_path) {
    library_ = dlopen(library_path.c_str(), RTLD_NOW);
    if (library_ == nullptr) throw std::runtime_error("cannot open stand-in driver " + library_path);
    bind(library_, "aipu_standin_set_init_status", set_init_status_);
    bind(library_, "aipu_standin_set_deinit_status", set_deinit_status_);
    bind(library_, "aipu_standin_open_context_count", open_context_count_);
    bind(library_, "aipu_standin_reset_calls", reset_calls_);
    bind(library_, "aipu_standin_describe_last_call", describe_last_call_);
    bind(library_, "aipu_standin_set_call_recording", set_call_recording_);
    // Tests that hold the controls look at the calls the runtime made.
    set_call_recording_(1);
}

StandinControls::~StandinControls() {
    if (!library_) return;
    set_call_recording_(0);
    dlclose(library_);
}

std::string StandinControls::describe_last_call(const char* entry_point) const {
    size_t length = describe_last_call_(entry_point, nullptr, 0);
    if (length == 0) return {};
    std::vector<char> buffer(length + 1);
    describe_last_call_(entry_point, buffer.data(), buffer.size());
    return std::string(buffer.data(), length);
}
