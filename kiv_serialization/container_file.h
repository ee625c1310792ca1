// The first executable of a container file, for the runtime's graph loading.
// Not part of the exported interface.
#ifndef KIV_CONTAINER_FILE_H
#define KIV_CONTAINER_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "container_result.h"
#include "serialization_handler.h"

namespace kiv {

// Reads a container file once and lends out its first subgraph's executable
// straight from the file's bytes, where SerializationHandler would hold the
// file and a copy of every executable. Results and lines are those of
// SerializationHandler::DeSerialization(path), returned rather than printed;
// files that are not plain non-empty regular files are read as it reads them.
class ContainerFile {
public:
    ContainerFile() = default;
    ContainerFile(const ContainerFile&) = delete;
    ContainerFile& operator=(const ContainerFile&) = delete;

    ContainerResult Read(const char* path);

    bool HasSubgraph() const { return has_subgraph_; }
    // The first subgraph's executable; null when it is empty. Valid while
    // this object lives.
    const uint8_t* ExecutableData() const { return executable_; }
    uint32_t ExecutableSize() const { return executable_size_; }

private:
    enum class Outcome { Read, Unreadable, Rejected };
    Outcome read_regular_file(const char* path);
    ContainerResult read_through_handler(const char* path);

    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;  // of bytes_
    std::unique_ptr<SerializationHandler> handler_;
    bool has_subgraph_ = false;
    const uint8_t* executable_ = nullptr;
    uint32_t executable_size_ = 0;
};

}  // namespace kiv

#endif  // KIV_CONTAINER_FILE_H
