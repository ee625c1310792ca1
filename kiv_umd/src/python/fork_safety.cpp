#include "fork_safety.h"

#include <pthread.h>

#include <atomic>
#include <new>
#include <set>

namespace aipudrv {
namespace {

std::atomic<uint64_t> g_generation{0};

// Every registration, guarded by its own mutex; the fork holds that mutex
// from before to after, so no registration changes meanwhile.
struct Registry {
    std::mutex mu;
    std::set<const ForkHandlers*> handlers;
};

Registry& registry() {
    // Never destroyed: objects may unregister after static destruction began.
    static Registry* r = new Registry();
    return *r;
}

void before_fork() {
    Registry& r = registry();
    r.mu.lock();
    for (const ForkHandlers* h : r.handlers) h->before();
}

void after_fork_in_parent() {
    Registry& r = registry();
    for (const ForkHandlers* h : r.handlers) h->after(false);
    r.mu.unlock();
}

void after_fork_in_child() {
    ++g_generation;
    Registry& r = registry();
    for (const ForkHandlers* h : r.handlers) h->after(true);
    r.mu.unlock();
}

void install_once() {
    static const bool installed = (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child), true);
    (void)installed;
}

}  // namespace

uint64_t fork_generation() {
    return g_generation.load();
}

ForkHandlers::ForkHandlers(std::function<void()> before, std::function<void(bool)> after)
    : before_(std::move(before)), after_(std::move(after)) {
    install_once();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.handlers.insert(this);
}

ForkHandlers::~ForkHandlers() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.handlers.erase(this);
}

Monitor::Monitor(std::function<void()> on_child)
    : on_child_(std::move(on_child)),
      fork_([this] { mu.lock(); },
            [this](bool in_child) {
                if (in_child) {
                    // The old one may count waiters of the parent's threads;
                    // it is left as it is, never destroyed.
                    new (&cv) std::condition_variable();
                    if (on_child_) on_child_();
                }
                mu.unlock();
            }) {}

}  // namespace aipudrv
