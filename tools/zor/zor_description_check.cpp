#include "zor_description_check.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "container_diagnosis.h"
#include "json_numbers.h"
#include "zor_formatting.h"

namespace zor {
namespace {

using nlohmann::json;
using Problems = std::vector<std::string>;

constexpr int64_t kInt32Min = INT32_MIN;
constexpr int64_t kInt32Max = INT32_MAX;
constexpr int64_t kCodeMax = UINT32_MAX;

const char kInt32Text[] = "an array of 32-bit whole numbers";
const char kCodeText[] = "a whole number from 0 to 4294967295";
const char kDtypeText[] =
    "an element type's name as zor info prints it (int8, float32, ...) or its code, a whole number from 0 to "
    "4294967295";

bool whole_in(const json& value, int64_t low, int64_t high) {
    if (!value.is_number_integer()) return false;
    if (value.is_number_unsigned()) return value.get<uint64_t>() <= static_cast<uint64_t>(high);
    const int64_t number = value.get<int64_t>();
    return number >= low && number <= high;
}

bool is_code(const json& value) {
    return whole_in(value, 0, kCodeMax);
}

bool is_dtype(const json& value) {
    return is_code(value) || (value.is_string() && dtype_code(value.get<std::string>()).has_value());
}

bool is_array_of(const json& value, const std::function<bool(const json&)>& element) {
    if (!value.is_array()) return false;
    for (const json& item : value) {
        if (!element(item)) return false;
    }
    return true;
}

bool is_string_array(const json& value) {
    return is_array_of(value, [](const json& item) { return item.is_string(); });
}

bool is_int32_array(const json& value) {
    return is_array_of(value, [](const json& item) { return whole_in(item, kInt32Min, kInt32Max); });
}

// Scales are stored as single-precision floats.
bool is_scale_array(const json& value) {
    return is_array_of(value, [](const json& item) {
        return item.is_number_integer() || (item.is_number_float() && kiv::rounds_to_float(item.get<double>()));
    });
}

// One required key of an object: its type is checked by `valid`, and
// `expected` says what it should have been.
struct Key {
    const char* name;
    std::function<bool(const json&)> valid;
    std::string expected;
};

// Keys that are absent are reported only when `required`.
void check_keys(const json& object, const std::string& where, const std::vector<Key>& keys, Problems& problems,
                bool required = true) {
    for (const Key& key : keys) {
        if (!object.contains(key.name)) {
            if (required) problems.push_back(where + "'" + key.name + "' is missing");
        } else if (!key.valid(object.at(key.name))) {
            problems.push_back(where + "'" + key.name + "' must be " + key.expected);
        }
    }
}

// "tensor 2 ('logits'): ", or "tensor 2: " when the entry has no usable name.
std::string entry_label(const char* kind, size_t index, const json& entry) {
    std::string label = std::string(kind) + " " + std::to_string(index);
    if (entry.is_object() && entry.contains("name") && entry["name"].is_string()) {
        label += " ('" + entry["name"].get<std::string>() + "')";
    }
    return label + ": ";
}

// The keys of a tensor object, in the graph description and the IO description.
const std::vector<Key>& tensor_keys() {
    static const std::vector<Key> keys = {{"name", &json::is_string, "a string"},
                                          {"dtype", is_dtype, kDtypeText},
                                          {"shape", is_int32_array, kInt32Text},
                                          {"qtype", is_code, kCodeText},
                                          {"scale", is_scale_array, "an array of numbers within single precision"},
                                          {"zero_point", is_int32_array, kInt32Text}};
    return keys;
}

void check_tensor(const json& entry, size_t index, Problems& problems) {
    const std::string where = entry_label("tensor", index, entry);
    if (!entry.is_object()) {
        problems.push_back(where + "must be an object");
        return;
    }
    check_keys(entry, where, tensor_keys(), problems);
}

// An entry of an IO description's tensor list: a name, or an object with a
// name and any other key of a tensor.
void check_io_tensor(const char* kind, const json& entry, size_t index, Problems& problems) {
    if (entry.is_string()) return;
    const std::string where = entry_label(kind, index, entry);
    if (!entry.is_object()) {
        problems.push_back(where + "must be a tensor name or a tensor object");
        return;
    }
    if (!entry.contains("name")) problems.push_back(where + "'name' is missing");
    check_keys(entry, where, tensor_keys(), problems, false);
}

// The first of `keys` that the document holds is the list the container
// class reads; it must be an array of tensor entries.
void check_io_list(const json& document, std::initializer_list<const char*> keys, const char* kind,
                   Problems& problems) {
    for (const char* key : keys) {
        if (!document.contains(key)) continue;
        const json& list = document[key];
        if (!list.is_array()) {
            problems.push_back(std::string("'") + key + "' must be an array of tensor names or tensor objects");
            return;
        }
        for (size_t index = 0; index < list.size(); ++index) check_io_tensor(kind, list[index], index, problems);
        return;
    }
}

void check_subgraph(const json& entry, size_t index, Problems& problems) {
    const std::string where = entry_label("subgraph", index, entry);
    if (!entry.is_object()) {
        problems.push_back(where + "must be an object");
        return;
    }
    check_keys(entry, where,
               {{"name", &json::is_string, "a string"},
                {"backend", is_code, kCodeText},
                {"inputs", is_string_array, "an array of strings"},
                {"outputs", is_string_array, "an array of strings"},
                {"data", &json::is_string, "a string (the path of the NPU executable)"}},
               problems);
    if (entry.contains("data") && entry["data"].is_string()) {
        const std::string path = entry["data"].get<std::string>();
        const std::string problem = kiv::input_file_problem(path, "an NPU executable");
        if (!problem.empty()) problems.push_back(where + "data file " + path + ": " + problem);
    }
}

// Checks each entry of a list that is an array; the list itself was checked
// with the top-level keys.
void check_entries(const json& document, const char* key, void (*check)(const json&, size_t, Problems&),
                   Problems& problems) {
    if (!document.contains(key) || !document[key].is_array()) return;
    size_t index = 0;
    for (const json& entry : document[key]) check(entry, index++, problems);
}

bool is_version(const json& value) {
    return value.is_array() && value.size() == 3 && is_int32_array(value);
}

bool is_array(const json& value) {
    return value.is_array();
}

std::string not_an_object(const char* what, const json& document) {
    std::string found = document.is_array() ? "an array" : std::string("a ") + document.type_name();
    if (document.is_null()) found = "null";
    return std::string("the ") + what + " must be a JSON object, not " + found;
}

}  // namespace

bool number_dtypes(json& document) {
    bool changed = false;
    if (!document.is_object()) return changed;
    for (const char* key : {"tensors", "input_tensors", "inputs", "output_tensors", "outputs"}) {
        if (!document.contains(key) || !document[key].is_array()) continue;
        for (json& entry : document[key]) {
            if (!entry.is_object() || !entry.contains("dtype") || !entry["dtype"].is_string()) continue;
            const std::optional<uint32_t> code = dtype_code(entry["dtype"].get<std::string>());
            if (!code) continue;
            entry["dtype"] = *code;
            changed = true;
        }
    }
    return changed;
}

std::vector<std::string> graph_description_problems(const json& document) {
    if (!document.is_object()) return {not_an_object("graph description", document)};
    Problems problems;
    check_keys(document, "",
               {{"name", &json::is_string, "a string"},
                {"version", is_version, "an array of three 32-bit whole numbers (major, minor, patch)"},
                {"inputs", is_string_array, "an array of strings"},
                {"outputs", is_string_array, "an array of strings"},
                {"tensors", is_array, "an array of tensor objects"},
                {"subgraphs", is_array, "an array of subgraph objects"}},
               problems);
    check_entries(document, "tensors", check_tensor, problems);
    check_entries(document, "subgraphs", check_subgraph, problems);
    if (document.contains("subgraphs") && document["subgraphs"].is_array() && document["subgraphs"].empty()) {
        problems.push_back("'subgraphs' is empty: a container needs a subgraph to hold its NPU executable");
    }
    return problems;
}

std::vector<std::string> io_description_problems(const json& document) {
    if (!document.is_object()) return {not_an_object("IO description", document)};
    Problems problems;
    check_keys(document, "",
               {{"name", &json::is_string, "a string"},
                {"version", is_version, "an array of three 32-bit whole numbers (major, minor, patch)"}},
               problems, false);
    check_io_list(document, {"input_tensors", "inputs"}, "input", problems);
    check_io_list(document, {"output_tensors", "outputs"}, "output", problems);
    return problems;
}

}  // namespace zor
