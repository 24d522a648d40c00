// The batched distances and the distances given a stored squared norm return exactly, bit for
// bit, what the single-vector code_distance and vector_distance return, in both kernel variants.
#include "core/quantization/distance_batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/hnsw/hit_order.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/node_scorer.h"
#include "core/hnsw/search.h"
#include "core/hnsw/select_neighbors.h"
#include "core/quantization/kernel_dispatch.h"
#include "core/quantization/scalar.h"
#include "tests/core/hnsw_test_util.h"

namespace kestrine {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                       DistanceMetric::kDotProduct};
constexpr KernelVariant kVariants[] = {KernelVariant::kPortable, KernelVariant::kAvx2,
                                       KernelVariant::kAvx512};
constexpr size_t kLengths[] = {0,  1,  7,  15,  16,  17,  31,  32,  33,
                               63, 64, 65, 127, 128, 129, 384, 1536};

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

// The variants this processor runs as themselves.
std::vector<KernelVariant> supported_variants() {
  std::vector<KernelVariant> out;
  for (KernelVariant variant : kVariants) {
    if (kernel_variant_supported(variant)) out.push_back(variant);
  }
  return out;
}

// Runs the given variant while alive (it must be supported), and restores the automatic choice
// even when an assertion ends the test early.
struct ForcedKernels {
  explicit ForcedKernels(KernelVariant variant) { EXPECT_TRUE(force_kernel_variant(variant)); }
  ~ForcedKernels() { force_portable_kernels(false); }
  ForcedKernels(const ForcedKernels&) = delete;
  ForcedKernels& operator=(const ForcedKernels&) = delete;
};

struct PortableKernels : ForcedKernels {
  PortableKernels() : ForcedKernels(KernelVariant::kPortable) {}
};

std::string describe(KernelVariant variant, DistanceMetric metric, size_t n, size_t count) {
  return std::string(kernel_variant_name(variant)) + " " + std::string(metric_name(metric)) +
         " n=" + std::to_string(n) + " count=" + std::to_string(count);
}

// Storage whose payload starts `offset` elements past an aligned allocation, so that the
// kernels see misaligned pointers.
template <typename T>
struct Shifted {
  std::vector<T> storage;
  size_t offset;
  T* data() { return storage.data() + offset; }
  std::span<T> span(size_t n) { return {data(), n}; }
};

template <typename T>
Shifted<T> shifted(size_t n, size_t offset) {
  return {std::vector<T>(n + offset + 1), offset};
}

void fill(std::mt19937& rng, std::span<float> v, float low, float high) {
  std::uniform_real_distribution<float> dist(low, high);
  for (float& x : v) x = dist(rng);
}

// A stored vector in 8-bit form: quantized from a random vector, drawn directly with a minimum
// and step that quantization would not produce, or constant (step 0).
struct Stored {
  Shifted<uint8_t> codes;
  float min = 0.0f;
  float scale = 0.0f;
  CodeView view(size_t n) { return {codes.span(n), min, scale}; }
};

Stored random_stored(std::mt19937& rng, size_t n, size_t offset, int kind) {
  Stored s{shifted<uint8_t>(n, offset)};
  if (kind == 0) {
    std::vector<float> v(n);
    fill(rng, v, -2.0f, 3.0f);
    QuantizedVector q = quantize(v);
    std::copy(q.codes.begin(), q.codes.end(), s.codes.data());
    s.min = q.min;
    s.scale = q.scale;
  } else if (kind == 1) {
    std::uniform_int_distribution<int> code(0, 255);
    for (size_t i = 0; i < n; ++i) s.codes.data()[i] = static_cast<uint8_t>(code(rng));
    s.min = std::uniform_real_distribution<float>(-2.0f, 1.0f)(rng);
    s.scale = std::uniform_real_distribution<float>(1e-3f, 2e-2f)(rng);
  } else {
    std::fill_n(s.codes.data(), n, uint8_t{128});
    s.min = 0.5f;
    s.scale = 0.0f;
  }
  return s;
}

TEST(DistanceBatchTest, CodeDistancesEqualTheSingleKernelBitForBit) {
  std::mt19937 rng(7);
  for (KernelVariant variant : supported_variants()) {
    for (DistanceMetric metric : kMetrics) {
      for (size_t n : kLengths) {
        for (size_t count = 1; count <= kMaxDistanceBatch; ++count) {
          for (size_t offset = 0; offset < 3; ++offset) {
            Shifted<float> query = shifted<float>(n, offset);
            fill(rng, query.span(n), -1.0f, 1.0f);
            const float query_sq_norm = squared_norm(query.span(n));
            std::vector<Stored> stored;
            std::vector<CodeView> views;
            std::vector<float> norms;
            for (size_t j = 0; j < count; ++j) {
              stored.push_back(random_stored(rng, n, offset * 5 + j, static_cast<int>(j % 3)));
            }
            for (Stored& s : stored) {
              views.push_back(s.view(n));
              norms.push_back(code_squared_norm(variant, views.back()));
            }
            float with_norms[kMaxDistanceBatch];
            float without_norms[kMaxDistanceBatch];
            code_distances(variant, metric, query.span(n), views, query_sq_norm, norms.data(),
                           with_norms);
            code_distances(variant, metric, query.span(n), views, query_sq_norm, nullptr,
                           without_norms);
            for (size_t j = 0; j < count; ++j) {
              const float single =
                  code_distance_with(variant, metric, query.span(n), views[j], query_sq_norm);
              ASSERT_EQ(bits(with_norms[j]), bits(single))
                  << describe(variant, metric, n, count) << " j=" << j;
              ASSERT_EQ(bits(without_norms[j]), bits(single))
                  << describe(variant, metric, n, count) << " j=" << j;
            }
          }
        }
      }
    }
  }
}

TEST(DistanceBatchTest, VectorDistancesEqualTheSingleKernelBitForBit) {
  std::mt19937 rng(11);
  for (KernelVariant variant : supported_variants()) {
    for (DistanceMetric metric : kMetrics) {
      for (size_t n : kLengths) {
        for (size_t count = 1; count <= kMaxDistanceBatch; ++count) {
          for (size_t offset = 0; offset < 3; ++offset) {
            Shifted<float> a = shifted<float>(n, offset);
            fill(rng, a.span(n), -1.0f, 1.0f);
            std::vector<Shifted<float>> others;
            std::vector<const float*> b;
            std::vector<float> b_sq;
            for (size_t j = 0; j < count; ++j) {
              others.push_back(shifted<float>(n, (offset + j) % 4));
              // One of them a zero vector, whose cosine similarity is 0 by definition.
              if (j != 2) fill(rng, others.back().span(n), -2.0f, 2.0f);
            }
            for (Shifted<float>& o : others) {
              b.push_back(o.data());
              b_sq.push_back(vector_squared_norm(variant, o.span(n)));
            }
            const float a_sq = vector_squared_norm(variant, a.span(n));
            float with_norms[kMaxDistanceBatch];
            float without_norms[kMaxDistanceBatch];
            vector_distances(variant, metric, a.span(n), a_sq, b, b_sq.data(), with_norms);
            vector_distances(variant, metric, a.span(n), a_sq, b, nullptr, without_norms);
            std::vector<float> b_roots;
            for (float sq : b_sq) b_roots.push_back(std::sqrt(sq));
            float by_roots[kMaxDistanceBatch];
            vector_distances_by_roots(distance_kernels(variant), metric, a.span(n), std::sqrt(a_sq),
                                      b, b_roots.data(), by_roots);
            for (size_t j = 0; j < count; ++j) {
              const float single = vector_distance_with(variant, metric, a.span(n), {b[j], n});
              ASSERT_EQ(bits(with_norms[j]), bits(single))
                  << describe(variant, metric, n, count) << " j=" << j;
              ASSERT_EQ(bits(without_norms[j]), bits(single))
                  << describe(variant, metric, n, count) << " j=" << j;
              ASSERT_EQ(bits(by_roots[j]), bits(single))
                  << describe(variant, metric, n, count) << " j=" << j;
              // The norm of either operand is the same sum.
              const float swapped = vector_distance_with(variant, metric, {b[j], n}, a.span(n));
              if (metric == DistanceMetric::kCosine) {
                float reverse;
                const float* first = a.data();
                vector_distances(variant, metric, {b[j], n}, b_sq[j], {&first, 1}, &a_sq, &reverse);
                ASSERT_EQ(bits(reverse), bits(swapped)) << describe(variant, metric, n, count);
              }
            }
          }
        }
      }
    }
  }
}

// Dequantizing with the norm in one pass gives dequantize_into's values and the squared norm
// that vector_squared_norm sums over them.
TEST(DistanceBatchTest, DequantizeWithNormEqualsDequantizeThenNorm) {
  std::mt19937 rng(12);
  for (KernelVariant variant : supported_variants()) {
    for (size_t n : kLengths) {
      for (int kind = 0; kind < 3; ++kind) {
        Stored s = random_stored(rng, n, static_cast<size_t>(kind), kind);
        std::vector<float> want(n);
        dequantize_into(s.codes.span(n), s.min, s.scale, want);
        Shifted<float> got = shifted<float>(n, static_cast<size_t>(kind));
        const float sq = dequantize_sq_norm(distance_kernels(variant), s.view(n), got.data());
        for (size_t i = 0; i < n; ++i) {
          ASSERT_EQ(bits(got.data()[i]), bits(want[i]))
              << kernel_variant_name(variant) << " i=" << i;
        }
        ASSERT_EQ(bits(sq), bits(vector_squared_norm(variant, want)))
            << kernel_variant_name(variant) << " n=" << n;
      }
    }
  }
}

TEST(DistanceBatchTest, NullQueryAndConstantVectorsKeepTheirCosineOfZero) {
  for (KernelVariant variant : supported_variants()) {
    std::vector<float> zero(33, 0.0f);
    std::vector<uint8_t> codes(33, 200);
    const CodeView constant{codes, 0.25f, 0.0f};
    const CodeView varied{codes, 0.25f, 0.01f};
    const CodeView views[] = {constant, varied};
    const float norms[] = {code_squared_norm(variant, constant),
                           code_squared_norm(variant, varied)};
    float out[2];
    code_distances(variant, DistanceMetric::kCosine, zero, views, squared_norm(zero), norms, out);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 1.0f);
    std::vector<float> ones(33, 1.0f);
    code_distances(variant, DistanceMetric::kCosine, ones, views, squared_norm(ones), norms, out);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(bits(out[1]), bits(code_distance_with(variant, DistanceMetric::kCosine, ones, varied,
                                                    squared_norm(ones))));
  }
}

// Every node of an index scored by the scorer, one at a time and in groups, against the plain
// distance functions of the active variant.
void expect_scorer_matches_plain_distances(const HnswIndex& index, std::span<const float> query) {
  const float query_sq_norm = squared_norm(query);
  const NodeScorer scorer(index, query, query_sq_norm);
  const size_t dim = static_cast<size_t>(index.dimension);
  std::vector<uint32_t> nodes;
  for (uint32_t node = 0; node < index.node_count; ++node) nodes.push_back(node);
  std::reverse(nodes.begin(), nodes.end());
  std::vector<float> batched(nodes.size());
  scorer.distances(nodes, batched.data());
  for (size_t i = 0; i < nodes.size(); ++i) {
    const uint32_t node = nodes[i];
    float plain;
    if (!index.raw_vectors.empty()) {
      plain = vector_distance(index.config.distance_metric, query,
                              std::span(index.raw_vectors).subspan(node * dim, dim));
    } else {
      const CodeHeader& header = index.headers.values[node];
      const CodeView view{std::span(index.vector_data).subspan(node * dim, dim), header.min,
                          header.scale};
      plain = code_distance(index.config.distance_metric, query, view, query_sq_norm);
    }
    ASSERT_EQ(bits(batched[i]), bits(plain)) << "node " << node;
    ASSERT_EQ(bits(scorer.distance(node)), bits(plain)) << "node " << node;
  }
}

class NodeScorerTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

TEST_P(NodeScorerTest, ScoresEveryNodeExactlyAsThePlainDistances) {
  const auto [metric, raw] = GetParam();
  for (size_t dim : {5, 16, 33, 128}) {
    const std::vector<float> data = testing::random_vectors(60, dim, 3);
    const HnswIndex index = testing::build(testing::config_for(metric, raw), data, dim);
    // Every metric keeps a node's minimum and step beside its norm (cosine) or a zero.
    ASSERT_EQ(index.headers.values.size(), index.node_count);
    EXPECT_EQ(index.headers.normed, index.node_count);
    EXPECT_EQ(index.headers.variant, active_kernel_variant());
    for (uint32_t node = 0; node < index.node_count; ++node) {
      const CodeHeader& header = index.headers.values[node];
      if (metric != DistanceMetric::kCosine) {
        EXPECT_EQ(bits(header.sq_norm), 0u);
      }
    }
    const std::vector<float> queries = testing::random_vectors(4, dim, 9);
    for (size_t q = 0; q < 4; ++q) {
      expect_scorer_matches_plain_distances(index, testing::row(queries, dim, q));
    }
    // The portable variant ignores norms summed by the other one.
    const PortableKernels portable;
    expect_scorer_matches_plain_distances(index, testing::row(queries, dim, 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, NodeScorerTest, testing::kAllModes, testing::mode_name);

TEST(CodeNormTableTest, HoldsTheNormOfEveryNodeAndIsDerivedAgainAfterALoad) {
  const size_t dim = 20;
  const std::vector<float> data = testing::random_vectors(40, dim, 5);
  HnswIndex index = testing::build(testing::config_for(DistanceMetric::kCosine, false), data, dim);
  const KernelVariant variant = active_kernel_variant();
  ASSERT_EQ(index.headers.values.size(), 40u);
  for (uint32_t node = 0; node < 40; ++node) {
    const CodeHeader& header = index.headers.values[node];
    const CodeView view{std::span(index.vector_data).subspan(node * dim, dim), header.min,
                        header.scale};
    EXPECT_EQ(bits(index.headers.values[node].sq_norm), bits(code_squared_norm(variant, view)));
  }
  std::vector<float> expected;
  for (const CodeHeader& header : index.headers.values) expected.push_back(header.sq_norm);
  // A stored index arrives without the norms; refreshing derives the same values.
  for (CodeHeader& header : index.headers.values) header.sq_norm = 0.0f;
  index.headers.normed = 0;
  refresh_code_norms(index);
  ASSERT_EQ(index.headers.normed, expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(bits(index.headers.values[i].sq_norm), bits(expected[i]));
  }
  // Variants whose sums agree bit for bit share the table.
  if (kernel_variant_supported(KernelVariant::kAvx512)) {
    const KernelVariant summed_by = index.headers.variant;
    for (KernelVariant variant : {KernelVariant::kAvx2, KernelVariant::kAvx512}) {
      const ForcedKernels forced(variant);
      refresh_code_norms(index);
      EXPECT_EQ(index.headers.variant, summed_by);
      for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bits(index.headers.values[i].sq_norm), bits(expected[i]));
      }
    }
  }
  // A table of a variant that sums otherwise is summed again whole.
  const PortableKernels portable;
  refresh_code_norms(index);
  EXPECT_EQ(index.headers.variant, KernelVariant::kPortable);
  for (uint32_t node = 0; node < 40; ++node) {
    const CodeHeader& header = index.headers.values[node];
    const CodeView view{std::span(index.vector_data).subspan(node * dim, dim), header.min,
                        header.scale};
    EXPECT_EQ(bits(index.headers.values[node].sq_norm),
              bits(code_squared_norm(KernelVariant::kPortable, view)));
  }
}

// Searches of an index over codes, with the norms of the header table and without them (every
// cosine distance then sums the stored vector's norm itself): the same hits at the same
// distances, bit for bit, in every variant and for every metric.
TEST(CodeNormTableTest, SearchesFindTheSameHitsWithoutTheTable) {
  const size_t dim = 40;
  const std::vector<float> data = testing::random_vectors(400, dim, 21);
  const std::vector<float> queries = testing::random_vectors(20, dim, 23);
  for (KernelVariant variant : supported_variants()) {
    const ForcedKernels forced(variant);
    for (DistanceMetric metric : kMetrics) {
      const HnswIndex index = testing::build(testing::config_for(metric, false), data, dim);
      ASSERT_EQ(index.headers.values.size(), index.node_count);
      HnswIndex without = index;
      without.headers.normed = 0;
      const auto accept = [](uint32_t id) { return id % 3 != 0; };
      for (size_t q = 0; q < 20; ++q) {
        const std::span<const float> query = testing::row(queries, dim, q);
        const std::vector<SearchHit> plain[] = {search(index, query, 10),
                                                filtered_search(index, query, 10, accept)};
        const std::vector<SearchHit> unnormed[] = {search(without, query, 10),
                                                   filtered_search(without, query, 10, accept)};
        for (size_t kind = 0; kind < 2; ++kind) {
          ASSERT_EQ(plain[kind].size(), unnormed[kind].size());
          for (size_t i = 0; i < plain[kind].size(); ++i) {
            EXPECT_EQ(plain[kind][i].id, unnormed[kind][i].id) << "query " << q;
            EXPECT_EQ(bits(plain[kind][i].distance), bits(unnormed[kind][i].distance))
                << "query " << q;
          }
        }
      }
    }
  }
}

// The heuristic as first written: one vector_distance per comparison.
std::vector<SearchHit> reference_selection(const HnswIndex& index,
                                           std::vector<SearchHit> candidates, size_t budget) {
  sort_hits(candidates);
  std::vector<SearchHit> out;
  for (const SearchHit& c : candidates) {
    if (out.size() >= budget) break;
    const std::vector<float> v = stored_vector(index, c.id);
    bool keep = true;
    for (const SearchHit& s : out) {
      if (!(vector_distance(index.config.distance_metric, v, stored_vector(index, s.id)) >=
            c.distance)) {
        keep = false;
        break;
      }
    }
    if (keep) out.push_back(c);
  }
  for (const SearchHit& c : candidates) {
    if (out.size() >= budget) break;
    if (std::none_of(out.begin(), out.end(), [&](const SearchHit& s) { return s.id == c.id; })) {
      out.push_back(c);
    }
  }
  return out;
}

class SelectionTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

TEST_P(SelectionTest, PicksWhatOneDistanceAtATimePicks) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 24;
  const std::vector<float> data = testing::random_vectors(80, dim, 13);
  const HnswIndex index = testing::build(testing::config_for(metric, raw), data, dim);
  std::mt19937 rng(17);
  for (int round = 0; round < 20; ++round) {
    // The rounds take the variants in turn.
    const std::vector<KernelVariant> variants = supported_variants();
    const ForcedKernels forced(variants[static_cast<size_t>(round) % variants.size()]);
    const uint32_t base = static_cast<uint32_t>(rng() % 80);
    const std::vector<float> v = stored_vector(index, base);
    std::vector<SearchHit> candidates;
    for (uint32_t node = 0; node < 80; ++node) {
      if (node != base)
        candidates.push_back({vector_distance(metric, v, stored_vector(index, node)), node});
    }
    std::shuffle(candidates.begin(), candidates.end(), rng);
    candidates.resize(10 + rng() % 60);
    for (size_t budget : {4, 16, 32}) {
      const std::vector<SearchHit> got = select_neighbors(index, candidates, budget);
      const std::vector<SearchHit> want = reference_selection(index, candidates, budget);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].id, want[i].id) << "round " << round << " budget " << budget;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, SelectionTest, testing::kAllModes, testing::mode_name);

}  // namespace
}  // namespace kestrine
