#include "context_registry.h"

#include "context.h"

namespace standin {

ContextRegistry& ContextRegistry::instance() {
    // Never destroyed: detached callback threads may still run while the
    // process exits, and no static destructor should race them.
    static ContextRegistry* registry = new ContextRegistry();
    return *registry;
}

aipu_ctx_handle_t* ContextRegistry::add(std::shared_ptr<Context> ctx) {
    // The handle is the context's own address: unique while it lives, and
    // the registry keeps it alive until it is removed.
    auto* handle = reinterpret_cast<aipu_ctx_handle_t*>(ctx.get());
    std::lock_guard<std::mutex> lock(mu_);
    contexts_[handle] = std::move(ctx);
    return handle;
}

std::shared_ptr<Context> ContextRegistry::find(const aipu_ctx_handle_t* handle) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = contexts_.find(handle);
    return it == contexts_.end() ? nullptr : it->second;
}

std::shared_ptr<Context> ContextRegistry::remove(const aipu_ctx_handle_t* handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = contexts_.find(handle);
    if (it == contexts_.end()) return nullptr;
    std::shared_ptr<Context> ctx = std::move(it->second);
    contexts_.erase(it);
    return ctx;
}

void ContextRegistry::before_fork() {
    mu_.lock();
}

void ContextRegistry::after_fork(bool in_child) {
    if (in_child) {
        // Never destroyed: a context's destructor would join threads that do
        // not exist here.
        new std::map<const aipu_ctx_handle_t*, std::shared_ptr<Context>>(std::move(contexts_));
        contexts_.clear();
    }
    mu_.unlock();
}

uint32_t ContextRegistry::count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<uint32_t>(contexts_.size());
}

}  // namespace standin
