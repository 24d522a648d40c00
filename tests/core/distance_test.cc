#include "core/quantization/distance.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/quantization/distance_batch.h"
#include "core/quantization/kernel_dispatch.h"
#include "core/quantization/scalar.h"

namespace kestrine {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                       DistanceMetric::kDotProduct};
constexpr size_t kLengths[] = {0,  1,  7,  8,  15,  16,  17,  31,  32,
                               33, 63, 64, 65, 127, 128, 129, 384, 1536};
constexpr double kFloatEpsilon = 0x1p-24;  // unit roundoff of single precision

std::vector<float> random_vector(std::mt19937& rng, size_t n, float low = -1.0f,
                                 float high = 1.0f) {
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// A stored vector in 8-bit form, owning its codes.
struct StoredCodes {
  std::vector<uint8_t> codes;
  float min = 0.0f;
  float scale = 0.0f;
  CodeView view() const { return {codes, min, scale}; }
};

StoredCodes store(std::span<const float> v) {
  QuantizedVector q = quantize(v);
  return {std::move(q.codes), q.min, q.scale};
}

// Codes drawn directly, with a range of minimums and steps that quantize would not produce.
StoredCodes random_codes(std::mt19937& rng, size_t n) {
  std::uniform_int_distribution<int> code(0, 255);
  std::uniform_real_distribution<float> min(-2.0f, 1.0f);
  std::uniform_real_distribution<float> scale(1e-3f, 2e-2f);
  StoredCodes s{std::vector<uint8_t>(n), min(rng), scale(rng)};
  for (uint8_t& c : s.codes) c = static_cast<uint8_t>(code(rng));
  return s;
}

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

std::string describe(DistanceMetric metric, size_t n) {
  return std::string(metric_name(metric)) + " n=" + std::to_string(n);
}

constexpr KernelVariant kVariants[] = {KernelVariant::kPortable, KernelVariant::kAvx2,
                                       KernelVariant::kAvx512};

// code_distances of `variant` for the first `count` of `stored` (at most kMaxDistanceBatch), the
// batched path that searches take.
std::vector<float> batched_code_distances(KernelVariant variant, DistanceMetric metric,
                                          std::span<const float> q,
                                          std::span<const StoredCodes> stored, size_t count,
                                          float query_sq_norm) {
  std::vector<CodeView> views;
  for (size_t j = 0; j < count; ++j) views.push_back(stored[j].view());
  std::vector<float> out(count);
  code_distances(variant, metric, q, views, query_sq_norm, nullptr, out.data());
  return out;
}

// ---- References -------------------------------------------------------------------------------

// The distance in double precision, with the metric's formula and no rounding on the way.
// `magnitude` says how large the rounding of a single-precision evaluation may grow: the sum of
// the terms' magnitudes (for cosine the similarity is at most 1 in magnitude).
struct Exact {
  double distance;
  double magnitude;
};

Exact exact_distance(DistanceMetric metric, std::span<const double> a, std::span<const double> b) {
  double dot = 0, a_sq = 0, b_sq = 0, l2 = 0, abs_dot = 0, abs_l2 = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    abs_dot += std::abs(a[i] * b[i]);
    a_sq += a[i] * a[i];
    b_sq += b[i] * b[i];
    l2 += (a[i] - b[i]) * (a[i] - b[i]);
    // A difference that cancels keeps the rounding errors of its operands.
    abs_l2 += (std::abs(a[i]) + std::abs(b[i])) * (std::abs(a[i]) + std::abs(b[i]));
  }
  switch (metric) {
    case DistanceMetric::kCosine: {
      const double denominator = std::sqrt(a_sq) * std::sqrt(b_sq);
      return {denominator < 1e-10 ? 1.0 : 1.0 - dot / denominator, 1.0};
    }
    case DistanceMetric::kEuclidean:
      return {l2, abs_l2};
    case DistanceMetric::kDotProduct:
      return {-dot, abs_dot};
  }
  return {0, 0};
}

std::vector<double> widen(std::span<const float> v) { return {v.begin(), v.end()}; }

std::vector<double> widen(const StoredCodes& s) {
  std::vector<double> v(s.codes.size());
  for (size_t i = 0; i < v.size(); ++i) v[i] = s.codes[i] * double{s.scale} + s.min;
  return v;
}

// The magnitudes a stored component is formed from, |code * scale| + |min|: dequantizing
// rounds at their size, however much the sum of the two cancels.
std::vector<double> widen_magnitudes(const StoredCodes& s) {
  std::vector<double> v(s.codes.size());
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = std::abs(s.codes[i] * double{s.scale}) + std::abs(double{s.min});
  }
  return v;
}

// A sum of n single-precision terms may be off by about n roundings of the magnitude; a
// missing or doubled term is far outside that.
void expect_close(float got, Exact want, size_t n, const std::string& what) {
  const double tolerance = 2.0 * (n + 4) * kFloatEpsilon * want.magnitude + 1e-30;
  EXPECT_NEAR(got, want.distance, tolerance) << what;
}

// The portable variant, written out independently: single-precision sums in element order.
float portable_vector_reference(DistanceMetric metric, std::span<const float> a,
                                std::span<const float> b) {
  float dot = 0, a_sq = 0, b_sq = 0, l2 = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    a_sq += a[i] * a[i];
    b_sq += b[i] * b[i];
    const float d = a[i] - b[i];
    l2 += d * d;
  }
  switch (metric) {
    case DistanceMetric::kCosine: {
      const float denominator = std::sqrt(a_sq) * std::sqrt(b_sq);
      return denominator < 1e-10f ? 1.0f : 1.0f - dot / denominator;
    }
    case DistanceMetric::kEuclidean:
      return l2;
    case DistanceMetric::kDotProduct:
      return -dot;
  }
  return 0;
}

// The cosine rule shared by both variants of code_distance: the norms' product and the
// quotient in double precision.
float code_cosine(float dot, float v_sq, float query_sq_norm, float scale) {
  if (query_sq_norm < 1e-10 || scale == 0.0f) return 1.0f;
  const double denominator = std::sqrt(double{query_sq_norm}) * std::sqrt(double{v_sq});
  if (denominator < 1e-10) return 1.0f;
  return 1.0f - static_cast<float>(dot / denominator);
}

// The portable code variant: blocks of 8 terms summed in single precision and added into a
// double total; the tail dequantized and summed in double precision.
float portable_code_reference(DistanceMetric metric, std::span<const float> q, const StoredCodes& s,
                              float query_sq_norm) {
  double dot = 0, v_sq = 0, l2 = 0;
  size_t i = 0;
  for (; i + 8 <= q.size(); i += 8) {
    float block_dot = 0, block_v_sq = 0, block_l2 = 0;
    for (size_t j = i; j < i + 8; ++j) {
      const float v = static_cast<float>(s.codes[j]) * s.scale + s.min;
      block_dot += q[j] * v;
      block_v_sq += v * v;
      block_l2 += (q[j] - v) * (q[j] - v);
    }
    dot += block_dot;
    v_sq += block_v_sq;
    l2 += block_l2;
  }
  for (; i < q.size(); ++i) {
    const double v = s.codes[i] * double{s.scale} + s.min;
    dot += q[i] * v;
    v_sq += v * v;
    l2 += (q[i] - v) * (q[i] - v);
  }
  switch (metric) {
    case DistanceMetric::kCosine:
      return code_cosine(static_cast<float>(dot), static_cast<float>(v_sq), query_sq_norm, s.scale);
    case DistanceMetric::kEuclidean:
      return static_cast<float>(l2);
    case DistanceMetric::kDotProduct:
      return -static_cast<float>(dot);
  }
  return 0;
}

// The AVX2 variant emulated in scalar code: per block of 16, two fused multiply-adds into each
// of 8 lanes; then the lanes added (halves, pairs, last two); then the tail in single precision.
template <typename Fused, typename Term>
float avx2_sum(size_t n, Fused fused, Term term) {
  std::array<float, 8> lane{};
  const size_t end = n - n % 16;
  for (size_t i = 0; i < end; i += 8) {
    for (size_t j = 0; j < 8; ++j) lane[j] = fused(i + j, lane[j]);
  }
  const float sum =
      ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
  float total = sum;
  for (size_t i = end; i < n; ++i) total += term(i);
  return total;
}

float avx2_vector_reference(DistanceMetric metric, std::span<const float> a,
                            std::span<const float> b) {
  const size_t n = a.size();
  switch (metric) {
    case DistanceMetric::kCosine: {
      const float dot = avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(a[i], b[i], acc); },
          [&](size_t i) { return a[i] * b[i]; });
      const float a_sq = avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(a[i], a[i], acc); },
          [&](size_t i) { return a[i] * a[i]; });
      const float b_sq = avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(b[i], b[i], acc); },
          [&](size_t i) { return b[i] * b[i]; });
      const float denominator = std::sqrt(a_sq) * std::sqrt(b_sq);
      return denominator < 1e-10f ? 1.0f : 1.0f - dot / denominator;
    }
    case DistanceMetric::kEuclidean:
      return avx2_sum(
          n,
          [&](size_t i, float acc) {
            const float d = a[i] - b[i];
            return std::fma(d, d, acc);
          },
          [&](size_t i) { return (a[i] - b[i]) * (a[i] - b[i]); });
    case DistanceMetric::kDotProduct:
      return -avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(a[i], b[i], acc); },
          [&](size_t i) { return a[i] * b[i]; });
  }
  return 0;
}

float avx2_code_reference(DistanceMetric metric, std::span<const float> q, const StoredCodes& s,
                          float query_sq_norm) {
  const size_t n = q.size();
  auto fused_v = [&](size_t i) { return std::fma(static_cast<float>(s.codes[i]), s.scale, s.min); };
  auto tail_v = [&](size_t i) { return s.min + s.scale * static_cast<float>(s.codes[i]); };
  switch (metric) {
    case DistanceMetric::kCosine: {
      const float dot = avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(q[i], fused_v(i), acc); },
          [&](size_t i) { return q[i] * tail_v(i); });
      const float v_sq = avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(fused_v(i), fused_v(i), acc); },
          [&](size_t i) { return tail_v(i) * tail_v(i); });
      return code_cosine(dot, v_sq, query_sq_norm, s.scale);
    }
    case DistanceMetric::kEuclidean:
      return avx2_sum(
          n,
          [&](size_t i, float acc) {
            const float d = q[i] - fused_v(i);
            return std::fma(d, d, acc);
          },
          [&](size_t i) { return (q[i] - tail_v(i)) * (q[i] - tail_v(i)); });
    case DistanceMetric::kDotProduct:
      return -avx2_sum(
          n, [&](size_t i, float acc) { return std::fma(q[i], fused_v(i), acc); },
          [&](size_t i) { return q[i] * tail_v(i); });
  }
  return 0;
}

// ---- Tests run against each variant -----------------------------------------------------------

class DistanceVariantTest : public ::testing::TestWithParam<KernelVariant> {
 protected:
  void SetUp() override {
    if (!kernel_variant_supported(variant())) {
      GTEST_SKIP() << "this processor lacks the " << kernel_variant_name(variant()) << " variant";
    }
  }
  static KernelVariant variant() { return GetParam(); }
  static float vector(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
    return vector_distance_with(variant(), metric, a, b);
  }
  static float code(DistanceMetric metric, std::span<const float> q, const CodeView& view) {
    return code_distance_with(variant(), metric, q, view, squared_norm(q));
  }
};

INSTANTIATE_TEST_SUITE_P(Variants, DistanceVariantTest, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return kernel_variant_name(info.param); });

TEST_P(DistanceVariantTest, IdenticalVectors) {
  std::mt19937 rng(1);
  for (size_t n : {2, 5, 16, 37, 384}) {
    const std::vector<float> a = random_vector(rng, n);
    const std::vector<float> a_copy = a;
    const double minus_sq =
        exact_distance(DistanceMetric::kDotProduct, widen(a), widen(a)).distance;
    EXPECT_NEAR(vector(DistanceMetric::kCosine, a, a_copy), 0.0f, 1e-6f) << n;
    EXPECT_EQ(vector(DistanceMetric::kEuclidean, a, a_copy), 0.0f) << n;
    EXPECT_NEAR(vector(DistanceMetric::kDotProduct, a, a_copy), minus_sq, -1e-5 * minus_sq) << n;

    // The query equal to the stored vector as it reads back.
    const StoredCodes s = store(a);
    const std::vector<float> back = dequantize(s.codes, s.min, s.scale);
    const double back_minus_sq =
        exact_distance(DistanceMetric::kDotProduct, widen(back), widen(back)).distance;
    EXPECT_NEAR(code(DistanceMetric::kCosine, back, s.view()), 0.0f, 1e-6f) << n;
    EXPECT_NEAR(code(DistanceMetric::kEuclidean, back, s.view()), 0.0f, 1e-10f) << n;
    EXPECT_NEAR(code(DistanceMetric::kDotProduct, back, s.view()), back_minus_sq,
                -1e-5 * back_minus_sq)
        << n;
  }
}

TEST_P(DistanceVariantTest, ZeroVectorHasCosineDistanceExactlyOne) {
  std::mt19937 rng(2);
  for (size_t n : {3, 16, 40}) {
    const std::vector<float> zero(n, 0.0f);
    const std::vector<float> other = random_vector(rng, n);
    EXPECT_EQ(vector(DistanceMetric::kCosine, zero, other), 1.0f);
    EXPECT_EQ(vector(DistanceMetric::kCosine, other, zero), 1.0f);
    EXPECT_EQ(vector(DistanceMetric::kCosine, zero, zero), 1.0f);
    // Stored zero vector, and zero query against a stored vector.
    EXPECT_EQ(code(DistanceMetric::kCosine, other, store(zero).view()), 1.0f);
    EXPECT_EQ(code(DistanceMetric::kCosine, zero, store(other).view()), 1.0f);
  }
}

TEST_P(DistanceVariantTest, ConstantStoredVectorIsOrthogonalToEveryQuery) {
  std::mt19937 rng(3);
  for (size_t n : {1, 9, 33}) {
    const std::vector<float> constant(n, 5.0f);
    const StoredCodes s = store(constant);
    ASSERT_EQ(s.scale, 0.0f);
    EXPECT_EQ(code(DistanceMetric::kCosine, constant, s.view()), 1.0f) << n;
    EXPECT_EQ(code(DistanceMetric::kCosine, random_vector(rng, n), s.view()), 1.0f) << n;
    // The other metrics read such a vector as n copies of its minimum.
    EXPECT_EQ(code(DistanceMetric::kEuclidean, constant, s.view()), 0.0f) << n;
    EXPECT_EQ(code(DistanceMetric::kDotProduct, constant, s.view()), -25.0f * n) << n;
  }
}

TEST_P(DistanceVariantTest, QueryWithTinySquaredNormHasCosineDistanceExactlyOne) {
  std::mt19937 rng(4);
  const std::vector<float> v = random_vector(rng, 24, 0.5f, 1.0f);
  const StoredCodes s = store(v);
  // Same direction as the stored vector, but 24 * 1e-12 < 1e-10.
  std::vector<float> tiny(v);
  for (float& x : tiny) x *= 1e-6f;
  ASSERT_LT(squared_norm(tiny), 1e-10f);
  EXPECT_EQ(code(DistanceMetric::kCosine, tiny, s.view()), 1.0f);
  // It is the squared norm passed in that counts.
  EXPECT_EQ(code_distance_with(variant(), DistanceMetric::kCosine, v, s.view(), 9e-11f), 1.0f);
  EXPECT_LT(code_distance_with(variant(), DistanceMetric::kCosine, v, s.view(), squared_norm(v)),
            1e-3f);
}

TEST_P(DistanceVariantTest, EuclideanIsTheSquaredDistance) {
  const std::vector<float> origin = {0.0f, 0.0f};
  const std::vector<float> point = {3.0f, 4.0f};
  EXPECT_EQ(vector(DistanceMetric::kEuclidean, origin, point), 25.0f);
  const StoredCodes s{{3, 4}, 0.0f, 1.0f};
  EXPECT_EQ(code(DistanceMetric::kEuclidean, origin, s.view()), 25.0f);
}

TEST_P(DistanceVariantTest, EmptyVectors) {
  const std::vector<float> empty;
  const CodeView view{{}, 1.0f, 1.0f};
  EXPECT_EQ(vector(DistanceMetric::kCosine, empty, empty), 1.0f);
  EXPECT_EQ(bits(vector(DistanceMetric::kEuclidean, empty, empty)), bits(0.0f));
  EXPECT_EQ(bits(vector(DistanceMetric::kDotProduct, empty, empty)), bits(-0.0f));
  EXPECT_EQ(code_distance_with(variant(), DistanceMetric::kCosine, empty, view, 1.0f), 1.0f);
  EXPECT_EQ(bits(code(DistanceMetric::kEuclidean, empty, view)), bits(0.0f));
  EXPECT_EQ(bits(code(DistanceMetric::kDotProduct, empty, view)), bits(-0.0f));
}

TEST_P(DistanceVariantTest, ZeroDotProductGivesNegativeZero) {
  for (size_t n : {3, 16, 19}) {
    std::vector<float> a(n, 0.0f), b(n, 2.0f);
    EXPECT_EQ(bits(vector(DistanceMetric::kDotProduct, a, b)), bits(-0.0f)) << n;
    const StoredCodes s{std::vector<uint8_t>(n, 7), 0.0f, 1.0f};
    EXPECT_EQ(bits(code(DistanceMetric::kDotProduct, a, s.view())), bits(-0.0f)) << n;
  }
}

TEST_P(DistanceVariantTest, OppositeVectorsHaveCosineDistanceTwo) {
  std::mt19937 rng(5);
  for (size_t n : {2, 16, 50}) {
    const std::vector<float> a = random_vector(rng, n);
    std::vector<float> minus_a(a);
    for (float& x : minus_a) x = -x;
    EXPECT_NEAR(vector(DistanceMetric::kCosine, a, minus_a), 2.0f, 1e-6f) << n;
    const StoredCodes s = store(a);
    std::vector<float> back = dequantize(s.codes, s.min, s.scale);
    for (float& x : back) x = -x;
    EXPECT_NEAR(code(DistanceMetric::kCosine, back, s.view()), 2.0f, 1e-6f) << n;
  }
}

TEST_P(DistanceVariantTest, CloseToExactArithmetic) {
  std::mt19937 rng(6);
  for (size_t n : kLengths) {
    const std::vector<float> a = random_vector(rng, n);
    const std::vector<float> b = random_vector(rng, n);
    const StoredCodes s = random_codes(rng, n);
    for (DistanceMetric metric : kMetrics) {
      expect_close(vector(metric, a, b), exact_distance(metric, widen(a), widen(b)), n,
                   "vector " + describe(metric, n));
      expect_close(code(metric, a, s.view()), exact_distance(metric, widen(a), widen(s)), n,
                   "code " + describe(metric, n));
    }
  }
}

TEST_P(DistanceVariantTest, ShorterSecondOperandLimitsTheComparison) {
  std::mt19937 rng(7);
  const std::vector<float> a = random_vector(rng, 40);
  const std::vector<float> b = random_vector(rng, 20);
  const StoredCodes s = random_codes(rng, 20);
  const std::span<const float> a_prefix(a.data(), 20);
  for (DistanceMetric metric : kMetrics) {
    EXPECT_EQ(vector(metric, a, b), vector(metric, a_prefix, b));
    EXPECT_EQ(code_distance_with(variant(), metric, a, s.view(), 3.0f),
              code_distance_with(variant(), metric, a_prefix, s.view(), 3.0f));
  }
}

TEST_P(DistanceVariantTest, UnknownMetricIsInfinitelyFar) {
  const std::vector<float> a = {1.0f, 2.0f};
  const auto unknown = static_cast<DistanceMetric>(7);
  EXPECT_EQ(vector(unknown, a, a), std::numeric_limits<float>::infinity());
  EXPECT_EQ(code(unknown, a, StoredCodes{{1, 2}, 0.0f, 1.0f}.view()),
            std::numeric_limits<float>::infinity());
}

TEST_P(DistanceVariantTest, NaNInEitherOperandGivesNaN) {
  std::mt19937 rng(12);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t n : {1, 15, 16, 17, 33, 64, 129}) {
    for (size_t at : {size_t{0}, n / 2, n - 1}) {
      std::vector<float> a = random_vector(rng, n);
      const std::vector<float> b = random_vector(rng, n);
      std::vector<StoredCodes> stored;
      for (size_t j = 0; j < kMaxDistanceBatch; ++j) stored.push_back(random_codes(rng, n));
      const float query_sq_norm = squared_norm(a);
      a[at] = nan;
      for (DistanceMetric metric : kMetrics) {
        const std::string what = describe(metric, n) + " at " + std::to_string(at);
        EXPECT_TRUE(std::isnan(vector(metric, a, b))) << what;
        EXPECT_TRUE(std::isnan(vector(metric, b, a))) << what;
        EXPECT_TRUE(std::isnan(code(metric, a, stored[0].view()))) << what;
        for (size_t count = 1; count <= kMaxDistanceBatch; ++count) {
          for (float d :
               batched_code_distances(variant(), metric, a, stored, count, query_sq_norm)) {
            EXPECT_TRUE(std::isnan(d)) << what << " count " << count;
          }
        }
      }
    }
    // A stored vector whose minimum is not a number.
    const std::vector<float> q = random_vector(rng, n);
    std::vector<StoredCodes> stored;
    for (size_t j = 0; j < kMaxDistanceBatch; ++j) stored.push_back(random_codes(rng, n));
    stored[1].min = nan;
    for (DistanceMetric metric : kMetrics) {
      const std::vector<float> got =
          batched_code_distances(variant(), metric, q, stored, kMaxDistanceBatch, squared_norm(q));
      EXPECT_TRUE(std::isnan(got[1])) << describe(metric, n);
      EXPECT_FALSE(std::isnan(got[0]) || std::isnan(got[2]) || std::isnan(got[3]))
          << describe(metric, n);
    }
  }
}

// ---- The exact arithmetic of each variant -----------------------------------------------------

TEST(PortableKernelTest, MatchesItsArithmeticBitForBit) {
  std::mt19937 rng(8);
  for (size_t n : kLengths) {
    const std::vector<float> a = random_vector(rng, n);
    const std::vector<float> b = random_vector(rng, n, -3.0f, 2.0f);
    const StoredCodes s = random_codes(rng, n);
    const float query_sq_norm = squared_norm(a);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_EQ(bits(vector_distance_with(KernelVariant::kPortable, metric, a, b)),
                bits(portable_vector_reference(metric, a, b)))
          << describe(metric, n);
      EXPECT_EQ(
          bits(code_distance_with(KernelVariant::kPortable, metric, a, s.view(), query_sq_norm)),
          bits(portable_code_reference(metric, a, s, query_sq_norm)))
          << describe(metric, n);
    }
  }
}

// The AVX2 variant, and the AVX-512 one whose every sum is AVX2's, through the single and the
// batched entry points.
class WideKernelTest : public ::testing::TestWithParam<KernelVariant> {
 protected:
  void SetUp() override {
    if (!kernel_variant_supported(GetParam())) {
      GTEST_SKIP() << "this processor lacks the " << kernel_variant_name(GetParam()) << " variant";
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Variants, WideKernelTest,
                         ::testing::Values(KernelVariant::kAvx2, KernelVariant::kAvx512),
                         [](const auto& info) { return kernel_variant_name(info.param); });

TEST_P(WideKernelTest, MatchesTheAvx2ArithmeticBitForBit) {
  const KernelVariant variant = GetParam();
  std::mt19937 rng(9);
  for (size_t n : kLengths) {
    const std::vector<float> a = random_vector(rng, n);
    const std::vector<float> b = random_vector(rng, n, -3.0f, 2.0f);
    std::vector<StoredCodes> stored;
    for (size_t j = 0; j < kMaxDistanceBatch; ++j) stored.push_back(random_codes(rng, n));
    const float query_sq_norm = squared_norm(a);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_EQ(bits(vector_distance_with(variant, metric, a, b)),
                bits(avx2_vector_reference(metric, a, b)))
          << describe(metric, n);
      EXPECT_EQ(bits(code_distance_with(variant, metric, a, stored[0].view(), query_sq_norm)),
                bits(avx2_code_reference(metric, a, stored[0], query_sq_norm)))
          << describe(metric, n);
      for (size_t count = 1; count <= kMaxDistanceBatch; ++count) {
        const std::vector<float> got =
            batched_code_distances(variant, metric, a, stored, count, query_sq_norm);
        for (size_t j = 0; j < count; ++j) {
          EXPECT_EQ(bits(got[j]), bits(avx2_code_reference(metric, a, stored[j], query_sq_norm)))
              << describe(metric, n) << " count " << count << " j " << j;
        }
      }
    }
  }
}

TEST_P(WideKernelTest, AgreesWithPortableToRounding) {
  const KernelVariant variant = GetParam();
  std::mt19937 rng(10);
  for (int round = 0; round < 5; ++round) {
    for (size_t n : kLengths) {
      const std::vector<float> a = random_vector(rng, n);
      const std::vector<float> b = random_vector(rng, n);
      std::vector<StoredCodes> stored;
      for (size_t j = 0; j < kMaxDistanceBatch; ++j) stored.push_back(random_codes(rng, n));
      const float query_sq_norm = squared_norm(a);
      for (DistanceMetric metric : kMetrics) {
        const float tolerance_vector =
            2.0 * (n + 4) * kFloatEpsilon * exact_distance(metric, widen(a), widen(b)).magnitude;
        EXPECT_NEAR(vector_distance_with(variant, metric, a, b),
                    vector_distance_with(KernelVariant::kPortable, metric, a, b),
                    tolerance_vector + 1e-30)
            << "vector " << describe(metric, n);
        const std::vector<float> batched =
            batched_code_distances(variant, metric, a, stored, kMaxDistanceBatch, query_sq_norm);
        for (size_t j = 0; j < kMaxDistanceBatch; ++j) {
          const StoredCodes& s = stored[j];
          const float tolerance_code =
              2.0 * (n + 4) * kFloatEpsilon *
              exact_distance(metric, widen(a), widen_magnitudes(s)).magnitude;
          const float portable =
              code_distance_with(KernelVariant::kPortable, metric, a, s.view(), query_sq_norm);
          EXPECT_NEAR(code_distance_with(variant, metric, a, s.view(), query_sq_norm), portable,
                      tolerance_code + 1e-30)
              << "code " << describe(metric, n);
          EXPECT_NEAR(batched[j], portable, tolerance_code + 1e-30)
              << "batched code " << describe(metric, n) << " j " << j;
        }
      }
    }
  }
}

// ---- Dispatch and the squared norm ------------------------------------------------------------

TEST(KernelDispatchTest, ForcingEachVariant) {
  std::mt19937 rng(11);
  const std::vector<float> a = random_vector(rng, 100);
  const std::vector<float> b = random_vector(rng, 100);
  const StoredCodes s = random_codes(rng, 100);
  const float query_sq_norm = squared_norm(a);
  const auto expect_dispatched_as = [&](KernelVariant expected) {
    EXPECT_EQ(active_kernel_variant(), expected) << kernel_variant_name(expected);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_EQ(bits(vector_distance(metric, a, b)),
                bits(vector_distance_with(expected, metric, a, b)));
      EXPECT_EQ(bits(code_distance(metric, a, s.view(), query_sq_norm)),
                bits(code_distance_with(expected, metric, a, s.view(), query_sq_norm)));
    }
  };
  // The automatic choice is the widest variant supported.
  const KernelVariant automatic = avx512_kernels_supported() ? KernelVariant::kAvx512
                                  : avx2_kernels_supported() ? KernelVariant::kAvx2
                                                             : KernelVariant::kPortable;
  for (bool force : {true, false}) {
    force_portable_kernels(force);
    expect_dispatched_as(force ? KernelVariant::kPortable : automatic);
  }
  for (KernelVariant variant : kVariants) {
    const bool supported = kernel_variant_supported(variant);
    EXPECT_EQ(force_kernel_variant(variant), supported) << kernel_variant_name(variant);
    // An unsupported variant leaves the previous choice in place.
    if (supported) expect_dispatched_as(variant);
  }
  force_portable_kernels(false);
  expect_dispatched_as(automatic);
}

TEST(SquaredNormTest, SumsInElementOrderInSinglePrecision) {
  EXPECT_EQ(squared_norm(std::vector<float>{3.0f, 4.0f}), 25.0f);
  EXPECT_EQ(squared_norm(std::vector<float>{}), 0.0f);
  // 2^24 + 1 rounds back to 2^24 in single precision: the ones vanish when they come last, and
  // add up to 2 when they come first.
  EXPECT_EQ(squared_norm(std::vector<float>{4096.0f, 1.0f, 1.0f}), 16777216.0f);
  EXPECT_EQ(squared_norm(std::vector<float>{1.0f, 1.0f, 4096.0f}), 16777218.0f);
}

}  // namespace
}  // namespace kestrine
