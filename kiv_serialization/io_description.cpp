// The IO description: reading it into the model, answering input and output
// shapes by name, and writing it back as JSON text.
#include <memory>
#include <nlohmann/json.hpp>

#include "container_result.h"
#include "flatbuffers/util.h"
#include "json_numbers.h"
#include "serialization_handler.h"

namespace kiv {
namespace {

using nlohmann::json;

constexpr QType kDefaultQType = static_cast<QType>(3);

// A list value that is not an array contributes nothing.
template <typename T>
std::vector<T> optional_list(const json& entry, const char* key) {
    std::vector<T> result;
    if (!entry.contains(key) || !entry[key].is_array()) return result;
    for (const json& value : entry[key]) result.push_back(json_number<T>(value));
    return result;
}

std::unique_ptr<Tensor> default_tensor(const std::string& name) {
    return std::make_unique<Tensor>(name, std::vector<int>{}, static_cast<DType>(0), kDefaultQType,
                                    std::vector<float>{}, std::vector<int>{});
}

template <typename T>
void adopt(std::vector<T*>& owners, std::unique_ptr<T> object) {
    owners.push_back(object.get());
    object.release();
}

// Appends the entry's name to `names` and, for an object entry, its tensor.
// Entries that are neither a string nor an object with "name" are skipped.
void read_entry(const json& entry, std::vector<std::string>& names, std::vector<Tensor*>& tensors) {
    if (entry.is_string()) {
        names.push_back(entry.get<std::string>());
        return;
    }
    if (!entry.is_object() || !entry.contains("name")) return;
    std::string name = entry["name"].get<std::string>();
    std::vector<int> shape = optional_list<int>(entry, "shape");
    // Codes are stored as 32-bit unsigned numbers: a negative one is refused.
    auto dtype = static_cast<DType>(entry.contains("dtype") ? json_number<uint32_t>(entry["dtype"]) : 0);
    auto qtype = entry.contains("qtype") ? static_cast<QType>(json_number<uint32_t>(entry["qtype"])) : kDefaultQType;
    std::vector<float> scale = optional_list<float>(entry, "scale");
    std::vector<int> zero_point = optional_list<int>(entry, "zero_point");
    names.push_back(name);
    adopt(tensors, std::make_unique<Tensor>(name, shape, dtype, qtype, scale, zero_point));
}

// The first of `keys` that the document holds decides; later ones are not read.
void read_entries(const json& document, std::initializer_list<const char*> keys, std::vector<std::string>& names,
                  std::vector<Tensor*>& tensors) {
    for (const char* key : keys) {
        if (!document.contains(key)) continue;
        const json& list = document[key];
        if (list.is_array()) {
            for (const json& entry : list) read_entry(entry, names, tensors);
        }
        return;
    }
}

bool has_tensor(const std::vector<Tensor*>& tensors, const std::string& name) {
    for (const Tensor* tensor : tensors) {
        if (tensor != nullptr && tensor->GetName() == name) return true;
    }
    return false;
}

json infos_to_json(const std::vector<IoTensorInfo>& infos) {
    json list = json::array();
    for (const IoTensorInfo& info : infos) list.push_back(json{{"name", info.name}, {"shape", info.shape}});
    return list;
}

}  // namespace

int SerializationHandler::LoadIoJson(const char* path) {
    return print_lines(load_io_description(*this, path));
}

ContainerResult load_io_description(SerializationHandler& model, const char* path) {
    ContainerResult result;
    std::string text;
    if (path == nullptr || !flatbuffers::LoadFile(path, false, &text)) {
        return result.fail(KIV_SERIALIZATION_FILE_ERROR,
                           std::string("Error loading io json file: ") + (path != nullptr ? path : ""));
    }
    const json document = json::parse(text, nullptr, true, false);

    model.clear();
    model.io_json_ = text;
    model.name_ = document.contains("name") ? document["name"].get<std::string>() : std::string("model");

    if (document.contains("version") && document["version"].is_array() && document["version"].size() >= 3) {
        const json& version = document["version"];
        model.version_.set_version(json_number<int>(version[0]), json_number<int>(version[1]),
                                   json_number<int>(version[2]), false);
    } else {
        model.version_.set_version(0, 0, 0, true);
    }

    read_entries(document, {"input_tensors", "inputs"}, model.inputs_, model.tensors_);
    read_entries(document, {"output_tensors", "outputs"}, model.outputs_, model.tensors_);

    for (const std::vector<std::string>* names : {&model.inputs_, &model.outputs_}) {
        for (const std::string& name : *names) {
            if (!has_tensor(model.tensors_, name)) adopt(model.tensors_, default_tensor(name));
        }
    }
    return result;
}

std::vector<IoTensorInfo> SerializationHandler::BuildIoInfosByNames(const std::vector<std::string>& names,
                                                                    const std::vector<Tensor*>& tensors) {
    std::vector<IoTensorInfo> infos;
    infos.reserve(names.size());
    for (const std::string& name : names) {
        IoTensorInfo info{name, {}};
        for (const Tensor* tensor : tensors) {
            if (tensor != nullptr && tensor->GetName() == name) {
                info.shape = tensor->GetShape();
                break;
            }
        }
        infos.push_back(std::move(info));
    }
    return infos;
}

std::vector<IoTensorInfo> SerializationHandler::GetInputInfos() const {
    return BuildIoInfosByNames(inputs_, tensors_);
}

std::vector<IoTensorInfo> SerializationHandler::GetOutputInfos() const {
    return BuildIoInfosByNames(outputs_, tensors_);
}

std::string SerializationHandler::DumpIoJson() const {
    if (!io_json_.empty()) return io_json_;
    json document = json::object();
    document["name"] = name_;
    document["version"] = json::array({version_.major, version_.minor, version_.patch});
    document["input_tensors"] = infos_to_json(GetInputInfos());
    document["output_tensors"] = infos_to_json(GetOutputInfos());
    return document.dump(2, ' ', false, json::error_handler_t::strict);
}

}  // namespace kiv
