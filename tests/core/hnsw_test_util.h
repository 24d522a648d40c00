// Helpers shared by the HNSW tests: random data, indexes built through the public insertion,
// exact nearest neighbours, and the structural invariants every index keeps after an insertion.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/common/scored_id.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/insert.h"
#include "core/quantization/distance.h"
#include "core/quantization/scalar.h"
#include "tests/core/engine_probes.h"

namespace kestrine {

// Readable hits in assertion messages.
inline void PrintTo(const SearchHit& hit, std::ostream* out) {
  *out << "(" << hit.distance << ", " << hit.id << ")";
}

}  // namespace kestrine

namespace kestrine::testing {

// The ids of `hits`, in order.
inline std::vector<uint32_t> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<uint32_t> ids;
  for (const SearchHit& hit : hits) ids.push_back(hit.id);
  return ids;
}

// The two axes most HNSW tests run over.
using MetricAndRaw = std::tuple<DistanceMetric, bool>;

inline const auto kAllModes =
    ::testing::Combine(::testing::Values(DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                         DistanceMetric::kDotProduct),
                       ::testing::Bool());

inline std::string mode_name(const ::testing::TestParamInfo<MetricAndRaw>& info) {
  return std::string(metric_name(std::get<0>(info.param))) +
         (std::get<1>(info.param) ? "_raw" : "_compact");
}

inline HnswConfig config_for(DistanceMetric metric, bool raw, uint64_t m = 16) {
  HnswConfig config;
  config.m = m;
  config.m_max0 = 2 * m;
  config.distance_metric = metric;
  config.store_raw_vectors = raw;
  return config;
}

// `count` vectors of `dim` values, uniform in [-1, 1), back to back.
inline std::vector<float> random_vectors(size_t count, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> out(count * dim);
  for (float& x : out) x = u(rng);
  return out;
}

inline std::span<const float> row(const std::vector<float>& data, size_t dim, size_t i) {
  return std::span(data).subspan(i * dim, dim);
}

// Inserts the next node through the public insertion.
inline void add(HnswIndex& index, std::span<const float> v) {
  ASSERT_TRUE(insert(index, index.node_count, v, quantize(v)).has_value());
}

inline void add_at_level(HnswIndex& index, std::span<const float> v, uint64_t level) {
  ASSERT_TRUE(insert_at_level(index, index.node_count, v, quantize(v), level).has_value());
}

inline HnswIndex build(const HnswConfig& config, const std::vector<float>& data, size_t dim) {
  HnswIndex index = make_hnsw_index(config, dim);
  for (size_t i = 0; i < data.size() / dim; ++i) add(index, row(data, dim, i));
  return index;
}

// The k nearest live nodes by the distance a search reports (raw vectors or codes).
inline std::vector<uint32_t> exact_neighbors(const HnswIndex& index, std::span<const float> query,
                                             size_t k) {
  const float norm = squared_norm(query);
  std::vector<SearchHit> all;
  for (uint32_t n = 0; n < index.node_count; ++n) {
    if (index.deleted[n] == 0) all.push_back({node_distance(index, query, n, norm), n});
  }
  std::sort(all.begin(), all.end(), [](const SearchHit& a, const SearchHit& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
  });
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < std::min(k, all.size()); ++i) ids.push_back(all[i].id);
  return ids;
}

// The invariants every index holds once an insertion has finished.
inline void expect_well_formed(const HnswIndex& index) {
  const HnswConfig& c = index.config;
  const size_t n = index.node_count;
  ASSERT_EQ(index.vector_data.size(), n * index.dimension);
  ASSERT_EQ(index.headers.values.size(), n);
  ASSERT_EQ(index.headers.min_count, n);
  ASSERT_EQ(index.headers.scale_count, n);
  ASSERT_EQ(index.raw_vectors.size(), c.store_raw_vectors ? n * index.dimension : 0);
  ASSERT_EQ(index.neighbors.node_count(), n);
  ASSERT_EQ(index.layers.size(), n);
  ASSERT_EQ(index.deleted.size(), n);
  if (n == 0) {
    EXPECT_FALSE(index.entry_point.has_value());
    EXPECT_EQ(index.max_level, 0u);
    return;
  }
  ASSERT_TRUE(index.entry_point.has_value());
  ASSERT_LT(*index.entry_point, n);
  EXPECT_EQ(index.layers[*index.entry_point], index.max_level);
  uint64_t highest = 0;
  for (uint32_t node = 0; node < n; ++node) {
    highest = std::max<uint64_t>(highest, index.layers[node]);
    // Insertion never links a node above its own level.
    ASSERT_EQ(index.neighbors.layer_count(node), index.layers[node] + 1u) << "node " << node;
    for (size_t layer = 0; layer <= index.layers[node]; ++layer) {
      auto list = index.neighbors.get(node, layer);
      ASSERT_LE(list.size(), layer == 0 ? c.m_max0 : c.m) << "node " << node << " layer " << layer;
      std::vector<uint32_t> sorted(list.begin(), list.end());
      std::sort(sorted.begin(), sorted.end());
      ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "duplicate link";
      for (uint32_t id : list) {
        ASSERT_LT(id, n);
        ASSERT_NE(id, node) << "self link";
        // A link on layer l points to a node that lives on layer l.
        ASSERT_GE(index.layers[id], layer);
      }
    }
  }
  EXPECT_EQ(highest, index.max_level);
}

}  // namespace kestrine::testing
