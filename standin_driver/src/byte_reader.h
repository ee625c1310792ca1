// Bounds-checked little-endian reading from a borrowed byte range.
#ifndef STANDIN_BYTE_READER_H
#define STANDIN_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace standin {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - pos_; }
    size_t position() const { return pos_; }

    bool read_bytes(void* out, size_t n) {
        if (n > remaining()) return false;
        if (n != 0) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    // The next `n` bytes in place (null when fewer remain), for callers that
    // copy them into storage of their own in one pass.
    const uint8_t* take(size_t n) {
        if (n > remaining()) return nullptr;
        const uint8_t* at = data_ + pos_;
        pos_ += n;
        return at;
    }
    bool read_u8(uint8_t& v) { return read_bytes(&v, 1); }
    bool read_u32(uint32_t& v) {
        uint8_t b[4];
        if (!read_bytes(b, 4)) return false;
        v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    }
    bool read_i32(int32_t& v) {
        uint32_t u;
        if (!read_u32(u)) return false;
        std::memcpy(&v, &u, 4);
        return true;
    }
    bool read_f32(float& v) {
        uint32_t u;
        if (!read_u32(u)) return false;
        std::memcpy(&v, &u, 4);
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace standin

#endif  // STANDIN_BYTE_READER_H
