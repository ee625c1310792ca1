#include "tensor_math.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "npu_program_format.h"

namespace standin {
namespace {

using namespace npu_program;

template <typename T>
T load_as(const uint8_t* base, uint64_t i) {
    T v;
    std::memcpy(&v, base + i * sizeof(T), sizeof(T));
    return v;
}

template <typename T>
void store_as(uint8_t* base, uint64_t i, T v) {
    std::memcpy(base + i * sizeof(T), &v, sizeof(T));
}

template <typename T>
T saturate(double q) {
    // NaN carries no value at all; it lands on zero rather than on an
    // undefined conversion.
    if (std::isnan(q)) return 0;
    const double lo = static_cast<double>(std::numeric_limits<T>::min());
    const double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (q < lo) return std::numeric_limits<T>::min();
    if (q > hi) return std::numeric_limits<T>::max();
    return static_cast<T>(q);
}

}  // namespace

double round_half_away(double v) {
    return std::round(v);
}

int64_t load_int(uint32_t dtype, const uint8_t* base, uint64_t i) {
    switch (dtype) {
        case kU8:
            return load_as<uint8_t>(base, i);
        case kS8:
            return load_as<int8_t>(base, i);
        case kU16:
            return load_as<uint16_t>(base, i);
        case kS16:
            return load_as<int16_t>(base, i);
        case kS32:
            return load_as<int32_t>(base, i);
        default:
            return 0;
    }
}

double load_real(uint32_t dtype, const uint8_t* base, uint64_t i, float scale, int32_t zero_point) {
    if (dtype == kF32) return static_cast<double>(load_as<float>(base, i));
    const int64_t q = load_int(dtype, base, i) - static_cast<int64_t>(zero_point);
    return static_cast<double>(scale) * static_cast<double>(q);
}

void store_int_saturated(uint32_t dtype, uint8_t* base, uint64_t i, double q) {
    switch (dtype) {
        case kU8:
            store_as<uint8_t>(base, i, saturate<uint8_t>(q));
            break;
        case kS8:
            store_as<int8_t>(base, i, saturate<int8_t>(q));
            break;
        case kU16:
            store_as<uint16_t>(base, i, saturate<uint16_t>(q));
            break;
        case kS16:
            store_as<int16_t>(base, i, saturate<int16_t>(q));
            break;
        case kS32:
            store_as<int32_t>(base, i, saturate<int32_t>(q));
            break;
        default:
            break;
    }
}

void store_real(uint32_t dtype, uint8_t* base, uint64_t i, double real, float scale, int32_t zero_point) {
    if (dtype == kF32) {
        store_as<float>(base, i, static_cast<float>(real));
        return;
    }
    const double q = round_half_away(real / static_cast<double>(scale)) + static_cast<double>(zero_point);
    store_int_saturated(dtype, base, i, q);
}

}  // namespace standin
