#include "tensor_dump.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "aipu_driver.h"

namespace standin {
namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

uint32_t make_dump_config(uint64_t types, const aipu_job_config_dump_t* record, DumpConfig& out) {
    DumpConfig cfg;
    cfg.inputs = (types & AIPU_JOB_CONFIG_TYPE_DUMP_INPUT) != 0;
    cfg.outputs = (types & AIPU_JOB_CONFIG_TYPE_DUMP_OUTPUT) != 0;
    if (cfg.any()) {
        if (record == nullptr || record->dump_dir == nullptr) return AIPU_STATUS_ERROR_INVALID_CONFIG;
        struct stat st {};
        if (::stat(record->dump_dir, &st) != 0 || !S_ISDIR(st.st_mode)) return AIPU_STATUS_ERROR_INVALID_CONFIG;
        cfg.dir = record->dump_dir;
        if (record->prefix != nullptr) cfg.prefix = record->prefix;
    }
    out = std::move(cfg);
    return 0;
}

void dump_tensors(const DumpConfig& cfg, const std::string& stem, const char* role,
                  const std::vector<std::vector<uint8_t>>& tensors) {
    for (size_t i = 0; i < tensors.size(); ++i) {
        const std::string path = cfg.dir + "/" + stem + "_" + role + std::to_string(i) + ".bin";
        std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
        if (!f) continue;
        if (!tensors[i].empty()) std::fwrite(tensors[i].data(), 1, tensors[i].size(), f.get());
    }
}

}  // namespace standin
