// The raw sums behind each distance, one table of kernels per variant. A kernel only adds up
// products over n elements; the metric's formula (square roots, quotient, sign) is applied by
// the caller (distance.cc), so both variants share it.
//
// This header is included by the AVX2 translation unit, so it must stay free of inline
// functions and templates: a copy of one compiled for AVX2 could be picked by the linker for
// callers that run on processors without it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrine {

struct CosineSums {
  float dot;   // a . b
  float a_sq;  // a . a
  float b_sq;  // b . b
};

struct CodeCosineSums {
  float dot;   // q . v
  float v_sq;  // v . v
};

// v_i = min + scale * codes[i] throughout.
struct DistanceKernels {
  CosineSums (*cosine)(const float* a, const float* b, size_t n);
  float (*squared_l2)(const float* a, const float* b, size_t n);  // sum (a_i - b_i)^2
  float (*dot)(const float* a, const float* b, size_t n);         // sum a_i b_i

  CodeCosineSums (*code_cosine)(const float* q, const uint8_t* codes, size_t n, float min,
                                float scale);
  float (*code_squared_l2)(const float* q, const uint8_t* codes, size_t n, float min, float scale);
  float (*code_dot)(const float* q, const uint8_t* codes, size_t n, float min, float scale);
};

// Single-precision sums in element order; the code kernels add blocks of 8 terms, each summed
// in single precision, into a double-precision total, and take the tail in double precision.
extern const DistanceKernels kPortableKernels;
// Blocks of 16 into 8-lane single-precision accumulators updated by fused multiply-add, the
// lanes added together, then the tail one element at a time in single precision. Call only
// where the processor supports AVX2 and FMA.
extern const DistanceKernels kAvx2Kernels;

}  // namespace kestrine
