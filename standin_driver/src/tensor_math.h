// Element access and the quantisation arithmetic shared by the operations.
// Real values are computed in double so that a numpy reference in float64
// reproduces the integer results bit for bit.
#ifndef STANDIN_TENSOR_MATH_H
#define STANDIN_TENSOR_MATH_H

#include <cstdint>

namespace standin {

// Round half away from zero.
double round_half_away(double v);

// Integer value stored at element `i` (integer types only).
int64_t load_int(uint32_t dtype, const uint8_t* base, uint64_t i);

// Real value of element `i`: the float itself, or scale * (q - zero_point).
double load_real(uint32_t dtype, const uint8_t* base, uint64_t i, float scale, int32_t zero_point);

// Stores integer `q` (already rounded, zero point included) with saturation.
void store_int_saturated(uint32_t dtype, uint8_t* base, uint64_t i, double q);

// Stores a real value: as float, or requantised as
// round_half_away(real / scale) + zero_point with saturation.
void store_real(uint32_t dtype, uint8_t* base, uint64_t i, double real, float scale, int32_t zero_point);

}  // namespace standin

#endif  // STANDIN_TENSOR_MATH_H
