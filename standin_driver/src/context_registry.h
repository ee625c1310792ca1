// The set of open driver contexts. Callers hand back opaque handles; only
// handles found here are ever turned into objects, so a foreign pointer is
// refused without being dereferenced.
#ifndef STANDIN_CONTEXT_REGISTRY_H
#define STANDIN_CONTEXT_REGISTRY_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "aipu_driver.h"

namespace standin {

class Context;

class ContextRegistry {
public:
    static ContextRegistry& instance();

    aipu_ctx_handle_t* add(std::shared_ptr<Context> ctx);
    std::shared_ptr<Context> find(const aipu_ctx_handle_t* handle) const;
    // Removes and returns the context, or null when the handle is unknown.
    std::shared_ptr<Context> remove(const aipu_ctx_handle_t* handle);
    uint32_t count() const;

    // Around fork(): the registry stays locked through it, and the child
    // forgets the parent's contexts without closing them (their threads are
    // not the child's), as a driver's child holds none of its parent's
    // contexts. Contexts opened in the child work as any other.
    void before_fork();
    void after_fork(bool in_child);

private:
    ContextRegistry() = default;
    mutable std::mutex mu_;
    std::map<const aipu_ctx_handle_t*, std::shared_ptr<Context>> contexts_;
};

}  // namespace standin

#endif  // STANDIN_CONTEXT_REGISTRY_H
