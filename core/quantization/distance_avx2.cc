// The AVX2/FMA distance kernels. This file alone is compiled with -mavx2 -mfma, and its kernels
// are reached only through kAvx2Kernels once the processor is known to support both. It
// therefore uses nothing but intrinsics and functions of its own with internal linkage: any
// inline function from a shared header would be compiled here for AVX2 and might be the copy
// the linker keeps for the whole program.
//
// Every sum runs over blocks of 16 elements, held in one 8-lane single-precision accumulator
// that each half-block updates with a fused multiply-add; after the blocks the eight lanes are
// added together and the remaining n mod 16 elements are added one at a time in single
// precision (a multiply, then an add).

#include <immintrin.h>

#include <type_traits>

#include "core/quantization/distance_kernels.h"

namespace kestrine {
namespace {

constexpr size_t kBlock = 16;

// The eight lanes added into one value: halves, then pairs, then the last two.
inline float sum_lanes(__m256 v) {
  __m128 sum = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
  return _mm_cvtss_f32(sum);
}

// Components of a stored vector: codes[0..7] widened to 32-bit integers, converted to floats
// and dequantized with one fused multiply-add, code * scale + min.
inline __m256 dequantize8(__m128i codes, __m256 min, __m256 scale) {
  const __m256 as_float = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(codes));
  return _mm256_fmadd_ps(as_float, scale, min);
}

inline size_t block_end(size_t n) { return n - n % kBlock; }

CosineSums cosine(const float* a, const float* b, size_t n) {
  __m256 dot = _mm256_setzero_ps();
  __m256 a_sq = _mm256_setzero_ps();
  __m256 b_sq = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m256 a0 = _mm256_loadu_ps(a + i);
    const __m256 b0 = _mm256_loadu_ps(b + i);
    const __m256 a1 = _mm256_loadu_ps(a + i + 8);
    const __m256 b1 = _mm256_loadu_ps(b + i + 8);
    dot = _mm256_fmadd_ps(a0, b0, dot);
    a_sq = _mm256_fmadd_ps(a0, a0, a_sq);
    b_sq = _mm256_fmadd_ps(b0, b0, b_sq);
    dot = _mm256_fmadd_ps(a1, b1, dot);
    a_sq = _mm256_fmadd_ps(a1, a1, a_sq);
    b_sq = _mm256_fmadd_ps(b1, b1, b_sq);
  }
  CosineSums sums{sum_lanes(dot), sum_lanes(a_sq), sum_lanes(b_sq)};
  for (size_t i = end; i < n; ++i) {
    sums.dot += a[i] * b[i];
    sums.a_sq += a[i] * a[i];
    sums.b_sq += b[i] * b[i];
  }
  return sums;
}

float squared_l2(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    acc = _mm256_fmadd_ps(d0, d0, acc);
    acc = _mm256_fmadd_ps(d1, d1, acc);
  }
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float dot(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), acc);
  }
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

CodeCosineSums code_cosine(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 min8 = _mm256_set1_ps(min);
  const __m256 scale8 = _mm256_set1_ps(scale);
  __m256 dot = _mm256_setzero_ps();
  __m256 v_sq = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
    const __m256 v0 = dequantize8(raw, min8, scale8);
    const __m256 v1 = dequantize8(_mm_srli_si128(raw, 8), min8, scale8);
    dot = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), v0, dot);
    v_sq = _mm256_fmadd_ps(v0, v0, v_sq);
    dot = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 8), v1, dot);
    v_sq = _mm256_fmadd_ps(v1, v1, v_sq);
  }
  CodeCosineSums sums{sum_lanes(dot), sum_lanes(v_sq)};
  for (size_t i = end; i < n; ++i) {
    const float v = min + scale * static_cast<float>(codes[i]);
    sums.dot += q[i] * v;
    sums.v_sq += v * v;
  }
  return sums;
}

float code_squared_l2(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 min8 = _mm256_set1_ps(min);
  const __m256 scale8 = _mm256_set1_ps(scale);
  __m256 acc = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
    const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(q + i), dequantize8(raw, min8, scale8));
    const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(q + i + 8),
                                    dequantize8(_mm_srli_si128(raw, 8), min8, scale8));
    acc = _mm256_fmadd_ps(d0, d0, acc);
    acc = _mm256_fmadd_ps(d1, d1, acc);
  }
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) {
    const float d = q[i] - (min + scale * static_cast<float>(codes[i]));
    sum += d * d;
  }
  return sum;
}

float code_dot(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 min8 = _mm256_set1_ps(min);
  const __m256 scale8 = _mm256_set1_ps(scale);
  __m256 acc = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), dequantize8(raw, min8, scale8), acc);
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 8),
                          dequantize8(_mm_srli_si128(raw, 8), min8, scale8), acc);
  }
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) sum += q[i] * (min + scale * static_cast<float>(codes[i]));
  return sum;
}

float code_sq_norm(const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 min8 = _mm256_set1_ps(min);
  const __m256 scale8 = _mm256_set1_ps(scale);
  __m256 acc = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
    const __m256 v0 = dequantize8(raw, min8, scale8);
    const __m256 v1 = dequantize8(_mm_srli_si128(raw, 8), min8, scale8);
    acc = _mm256_fmadd_ps(v0, v0, acc);
    acc = _mm256_fmadd_ps(v1, v1, acc);
  }
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) {
    const float v = min + scale * static_cast<float>(codes[i]);
    sum += v * v;
  }
  return sum;
}

// The batched kernels: `Count` vectors against one query, each with its own accumulator that
// sees exactly the updates of the single kernel above, in the same order. Only the loads of the
// query are shared, and the independent chains of fused multiply-adds overlap.

template <size_t Count>
void dot_n(const float* a, const float* const* b, size_t n, float* out) {
  __m256 acc[Count];
  for (size_t j = 0; j < Count; ++j) acc[j] = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m256 a0 = _mm256_loadu_ps(a + i);
    const __m256 a1 = _mm256_loadu_ps(a + i + 8);
    for (size_t j = 0; j < Count; ++j) {
      acc[j] = _mm256_fmadd_ps(a0, _mm256_loadu_ps(b[j] + i), acc[j]);
      acc[j] = _mm256_fmadd_ps(a1, _mm256_loadu_ps(b[j] + i + 8), acc[j]);
    }
  }
  for (size_t j = 0; j < Count; ++j) {
    float sum = sum_lanes(acc[j]);
    for (size_t i = end; i < n; ++i) sum += a[i] * b[j][i];
    out[j] = sum;
  }
}

template <size_t Count>
void squared_l2_n(const float* a, const float* const* b, size_t n, float* out) {
  __m256 acc[Count];
  for (size_t j = 0; j < Count; ++j) acc[j] = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m256 a0 = _mm256_loadu_ps(a + i);
    const __m256 a1 = _mm256_loadu_ps(a + i + 8);
    for (size_t j = 0; j < Count; ++j) {
      const __m256 d0 = _mm256_sub_ps(a0, _mm256_loadu_ps(b[j] + i));
      const __m256 d1 = _mm256_sub_ps(a1, _mm256_loadu_ps(b[j] + i + 8));
      acc[j] = _mm256_fmadd_ps(d0, d0, acc[j]);
      acc[j] = _mm256_fmadd_ps(d1, d1, acc[j]);
    }
  }
  for (size_t j = 0; j < Count; ++j) {
    float sum = sum_lanes(acc[j]);
    for (size_t i = end; i < n; ++i) {
      const float d = a[i] - b[j][i];
      sum += d * d;
    }
    out[j] = sum;
  }
}

template <size_t Count>
void code_dot_n(const float* q, const CodeBatch& batch, size_t n, float* out) {
  __m256 min8[Count];
  __m256 scale8[Count];
  __m256 acc[Count];
  for (size_t j = 0; j < Count; ++j) {
    min8[j] = _mm256_set1_ps(batch.min[j]);
    scale8[j] = _mm256_set1_ps(batch.scale[j]);
    acc[j] = _mm256_setzero_ps();
  }
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m256 q0 = _mm256_loadu_ps(q + i);
    const __m256 q1 = _mm256_loadu_ps(q + i + 8);
    for (size_t j = 0; j < Count; ++j) {
      const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(batch.codes[j] + i));
      acc[j] = _mm256_fmadd_ps(q0, dequantize8(raw, min8[j], scale8[j]), acc[j]);
      acc[j] = _mm256_fmadd_ps(q1, dequantize8(_mm_srli_si128(raw, 8), min8[j], scale8[j]), acc[j]);
    }
  }
  for (size_t j = 0; j < Count; ++j) {
    const uint8_t* codes = batch.codes[j];
    const float min = batch.min[j];
    const float scale = batch.scale[j];
    float sum = sum_lanes(acc[j]);
    for (size_t i = end; i < n; ++i) sum += q[i] * (min + scale * static_cast<float>(codes[i]));
    out[j] = sum;
  }
}

template <size_t Count>
void code_squared_l2_n(const float* q, const CodeBatch& batch, size_t n, float* out) {
  __m256 min8[Count];
  __m256 scale8[Count];
  __m256 acc[Count];
  for (size_t j = 0; j < Count; ++j) {
    min8[j] = _mm256_set1_ps(batch.min[j]);
    scale8[j] = _mm256_set1_ps(batch.scale[j]);
    acc[j] = _mm256_setzero_ps();
  }
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m256 q0 = _mm256_loadu_ps(q + i);
    const __m256 q1 = _mm256_loadu_ps(q + i + 8);
    for (size_t j = 0; j < Count; ++j) {
      const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(batch.codes[j] + i));
      const __m256 d0 = _mm256_sub_ps(q0, dequantize8(raw, min8[j], scale8[j]));
      const __m256 d1 = _mm256_sub_ps(q1, dequantize8(_mm_srli_si128(raw, 8), min8[j], scale8[j]));
      acc[j] = _mm256_fmadd_ps(d0, d0, acc[j]);
      acc[j] = _mm256_fmadd_ps(d1, d1, acc[j]);
    }
  }
  for (size_t j = 0; j < Count; ++j) {
    const uint8_t* codes = batch.codes[j];
    const float min = batch.min[j];
    const float scale = batch.scale[j];
    float sum = sum_lanes(acc[j]);
    for (size_t i = end; i < n; ++i) {
      const float d = q[i] - (min + scale * static_cast<float>(codes[i]));
      sum += d * d;
    }
    out[j] = sum;
  }
}

// Calls f(std::integral_constant<size_t, count>) for 1 <= count <= kMaxDistanceBatch.
template <typename F>
void with_count(size_t count, F&& f) {
  switch (count) {
    case 1:
      return f(std::integral_constant<size_t, 1>{});
    case 2:
      return f(std::integral_constant<size_t, 2>{});
    case 3:
      return f(std::integral_constant<size_t, 3>{});
    case 4:
      return f(std::integral_constant<size_t, 4>{});
    case 5:
      return f(std::integral_constant<size_t, 5>{});
    case 6:
      return f(std::integral_constant<size_t, 6>{});
    case 7:
      return f(std::integral_constant<size_t, 7>{});
    case 8:
      return f(std::integral_constant<size_t, 8>{});
  }
}
static_assert(kMaxDistanceBatch == 8);

void dot_batch(const float* a, const float* const* b, size_t count, size_t n, float* out) {
  with_count(count, [&](auto c) { dot_n<c()>(a, b, n, out); });
}

void squared_l2_batch(const float* a, const float* const* b, size_t count, size_t n, float* out) {
  with_count(count, [&](auto c) { squared_l2_n<c()>(a, b, n, out); });
}

void code_dot_batch(const float* q, const CodeBatch& batch, size_t count, size_t n, float* out) {
  with_count(count, [&](auto c) { code_dot_n<c()>(q, batch, n, out); });
}

void code_squared_l2_batch(const float* q, const CodeBatch& batch, size_t count, size_t n,
                           float* out) {
  with_count(count, [&](auto c) { code_squared_l2_n<c()>(q, batch, n, out); });
}

// Dequantizes as dequantize_into does (a rounded product, then a rounded sum: no fused
// multiply-add) and sums v . v exactly as dot(v, v) does.
float dequantize_sq_norm(const uint8_t* codes, size_t n, float min, float scale, float* out) {
  const __m256 min8 = _mm256_set1_ps(min);
  const __m256 scale8 = _mm256_set1_ps(scale);
  __m256 acc = _mm256_setzero_ps();
  const size_t end = block_end(n);
  for (size_t i = 0; i < end; i += kBlock) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
    const __m256 c0 = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(raw));
    const __m256 c1 = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(raw, 8)));
    const __m256 v0 = _mm256_add_ps(_mm256_mul_ps(c0, scale8), min8);
    const __m256 v1 = _mm256_add_ps(_mm256_mul_ps(c1, scale8), min8);
    _mm256_storeu_ps(out + i, v0);
    _mm256_storeu_ps(out + i + 8, v1);
    acc = _mm256_fmadd_ps(v0, v0, acc);
    acc = _mm256_fmadd_ps(v1, v1, acc);
  }
  for (size_t i = end; i < n; ++i) {
    // Intrinsics, so that the compiler cannot fuse the product and the sum.
    const __m128 product = _mm_mul_ss(_mm_set_ss(static_cast<float>(codes[i])), _mm_set_ss(scale));
    out[i] = _mm_cvtss_f32(_mm_add_ss(product, _mm_set_ss(min)));
  }
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) sum += out[i] * out[i];
  return sum;
}

}  // namespace

constinit const DistanceKernels kAvx2Kernels = {
    .cosine = cosine,
    .squared_l2 = squared_l2,
    .dot = dot,
    .code_cosine = code_cosine,
    .code_squared_l2 = code_squared_l2,
    .code_dot = code_dot,
    .code_sq_norm = code_sq_norm,
    .dot_batch = dot_batch,
    .squared_l2_batch = squared_l2_batch,
    .code_dot_batch = code_dot_batch,
    .code_squared_l2_batch = code_squared_l2_batch,
    .dequantize_sq_norm = dequantize_sq_norm,
};

// Defined here because it shares this file's kernels, all but the two batched code kernels
// that distance_avx512.cc adds; a constant table either way, so no start-up code runs.
constinit const DistanceKernels kAvx512Kernels = {
    .cosine = cosine,
    .squared_l2 = squared_l2,
    .dot = dot,
    .code_cosine = code_cosine,
    .code_squared_l2 = code_squared_l2,
    .code_dot = code_dot,
    .code_sq_norm = code_sq_norm,
    .dot_batch = dot_batch,
    .squared_l2_batch = squared_l2_batch,
    .code_dot_batch = avx512_code_dot_batch,
    .code_squared_l2_batch = avx512_code_squared_l2_batch,
    .dequantize_sq_norm = dequantize_sq_norm,
};

}  // namespace kestrine
