#include <cstring>

#include "aipu_driver.h"
#include "context.h"

namespace standin {
namespace {

constexpr const char* kUmdVersion = "1.0.0-standin";
constexpr const char* kKmdVersion = "1.0.0-sim";

void copy_text(char (&field)[16], const char* text) {
    std::memset(field, 0, sizeof(field));
    std::strncpy(field, text, sizeof(field) - 1);
}

}  // namespace

uint32_t Context::config_global(uint64_t types, const void* config) {
    if (types & AIPU_CONFIG_TYPE_HW) {
        if (config == nullptr) return AIPU_STATUS_ERROR_INVALID_CONFIG;
        poll_in_commit_thread_ = static_cast<const aipu_global_config_hw_t*>(config)->poll_in_commit_thread;
    }
    // Simulation and version-check options mean nothing to this device.
    return 0;
}

uint32_t Context::ioctl(uint32_t cmd, void* arg) {
    switch (cmd) {
        case AIPU_IOCTL_ENABLE_TICK_COUNTER:
            tick_counter_ = true;
            return 0;
        case AIPU_IOCTL_DISABLE_TICK_COUNTER:
            tick_counter_ = false;
            return 0;
        case AIPU_IOCTL_CONFIG_CLUSTERS:
            return 0;
        default:
            break;
    }
    if (arg == nullptr) {
        switch (cmd) {
            case AIPU_IOCTL_SET_PROFILE:
            case AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION:
            case AIPU_IOCTL_ALLOC_SHARE_BUF:
            case AIPU_IOCTL_FREE_SHARE_BUF:
            case AIPU_IOCTL_ALLOC_DMABUF:
            case AIPU_IOCTL_FREE_DMABUF:
            case AIPU_IOCTL_ATTACH_DMABUF_PRIVATE:
            case AIPU_IOCTL_WRITE_DMABUF:
            case AIPU_IOCTL_READ_DMABUF:
            case AIPU_IOCTL_ATTACH_DMABUF:
            case AIPU_IOCTL_DETACH_DMABUF:
            case AIPU_IOCTL_GET_VERSION:
                return AIPU_STATUS_ERROR_NULL_PTR;
            default:
                return AIPU_STATUS_ERROR_INVALID_OP;
        }
    }
    switch (cmd) {
        case AIPU_IOCTL_SET_PROFILE: {
            uint32_t on = 0;
            std::memcpy(&on, arg, sizeof(on));
            executor_.set_profiling(on != 0);
            return 0;
        }
        case AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION: {
            auto* rec = static_cast<aipu_bin_buildversion*>(arg);
            return build_version(rec->graph_id, &rec->aipubin_buildversion);
        }
        case AIPU_IOCTL_ALLOC_SHARE_BUF: {
            auto* rec = static_cast<aipu_share_buf_t*>(arg);
            return buffers_.alloc_share(rec->size, rec->mem_type, &rec->pa, &rec->va);
        }
        case AIPU_IOCTL_FREE_SHARE_BUF: {
            auto* rec = static_cast<aipu_share_buf_t*>(arg);
            return buffers_.free_share(rec->pa, rec->size);
        }
        case AIPU_IOCTL_ALLOC_DMABUF: {
            auto* rec = static_cast<aipu_dma_buf_req_t*>(arg);
            return buffers_.alloc_dma(rec->bytes, &rec->fd);
        }
        case AIPU_IOCTL_FREE_DMABUF:
            return buffers_.free_dma(*static_cast<int32_t*>(arg));
        case AIPU_IOCTL_ATTACH_DMABUF_PRIVATE:
        case AIPU_IOCTL_ATTACH_DMABUF: {
            auto* rec = static_cast<aipu_dma_buf_t*>(arg);
            return buffers_.attach_dma(rec->fd, &rec->pa, &rec->bytes);
        }
        case AIPU_IOCTL_DETACH_DMABUF:
            return buffers_.detach_dma(*static_cast<int32_t*>(arg));
        case AIPU_IOCTL_WRITE_DMABUF: {
            auto* rec = static_cast<aipu_dmabuf_op_t*>(arg);
            return buffers_.write_dma(rec->fd, rec->offset_in_dmabuf, rec->size, rec->data);
        }
        case AIPU_IOCTL_READ_DMABUF: {
            auto* rec = static_cast<aipu_dmabuf_op_t*>(arg);
            return buffers_.read_dma(rec->fd, rec->offset_in_dmabuf, rec->size, rec->data);
        }
        case AIPU_IOCTL_GET_VERSION: {
            auto* rec = static_cast<aipu_driver_version_t*>(arg);
            copy_text(rec->umd_version, kUmdVersion);
            copy_text(rec->kmd_version, kKmdVersion);
            return 0;
        }
        default:
            return AIPU_STATUS_ERROR_INVALID_OP;
    }
}

}  // namespace standin
