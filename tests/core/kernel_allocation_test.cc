// The distance kernels run in the inner loop of every search and insertion and must not
// allocate. This binary replaces the global operator new with one that counts its calls.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "core/quantization/distance.h"
#include "core/quantization/kernel_dispatch.h"
#include "core/quantization/pq.h"
#include "core/quantization/scalar.h"

namespace {
std::atomic<size_t> allocations{0};
}  // namespace

// None of the three is inlined, so the compiler does not pair malloc() and free() with the new
// and delete expressions of the library code and warn of a mismatch.
[[gnu::noinline]] void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace kestrine {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                       DistanceMetric::kDotProduct};

TEST(KernelAllocationTest, DistancesAllocateNothing) {
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> a(1000), b(1000), out(1000);
  for (float& x : a) x = dist(rng);
  for (float& x : b) x = dist(rng);
  const QuantizedVector q = quantize(b);
  const CodeView view{q.codes, q.min, q.scale};
  std::vector<KernelVariant> variants;
  for (KernelVariant variant :
       {KernelVariant::kPortable, KernelVariant::kAvx2, KernelVariant::kAvx512}) {
    if (kernel_variant_supported(variant)) variants.push_back(variant);
  }

  float sink = 0.0f;
  const size_t before = allocations.load();
  const float query_sq_norm = squared_norm(a);
  for (DistanceMetric metric : kMetrics) {
    sink += vector_distance(metric, a, b);
    sink += code_distance(metric, a, view, query_sq_norm);
    for (KernelVariant variant : variants) {
      sink += vector_distance_with(variant, metric, a, b);
      sink += code_distance_with(variant, metric, a, view, query_sq_norm);
    }
  }
  dequantize_into(q.codes, q.min, q.scale, out);
  EXPECT_EQ(allocations.load(), before);
  EXPECT_TRUE(std::isfinite(sink + out[0]));
}

TEST(KernelAllocationTest, ProductQuantizationEncodingAllocatesNothing) {
  std::mt19937 rng(32);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  PqCodebook book{8, 256, 5, std::vector<float>(8 * 256 * 5)};
  for (float& x : book.centroids) x = dist(rng);
  std::vector<float> v(40);
  for (float& x : v) x = dist(rng);
  std::vector<uint8_t> codes(8);
  const size_t before = allocations.load();
  pq_encode(book, v, codes);
  EXPECT_EQ(allocations.load(), before);
}

TEST(KernelAllocationTest, TheCounterSeesAllocations) {
  const size_t before = allocations.load();
  const std::vector<float> v = dequantize(std::vector<uint8_t>(3, 1), 0.0f, 1.0f);
  EXPECT_GT(allocations.load(), before);
}

}  // namespace
}  // namespace kestrine
