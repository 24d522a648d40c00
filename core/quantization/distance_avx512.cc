// The AVX-512 batched code kernels. This file alone is compiled with -mavx512f (besides -mavx2
// -mfma), and its kernels are reached only through kAvx512Kernels once the processor and
// operating system are known to support AVX-512 Foundation. Like the AVX2 file, it uses nothing
// but intrinsics and functions of its own with internal linkage.
//
// Each distance is bit for bit the AVX2 kernel's: every one of its eight lanes sees the same
// fused multiply-adds in the same order, the lanes are added alike, and the tail is the same
// single-precision loop. That order is a chain of dependent operations per lane, so the wider
// registers cannot shorten it; what they save is the work around it. Two stored vectors share
// one 16-lane register, the first in the low eight lanes and the second in the high eight, so
// that widening, converting and dequantizing their codes and updating both accumulators takes
// one instruction each instead of two, while the query's eight values are loaded once into
// both halves. The single-vector kernels and the f32 kernels gain nothing from this (a single
// chain, or loads that already keep pace with the multiply-adds) and stay the AVX2 ones.

// GCC 12's AVX-512 intrinsics start some results from a register left undefined on purpose,
// which its own uninitialized-use warnings flag once they are inlined into this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "core/quantization/distance_kernels.h"

namespace kestrine {
namespace {

constexpr size_t kBlock = 16;

// As the AVX2 kernels add their eight lanes: halves, then pairs, then the last two.
inline float sum_lanes(__m256 v) {
  __m128 sum = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
  return _mm_cvtss_f32(sum);
}

inline __m256 low_half(__m512 v) { return _mm512_castps512_ps256(v); }

inline __m256 high_half(__m512 v) {
  return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
}

// q[0..7] in both halves.
inline __m512 load_twice(const float* q) {
  return _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_castps_pd(_mm256_loadu_ps(q))));
}

// `first` in the low eight lanes, `second` in the high eight.
inline __m512 pair_of(float first, float second) {
  return _mm512_mask_blend_ps(0xff00, _mm512_set1_ps(first), _mm512_set1_ps(second));
}

// Components of stored vectors: codes widened to 32-bit integers, converted to floats and
// dequantized with one fused multiply-add, code * scale + min, as the AVX2 kernels do it.
inline __m512 dequantize16(__m128i codes, __m512 min, __m512 scale) {
  return _mm512_fmadd_ps(_mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(codes)), scale, min);
}

inline __m256 dequantize8(__m128i codes, __m256 min, __m256 scale) {
  return _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(codes)), scale, min);
}

inline __m128i load16(const uint8_t* codes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
}

// What one term adds to an accumulator, in registers of either width and in the tail.
struct DotTerm {
  static __m512 add(__m512 q, __m512 v, __m512 acc) { return _mm512_fmadd_ps(q, v, acc); }
  static __m256 add(__m256 q, __m256 v, __m256 acc) { return _mm256_fmadd_ps(q, v, acc); }
  static float add(float q, float v, float sum) { return sum + q * v; }
};

struct SquaredL2Term {
  static __m512 add(__m512 q, __m512 v, __m512 acc) {
    const __m512 d = _mm512_sub_ps(q, v);
    return _mm512_fmadd_ps(d, d, acc);
  }
  static __m256 add(__m256 q, __m256 v, __m256 acc) {
    const __m256 d = _mm256_sub_ps(q, v);
    return _mm256_fmadd_ps(d, d, acc);
  }
  static float add(float q, float v, float sum) {
    const float d = q - v;
    return sum + d * d;
  }
};

// The lanes of one accumulator added, then the elements from `end` on one at a time.
template <typename Term>
float finish(__m256 acc, const float* q, const uint8_t* codes, size_t end, size_t n, float min,
             float scale) {
  float sum = sum_lanes(acc);
  for (size_t i = end; i < n; ++i) {
    sum = Term::add(q[i], min + scale * static_cast<float>(codes[i]), sum);
  }
  return sum;
}

// `Count` stored vectors against one query: vectors 2p and 2p + 1 share the p-th 16-lane
// accumulator, and an odd last vector has an 8-lane one of its own.
template <typename Term, size_t Count>
void code_batch_n(const float* q, const CodeBatch& batch, size_t n, float* out) {
  constexpr size_t kPairs = Count / 2;
  constexpr size_t kSlots = kPairs > 0 ? kPairs : 1;
  constexpr bool kOdd = Count % 2 != 0;
  constexpr size_t kLast = Count - 1;
  __m512 min2[kSlots];
  __m512 scale2[kSlots];
  __m512 acc2[kSlots];
  for (size_t p = 0; p < kPairs; ++p) {
    min2[p] = pair_of(batch.min[2 * p], batch.min[2 * p + 1]);
    scale2[p] = pair_of(batch.scale[2 * p], batch.scale[2 * p + 1]);
    acc2[p] = _mm512_setzero_ps();
  }
  const __m256 min1 = _mm256_set1_ps(batch.min[kLast]);
  const __m256 scale1 = _mm256_set1_ps(batch.scale[kLast]);
  __m256 acc1 = _mm256_setzero_ps();
  const size_t end = n - n % kBlock;
  for (size_t i = 0; i < end; i += kBlock) {
    const __m512 q0 = load_twice(q + i);
    const __m512 q1 = load_twice(q + i + 8);
    for (size_t p = 0; p < kPairs; ++p) {
      const __m128i first = load16(batch.codes[2 * p] + i);
      const __m128i second = load16(batch.codes[2 * p + 1] + i);
      // Codes 0..7 of both vectors, then codes 8..15 of both.
      const __m512 v0 = dequantize16(_mm_unpacklo_epi64(first, second), min2[p], scale2[p]);
      const __m512 v1 = dequantize16(_mm_unpackhi_epi64(first, second), min2[p], scale2[p]);
      acc2[p] = Term::add(q0, v0, acc2[p]);
      acc2[p] = Term::add(q1, v1, acc2[p]);
    }
    if constexpr (kOdd) {
      const __m128i raw = load16(batch.codes[kLast] + i);
      acc1 = Term::add(low_half(q0), dequantize8(raw, min1, scale1), acc1);
      acc1 = Term::add(low_half(q1), dequantize8(_mm_srli_si128(raw, 8), min1, scale1), acc1);
    }
  }
  for (size_t p = 0; p < kPairs; ++p) {
    for (size_t half = 0; half < 2; ++half) {
      const size_t j = 2 * p + half;
      const __m256 acc = half == 0 ? low_half(acc2[p]) : high_half(acc2[p]);
      out[j] = finish<Term>(acc, q, batch.codes[j], end, n, batch.min[j], batch.scale[j]);
    }
  }
  if constexpr (kOdd) {
    out[kLast] =
        finish<Term>(acc1, q, batch.codes[kLast], end, n, batch.min[kLast], batch.scale[kLast]);
  }
}

template <typename Term>
void code_batch(const float* q, const CodeBatch& batch, size_t count, size_t n, float* out) {
  static_assert(kMaxDistanceBatch == 8);
  switch (count) {
    case 1:
      return code_batch_n<Term, 1>(q, batch, n, out);
    case 2:
      return code_batch_n<Term, 2>(q, batch, n, out);
    case 3:
      return code_batch_n<Term, 3>(q, batch, n, out);
    case 4:
      return code_batch_n<Term, 4>(q, batch, n, out);
    case 5:
      return code_batch_n<Term, 5>(q, batch, n, out);
    case 6:
      return code_batch_n<Term, 6>(q, batch, n, out);
    case 7:
      return code_batch_n<Term, 7>(q, batch, n, out);
    case 8:
      return code_batch_n<Term, 8>(q, batch, n, out);
  }
}

}  // namespace

void avx512_code_dot_batch(const float* q, const CodeBatch& batch, size_t count, size_t n,
                           float* out) {
  code_batch<DotTerm>(q, batch, count, n, out);
}

void avx512_code_squared_l2_batch(const float* q, const CodeBatch& batch, size_t count, size_t n,
                                  float* out) {
  code_batch<SquaredL2Term>(q, batch, count, n, out);
}

}  // namespace kestrine
