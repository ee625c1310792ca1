// Conversion of the Python-side configuration records into the driver
// records the runtime passes through, and the dynshape property.
#include "py_records.h"

#include <cstdio>
#include <utility>

namespace py = pybind11;

namespace aipudrv {

namespace {

const char* text_or_null(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

// The option word keeps only the low bits of each field; larger Python
// values are accepted by the properties and narrowed only here.
uint16_t pack_job_bits(const kiv_create_job_cfg_wrapper_t& cfg) {
    unsigned bits = 0;
    bits |= (cfg.partition_id & 0xFu) << AIPU_JOB_CFG_PARTITION_SHIFT;
    bits |= (cfg.dbg_dispatch & 0x1u) << AIPU_JOB_CFG_DBG_DISPATCH_SHIFT;
    bits |= (cfg.dbg_core_id & 0x7u) << AIPU_JOB_CFG_DBG_CORE_ID_SHIFT;
    bits |= (cfg.qos_level & 0xFu) << AIPU_JOB_CFG_QOS_SHIFT;
    bits |= (cfg.fm_mem_region & 0xFu) << AIPU_JOB_CFG_FM_MEM_REGION_SHIFT;
    return static_cast<uint16_t>(bits);
}

}  // namespace

py::list dynshape_get(const kiv_create_job_cfg_wrapper_t& cfg) {
    py::list result;
    for (const auto& entry : cfg.dynshape) {
        py::list values;
        for (uint32_t v : entry) values.append(v);
        result.append(values);
    }
    return result;
}

void dynshape_set(kiv_create_job_cfg_wrapper_t& cfg, const py::list& items) {
    // Built aside so that a failing element leaves the stored shapes as they were.
    std::vector<std::vector<uint32_t>> result;
    for (py::handle item : items) {
        if (!py::isinstance<py::list>(item)) {
            std::fprintf(stderr, "please provide list nest for dynamic input shape, even if there is only 1 input");
            continue;
        }
        std::vector<uint32_t> values;
        for (py::handle element : item) values.push_back(py::cast<uint32_t>(element));
        result.push_back(std::move(values));
    }
    cfg.dynshape = std::move(result);
}

LoadGraphConfig::LoadGraphConfig(kiv_load_graph_cfg_wrapper_t source) : source_(std::move(source)) {
    record_.wt_mem_region = static_cast<uint8_t>(source_.wt_mem_region & 0xFu);
    if (!source_.wt_idxes.empty()) {
        record_.wt_idxes = source_.wt_idxes.data();
        record_.wt_idxes_cnt = static_cast<uint32_t>(source_.wt_idxes.size());
    }
    record_.extra_weight_path = text_or_null(source_.extra_weight_path);
    config_.load_graph_cfg = &record_;
}

CreateJobConfig::CreateJobConfig(kiv_create_job_cfg_wrapper_t source, bool with_dynshape) : source_(std::move(source)) {
    record_.bits = pack_job_bits(source_);
    if (!source_.fm_idxes.empty()) {
        record_.fm_idxes = source_.fm_idxes.data();
        record_.fm_idxes_cnt = static_cast<uint32_t>(source_.fm_idxes.size());
    }
    if (with_dynshape && !source_.dynshape.empty()) {
        // Item i describes input i; the value arrays are this object's copy
        // of the Python lists, so they live exactly as long as the record.
        items_.resize(source_.dynshape.size());
        for (size_t i = 0; i < items_.size(); ++i) {
            items_[i].ds_idx = static_cast<uint32_t>(i);
            items_[i].ds_data = source_.dynshape[i].data();
        }
        dynshape_.input_shape_cnt = static_cast<uint32_t>(items_.size());
        dynshape_.shape_items = items_.data();
        record_.dynshape = &dynshape_;
    }
    config_.create_job_cfg = &record_;
}

DumpConfig::DumpConfig(kiv_job_config_dump_wrapper_t source) : source_(std::move(source)) {
    // The output and miscellaneous prefixes never travel.
    record_.dump_dir = text_or_null(source_.dump_dir);
    record_.prefix = text_or_null(source_.prefix);
}

}  // namespace aipudrv
