#include "core/quantization/distance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "core/quantization/cpu_features.h"
#include "core/quantization/distance_batch.h"
#include "core/quantization/distance_kernels.h"
#include "core/quantization/kernel_dispatch.h"

namespace kestrine {
namespace {

// The kernels that vector_distance and code_distance run; null until the first call picks
// them. Two threads may pick at once: both store the same table, and the tables are constant
// data, so relaxed order is enough and a call costs one load and one well-predicted branch.
std::atomic<const DistanceKernels*> active_kernels{nullptr};
// The table a test or benchmark forced, or null for the automatic choice.
std::atomic<const DistanceKernels*> forced_kernels{nullptr};

const DistanceKernels* automatic_kernels() {
  if (cpu_has_avx512f()) return &kAvx512Kernels;
  return cpu_has_avx2_fma() ? &kAvx2Kernels : &kPortableKernels;
}

const DistanceKernels* pick_kernels() {
  const DistanceKernels* chosen = forced_kernels.load(std::memory_order_relaxed);
  if (chosen == nullptr) chosen = automatic_kernels();
  active_kernels.store(chosen, std::memory_order_relaxed);
  return chosen;
}

inline const DistanceKernels& kernels() {
  const DistanceKernels* chosen = active_kernels.load(std::memory_order_relaxed);
  if (chosen == nullptr) [[unlikely]] {
    chosen = pick_kernels();
  }
  return *chosen;
}

const DistanceKernels& kernels_of(KernelVariant variant) {
  switch (variant) {
    case KernelVariant::kAvx512:
      if (cpu_has_avx512f()) return kAvx512Kernels;
      [[fallthrough]];
    case KernelVariant::kAvx2:
      if (cpu_has_avx2_fma()) return kAvx2Kernels;
      [[fallthrough]];
    case KernelVariant::kPortable:
      break;
  }
  return kPortableKernels;
}

KernelVariant variant_of(const DistanceKernels* k) {
  if (k == &kAvx512Kernels) return KernelVariant::kAvx512;
  return k == &kAvx2Kernels ? KernelVariant::kAvx2 : KernelVariant::kPortable;
}

// Below this a norm product counts as zero and the cosine similarity is taken to be 0.
constexpr float kMinCosineDenominator = 1e-10f;
constexpr double kMinCodeCosineDenominator = 1e-10;

// A metric byte other than the three cannot come from the API, and the snapshot decoder
// rejects it; should one arrive anyway, the pair is as far apart as can be.
constexpr float kUnknownMetricDistance = std::numeric_limits<float>::infinity();

// The cosine formulas, shared by the fused kernels and by the paths that are given a norm. The
// roots are taken apart from the product so that a caller may take each root once.
inline float cosine_from_roots(float dot, float a_root, float b_root) {
  const float denominator = a_root * b_root;
  if (denominator < kMinCosineDenominator) return 1.0f;
  return 1.0f - dot / denominator;
}

inline float cosine_from_sums(float dot, float a_sq, float b_sq) {
  return cosine_from_roots(dot, std::sqrt(a_sq), std::sqrt(b_sq));
}

// Valid once the early outs of code_distance_using (null query, constant stored vector) passed.
// `query_root` is the square root of the query's squared norm, in double precision.
inline float code_cosine_from_root(double query_root, float dot, float v_sq) {
  const double denominator = query_root * std::sqrt(static_cast<double>(v_sq));
  if (denominator < kMinCodeCosineDenominator) return 1.0f;
  const float similarity = static_cast<float>(static_cast<double>(dot) / denominator);
  return 1.0f - similarity;
}

inline float code_cosine_from_sums(float query_sq_norm, float dot, float v_sq) {
  return code_cosine_from_root(std::sqrt(static_cast<double>(query_sq_norm)), dot, v_sq);
}

// A constant stored vector (scale 0) or a null query has no direction: similarity 0.
inline bool code_cosine_undefined(float query_sq_norm, float scale) {
  return static_cast<double>(query_sq_norm) < kMinCodeCosineDenominator || scale == 0.0f;
}

inline float vector_distance_using(const DistanceKernels& k, DistanceMetric metric,
                                   std::span<const float> a, std::span<const float> b) {
  const size_t n = std::min(a.size(), b.size());
  switch (metric) {
    case DistanceMetric::kCosine: {
      const CosineSums sums = k.cosine(a.data(), b.data(), n);
      return cosine_from_sums(sums.dot, sums.a_sq, sums.b_sq);
    }
    case DistanceMetric::kEuclidean:
      return k.squared_l2(a.data(), b.data(), n);
    case DistanceMetric::kDotProduct:
      // Negation flips the sign bit only, so a zero product gives -0.
      return -k.dot(a.data(), b.data(), n);
  }
  return kUnknownMetricDistance;
}

inline float code_distance_using(const DistanceKernels& k, DistanceMetric metric,
                                 std::span<const float> query, const CodeView& view,
                                 float query_sq_norm) {
  const size_t n = std::min(query.size(), view.codes.size());
  const uint8_t* codes = view.codes.data();
  switch (metric) {
    case DistanceMetric::kCosine: {
      if (code_cosine_undefined(query_sq_norm, view.scale)) return 1.0f;
      const CodeCosineSums sums = k.code_cosine(query.data(), codes, n, view.min, view.scale);
      return code_cosine_from_sums(query_sq_norm, sums.dot, sums.v_sq);
    }
    case DistanceMetric::kEuclidean:
      return k.code_squared_l2(query.data(), codes, n, view.min, view.scale);
    case DistanceMetric::kDotProduct:
      return -k.code_dot(query.data(), codes, n, view.min, view.scale);
  }
  return kUnknownMetricDistance;
}

}  // namespace

float code_squared_norm(KernelVariant variant, const CodeView& view) {
  return kernels_of(variant).code_sq_norm(view.codes.data(), view.codes.size(), view.min,
                                          view.scale);
}

float vector_squared_norm(KernelVariant variant, std::span<const float> v) {
  return kernels_of(variant).dot(v.data(), v.data(), v.size());
}

void code_distances(KernelVariant variant, DistanceMetric metric, std::span<const float> query,
                    std::span<const CodeView> views, float query_sq_norm,
                    const float* stored_sq_norms, float* out) {
  const DistanceKernels& k = kernels_of(variant);
  const size_t count = std::min(views.size(), kMaxDistanceBatch);
  const size_t n = query.size();
  CodeBatch batch;
  for (size_t j = 0; j < count; ++j) {
    batch.codes[j] = views[j].codes.data();
    batch.min[j] = views[j].min;
    batch.scale[j] = views[j].scale;
  }
  switch (metric) {
    case DistanceMetric::kCosine: {
      if (static_cast<double>(query_sq_norm) < kMinCodeCosineDenominator) {
        std::fill_n(out, count, 1.0f);
        return;
      }
      float dots[kMaxDistanceBatch];
      k.code_dot_batch(query.data(), batch, count, n, dots);
      const double query_root = std::sqrt(static_cast<double>(query_sq_norm));
      for (size_t j = 0; j < count; ++j) {
        if (code_cosine_undefined(query_sq_norm, batch.scale[j])) {
          out[j] = 1.0f;
          continue;
        }
        const float v_sq = stored_sq_norms != nullptr
                               ? stored_sq_norms[j]
                               : k.code_sq_norm(batch.codes[j], n, batch.min[j], batch.scale[j]);
        out[j] = code_cosine_from_root(query_root, dots[j], v_sq);
      }
      return;
    }
    case DistanceMetric::kEuclidean:
      k.code_squared_l2_batch(query.data(), batch, count, n, out);
      return;
    case DistanceMetric::kDotProduct:
      k.code_dot_batch(query.data(), batch, count, n, out);
      for (size_t j = 0; j < count; ++j) out[j] = -out[j];
      return;
  }
  std::fill_n(out, count, kUnknownMetricDistance);
}

void vector_distances(KernelVariant variant, DistanceMetric metric, std::span<const float> a,
                      float a_sq, std::span<const float* const> b, const float* b_sq, float* out) {
  const DistanceKernels& k = kernels_of(variant);
  float b_roots[kMaxDistanceBatch] = {};
  float a_root = 0.0f;
  if (metric == DistanceMetric::kCosine) {
    // cosine_from_sums is cosine_from_roots of the square roots: the same bits either way.
    const size_t count = std::min(b.size(), kMaxDistanceBatch);
    for (size_t j = 0; j < count; ++j) {
      b_roots[j] = std::sqrt(b_sq != nullptr ? b_sq[j] : k.dot(b[j], b[j], a.size()));
    }
    a_root = std::sqrt(a_sq);
  }
  vector_distances_by_roots(k, metric, a, a_root, b, b_roots, out);
}

const DistanceKernels& distance_kernels(KernelVariant variant) { return kernels_of(variant); }

float dequantize_sq_norm(const DistanceKernels& kernels, const CodeView& view, float* out) {
  return kernels.dequantize_sq_norm(view.codes.data(), view.codes.size(), view.min, view.scale,
                                    out);
}

void vector_distances_by_roots(const DistanceKernels& kernels, DistanceMetric metric,
                               std::span<const float> a, float a_root,
                               std::span<const float* const> b, const float* b_roots, float* out) {
  const size_t count = std::min(b.size(), kMaxDistanceBatch);
  const size_t n = a.size();
  switch (metric) {
    case DistanceMetric::kCosine: {
      float dots[kMaxDistanceBatch];
      kernels.dot_batch(a.data(), b.data(), count, n, dots);
      for (size_t j = 0; j < count; ++j) out[j] = cosine_from_roots(dots[j], a_root, b_roots[j]);
      return;
    }
    case DistanceMetric::kEuclidean:
      kernels.squared_l2_batch(a.data(), b.data(), count, n, out);
      return;
    case DistanceMetric::kDotProduct:
      kernels.dot_batch(a.data(), b.data(), count, n, out);
      for (size_t j = 0; j < count; ++j) out[j] = -out[j];
      return;
  }
  std::fill_n(out, count, kUnknownMetricDistance);
}

float vector_distance(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  return vector_distance_using(kernels(), metric, a, b);
}

float code_distance(DistanceMetric metric, std::span<const float> query, const CodeView& view,
                    float query_sq_norm) {
  return code_distance_using(kernels(), metric, query, view, query_sq_norm);
}

float squared_norm(std::span<const float> v) {
  float sum = 0.0f;
  for (const float x : v) sum += x * x;
  return sum;
}

bool avx2_kernels_supported() { return cpu_has_avx2_fma(); }

bool avx512_kernels_supported() { return cpu_has_avx512f(); }

bool kernel_variant_supported(KernelVariant variant) {
  return variant_of(&kernels_of(variant)) == variant;
}

bool same_kernel_sums(KernelVariant a, KernelVariant b) {
  const auto sums = [](KernelVariant v) {
    return v == KernelVariant::kAvx512 ? KernelVariant::kAvx2 : v;
  };
  return sums(a) == sums(b);
}

KernelVariant active_kernel_variant() { return variant_of(&kernels()); }

const char* kernel_variant_name(KernelVariant variant) {
  switch (variant) {
    case KernelVariant::kPortable:
      return "portable";
    case KernelVariant::kAvx2:
      return "avx2";
    case KernelVariant::kAvx512:
      return "avx512";
  }
  return "unknown";
}

void force_portable_kernels(bool force) {
  const DistanceKernels* forced = force ? &kPortableKernels : nullptr;
  forced_kernels.store(forced, std::memory_order_relaxed);
  active_kernels.store(force ? forced : automatic_kernels(), std::memory_order_relaxed);
}

bool force_kernel_variant(KernelVariant variant) {
  if (!kernel_variant_supported(variant)) return false;
  const DistanceKernels* forced = &kernels_of(variant);
  forced_kernels.store(forced, std::memory_order_relaxed);
  active_kernels.store(forced, std::memory_order_relaxed);
  return true;
}

float vector_distance_with(KernelVariant variant, DistanceMetric metric, std::span<const float> a,
                           std::span<const float> b) {
  return vector_distance_using(kernels_of(variant), metric, a, b);
}

float code_distance_with(KernelVariant variant, DistanceMetric metric, std::span<const float> query,
                         const CodeView& view, float query_sq_norm) {
  return code_distance_using(kernels_of(variant), metric, query, view, query_sq_norm);
}

}  // namespace kestrine
