#include "record_decoders.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace standin {
namespace {

using nlohmann::json;

// Counts come from the caller's record; a wild one must not make the
// recorder walk through memory without end.
constexpr uint32_t kMaxListed = 65536;
constexpr size_t kMaxText = 4096;

json int_list(const int32_t* items, uint32_t count) {
    if (items == nullptr) return json::array();
    json out = json::array();
    for (uint32_t i = 0; i < std::min(count, kMaxListed); ++i) out.push_back(items[i]);
    return out;
}

size_t ioctl_record_size(uint32_t cmd) {
    switch (cmd) {
        case AIPU_IOCTL_SET_PROFILE:
            return sizeof(uint32_t);
        case AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION:
            return sizeof(aipu_bin_buildversion);
        case AIPU_IOCTL_ALLOC_SHARE_BUF:
        case AIPU_IOCTL_FREE_SHARE_BUF:
            return sizeof(aipu_share_buf_t);
        case AIPU_IOCTL_ALLOC_DMABUF:
            return sizeof(aipu_dma_buf_req_t);
        case AIPU_IOCTL_FREE_DMABUF:
        case AIPU_IOCTL_DETACH_DMABUF:
            return sizeof(int32_t);
        case AIPU_IOCTL_ATTACH_DMABUF_PRIVATE:
        case AIPU_IOCTL_ATTACH_DMABUF:
            return sizeof(aipu_dma_buf_t);
        case AIPU_IOCTL_WRITE_DMABUF:
        case AIPU_IOCTL_READ_DMABUF:
            return sizeof(aipu_dmabuf_op_t);
        case AIPU_IOCTL_GET_VERSION:
            return sizeof(aipu_driver_version_t);
        default:
            return 0;
    }
}

}  // namespace

std::string to_hex(const void* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[p[i] >> 4]);
        out.push_back(kDigits[p[i] & 0xF]);
    }
    return out;
}

std::string pointer_text(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}

json text_or_null(const char* s) {
    if (s == nullptr) return nullptr;
    return std::string(s, strnlen(s, kMaxText));
}

json describe_load_graph_config(const aipu_load_graph_config_t* config) {
    if (config == nullptr || config->load_graph_cfg == nullptr) return nullptr;
    const aipu_load_graph_cfg_t& c = *config->load_graph_cfg;
    json out;
    out["raw"] = to_hex(&c, sizeof(c));
    out["wt_mem_region"] = c.wt_mem_region;
    out["wt_idxes"] = int_list(c.wt_idxes, c.wt_idxes_cnt);
    out["wt_idxes_cnt"] = c.wt_idxes_cnt;
    out["extra_weight_path"] = text_or_null(c.extra_weight_path);
    return out;
}

json describe_create_job_config(const aipu_create_job_cfg_t* config) {
    if (config == nullptr) return nullptr;
    const aipu_create_job_cfg_t& c = *config;
    json out;
    out["raw"] = to_hex(&c, sizeof(c));
    out["partition_id"] = (c.bits >> AIPU_JOB_CFG_PARTITION_SHIFT) & 0xF;
    out["dbg_dispatch"] = (c.bits >> AIPU_JOB_CFG_DBG_DISPATCH_SHIFT) & 0x1;
    out["dbg_core_id"] = (c.bits >> AIPU_JOB_CFG_DBG_CORE_ID_SHIFT) & 0x7;
    out["qos_level"] = (c.bits >> AIPU_JOB_CFG_QOS_SHIFT) & 0xF;
    out["fm_mem_region"] = (c.bits >> AIPU_JOB_CFG_FM_MEM_REGION_SHIFT) & 0xF;
    out["fm_idxes"] = int_list(c.fm_idxes, c.fm_idxes_cnt);
    out["fm_idxes_cnt"] = c.fm_idxes_cnt;
    if (c.dynshape == nullptr) {
        out["dynshape"] = nullptr;
        return out;
    }
    json items = json::array();
    const aipu_dynshape_param_t& ds = *c.dynshape;
    if (ds.shape_items != nullptr) {
        for (uint32_t i = 0; i < std::min(ds.input_shape_cnt, kMaxListed); ++i) {
            const aipu_dynshape_item_t& item = ds.shape_items[i];
            json entry;
            entry["ds_idx"] = item.ds_idx;
            entry["raw_item"] = to_hex(&item, sizeof(item));
            // The value arrays carry no length: only the first value, which
            // every shape entry has, is read.
            entry["first_value"] = item.ds_data != nullptr ? json(item.ds_data[0]) : json(nullptr);
            items.push_back(entry);
        }
    }
    out["dynshape"] = items;
    out["dynshape_cnt"] = ds.input_shape_cnt;
    return out;
}

json describe_dump_config(const aipu_job_config_dump_t* config) {
    json out;
    out["config_null"] = config == nullptr;
    out["dump_dir"] = config ? text_or_null(config->dump_dir) : json(nullptr);
    out["prefix"] = config ? text_or_null(config->prefix) : json(nullptr);
    out["output_prefix"] = config ? text_or_null(config->output_prefix) : json(nullptr);
    out["misc_prefix"] = config ? text_or_null(config->misc_prefix) : json(nullptr);
    return out;
}

json describe_ioctl(uint32_t cmd, const void* arg) {
    json out;
    out["cmd"] = cmd;
    out["arg_null"] = arg == nullptr;
    const size_t size = ioctl_record_size(cmd);
    if (arg != nullptr && size != 0) out["raw"] = to_hex(arg, size);
    if (arg != nullptr && (cmd == AIPU_IOCTL_WRITE_DMABUF)) {
        const auto* rec = static_cast<const aipu_dmabuf_op_t*>(arg);
        if (rec->data != nullptr) out["data_hex_prefix"] = to_hex(rec->data, std::min<uint32_t>(rec->size, 32));
    }
    return out;
}

json describe_shared_tensor(const aipu_shared_tensor_info_t* info) {
    if (info == nullptr) return nullptr;
    json out;
    out["raw"] = to_hex(info, sizeof(*info));
    out["type"] = info->type;
    out["tensor_idx"] = info->tensor_idx;
    out["pa"] = info->pa;
    out["dmabuf_fd"] = info->dmabuf_fd;
    out["offset_in_dmabuf"] = info->offset_in_dmabuf;
    out["shared_case_type"] = info->shared_case_type;
    return out;
}

}  // namespace standin
