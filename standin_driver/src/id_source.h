// Process-wide id counters. Graph and job ids come from one counter so that
// an id never names both a graph and a job; the base is far above 2^32 so
// that a caller truncating ids to 32 bits is caught at once.
#ifndef STANDIN_ID_SOURCE_H
#define STANDIN_ID_SOURCE_H

#include <atomic>
#include <cstdint>

namespace standin {

constexpr uint64_t kFirstObjectId = 0x100000000ull + 0x1000;
constexpr uint32_t kFirstQueueId = 0x100;

inline uint64_t next_object_id() {
    static std::atomic<uint64_t> next{kFirstObjectId};
    return next.fetch_add(1);
}

inline uint32_t next_queue_id() {
    static std::atomic<uint32_t> next{kFirstQueueId};
    return next.fetch_add(1);
}

}  // namespace standin

#endif  // STANDIN_ID_SOURCE_H
