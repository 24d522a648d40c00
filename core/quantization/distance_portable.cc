// The portable distance kernels: plain scalar code for any x86-64 (or other) processor.

#include "core/quantization/distance_kernels.h"

namespace kestrine {
namespace {

CosineSums cosine(const float* a, const float* b, size_t n) {
  float dot = 0.0f;
  float a_sq = 0.0f;
  float b_sq = 0.0f;
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    dot += a[i] * b[i];
    a_sq += a[i] * a[i];
    b_sq += b[i] * b[i];
    dot += a[i + 1] * b[i + 1];
    a_sq += a[i + 1] * a[i + 1];
    b_sq += b[i + 1] * b[i + 1];
  }
  if (i < n) {
    dot += a[i] * b[i];
    a_sq += a[i] * a[i];
    b_sq += b[i] * b[i];
  }
  return {dot, a_sq, b_sq};
}

float squared_l2(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float d0 = a[i] - b[i];
    const float d1 = a[i + 1] - b[i + 1];
    const float d2 = a[i + 2] - b[i + 2];
    const float d3 = a[i + 3] - b[i + 3];
    sum += d0 * d0;
    sum += d1 * d1;
    sum += d2 * d2;
    sum += d3 * d3;
  }
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float dot(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    sum += a[i] * b[i];
    sum += a[i + 1] * b[i + 1];
    sum += a[i + 2] * b[i + 2];
    sum += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

// Against codes, each block of 8 terms is summed in single precision and the block sums are
// added into a double-precision total, so rounding error cannot build up across a long vector;
// the last n mod 8 elements are dequantized and added in double precision.
constexpr size_t kCodeBlock = 8;

CodeCosineSums code_cosine(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  double dot = 0.0;
  double v_sq = 0.0;
  size_t i = 0;
  for (; i + kCodeBlock <= n; i += kCodeBlock) {
    float block_dot = 0.0f;
    float block_v_sq = 0.0f;
    for (size_t j = i; j < i + kCodeBlock; ++j) {
      const float v = static_cast<float>(codes[j]) * scale + min;
      block_dot += q[j] * v;
      block_v_sq += v * v;
    }
    dot += block_dot;
    v_sq += block_v_sq;
  }
  for (; i < n; ++i) {
    const double v = static_cast<double>(codes[i]) * scale + min;
    dot += q[i] * v;
    v_sq += v * v;
  }
  return {static_cast<float>(dot), static_cast<float>(v_sq)};
}

float code_squared_l2(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  double sum = 0.0;
  size_t i = 0;
  for (; i + kCodeBlock <= n; i += kCodeBlock) {
    float block = 0.0f;
    for (size_t j = i; j < i + kCodeBlock; ++j) {
      const float d = q[j] - (static_cast<float>(codes[j]) * scale + min);
      block += d * d;
    }
    sum += block;
  }
  for (; i < n; ++i) {
    const double d = q[i] - (static_cast<double>(codes[i]) * scale + min);
    sum += d * d;
  }
  return static_cast<float>(sum);
}

float code_dot(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  double sum = 0.0;
  size_t i = 0;
  for (; i + kCodeBlock <= n; i += kCodeBlock) {
    float block = 0.0f;
    for (size_t j = i; j < i + kCodeBlock; ++j) {
      block += q[j] * (static_cast<float>(codes[j]) * scale + min);
    }
    sum += block;
  }
  for (; i < n; ++i) sum += q[i] * (static_cast<double>(codes[i]) * scale + min);
  return static_cast<float>(sum);
}

// v . v exactly as code_cosine forms it: blocks of 8 in single precision into a double total,
// the tail in double precision.
float code_sq_norm(const uint8_t* codes, size_t n, float min, float scale) {
  double v_sq = 0.0;
  size_t i = 0;
  for (; i + kCodeBlock <= n; i += kCodeBlock) {
    float block_v_sq = 0.0f;
    for (size_t j = i; j < i + kCodeBlock; ++j) {
      const float v = static_cast<float>(codes[j]) * scale + min;
      block_v_sq += v * v;
    }
    v_sq += block_v_sq;
  }
  for (; i < n; ++i) {
    const double v = static_cast<double>(codes[i]) * scale + min;
    v_sq += v * v;
  }
  return static_cast<float>(v_sq);
}

// Without vector registers a batch gains nothing from interleaving: one vector after another.
void dot_batch(const float* a, const float* const* b, size_t count, size_t n, float* out) {
  for (size_t j = 0; j < count; ++j) out[j] = dot(a, b[j], n);
}

void squared_l2_batch(const float* a, const float* const* b, size_t count, size_t n, float* out) {
  for (size_t j = 0; j < count; ++j) out[j] = squared_l2(a, b[j], n);
}

void code_dot_batch(const float* q, const CodeBatch& batch, size_t count, size_t n, float* out) {
  for (size_t j = 0; j < count; ++j) {
    out[j] = code_dot(q, batch.codes[j], n, batch.min[j], batch.scale[j]);
  }
}

void code_squared_l2_batch(const float* q, const CodeBatch& batch, size_t count, size_t n,
                           float* out) {
  for (size_t j = 0; j < count; ++j) {
    out[j] = code_squared_l2(q, batch.codes[j], n, batch.min[j], batch.scale[j]);
  }
}

// dequantize_into's values, then dot(v, v).
float dequantize_sq_norm(const uint8_t* codes, size_t n, float min, float scale, float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(codes[i]) * scale + min;
  return dot(out, out, n);
}

}  // namespace

constinit const DistanceKernels kPortableKernels = {
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

}  // namespace kestrine
