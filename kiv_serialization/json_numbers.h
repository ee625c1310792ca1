// Numbers read from the JSON descriptions. The JSON library converts a value
// to the requested type with a plain cast: a floating-point value outside the
// type's range is undefined behaviour (a dtype of 1e107, a scale of 1e300),
// and an integer outside it silently wraps (a version of 4294967297 read as
// 1, a dtype of -1 as 4294967295). These readers refuse such values with the
// library's own out_of_range error, like any other value that does not fit.
#ifndef KIV_JSON_NUMBERS_H
#define KIV_JSON_NUMBERS_H

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

namespace kiv {

// Whether a finite double converts to a finite float by rounding to the
// nearest (a conversion out of range is undefined behaviour): below half a
// unit past the largest float. The shortest text of the largest float
// (3.4028235e+38) reads as a double a little above it, and must read back.
inline bool rounds_to_float(double number) {
    return std::fabs(number) < 0x1.ffffffp+127;
}

namespace detail {

template <typename T>
bool float_fits(double number) {
    if (std::is_integral<T>::value) {
        return number > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
               number < static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    }
    if (std::is_same<T, float>::value) return !std::isfinite(number) || rounds_to_float(number);
    return true;  // a double holds whatever the library read
}

// Every integer the library holds (64 bits, signed or not) is within a
// floating-point type's range; integral types are compared exactly.
template <typename T>
bool integer_fits(const nlohmann::json& value) {
    if (!std::is_integral<T>::value) return true;
    using Limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        return value.get<uint64_t>() <= static_cast<uint64_t>(Limits::max());
    }
    const int64_t number = value.get<int64_t>();
    if (number < 0) return Limits::is_signed && number >= static_cast<int64_t>(Limits::min());
    return static_cast<uint64_t>(number) <= static_cast<uint64_t>(Limits::max());
}

}  // namespace detail

template <typename T>
T json_number(const nlohmann::json& value) {
    static_assert(std::is_arithmetic<T>::value, "numbers only");
    const bool fits = value.is_number_float()     ? detail::float_fits<T>(value.get<double>())
                      : value.is_number_integer() ? detail::integer_fits<T>(value)
                                                  : true;  // the library reports a wrong type itself
    if (!fits) {
        throw nlohmann::json::out_of_range::create(406, "number " + value.dump() + " does not fit the expected type",
                                                   &value);
    }
    return value.get<T>();
}

}  // namespace kiv

#endif  // KIV_JSON_NUMBERS_H
