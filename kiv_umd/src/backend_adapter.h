// Abstract device backend. Every device operation of the runtime goes through
// one of these; the slot order is part of the interface (backend_operations.h).
#ifndef KIV_BACKEND_ADAPTER_H
#define KIV_BACKEND_ADAPTER_H

#include "backend_operations.h"
#include "kiv_api.h"

class BackendAdapter {
public:
    virtual ~BackendAdapter() = default;

#define KIV_DECLARE_PURE_OPERATION(api, adapter, name, params, args, entry, driver_args) \
    virtual kiv_status_t name params = 0;
    KIV_BACKEND_OPERATIONS(KIV_DECLARE_PURE_OPERATION)
#undef KIV_DECLARE_PURE_OPERATION
};

#endif  // KIV_BACKEND_ADAPTER_H
