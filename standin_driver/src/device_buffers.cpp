#include "device_buffers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "aipu_driver.h"

namespace standin {
namespace {

constexpr uint64_t kPageSize = 4096;

uint64_t round_up_pages(uint64_t n) {
    return (n + kPageSize - 1) / kPageSize * kPageSize;
}

// Fake physical addresses: page aligned, never reused, with a guard page
// between buffers so that an address one past the end names nothing.
uint64_t reserve_pa(uint64_t bytes) {
    static std::atomic<uint64_t> next{0x80000000ull};
    return next.fetch_add(round_up_pages(bytes) + kPageSize);
}

bool full_pread(int fd, void* dst, size_t n, off_t offset) {
    auto* p = static_cast<uint8_t*>(dst);
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, offset);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

bool full_pwrite(int fd, const void* src, size_t n, off_t offset) {
    const auto* p = static_cast<const uint8_t*>(src);
    while (n > 0) {
        const ssize_t put = ::pwrite(fd, p, n, offset);
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
        offset += put;
    }
    return true;
}

class ShareRegion : public BoundRegion {
public:
    ShareRegion(std::shared_ptr<ShareBuffer> buf, size_t offset) : buf_(std::move(buf)), offset_(offset) {}
    bool read(void* dst, size_t n) const override {
        std::memcpy(dst, buf_->data() + offset_, n);
        return true;
    }
    bool write(const void* src, size_t n) const override {
        std::memcpy(buf_->data() + offset_, src, n);
        return true;
    }

private:
    std::shared_ptr<ShareBuffer> buf_;
    size_t offset_;
};

// Holds its own duplicate of the descriptor: the caller's descriptor may be
// freed (closed) while the binding lives, and its number reused.
class DmaRegion : public BoundRegion {
public:
    DmaRegion(UniqueFd fd, uint32_t offset) : fd_(std::move(fd)), offset_(offset) {}
    bool read(void* dst, size_t n) const override { return full_pread(fd_.get(), dst, n, offset_); }
    bool write(const void* src, size_t n) const override { return full_pwrite(fd_.get(), src, n, offset_); }

private:
    UniqueFd fd_;
    uint32_t offset_;
};

}  // namespace

ShareBuffer::~ShareBuffer() {
    ::munmap(base_, mapped_);
}

uint32_t BufferPool::alloc_share(uint32_t size, uint32_t mem_type, uint64_t* pa, uint64_t* va) {
    if (size == 0) return AIPU_STATUS_ERROR_INVALID_SIZE;
    if (size > kMaxBufferBytes) return AIPU_STATUS_ERROR_BUF_ALLOC_FAIL;
    const size_t mapped = round_up_pages(size);
    void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return AIPU_STATUS_ERROR_BUF_ALLOC_FAIL;
    auto buf = std::make_shared<ShareBuffer>(base, mapped, size, mem_type, reserve_pa(size));
    *pa = buf->pa();
    *va = reinterpret_cast<uint64_t>(base);
    std::lock_guard<std::mutex> lock(mu_);
    shares_[buf->pa()] = std::move(buf);
    return 0;
}

uint32_t BufferPool::free_share(uint64_t pa, uint32_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = shares_.find(pa);
    if (it == shares_.end() || it->second->size() != size) return AIPU_STATUS_ERROR_BUF_FREE_FAIL;
    shares_.erase(it);
    return 0;
}

uint32_t BufferPool::alloc_dma(uint64_t bytes, int32_t* fd) {
    if (bytes == 0) return AIPU_STATUS_ERROR_INVALID_SIZE;
    if (bytes > kMaxBufferBytes) return AIPU_STATUS_ERROR_BUF_ALLOC_FAIL;
    UniqueFd file(::memfd_create("aipu-dmabuf", MFD_CLOEXEC));
    if (!file.valid() || ::ftruncate(file.get(), static_cast<off_t>(bytes)) != 0) {
        return AIPU_STATUS_ERROR_BUF_ALLOC_FAIL;
    }
    auto buf = std::make_shared<DmaBuffer>(std::move(file), bytes);
    *fd = buf->fd();
    std::lock_guard<std::mutex> lock(mu_);
    dmas_[buf->fd()] = std::move(buf);
    return 0;
}

uint32_t BufferPool::free_dma(int32_t fd) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = dmas_.find(fd);
    if (it == dmas_.end()) return AIPU_STATUS_ERROR_BUF_FREE_FAIL;
    dmas_.erase(it);
    return 0;
}

uint32_t BufferPool::attach_dma(int32_t fd, uint64_t* pa, uint64_t* bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = dmas_.find(fd);
    if (it == dmas_.end()) return AIPU_STATUS_ERROR_DMABUF_SHARED_IO;
    DmaBuffer& buf = *it->second;
    if (buf.attached_pa == 0) buf.attached_pa = reserve_pa(buf.bytes());
    *pa = buf.attached_pa;
    *bytes = buf.bytes();
    return 0;
}

uint32_t BufferPool::detach_dma(int32_t fd) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = dmas_.find(fd);
    if (it == dmas_.end() || it->second->attached_pa == 0) return AIPU_STATUS_ERROR_DMABUF_SHARED_IO;
    it->second->attached_pa = 0;
    return 0;
}

std::shared_ptr<DmaBuffer> BufferPool::dma_span(int32_t fd, uint32_t offset, uint32_t size, uint32_t* status) {
    std::shared_ptr<DmaBuffer> buf;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = dmas_.find(fd);
        if (it == dmas_.end()) {
            *status = AIPU_STATUS_ERROR_DMABUF_SHARED_IO;
            return nullptr;
        }
        buf = it->second;
    }
    if (uint64_t(offset) + size > buf->bytes()) {
        *status = AIPU_STATUS_ERROR_INVALID_SIZE;
        return nullptr;
    }
    *status = 0;
    return buf;
}

uint32_t BufferPool::write_dma(int32_t fd, uint32_t offset, uint32_t size, const void* data) {
    if (size != 0 && data == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    uint32_t status = 0;
    const std::shared_ptr<DmaBuffer> buf = dma_span(fd, offset, size, &status);
    if (!buf) return status;
    return full_pwrite(buf->fd(), data, size, offset) ? 0u : uint32_t{AIPU_STATUS_ERROR_WRITE_FILE_FAIL};
}

uint32_t BufferPool::read_dma(int32_t fd, uint32_t offset, uint32_t size, void* data) {
    if (size != 0 && data == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    uint32_t status = 0;
    const std::shared_ptr<DmaBuffer> buf = dma_span(fd, offset, size, &status);
    if (!buf) return status;
    return full_pread(buf->fd(), data, size, offset) ? 0u : uint32_t{AIPU_STATUS_ERROR_READ_FILE_FAIL};
}

void BufferPool::release_all() {
    std::lock_guard<std::mutex> lock(mu_);
    shares_.clear();
    dmas_.clear();
}

std::unique_ptr<BoundRegion> BufferPool::region_at_pa(uint64_t pa, uint32_t need, uint32_t* status) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = shares_.upper_bound(pa);
    if (it == shares_.begin()) {
        *status = AIPU_STATUS_ERROR_SET_SHARED_TENSOR;
        return nullptr;
    }
    --it;
    const ShareBuffer& buf = *it->second;
    const uint64_t offset = pa - buf.pa();
    if (offset >= buf.size()) {
        *status = AIPU_STATUS_ERROR_SET_SHARED_TENSOR;
        return nullptr;
    }
    if (offset + need > buf.size()) {
        *status = AIPU_STATUS_ERROR_INVALID_SIZE;
        return nullptr;
    }
    *status = 0;
    return std::make_unique<ShareRegion>(it->second, offset);
}

std::unique_ptr<BoundRegion> BufferPool::region_in_dma(int32_t fd, uint32_t offset, uint32_t need, uint32_t* status) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = dmas_.find(fd);
    if (it == dmas_.end()) {
        *status = AIPU_STATUS_ERROR_DMABUF_SHARED_IO;
        return nullptr;
    }
    if (uint64_t(offset) + need > it->second->bytes()) {
        *status = AIPU_STATUS_ERROR_INVALID_SIZE;
        return nullptr;
    }
    UniqueFd dup(::fcntl(it->second->fd(), F_DUPFD_CLOEXEC, 0));
    if (!dup.valid()) {
        *status = AIPU_STATUS_ERROR_DMABUF_SHARED_IO;
        return nullptr;
    }
    *status = 0;
    return std::make_unique<DmaRegion>(std::move(dup), offset);
}

}  // namespace standin
