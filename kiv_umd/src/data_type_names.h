// The names kiv and the zor tool give element types, made from the driver's
// list of them (AIPU_DATA_TYPE_LIST) by one rule.
#ifndef KIV_DATA_TYPE_NAMES_H
#define KIV_DATA_TYPE_NAMES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

// One element type as kiv and zor show it.
struct DataTypeName {
    uint32_t code;
    // numpy's name where numpy has the type ("float32", "int8"), else the
    // list's name in lower case ("bf16", "aligned_u4").
    std::string label;
    // Bytes per element; 0 where the list gives none.
    uint32_t bytes;
    // numpy's name, empty where numpy has no such type.
    std::string numpy_name;
};

// Every type of the list, in its order.
const std::vector<DataTypeName>& data_type_names();

// The label of `code`; empty for a code the list does not name.
std::string data_type_label(uint32_t code);

// The code whose label is `label` ("int8" is 3); none for any other text.
std::optional<uint32_t> data_type_code(const std::string& label);

}  // namespace kiv

#endif  // KIV_DATA_TYPE_NAMES_H
