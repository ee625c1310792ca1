// Memory shared between the caller and the simulated NPU: share buffers
// (real pages named by a fake physical address) and DMA buffers (memfd
// files named by their descriptor). One pool per driver context; everything
// still allocated is released when the context closes.
#ifndef STANDIN_DEVICE_BUFFERS_H
#define STANDIN_DEVICE_BUFFERS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "unique_fd.h"

namespace standin {

using kiv::UniqueFd;

// A window into a shared buffer that a job tensor is bound to. It keeps the
// memory alive even if the caller frees the buffer while the job still holds
// the binding.
class BoundRegion {
public:
    virtual ~BoundRegion() = default;
    virtual bool read(void* dst, size_t n) const = 0;
    virtual bool write(const void* src, size_t n) const = 0;
};

class ShareBuffer {
public:
    ShareBuffer(void* base, size_t mapped, uint32_t size, uint32_t mem_type, uint64_t pa)
        : base_(base), mapped_(mapped), size_(size), mem_type_(mem_type), pa_(pa) {}
    ~ShareBuffer();
    ShareBuffer(const ShareBuffer&) = delete;
    ShareBuffer& operator=(const ShareBuffer&) = delete;

    uint8_t* data() const { return static_cast<uint8_t*>(base_); }
    uint32_t size() const { return size_; }
    uint32_t mem_type() const { return mem_type_; }
    uint64_t pa() const { return pa_; }

private:
    void* base_;
    size_t mapped_;
    uint32_t size_;
    uint32_t mem_type_;
    uint64_t pa_;
};

class DmaBuffer {
public:
    DmaBuffer(UniqueFd fd, uint64_t bytes) : fd_(std::move(fd)), bytes_(bytes) {}
    int fd() const { return fd_.get(); }
    uint64_t bytes() const { return bytes_; }
    uint64_t attached_pa = 0;

private:
    UniqueFd fd_;
    uint64_t bytes_;
};

class BufferPool {
public:
    uint32_t alloc_share(uint32_t size, uint32_t mem_type, uint64_t* pa, uint64_t* va);
    uint32_t free_share(uint64_t pa, uint32_t size);
    uint32_t alloc_dma(uint64_t bytes, int32_t* fd);
    uint32_t free_dma(int32_t fd);
    uint32_t attach_dma(int32_t fd, uint64_t* pa, uint64_t* bytes);
    uint32_t detach_dma(int32_t fd);
    uint32_t write_dma(int32_t fd, uint32_t offset, uint32_t size, const void* data);
    uint32_t read_dma(int32_t fd, uint32_t offset, uint32_t size, void* data);
    // Frees everything still allocated (bindings keep their own references).
    void release_all();

    // A region of `need` bytes at `pa` (anywhere inside a share buffer), or
    // at `offset` in the DMA buffer `fd`; null with `status` set otherwise.
    std::unique_ptr<BoundRegion> region_at_pa(uint64_t pa, uint32_t need, uint32_t* status);
    std::unique_ptr<BoundRegion> region_in_dma(int32_t fd, uint32_t offset, uint32_t need, uint32_t* status);

private:
    // The DMA buffer `fd` if it holds `size` bytes at `offset`; null with
    // `status` set otherwise. The buffer stays alive while I/O runs unlocked.
    std::shared_ptr<DmaBuffer> dma_span(int32_t fd, uint32_t offset, uint32_t size, uint32_t* status);

    std::mutex mu_;
    std::map<uint64_t, std::shared_ptr<ShareBuffer>> shares_;  // by pa
    std::map<int32_t, std::shared_ptr<DmaBuffer>> dmas_;       // by fd
};

// Largest single buffer the pool hands out.
constexpr uint64_t kMaxBufferBytes = 1ull << 30;

}  // namespace standin

#endif  // STANDIN_DEVICE_BUFFERS_H
