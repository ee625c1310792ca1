// Conversion between the in-memory model and container bytes, and the
// container file operations.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "container_diagnosis.h"
#include "container_result.h"
#include "flatbuffers/util.h"
#include "serialization_handler.h"
#include "unique_fd.h"

namespace kiv {
namespace {

using StringVector = flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>;

const char* printable(const char* path) {
    return path != nullptr ? path : "";
}

std::string read_string(const flatbuffers::String* text) {
    return text != nullptr ? text->str() : std::string();
}

std::vector<std::string> read_names(const StringVector* names) {
    std::vector<std::string> result;
    if (names == nullptr) return result;
    result.reserve(names->size());
    for (const flatbuffers::String* name : *names) result.push_back(read_string(name));
    return result;
}

template <typename T>
std::vector<T> read_scalars(const flatbuffers::Vector<T>* values) {
    if (values == nullptr) return {};
    return std::vector<T>(values->begin(), values->end());
}

// Names are written from their zero-terminated form on purpose: a name
// holding a zero byte ends there, as every reader of C strings would see it.
flatbuffers::Offset<StringVector> write_names(flatbuffers::FlatBufferBuilder& builder,
                                              const std::vector<std::string>& names) {
    std::vector<flatbuffers::Offset<flatbuffers::String>> offsets;
    offsets.reserve(names.size());
    for (const std::string& name : names) offsets.push_back(builder.CreateString(name.c_str()));
    return builder.CreateVector(offsets);
}

flatbuffers::Offset<ZorSubgraph> write_subgraph(flatbuffers::FlatBufferBuilder& builder, const Subgraph& subgraph) {
    auto name = builder.CreateString(subgraph.GetName().c_str());
    auto data = builder.CreateVector(subgraph.GetData(), subgraph.GetSize());
    auto inputs = write_names(builder, subgraph.GetInputs());
    auto outputs = write_names(builder, subgraph.GetOutputs());
    return CreateZorSubgraph(builder, name, data, inputs, outputs, subgraph.GetBackend());
}

flatbuffers::Offset<ZorTensor> write_tensor(flatbuffers::FlatBufferBuilder& builder, const Tensor& tensor) {
    auto name = builder.CreateString(tensor.GetName().c_str());
    auto shape = builder.CreateVector(tensor.GetShape());
    auto scale = builder.CreateVector(tensor.GetScale());
    auto zero_point = builder.CreateVector(tensor.GetZeroPoint());
    return CreateZorTensor(builder, name, shape, tensor.GetDtype(), tensor.GetQType(), scale, zero_point);
}

// An upper bound of the size of a model's container image: the payload of
// every string and vector plus, for each of them and for each table, room
// for its length prefix, terminator, padding, offset and vtable.
class ImageSizeBound {
public:
    void text(const std::string& value) { add(std::strlen(value.c_str())); }
    void names(const std::vector<std::string>& values) {
        for (const std::string& value : values) text(value);
        add(values.size() * sizeof(uint32_t));
    }
    template <typename T>
    void scalars(const std::vector<T>& values) {
        add(values.size() * sizeof(T));
    }
    void add(uint64_t payload) { bytes_ += payload + kFraming; }
    uint64_t bytes() const { return bytes_; }

private:
    static constexpr uint64_t kFraming = 64;
    uint64_t bytes_ = kFraming;
};

// A model read from a container, held by owners until it replaces the
// handler's model, so that a failure half-way leaves the old model intact.
struct ReadModel {
    std::vector<std::unique_ptr<Subgraph>> subgraphs;
    std::vector<std::unique_ptr<Tensor>> tensors;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    KivVersion version;
    std::string name;
    std::string io_json;
};

void read_version(const Version* stored, KivVersion& version) {
    // Without a version table every field reads as its schema default.
    if (stored == nullptr) {
        version.set_version(-1, -1, -1, true);
        return;
    }
    version.set_version(stored->_major(), stored->_minor(), stored->_patch(), stored->_draft());
}

// Without `executables`, every subgraph gets an empty executable and the
// bytes of the stored ones are never read.
void read_subgraphs(const ZorGraph& graph, ReadModel& model, bool executables) {
    if (graph.subgraphs() == nullptr) return;
    for (const ZorSubgraph* stored : *graph.subgraphs()) {
        model.subgraphs.push_back(
            std::make_unique<Subgraph>(read_string(stored->name()), executables ? stored->data() : nullptr,
                                       read_names(stored->inputs()), read_names(stored->outputs()), stored->backend()));
    }
}

void read_tensors(const ZorGraph& graph, ReadModel& model);

ReadModel read_model(const ZorGraph& graph, bool executables) {
    ReadModel model;
    read_version(graph.version(), model.version);
    model.name = read_string(graph.name());
    model.io_json = read_string(graph.io_json());
    read_subgraphs(graph, model, executables);
    read_tensors(graph, model);
    model.inputs = read_names(graph.inputs());
    model.outputs = read_names(graph.outputs());
    return model;
}

// A private read-only mapping of a whole file, unmapped when the owner goes.
// Pages are read only where they are looked at.
class MappedFile {
public:
    MappedFile(int fd, size_t length)
        : length_(length), address_(::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0)) {}
    ~MappedFile() {
        if (mapped()) ::munmap(address_, length_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool mapped() const { return address_ != MAP_FAILED; }
    const uint8_t* bytes() const { return static_cast<const uint8_t*>(address_); }

private:
    size_t length_;
    void* address_;
};

void read_tensors(const ZorGraph& graph, ReadModel& model) {
    if (graph.tensors() == nullptr) return;
    for (const ZorTensor* stored : *graph.tensors()) {
        model.tensors.push_back(std::make_unique<Tensor>(
            read_string(stored->name()), read_scalars(stored->shape()), stored->dtype(), stored->qtype(),
            read_scalars(stored->scale()), read_scalars(stored->zero_point())));
    }
}

}  // namespace

ContainerResult& ContainerResult::fail(int failure, std::string line) {
    code = failure;
    lines.push_back(std::move(line));
    return *this;
}

// Flushed at once: in a program that writes its own output too (Python's
// print, a pipe), the lines would otherwise come out at exit, after it.
int print_lines(const ContainerResult& result) {
    for (const std::string& line : result.lines) printf("%s\n", line.c_str());
    if (!result.lines.empty()) std::fflush(stdout);
    return result.code;
}

SerializationHandler::SerializationHandler() = default;

SerializationHandler::~SerializationHandler() {
    clear();
}

int SerializationHandler::clear() {
    for (Subgraph* subgraph : subgraphs_) delete subgraph;
    subgraphs_.clear();
    for (Tensor* tensor : tensors_) delete tensor;
    tensors_.clear();
    inputs_.clear();
    outputs_.clear();
    raw_buffer_.clear();
    io_json_.clear();
    return KIV_SERIALIZATION_OK;
}

// The builder's own limit check is compiled out of release builds and its
// offsets are 32-bit, so a model over the limit must be refused before
// building: past it, every reader rejects the image, and past 4 GiB the
// offsets wrap.
bool SerializationHandler::fits_container() const {
    ImageSizeBound bound;
    for (const Subgraph* subgraph : subgraphs_) {
        bound.text(subgraph->GetName());
        bound.add(subgraph->GetByteCount());
        bound.names(subgraph->GetInputs());
        bound.names(subgraph->GetOutputs());
    }
    for (const Tensor* tensor : tensors_) {
        bound.text(tensor->GetName());
        bound.scalars(tensor->GetShape());
        bound.scalars(tensor->GetScale());
        bound.scalars(tensor->GetZeroPoint());
    }
    bound.add((subgraphs_.size() + tensors_.size()) * sizeof(uint32_t));
    bound.names(inputs_);
    bound.names(outputs_);
    bound.text(name_);
    bound.text(io_json_);
    return bound.bytes() < FLATBUFFERS_MAX_BUFFER_SIZE;
}

int SerializationHandler::serialize() {
    return print_lines(serialize_model(*this));
}

ContainerResult serialize_model(SerializationHandler& model) {
    ContainerResult result;
    flatbuffers::FlatBufferBuilder& builder = model.builder_;
    builder.Clear();
    if (!model.fits_container()) {
        return result.fail(KIV_SERIALIZATION_FILE_ERROR,
                           "Error serializing model: it does not fit the container format's limit of " +
                               std::to_string(static_cast<unsigned long long>(FLATBUFFERS_MAX_BUFFER_SIZE)) + " bytes");
    }

    std::vector<flatbuffers::Offset<ZorSubgraph>> subgraphs;
    subgraphs.reserve(model.subgraphs_.size());
    for (const Subgraph* subgraph : model.subgraphs_) subgraphs.push_back(write_subgraph(builder, *subgraph));
    auto subgraph_vector = builder.CreateVector(subgraphs);

    std::vector<flatbuffers::Offset<ZorTensor>> tensors;
    tensors.reserve(model.tensors_.size());
    for (const Tensor* tensor : model.tensors_) tensors.push_back(write_tensor(builder, *tensor));
    auto tensor_vector = builder.CreateVector(tensors);

    auto inputs = write_names(builder, model.inputs_);
    auto outputs = write_names(builder, model.outputs_);
    const KivVersion& v = model.version_;
    auto version = CreateVersion(builder, v.major, v.minor, v.patch, v.draft);
    auto name = builder.CreateString(model.name_.c_str());
    flatbuffers::Offset<flatbuffers::String> io_json;
    if (!model.io_json_.empty()) io_json = builder.CreateString(model.io_json_.c_str());

    auto root = CreateZorGraph(builder, version, name, subgraph_vector, tensor_vector, inputs, outputs, io_json);
    FinishZorGraphBuffer(builder, root);
    return result;
}

int SerializationHandler::deserialize(const unsigned char* buffer) {
    if (buffer == nullptr) return KIV_SERIALIZATION_BAD_CONTAINER;
    const ZorGraph* graph = GetZorGraph(buffer);

    // Everything is copied out before the old model goes: `buffer` may be the
    // handler's own raw buffer, which clear() releases.
    ReadModel model = read_model(*graph, true);

    clear();
    version_ = model.version;
    name_ = std::move(model.name);
    io_json_ = std::move(model.io_json);
    subgraphs_.reserve(model.subgraphs.size());
    for (auto& subgraph : model.subgraphs) subgraphs_.push_back(subgraph.release());
    tensors_.reserve(model.tensors.size());
    for (auto& tensor : model.tensors) tensors_.push_back(tensor.release());
    inputs_ = std::move(model.inputs);
    outputs_ = std::move(model.outputs);
    return KIV_SERIALIZATION_OK;
}

int SerializationHandler::deserialize(const unsigned char* buffer, size_t length) {
    if (buffer == nullptr || length >= FLATBUFFERS_MAX_BUFFER_SIZE) return KIV_SERIALIZATION_BAD_CONTAINER;
    flatbuffers::Verifier verifier(buffer, length);
    if (!VerifyZorGraphBuffer(verifier)) return KIV_SERIALIZATION_BAD_CONTAINER;
    return deserialize(buffer);
}

int SerializationHandler::DeSerialization(const char* path) {
    return print_lines(read_container(*this, path));
}

ContainerResult read_container(SerializationHandler& model, const char* path) {
    ContainerResult result;
    model.clear();
    std::string bytes;
    if (path == nullptr || !flatbuffers::LoadFile(path, true, &bytes)) {
        result.problem = path != nullptr ? input_file_problem(path, "a model container file") : "no file named";
        if (result.problem.empty()) result.problem = "cannot be read";
        return result.fail(KIV_SERIALIZATION_FILE_ERROR, std::string("Error loading model: ") + printable(path));
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (model.deserialize(data, bytes.size()) != KIV_SERIALIZATION_OK) {
        result.problem = container_bytes_problem(data, bytes.size(), false);
        // Laid out like a container, yet the full check refused it: a table,
        // string or vector somewhere does not hold together.
        if (result.problem.empty()) result.problem = "is not a well-formed zor model container";
        return result.fail(KIV_SERIALIZATION_BAD_CONTAINER, std::string("Error deserializing model: ") + path);
    }
    return result;
}

ContainerResult read_description(SerializationHandler& model, const char* path) {
    UniqueFd file(path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1);
    struct stat info {};
    const bool regular = file.get() >= 0 && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode);
    const auto size = static_cast<size_t>(info.st_size);
    // What cannot be mapped is read as a whole, as DeSerialization reads it.
    if (!regular || size == 0 || size >= FLATBUFFERS_MAX_BUFFER_SIZE) return read_container(model, path);
    const MappedFile mapping(file.get(), size);
    if (!mapping.mapped()) return read_container(model, path);

    ContainerResult result;
    flatbuffers::Verifier verifier(mapping.bytes(), size);
    if (!VerifyZorGraphBuffer(verifier)) {
        result.problem = container_bytes_problem(mapping.bytes(), size, false);
        if (result.problem.empty()) result.problem = "is not a well-formed zor model container";
        return result.fail(KIV_SERIALIZATION_BAD_CONTAINER, std::string("Error deserializing model: ") + path);
    }
    ReadModel read = read_model(*GetZorGraph(mapping.bytes()), false);
    model.clear();
    model.SetVersion(read.version.major, read.version.minor, read.version.patch, read.version.draft);
    model.SetName(read.name);
    model.SetIoJson(read.io_json);
    for (auto& subgraph : read.subgraphs) model.GetSubgraphs().push_back(subgraph.release());
    for (auto& tensor : read.tensors) model.GetTensors().push_back(tensor.release());
    model.GetInputs() = std::move(read.inputs);
    model.GetOutputs() = std::move(read.outputs);
    return result;
}

int SerializationHandler::DeSerialization(const char* path, const char* out_path) {
    if (path == nullptr || !flatbuffers::LoadFile(path, true, &raw_buffer_)) {
        printf("Error loading origin model: %s\n", printable(path));
        return KIV_SERIALIZATION_FILE_ERROR;
    }
    if (deserialize(reinterpret_cast<const unsigned char*>(raw_buffer_.data()), raw_buffer_.size()) != 0) {
        printf("Error deserializing model: %s\n", path);
        return KIV_SERIALIZATION_BAD_CONTAINER;
    }
    // A container without subgraphs has no executable to extract; writing an
    // empty file would pass for a successful extraction.
    if (subgraphs_.empty()) {
        printf("Error model has no subgraph: %s\n", path);
        return KIV_SERIALIZATION_BAD_CONTAINER;
    }
    const Subgraph& first = *subgraphs_.front();
    static const char kNoBytes[1] = {0};
    const char* bytes = first.GetSize() > 0 ? reinterpret_cast<const char*>(first.GetData()) : kNoBytes;
    if (out_path == nullptr || !flatbuffers::SaveFile(out_path, bytes, first.GetSize(), true)) {
        printf("Error saving file: %s\n", printable(out_path));
        return KIV_SERIALIZATION_FILE_ERROR;
    }
    return KIV_SERIALIZATION_OK;
}

}  // namespace kiv
