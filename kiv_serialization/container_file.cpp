#include "container_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "page_advice.h"
#include "unique_fd.h"

namespace kiv {
namespace {

// Reads up to `length` bytes; false on a read error. A file that shrank
// meanwhile gives fewer bytes, which the verifier then judges.
bool read_all(int fd, uint8_t* out, size_t length, size_t* done) {
    *done = 0;
    while (*done < length) {
        const ssize_t n = ::read(fd, out + *done, length - *done);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        *done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ContainerResult ContainerFile::Read(const char* path) {
    if (path == nullptr) return read_through_handler(path);
    switch (read_regular_file(path)) {
        case Outcome::Read:
            return ContainerResult{};
        case Outcome::Rejected: {
            ContainerResult result;
            result.problem = container_bytes_problem(bytes_.get(), size_, false);
            if (result.problem.empty()) result.problem = "is not a well-formed zor model container";
            return result.fail(KIV_SERIALIZATION_BAD_CONTAINER, std::string("Error deserializing model: ") + path);
        }
        case Outcome::Unreadable:
            break;
    }
    return read_through_handler(path);
}

ContainerFile::Outcome ContainerFile::read_regular_file(const char* path) {
    UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return Outcome::Unreadable;
    const auto length = static_cast<size_t>(info.st_size);
    if (length == 0 || length >= FLATBUFFERS_MAX_BUFFER_SIZE) return Outcome::Unreadable;

    // Not zero-filled first: every byte that is used comes from the file.
    bytes_.reset(new uint8_t[length]);
    prefault_pages(bytes_.get(), length);
    if (!read_all(file.get(), bytes_.get(), length, &size_)) {
        bytes_.reset();
        return Outcome::Unreadable;
    }
    flatbuffers::Verifier verifier(bytes_.get(), size_);
    if (!VerifyZorGraphBuffer(verifier)) return Outcome::Rejected;

    const auto* subgraphs = GetZorGraph(bytes_.get())->subgraphs();
    has_subgraph_ = subgraphs != nullptr && subgraphs->size() > 0;
    if (has_subgraph_) {
        const auto* data = subgraphs->Get(0)->data();
        executable_size_ = data != nullptr ? data->size() : 0;
        executable_ = executable_size_ > 0 ? data->data() : nullptr;
    }
    return Outcome::Read;
}

ContainerResult ContainerFile::read_through_handler(const char* path) {
    handler_ = std::make_unique<SerializationHandler>();
    ContainerResult result = read_container(*handler_, path);
    if (!result.ok()) return result;
    const auto& subgraphs = handler_->GetSubgraphs();
    has_subgraph_ = !subgraphs.empty();
    if (has_subgraph_) {
        executable_size_ = subgraphs[0]->GetSize();
        executable_ = executable_size_ > 0 ? subgraphs[0]->GetData() : nullptr;
    }
    return result;
}

}  // namespace kiv
