#include "data_type_names.h"

#include <cctype>

#include "aipu_driver.h"

namespace kiv {
namespace {

std::string label_of(const char* name, const char* numpy_name) {
    if (*numpy_name != '\0') return numpy_name;
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

}  // namespace

const std::vector<DataTypeName>& data_type_names() {
#define KIV_DATA_TYPE_NAME(name, code, bytes, numpy_name) {code, label_of(#name, numpy_name), bytes, numpy_name},
    static const std::vector<DataTypeName> names = {AIPU_DATA_TYPE_LIST(KIV_DATA_TYPE_NAME)};
#undef KIV_DATA_TYPE_NAME
    return names;
}

std::string data_type_label(uint32_t code) {
    for (const DataTypeName& type : data_type_names()) {
        if (type.code == code) return type.label;
    }
    return "";
}

std::optional<uint32_t> data_type_code(const std::string& label) {
    for (const DataTypeName& type : data_type_names()) {
        if (type.label == label) return type.code;
    }
    return std::nullopt;
}

}  // namespace kiv
