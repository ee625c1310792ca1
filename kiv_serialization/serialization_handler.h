// In-memory form of a zor model container and its conversion to and from the
// container bytes; packing containers from a graph description or an IO
// description; the IO description JSON; the model listing. Exported from
// libkiv.so for tools.
#ifndef KIV_SERIALIZATION_HANDLER_H
#define KIV_SERIALIZATION_HANDLER_H

#include <cstdint>
#include <string>
#include <vector>

#include "flatbuffers/flatbuffers.h"
#include "zor_generated.h"

#define KIV_EXPORT __attribute__((visibility("default")))

// Result codes of the container operations.
enum : int {
    KIV_SERIALIZATION_OK = 0,
    KIV_SERIALIZATION_FILE_ERROR = 1,
    KIV_SERIALIZATION_BAD_CONTAINER = 4,
};

class KIV_EXPORT KivVersion {
public:
    int32_t major = 0;
    int32_t minor = 0;
    int32_t patch = 0;
    bool draft = false;

    void set_version(int major_, int minor_, int patch_, bool draft_) {
        major = major_;
        minor = minor_;
        patch = patch_;
        draft = draft_;
    }

    std::string to_string() const {
        std::string text = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
        if (draft) text += "d";
        return text;
    }
};

namespace kiv {

struct ContainerResult;

// One named tensor description.
class KIV_EXPORT Tensor {
public:
    Tensor(const std::string& name, const std::vector<int>& shape, DType dtype, QType qtype,
           const std::vector<float>& scale, const std::vector<int>& zero_point);

    std::string GetName() const { return name_; }
    std::vector<int>& GetShape() { return shape_; }
    const std::vector<int>& GetShape() const { return shape_; }
    std::vector<float>& GetScale() { return scale_; }
    const std::vector<float>& GetScale() const { return scale_; }
    std::vector<int>& GetZeroPoint() { return zero_point_; }
    const std::vector<int>& GetZeroPoint() const { return zero_point_; }
    DType GetDtype() const { return dtype_; }
    QType GetQType() const { return qtype_; }

private:
    std::string name_;
    std::vector<int> shape_;
    DType dtype_;
    QType qtype_;
    std::vector<float> scale_;
    std::vector<int> zero_point_;
};

// One NPU executable with its input and output names and its backend. The
// executable is always the subgraph's own copy.
class KIV_EXPORT Subgraph {
public:
    Subgraph(const std::string& name, const uint8_t* data, uint32_t size, const std::vector<std::string>& inputs,
             const std::vector<std::string>& outputs, Backend backend);
    Subgraph(const std::string& name, const flatbuffers::Vector<uint8_t>* data, const std::vector<std::string>& inputs,
             const std::vector<std::string>& outputs, Backend backend);
    Subgraph(const std::string& name, const std::vector<uint8_t>& data, const std::vector<std::string>& inputs,
             const std::vector<std::string>& outputs, Backend backend);
    Subgraph(const std::string& name, std::vector<uint8_t>&& data, const std::vector<std::string>& inputs,
             const std::vector<std::string>& outputs, Backend backend);

    std::string GetName() const { return name_; }
    std::vector<std::string>& GetInputs() { return inputs_; }
    const std::vector<std::string>& GetInputs() const { return inputs_; }
    std::vector<std::string>& GetOutputs() { return outputs_; }
    const std::vector<std::string>& GetOutputs() const { return outputs_; }
    const uint8_t* GetData() const { return data_.data(); }
    // The byte count as the container stores it (32 bits); GetByteCount()
    // gives the full count of an executable too large for a container.
    uint32_t GetSize() const { return static_cast<uint32_t>(data_.size()); }
    size_t GetByteCount() const { return data_.size(); }
    Backend GetBackend() const { return backend_; }

private:
    std::string name_;
    std::vector<uint8_t> data_;
    std::vector<std::string> inputs_;
    std::vector<std::string> outputs_;
    Backend backend_;
};

// One input or output as seen from outside: its name and dimensions.
struct KIV_EXPORT IoTensorInfo {
    std::string name;
    std::vector<int32_t> shape;
};

class KIV_EXPORT SerializationHandler {
public:
    SerializationHandler();
    ~SerializationHandler();
    SerializationHandler(const SerializationHandler&) = delete;
    SerializationHandler& operator=(const SerializationHandler&) = delete;

    // Deletes every subgraph and tensor; empties the name lists, the raw
    // buffer and the IO JSON text. Keeps name, version and the last image.
    int clear();

    // Builds the container image of the held model in the builder. A model
    // too large for the container format (2 GiB) is refused with a message
    // and KIV_SERIALIZATION_FILE_ERROR, leaving the builder empty.
    int serialize();
    // Replaces the held model by the container in `buffer`; the buffer is not
    // verified (see the length-taking form).
    int deserialize(const unsigned char* buffer);
    // Verifies `length` bytes as a container, then reads it; non-zero when
    // the bytes are not a well-formed container.
    int deserialize(const unsigned char* buffer, size_t length);

    // Reads a container file into the handler.
    int DeSerialization(const char* path);
    // Reads a container file and writes its first subgraph's executable to `out_path`.
    int DeSerialization(const char* path, const char* out_path);

    // Graph description and packing.
    int LoadJson(const char* path);
    int Serialization(const char* bin_path, const char* io_json_path, const char* out_path);
    int Serialization(const char* in_path, const char* out_path, bool is_json);
    int Serialization(const char* in_path, bool is_json);

    // IO description.
    int LoadIoJson(const char* path);
    static std::vector<IoTensorInfo> BuildIoInfosByNames(const std::vector<std::string>& names,
                                                         const std::vector<Tensor*>& tensors);
    std::vector<IoTensorInfo> GetInputInfos() const;
    std::vector<IoTensorInfo> GetOutputInfos() const;
    std::string DumpIoJson() const;

    // Prints a summary of the model on standard output.
    int ShowInformation() const;

    std::string GetVersion() const { return version_.to_string(); }
    std::string GetName() const { return name_; }
    std::vector<Subgraph*>& GetSubgraphs() { return subgraphs_; }
    const std::vector<Subgraph*>& GetSubgraphs() const { return subgraphs_; }
    std::vector<Tensor*>& GetTensors() { return tensors_; }
    const std::vector<Tensor*>& GetTensors() const { return tensors_; }
    std::vector<std::string>& GetInputs() { return inputs_; }
    const std::vector<std::string>& GetInputs() const { return inputs_; }
    std::vector<std::string>& GetOutputs() { return outputs_; }
    const std::vector<std::string>& GetOutputs() const { return outputs_; }

    // The container image left by the last serialize().
    const uint8_t* GetBufferPointer() const { return builder_.GetBufferPointer(); }
    size_t GetBufferSize() const { return builder_.GetSize(); }

    // The version as numbers, and a setter for tools that build models in memory.
    const KivVersion& GetKivVersion() const { return version_; }
    void SetVersion(int major, int minor, int patch, bool draft) { version_.set_version(major, minor, patch, draft); }
    void SetName(const std::string& name) { name_ = name; }
    const std::string& GetIoJson() const { return io_json_; }
    void SetIoJson(const std::string& text) { io_json_ = text; }

private:
    // The container code's own forms of serialize, LoadJson and LoadIoJson,
    // which say what went wrong instead of printing it (container_result.h).
    friend ContainerResult serialize_model(SerializationHandler& model);
    friend ContainerResult& load_graph_description(SerializationHandler& model, const char* path,
                                                   ContainerResult& result);
    friend ContainerResult load_io_description(SerializationHandler& model, const char* path);

    // True when the held model's image stays within the container format's limit.
    bool fits_container() const;

    flatbuffers::FlatBufferBuilder builder_;
    std::vector<Subgraph*> subgraphs_;
    std::vector<Tensor*> tensors_;
    std::vector<std::string> inputs_;
    std::vector<std::string> outputs_;
    KivVersion version_;
    std::string name_;
    std::string raw_buffer_;
    std::string io_json_;
};

}  // namespace kiv

#endif  // KIV_SERIALIZATION_HANDLER_H
