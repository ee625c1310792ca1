#include "container_diagnosis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "container_result.h"
#include "unique_fd.h"

namespace kiv {
namespace {

constexpr uint64_t kMaxBuffer = 2147483647;  // the container format's limit: 2 GiB less one byte
constexpr uint64_t kRootNearStart = 256;     // a container's root table lies within its first bytes
constexpr size_t kPrefixLimit = 1 << 20;     // what is read of anything but a regular file
// Fields of the root table that hold offsets: version, name, subgraphs,
// tensors, inputs, outputs, io_json.
constexpr int kRootFields = 7;
constexpr int kSubgraphsField = 2;
constexpr int kSubgraphDataField = 1;

// The bytes are not laid out as a container; `truncated` tells whether they
// look like one that was cut short.
struct Layout {
    std::string text;
    bool truncated = false;
};

struct Table {
    uint64_t at;
    uint64_t vtable;
    uint64_t size;  // of the vtable, in bytes
};

// The file could not be read where a verdict looked.
struct ReadFailure {
    std::string reason;
};

// The bytes a verdict looks at: a regular file is read at each place the
// verdict needs (a few bytes at a time, never past its size); of anything
// else (a device, a pipe) only a bounded prefix is read, once; bytes already
// in memory are looked at where they are.
class Source {
public:
    Source(int fd, const struct stat& info) : fd_(fd), regular_(S_ISREG(info.st_mode)) {
        if (regular_) {
            size_ = static_cast<uint64_t>(info.st_size);
        } else {
            read_prefix();
            memory_ = reinterpret_cast<const uint8_t*>(prefix_.data());
        }
    }
    Source(const uint8_t* bytes, size_t size) : fd_(-1), regular_(false), size_(size), memory_(bytes) {}

    uint64_t size() const { return size_; }

    // `width` bytes at `at`, which the caller checked to lie within size().
    void read(uint64_t at, uint8_t* out, size_t width) const {
        if (!regular_) {
            std::memcpy(out, memory_ + at, width);
            return;
        }
        size_t done = 0;
        while (done < width) {
            const ssize_t n = pread(fd_, out + done, width - done, static_cast<off_t>(at + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw ReadFailure{strerror(errno)};
            if (n == 0) throw ReadFailure{"it shrank while being read"};
            done += static_cast<size_t>(n);
        }
    }

private:
    void read_prefix() {
        char buffer[65536];
        while (prefix_.size() < kPrefixLimit) {
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, kPrefixLimit - prefix_.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw ReadFailure{strerror(errno)};
            if (n == 0) break;
            prefix_.append(buffer, static_cast<size_t>(n));
        }
        size_ = prefix_.size();
    }

    int fd_;
    bool regular_;
    uint64_t size_ = 0;
    std::string prefix_;
    const uint8_t* memory_ = nullptr;
};

// Containers are one FlatBuffers buffer: a 32-bit offset of the root table,
// then tables that find their fields through a vtable, and the strings and
// vectors that tables point to. Containers are written back to front, so
// the root table sits near the start and a file cut short keeps a plausible
// root offset but loses what the tables point to.
class Reader {
public:
    explicit Reader(const Source& source) : source_(source) {}

    uint16_t u16(int64_t at) const { return static_cast<uint16_t>(unsigned_at(at, 2)); }
    uint32_t u32(int64_t at) const { return static_cast<uint32_t>(unsigned_at(at, 4)); }
    int32_t i32(int64_t at) const { return static_cast<int32_t>(u32(at)); }

    Table root() const {
        const uint64_t at = u32(0);
        if (at % 4 != 0 || at >= kMaxBuffer) throw Layout{"it does not start with a container's root table offset"};
        if (at + 4 > size()) throw Layout{"its root table lies past its end", at < kRootNearStart};
        return table(at, "its root table");
    }

    Table table(uint64_t at, const std::string& what) const {
        const int64_t vtable = static_cast<int64_t>(at) - i32(static_cast<int64_t>(at));
        if (vtable < 0 || vtable % 2 != 0) throw Layout{what + " has no valid field table"};
        const uint64_t size = u16(vtable);
        if (size < 4 || size % 2 != 0) throw Layout{what + " has no valid field table"};
        if (static_cast<uint64_t>(vtable) + size > this->size()) throw Layout{"it ends inside " + what, true};
        return Table{at, static_cast<uint64_t>(vtable), size};
    }

    // Position of the value of field `number`, or nothing when absent.
    std::optional<uint64_t> field(const Table& table, int number) const {
        const uint64_t slot = 4 + 2 * static_cast<uint64_t>(number);
        if (slot + 2 > table.size) return std::nullopt;
        const uint16_t offset = u16(static_cast<int64_t>(table.vtable + slot));
        if (offset == 0) return std::nullopt;
        return table.at + offset;
    }

    // Where the offset stored at `position` points; checked to lie in the file.
    uint64_t target(uint64_t position) const {
        const uint64_t to = position + u32(static_cast<int64_t>(position));
        if (to + 4 > size()) throw Layout{"a part of the model lies past its end", true};
        return to;
    }

    uint64_t size() const { return source_.size(); }

private:
    uint64_t unsigned_at(int64_t at, int width) const {
        if (at < 0 || static_cast<uint64_t>(at) + width > size()) throw Layout{"it points past its end", true};
        uint8_t bytes[4];
        source_.read(static_cast<uint64_t>(at), bytes, static_cast<size_t>(width));
        uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
        return value;
    }

    const Source& source_;
};

// Each subgraph's table and executable lie within the file: they were
// written first, so they are what a cut loses first. Returns their count.
uint64_t check_subgraphs(const Reader& reader, uint64_t subgraphs) {
    const uint64_t count = reader.u32(static_cast<int64_t>(subgraphs));
    if (count == 0) return 0;
    reader.u32(static_cast<int64_t>(subgraphs + 4 * count));  // the last entry lies in the file
    for (uint64_t i = 0; i < count; ++i) {
        const Table table = reader.table(reader.target(subgraphs + 4 + 4 * i), "a subgraph's table");
        const std::optional<uint64_t> data = reader.field(table, kSubgraphDataField);
        if (!data) continue;
        const uint64_t vector = reader.target(*data);
        if (vector + 4 + reader.u32(static_cast<int64_t>(vector)) > reader.size()) {
            throw Layout{"an NPU executable lies past its end", true};
        }
    }
    return count;
}

std::string with_size(const std::string& text, size_t bytes) {
    return text + " (" + std::to_string(bytes) + " bytes)";
}

// Empty when the bytes of `source` are laid out like a container (with a
// subgraph, when `need_subgraph`), else why not.
std::string layout_problem(const Source& source, bool need_subgraph) {
    if (source.size() < 8) return with_size("is too short to be a model container", source.size());
    const Reader reader(source);
    try {
        const Table root = reader.root();
        if (!reader.field(root, 0)) return "is not a zor model container (it has no model version)";
        std::optional<uint64_t> subgraphs;
        uint64_t count = 0;
        for (int number = 0; number < kRootFields; ++number) {
            const std::optional<uint64_t> position = reader.field(root, number);
            if (!position) continue;
            const uint64_t to = reader.target(*position);
            if (number == kSubgraphsField) subgraphs = to;
        }
        if (subgraphs) count = check_subgraphs(reader, *subgraphs);
        if (need_subgraph && count == 0) return "holds no subgraph, so no NPU executable to load";
    } catch (const Layout& problem) {
        if (problem.truncated) return with_size("is truncated: " + problem.text, source.size());
        return "is not a zor model container: " + problem.text;
    }
    return "";
}

std::string source_problem(const Source& source, bool need_subgraph) {
    if (source.size() == 0) return "is empty, not a model container";
    if (source.size() > kMaxBuffer) return "is larger than any model container can be";
    return layout_problem(source, need_subgraph);
}

}  // namespace

std::string input_file_problem(const std::string& path, const std::string& kind) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? "no such file" : std::string("cannot be read: ") + strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) return "is a directory, not " + kind;
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::string("cannot be read: ") + strerror(errno);
    return "";
}

std::string container_file_problem(const std::string& path, bool need_subgraph) {
    std::string problem = input_file_problem(path, "a model container file");
    if (!problem.empty()) return problem;
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || fstat(file.get(), &info) != 0) return std::string("cannot be read: ") + strerror(errno);
    try {
        return source_problem(Source(file.get(), info), need_subgraph);
    } catch (const ReadFailure& failure) {
        return "cannot be read: " + failure.reason;
    }
}

std::string container_bytes_problem(const uint8_t* bytes, size_t size, bool need_subgraph) {
    return source_problem(Source(bytes, size), need_subgraph);
}

}  // namespace kiv
