#include "core/quantization/scalar.h"

#include <algorithm>

namespace kestrine {
namespace {

// The scan for the extremes starts from the largest finite floats, so that any finite
// component replaces them; a NaN compares false and never does.
constexpr float kLargestFloat = 3.4028235e38f;
// A range below the single-precision machine epsilon (2^-23) counts as a constant vector.
constexpr float kConstantRange = 1.1920929e-7f;
constexpr uint8_t kConstantCode = 128;
constexpr float kTopCode = 255.0f;

// round(x) with halves away from zero, clamped to 0..255; a NaN gets code 0. Clamping first
// gives the same codes, since both bounds are whole numbers, and then the fractional part
// x - trunc(x) is exact, so comparing it with one half rounds correctly. Written without
// branches so that the compiler can take the four components of a step together.
inline uint8_t to_code(float x) {
  x = x > 0.0f ? x : 0.0f;
  x = x < kTopCode ? x : kTopCode;
  const int whole = static_cast<int>(x);
  return static_cast<uint8_t>(whole + (x - static_cast<float>(whole) >= 0.5f ? 1 : 0));
}

}  // namespace

QuantizedVector quantize(std::span<const float> vector) {
  QuantizedVector out;
  const size_t n = vector.size();
  if (n == 0) return out;

  float min = kLargestFloat;
  float max = -kLargestFloat;
  for (const float v : vector) {
    if (v < min) min = v;
    if (v > max) max = v;
  }
  out.min = min;

  const float range = max - min;
  if (range < kConstantRange) {
    out.codes.assign(n, kConstantCode);
    out.scale = 0.0f;
    return out;
  }

  out.codes.resize(n);
  uint8_t* codes = out.codes.data();
  const float* v = vector.data();
  const float factor = kTopCode / range;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float x0 = factor * (v[i] - min);
    const float x1 = factor * (v[i + 1] - min);
    const float x2 = factor * (v[i + 2] - min);
    const float x3 = factor * (v[i + 3] - min);
    codes[i] = to_code(x0);
    codes[i + 1] = to_code(x1);
    codes[i + 2] = to_code(x2);
    codes[i + 3] = to_code(x3);
  }
  for (; i < n; ++i) codes[i] = to_code(factor * (v[i] - min));
  // A division, not a multiplication by the reciprocal: 255 * scale then comes back to the
  // range as closely as single precision allows.
  out.scale = range / kTopCode;
  return out;
}

std::vector<float> dequantize(std::span<const uint8_t> codes, float min, float scale) {
  std::vector<float> out(codes.size());
  dequantize_into(codes, min, scale, out);
  return out;
}

void dequantize_into(std::span<const uint8_t> codes, float min, float scale, std::span<float> out) {
  const size_t n = std::min(codes.size(), out.size());
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(codes[i]) * scale + min;
}

}  // namespace kestrine
