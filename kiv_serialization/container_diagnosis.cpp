#include "container_diagnosis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "unique_fd.h"

namespace kiv {
namespace {

constexpr uint64_t kMaxBuffer = 2147483647;  // the container format's limit: 2 GiB less one byte
constexpr uint64_t kRootNearStart = 256;     // a container's root table lies within its first bytes
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

// Containers are one FlatBuffers buffer: a 32-bit offset of the root table,
// then tables that find their fields through a vtable, and the strings and
// vectors that tables point to. Containers are written back to front, so
// the root table sits near the start and a file cut short keeps a plausible
// root offset but loses what the tables point to.
class Reader {
public:
    explicit Reader(const std::string& data) : data_(data) {}

    uint16_t u16(int64_t at) const { return static_cast<uint16_t>(unsigned_at(at, 2)); }
    uint32_t u32(int64_t at) const { return static_cast<uint32_t>(unsigned_at(at, 4)); }
    int32_t i32(int64_t at) const { return static_cast<int32_t>(u32(at)); }

    Table root() const {
        const uint64_t at = u32(0);
        if (at % 4 != 0 || at >= kMaxBuffer) throw Layout{"it does not start with a container's root table offset"};
        if (at + 4 > data_.size()) throw Layout{"its root table lies past its end", at < kRootNearStart};
        return table(at, "its root table");
    }

    Table table(uint64_t at, const std::string& what) const {
        const int64_t vtable = static_cast<int64_t>(at) - i32(static_cast<int64_t>(at));
        if (vtable < 0 || vtable % 2 != 0) throw Layout{what + " has no valid field table"};
        const uint64_t size = u16(vtable);
        if (size < 4 || size % 2 != 0) throw Layout{what + " has no valid field table"};
        if (static_cast<uint64_t>(vtable) + size > data_.size()) throw Layout{"it ends inside " + what, true};
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
        if (to + 4 > data_.size()) throw Layout{"a part of the model lies past its end", true};
        return to;
    }

    uint64_t size() const { return data_.size(); }

private:
    uint64_t unsigned_at(int64_t at, int width) const {
        if (at < 0 || static_cast<uint64_t>(at) + width > data_.size()) throw Layout{"it points past its end", true};
        uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(data_[at + i]);
        return value;
    }

    const std::string& data_;
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

// Reads at most one byte more than any container can hold.
std::string read_head(int fd, std::string& error) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() <= kMaxBuffer) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = strerror(errno);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

// Empty when `bytes` are laid out like a container (with a subgraph, when
// `need_subgraph`), else why not.
std::string layout_problem(const std::string& bytes, bool need_subgraph) {
    if (bytes.size() < 8) return with_size("is too short to be a model container", bytes.size());
    const Reader reader(bytes);
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
        if (problem.truncated) return with_size("is truncated: " + problem.text, bytes.size());
        return "is not a zor model container: " + problem.text;
    }
    return "";
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
    if (file.get() < 0) return std::string("cannot be read: ") + strerror(errno);
    std::string error;
    const std::string bytes = read_head(file.get(), error);
    if (!error.empty()) return "cannot be read: " + error;
    if (bytes.empty()) return "is empty, not a model container";
    if (bytes.size() > kMaxBuffer) return "is larger than any model container can be";
    return layout_problem(bytes, need_subgraph);
}

}  // namespace kiv
