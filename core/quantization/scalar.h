// 8-bit scalar quantization: one byte per component plus a minimum and a step per vector.
// Code 0 stands for the minimum and code 255 for the maximum (the divisor is 255, not 256).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrine {

struct QuantizedVector {
  std::vector<uint8_t> codes;
  float min = 0.0f;
  float scale = 0.0f;  // (maximum - min) / 255, or 0 for a constant vector
};

QuantizedVector quantize(std::span<const float> vector);

// codes[i] * scale + min for every code (a single-precision multiply, then an add).
std::vector<float> dequantize(std::span<const uint8_t> codes, float min, float scale);
// The same into a caller's buffer of codes.size() floats (a shorter buffer receives only its
// length); allocates nothing.
void dequantize_into(std::span<const uint8_t> codes, float min, float scale, std::span<float> out);

}  // namespace kestrine
