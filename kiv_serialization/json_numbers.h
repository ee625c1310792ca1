// Numbers read from the JSON descriptions. The JSON library converts a
// floating-point value to the requested type with a plain cast, which is
// undefined behaviour when the value lies outside that type's range (a dtype
// of 1e107, a scale of 1e300). These readers refuse such values with the
// library's own out_of_range error, like any other value that does not fit.
#ifndef KIV_JSON_NUMBERS_H
#define KIV_JSON_NUMBERS_H

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

namespace kiv {

template <typename T>
T json_number(const nlohmann::json& value) {
    static_assert(std::is_arithmetic<T>::value, "numbers only");
    if (value.is_number_float()) {
        const double number = value.get<double>();
        const bool fits =
            std::is_integral<T>::value
                ? number > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
                      number < static_cast<double>(std::numeric_limits<T>::max()) + 1.0
                : !std::isfinite(number) || std::fabs(number) <= static_cast<double>(std::numeric_limits<T>::max());
        if (!fits) {
            throw nlohmann::json::out_of_range::create(
                406, "number " + value.dump() + " does not fit the expected type", &value);
        }
    }
    return value.get<T>();
}

}  // namespace kiv

#endif  // KIV_JSON_NUMBERS_H
