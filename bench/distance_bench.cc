// Distance kernels: ns per call and stored bytes read per second, for each dimension, metric,
// operation (f32 against f32, f32 against 8-bit codes) and variant. Each call compares one
// query with the next of a few stored vectors, all resident in cache, so the numbers show the
// kernels' arithmetic rather than memory latency. "bytes_per_second" counts the stored
// operand only: 4 bytes per component for vector_distance, 1 byte per code for code_distance
// and for the batched code distances (code_batch4, four stored vectors a call).

#include <benchmark/benchmark.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/quantization/distance.h"
#include "core/quantization/distance_batch.h"
#include "core/quantization/distance_kernels.h"
#include "core/quantization/kernel_dispatch.h"
#include "core/quantization/scalar.h"

namespace kestrine {
namespace {

constexpr size_t kStored = 8;  // stored vectors cycled through

struct Data {
  std::vector<float> query;
  std::vector<std::vector<float>> vectors;
  std::vector<QuantizedVector> codes;
  float query_sq_norm = 0.0f;
};

Data make_data(size_t d) {
  std::mt19937 rng(static_cast<uint32_t>(d));
  std::normal_distribution<float> dist(0.0f, 1.0f);
  auto random_vector = [&] {
    std::vector<float> v(d);
    for (float& x : v) x = dist(rng);
    return v;
  };
  Data data;
  data.query = random_vector();
  data.query_sq_norm = squared_norm(data.query);
  for (size_t i = 0; i < kStored; ++i) {
    data.vectors.push_back(random_vector());
    data.codes.push_back(quantize(data.vectors.back()));
  }
  return data;
}

// Runs the dispatched entry points with the variant forced, as an index would call them.
class VariantScope {
 public:
  explicit VariantScope(KernelVariant variant) { force_kernel_variant(variant); }
  ~VariantScope() { force_portable_kernels(false); }
};

void vector_bench(benchmark::State& state, DistanceMetric metric, KernelVariant variant, size_t d) {
  const Data data = make_data(d);
  VariantScope scope(variant);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vector_distance(metric, data.query, data.vectors[i]));
    i = (i + 1) % kStored;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d * sizeof(float)));
}

void code_bench(benchmark::State& state, DistanceMetric metric, KernelVariant variant, size_t d) {
  const Data data = make_data(d);
  std::vector<CodeView> views;
  for (const QuantizedVector& q : data.codes) views.push_back({q.codes, q.min, q.scale});
  VariantScope scope(variant);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(code_distance(metric, data.query, views[i], data.query_sq_norm));
    i = (i + 1) % kStored;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d));
}

// Four stored vectors per call through the batched entry point, as a search scores the
// neighbours of a node (cosine with the stored norms given, as an index keeps them).
void code_batch_bench(benchmark::State& state, DistanceMetric metric, KernelVariant variant,
                      size_t d) {
  const Data data = make_data(d);
  std::vector<CodeView> views;
  for (const QuantizedVector& q : data.codes) views.push_back({q.codes, q.min, q.scale});
  std::vector<float> norms;
  for (const CodeView& view : views) norms.push_back(code_squared_norm(variant, view));
  float out[kMaxDistanceBatch];
  size_t i = 0;
  for (auto _ : state) {
    code_distances(variant, metric, data.query, std::span(views).subspan(i, kMaxDistanceBatch),
                   data.query_sq_norm, norms.data() + i, out);
    benchmark::DoNotOptimize(out);
    i = (i + kMaxDistanceBatch) % kStored;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMaxDistanceBatch * d));
}

void squared_norm_bench(benchmark::State& state, size_t d) {
  const Data data = make_data(d);
  for (auto _ : state) benchmark::DoNotOptimize(squared_norm(data.query));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d * sizeof(float)));
}

void quantize_bench(benchmark::State& state, size_t d) {
  const Data data = make_data(d);
  for (auto _ : state) benchmark::DoNotOptimize(quantize(data.vectors[0]));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d * sizeof(float)));
}

// The cost of choosing the kernel: the public entry point against a direct call of the same
// kernel through its table, on vectors short enough for the call itself to matter.
void dispatch_bench(benchmark::State& state, bool direct, size_t d) {
  const Data data = make_data(d);
  const DistanceKernels& kernels = avx2_kernels_supported() ? kAvx2Kernels : kPortableKernels;
  size_t i = 0;
  for (auto _ : state) {
    const float* stored = data.vectors[i].data();
    benchmark::DoNotOptimize(
        direct ? kernels.squared_l2(data.query.data(), stored, d)
               : vector_distance(DistanceMetric::kEuclidean, data.query, data.vectors[i]));
    i = (i + 1) % kStored;
  }
}

void register_all() {
  const DistanceMetric metrics[] = {DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                    DistanceMetric::kDotProduct};
  std::vector<KernelVariant> variants;
  for (KernelVariant variant :
       {KernelVariant::kPortable, KernelVariant::kAvx2, KernelVariant::kAvx512}) {
    if (kernel_variant_supported(variant)) variants.push_back(variant);
  }
  for (size_t d : {16, 128}) {
    benchmark::RegisterBenchmark(("dispatch/entry_point/" + std::to_string(d)).c_str(),
                                 dispatch_bench, false, d);
    benchmark::RegisterBenchmark(("dispatch/kernel_table/" + std::to_string(d)).c_str(),
                                 dispatch_bench, true, d);
  }
  for (size_t d : {128, 384, 768, 1536}) {
    for (DistanceMetric metric : metrics) {
      for (KernelVariant variant : variants) {
        const std::string suffix = std::string(metric_name(metric)) + "/" +
                                   kernel_variant_name(variant) + "/" + std::to_string(d);
        benchmark::RegisterBenchmark(("vector/" + suffix).c_str(), vector_bench, metric, variant,
                                     d);
        benchmark::RegisterBenchmark(("code/" + suffix).c_str(), code_bench, metric, variant, d);
        benchmark::RegisterBenchmark(("code_batch4/" + suffix).c_str(), code_batch_bench, metric,
                                     variant, d);
      }
    }
    benchmark::RegisterBenchmark(("squared_norm/" + std::to_string(d)).c_str(), squared_norm_bench,
                                 d);
    benchmark::RegisterBenchmark(("quantize/" + std::to_string(d)).c_str(), quantize_bench, d);
  }
}

}  // namespace
}  // namespace kestrine

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kestrine::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
