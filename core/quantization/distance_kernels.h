// The raw sums behind each distance, one table of kernels per variant. A kernel only adds up
// products over n elements; the metric's formula (square roots, quotient, sign) is applied by
// the caller (distance.cc), so every variant shares it.
//
// This header is included by the AVX2 and AVX-512 translation units, so it must stay free of
// inline functions and templates: a copy of one compiled for AVX2 or AVX-512 could be picked by
// the linker for callers that run on processors without it.
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

// The stored vectors of one batched call: up to kMaxDistanceBatch of them, each scored against
// the same query with its own accumulators, so that the independent sums overlap in the
// processor while each one is formed exactly as the single-vector kernel forms it (same blocks,
// same order). Each sum is a chain of dependent multiply-adds; eight chains at once keep the
// multiply-add units busy through their latency.
inline constexpr size_t kMaxDistanceBatch = 8;

struct CodeBatch {
  const uint8_t* codes[kMaxDistanceBatch];
  float min[kMaxDistanceBatch];
  float scale[kMaxDistanceBatch];
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

  // v . v of a vector in 8-bit form, bit for bit the v_sq that code_cosine returns for it.
  float (*code_sq_norm)(const uint8_t* codes, size_t n, float min, float scale);

  // out[j] = dot(a, b[j], n) and squared_l2(a, b[j], n) for j < count
  // (1 <= count <= kMaxDistanceBatch), each bit for bit the single kernel's value.
  void (*dot_batch)(const float* a, const float* const* b, size_t count, size_t n, float* out);
  void (*squared_l2_batch)(const float* a, const float* const* b, size_t count, size_t n,
                           float* out);
  // out[j] = code_dot and code_squared_l2 of q and the j-th vector of `batch`, likewise.
  void (*code_dot_batch)(const float* q, const CodeBatch& batch, size_t count, size_t n,
                         float* out);
  void (*code_squared_l2_batch)(const float* q, const CodeBatch& batch, size_t count, size_t n,
                                float* out);

  // Writes out[i] = codes[i] * scale + min (a rounded product, then a rounded sum:
  // dequantize_into's values, bit for bit) for i < n and returns dot(out, out, n), both in one
  // pass.
  float (*dequantize_sq_norm)(const uint8_t* codes, size_t n, float min, float scale, float* out);
};

// Every variant takes the cosine sums apart without changing them: the dot product a . b of
// `cosine` is `dot`'s, its a . a and b . b are dot(a, a) and dot(b, b), the q . v of
// `code_cosine` is `code_dot`'s and its v . v is `code_sq_norm`'s. The callers rely on this to
// compute a vector's squared norm once and reuse it.

// Single-precision sums in element order; the code kernels add blocks of 8 terms, each summed
// in single precision, into a double-precision total, and take the tail in double precision.
extern const DistanceKernels kPortableKernels;
// Blocks of 16 into 8-lane single-precision accumulators updated by fused multiply-add, the
// lanes added together, then the tail one element at a time in single precision. Call only
// where the processor supports AVX2 and FMA.
extern const DistanceKernels kAvx2Kernels;
// The AVX2 kernels, except that the batched code kernels hold two stored vectors in each 16-lane
// register; every result is bit for bit the AVX2 kernel's. Call only where the processor and
// operating system support AVX-512 Foundation (and AVX2 and FMA).
extern const DistanceKernels kAvx512Kernels;

// The two batched kernels that kAvx512Kernels has of its own (distance_avx512.cc).
void avx512_code_dot_batch(const float* q, const CodeBatch& batch, size_t count, size_t n,
                           float* out);
void avx512_code_squared_l2_batch(const float* q, const CodeBatch& batch, size_t count, size_t n,
                                  float* out);

}  // namespace kestrine
