// Python-side configuration records. They own their data (texts as byte
// strings, lists as vectors, single bytes where the driver record has bit
// fields) and are turned into driver records only for the duration of a call.
#ifndef KIV_PY_RECORDS_H
#define KIV_PY_RECORDS_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kiv_api.h"

namespace aipudrv {

struct kiv_job_config_dump_wrapper_t {
    std::string dump_dir;
    std::string prefix;
    std::string output_prefix;
    std::string misc_prefix;
};

struct kiv_job_config_simulation_wrapper_t {
    std::string data_dir;
};

struct kiv_global_config_simulation_wrapper_t {
    std::string simulator;
    std::string log_file_path;
    std::string npu_arch_desc;
    std::string plugin_name;
    std::string json_filename;
    uint32_t log_level = 0;
    uint32_t gm_size = 0;
    bool verbose = false;
    bool enable_avx = false;
    bool enable_calloc = false;
    bool en_eval = false;
    bool en_l2d = false;
    bool en_fast_perf = false;
    uint32_t freq_mhz = 1000;
    uint32_t ddr_latency_rd = 0;
    uint32_t ddr_latency_wr = 0;
    uint32_t ddr_bw = 256;
    float ddr_bw_ratio = 1.0f;
    std::string perf_report;
};

struct kiv_dynshape_num_wrapper_t {
    uint64_t graph_id = 0;
    uint32_t ds_num = 0;
};

struct kiv_dynshape_dim_num_wrapper_t {
    uint64_t graph_id = 0;
    uint32_t ds_idx = 0;
    bool max_threshhold = false;
    std::vector<uint32_t> ds_dim_num;
};

struct kiv_dynshape_info_wrapper_t {
    uint64_t graph_id = 0;
    uint32_t ds_idx = 0;
    bool max_threshhold = false;
    std::vector<uint32_t> ds_data;
};

struct kiv_dynshape_param_wrapper_t {
    std::vector<std::vector<uint32_t>> shape_items;
};

struct kiv_load_graph_cfg_wrapper_t {
    uint8_t wt_mem_region = 0;
    std::vector<int32_t> wt_idxes;
    std::string extra_weight_path;
};

struct kiv_create_job_cfg_wrapper_t {
    uint8_t partition_id = 0;
    uint8_t dbg_dispatch = 0;
    uint8_t dbg_core_id = 0;
    uint8_t qos_level = 0;
    uint8_t fm_mem_region = 0;
    std::vector<int32_t> fm_idxes;
    std::vector<std::vector<uint32_t>> dynshape;
};

// Copy of the wrapper record held by a Python configuration argument. An
// object of another class raises RuntimeError with the binding's cast text
// (it names both types); None raises RuntimeError with an empty text, because
// the binding's own null-reference error would be taken for an overload
// mismatch and turned into a TypeError.
template <typename Wrapper>
Wrapper wrapper_from(const pybind11::handle& obj) {
    if (obj.is_none()) throw std::runtime_error("");
    return pybind11::cast<Wrapper>(obj);
}

// kiv_create_job_cfg_t.dynshape: a new list of new lists on every read; the
// writer takes a list of lists of unsigned 32-bit values, skips (with a
// message) items that are not lists, and keeps the old value when an element
// does not convert.
pybind11::list dynshape_get(const kiv_create_job_cfg_wrapper_t& cfg);
void dynshape_set(kiv_create_job_cfg_wrapper_t& cfg, const pybind11::list& items);

// Driver records built from a wrapper. Each owns what its pointers refer to
// (the wrapper copy it was built from, and the dynamic-shape arrays) and lives
// for one runtime call.
class LoadGraphConfig {
public:
    explicit LoadGraphConfig(kiv_load_graph_cfg_wrapper_t source);
    LoadGraphConfig(const LoadGraphConfig&) = delete;
    LoadGraphConfig& operator=(const LoadGraphConfig&) = delete;
    graph_config* get() { return &config_; }

private:
    kiv_load_graph_cfg_wrapper_t source_;
    aipu_load_graph_cfg_t record_{};
    graph_config config_{};
};

class CreateJobConfig {
public:
    // `with_dynshape` false leaves the dynamic-shape pointer null (batch finish).
    CreateJobConfig(kiv_create_job_cfg_wrapper_t source, bool with_dynshape);
    CreateJobConfig(const CreateJobConfig&) = delete;
    CreateJobConfig& operator=(const CreateJobConfig&) = delete;
    job_config* get() { return &config_; }

private:
    kiv_create_job_cfg_wrapper_t source_;
    aipu_create_job_cfg_t record_{};
    aipu_dynshape_param_t dynshape_{};
    std::vector<aipu_dynshape_item_t> items_;
    job_config config_{};
};

// Only dump_dir and prefix travel, each null when empty.
class DumpConfig {
public:
    explicit DumpConfig(kiv_job_config_dump_wrapper_t source);
    DumpConfig(const DumpConfig&) = delete;
    DumpConfig& operator=(const DumpConfig&) = delete;
    job_config_dump_t* get() { return &record_; }

private:
    kiv_job_config_dump_wrapper_t source_;
    job_config_dump_t record_{};
};

}  // namespace aipudrv

#endif  // KIV_PY_RECORDS_H
