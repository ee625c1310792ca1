#include "use_gate.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace aipudrv {
namespace {

// The gates the calling thread is inside, one entry per pass.
thread_local std::vector<const UseGate*> t_passes;

int own_passes(const UseGate* gate) {
    return static_cast<int>(std::count(t_passes.begin(), t_passes.end(), gate));
}

}  // namespace

UseGate::UseGate() : monitor_([this] { inside_ = own_passes(this); }) {}

bool UseGate::enter() {
    std::lock_guard<std::mutex> lock(monitor_.mu);
    if (closed_) return false;
    ++inside_;
    t_passes.push_back(this);
    return true;
}

void UseGate::leave() {
    const auto latest = std::find(t_passes.rbegin(), t_passes.rend(), this);
    if (latest != t_passes.rend()) t_passes.erase(std::next(latest).base());
    std::lock_guard<std::mutex> lock(monitor_.mu);
    --inside_;
    monitor_.cv.notify_all();
}

void UseGate::close() {
    std::lock_guard<std::mutex> lock(monitor_.mu);
    closed_ = true;
}

void UseGate::wait_for_others() {
    const int own = own_passes(this);
    std::unique_lock<std::mutex> lock(monitor_.mu);
    monitor_.cv.wait(lock, [&] { return inside_ <= own; });
}

}  // namespace aipudrv
