// Backend for the AIPU driver: loads libaipudrv.so (or $AIPU_LIB_PATH, or a
// library named by its creator) on the first init_context, binds its 28
// entry points and forwards each operation.
#ifndef KIV_AIPU_ADAPTER_H
#define KIV_AIPU_ADAPTER_H

#include <memory>
#include <string>
#include <vector>

#include "backend_adapter.h"

// Why a driver library could not serve, for callers that explain it.
struct DriverLoadFailure {
    std::string library;               // the path or name that was tried
    std::string loader_error;          // the loader's own text
    std::vector<std::string> missing;  // the entry points it lacks, in binding order
};

class AipuAdapter : public BackendAdapter {
public:
    // `library` names the driver library to load; empty: $AIPU_LIB_PATH,
    // else libaipudrv.so. A failed load is described in `failure`, when given.
    explicit AipuAdapter(std::string library = {}, DriverLoadFailure* failure = nullptr);
    ~AipuAdapter() override;
    AipuAdapter(const AipuAdapter&) = delete;
    AipuAdapter& operator=(const AipuAdapter&) = delete;

#define KIV_DECLARE_OPERATION(api, adapter, name, params, args, entry, driver_args) kiv_status_t name params override;
    KIV_BACKEND_OPERATIONS(KIV_DECLARE_OPERATION)
#undef KIV_DECLARE_OPERATION

    // The file of the loaded driver library as the loader found it; empty
    // while none is loaded.
    std::string library_file() const;
    // Whether the loaded driver library exports `symbol`.
    bool exports(const char* symbol) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

#endif  // KIV_AIPU_ADAPTER_H
