// Graph storage: the neighbour-list container against a plain model, and the per-node
// operations of an index (creation, deletion marks, stored vectors, node distances, product
// quantization) including indexes whose loaded tables disagree with each other.
#include <gtest/gtest.h>

#include <random>

#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/neighbor_lists.h"
#include "core/hnsw/node_scorer.h"
#include "core/hnsw/search.h"
#include "core/quantization/pq.h"
#include "hnsw_test_util.h"
#include "tests/core/engine_probes.h"

namespace kestrine {
namespace {

using testing::add;
using testing::add_at_level;
using testing::config_for;
using testing::random_vectors;
using testing::row;

using Model = std::vector<std::vector<std::vector<uint32_t>>>;

void expect_matches(const NeighborLists& lists, const Model& model) {
  ASSERT_EQ(lists.node_count(), model.size());
  for (uint32_t node = 0; node < model.size(); ++node) {
    ASSERT_EQ(lists.layer_count(node), model[node].size()) << "node " << node;
    for (size_t layer = 0; layer < model[node].size() + 2; ++layer) {
      auto got = lists.get(node, layer);
      std::vector<uint32_t> want =
          layer < model[node].size() ? model[node][layer] : std::vector<uint32_t>{};
      ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()), want)
          << "node " << node << " layer " << layer;
    }
  }
  EXPECT_TRUE(lists.get(static_cast<uint32_t>(model.size()), 0).empty());
  EXPECT_EQ(lists.layer_count(static_cast<uint32_t>(model.size())), 0u);
}

// Every public operation, in random order, on lists short and long (past their slots on every
// layer), on nodes that gain layers after later nodes were added, with the slot counts changed
// on the way; the container must always read like the model.
TEST(NeighborListsTest, RandomOperationsMatchAPlainModel) {
  std::mt19937 rng(7);
  NeighborLists lists(4);
  Model model;
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  for (int step = 0; step < 20000; ++step) {
    const size_t op = model.empty() ? 0 : pick(100);
    if (op < 8) {
      const size_t layers = pick(4);
      lists.add_node(layers);
      model.emplace_back(layers);
    } else {
      const auto node = static_cast<uint32_t>(pick(model.size()));
      const size_t layer = pick(4);
      auto& m = model[node];
      if (op < 60) {
        lists.append(node, layer, static_cast<uint32_t>(rng()));
        if (m.size() <= layer) m.resize(layer + 1);
        m[layer].push_back(lists.get(node, layer).back());
      } else if (op < 85) {
        std::vector<uint32_t> ids(pick(10));
        for (auto& id : ids) id = static_cast<uint32_t>(rng() % 1000);
        lists.assign(node, layer, ids);
        if (m.size() <= layer) m.resize(layer + 1);
        m[layer] = ids;
      } else if (op < 92) {
        // Replace a list by a part of itself.
        auto own = lists.get(node, layer);
        const size_t skip = own.empty() ? 0 : pick(own.size());
        std::vector<uint32_t> expect(own.begin() + static_cast<ptrdiff_t>(skip), own.end());
        lists.assign(node, layer, own.subspan(skip));
        if (m.size() <= layer) m.resize(layer + 1);
        m[layer] = expect;
      } else if (op < 98) {
        lists.ensure_layer(node, layer);
        if (m.size() <= layer) m.resize(layer + 1);
      } else if (op < 99) {
        lists.set_layer0_capacity(1 + pick(12));
      } else {
        lists.set_upper_capacity(1 + pick(12));
      }
    }
    if (step % 500 == 0) {
      ASSERT_NO_FATAL_FAILURE(expect_matches(lists, model));
    }
  }
  ASSERT_NO_FATAL_FAILURE(expect_matches(lists, model));
  NeighborLists copy = lists;
  copy.set_layer0_capacity(64);
  copy.set_upper_capacity(64);
  EXPECT_EQ(copy, lists);
  copy.append(0, 0, 5);
  EXPECT_FALSE(copy == lists);
}

TEST(HnswGraphTest, NewIndexIsEmpty) {
  const HnswConfig config = config_for(DistanceMetric::kEuclidean, false);
  const HnswIndex index = make_hnsw_index(config, 8);
  EXPECT_EQ(index.config, config);
  EXPECT_EQ(index.dimension, 8u);
  EXPECT_EQ(index.node_count, 0u);
  EXPECT_FALSE(index.entry_point.has_value());
  EXPECT_EQ(index.max_level, 0u);
  EXPECT_FALSE(index.pq_codebook.has_value());
  EXPECT_TRUE(index.vector_data.empty() && index.raw_vectors.empty() && index.pq_codes.empty());
  testing::expect_well_formed(index);
}

TEST(HnswGraphTest, FirstInsertionMakesTheEntryPointWithEmptyLists) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kCosine, false), 3);
  const float v[3] = {1, 2, 3};
  add_at_level(index, v, 3);
  EXPECT_EQ(index.node_count, 1u);
  EXPECT_EQ(index.entry_point, 0u);
  EXPECT_EQ(index.max_level, 3u);
  ASSERT_EQ(index.neighbors.layer_count(0), 4u);
  for (size_t layer = 0; layer < 4; ++layer) EXPECT_TRUE(index.neighbors.get(0, layer).empty());
  EXPECT_EQ(index.layers, std::vector<uint8_t>{3});
  EXPECT_EQ(index.deleted, std::vector<uint8_t>{0});
}

class HnswModeTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

TEST_P(HnswModeTest, StoredVectorIsExactOnlyWithRawVectors) {
  const auto [metric, raw] = GetParam();
  HnswIndex index = make_hnsw_index(config_for(metric, raw), 3);
  const float v[3] = {1, 2, 3};
  add(index, v);
  EXPECT_EQ(index.raw_vectors.empty(), !raw);
  const std::vector<float> got = stored_vector(index, 0);
  if (raw) {
    EXPECT_EQ(got, (std::vector<float>{1, 2, 3}));
  } else {
    EXPECT_EQ(got, dequantize(quantize(v).codes, 1.0f, 2.0f / 255.0f));
    EXPECT_FLOAT_EQ(got[1], 2.0039215f);
  }
}

TEST_P(HnswModeTest, NodeDistanceReadsRawVectorsOrCodes) {
  const auto [metric, raw] = GetParam();
  HnswIndex index = make_hnsw_index(config_for(metric, raw), 4);
  const float v[4] = {0.5f, -1.0f, 2.0f, 0.25f};
  const float q[4] = {1.0f, 1.0f, -0.5f, 2.0f};
  add(index, v);
  const float norm = squared_norm(q);
  const QuantizedVector qv = quantize(v);
  const float expected = raw ? vector_distance(metric, q, v)
                             : code_distance(metric, q, CodeView{qv.codes, qv.min, qv.scale}, norm);
  EXPECT_EQ(node_distance(index, q, 0, norm), expected);
#ifndef NDEBUG
  // The engine admits only queries of the dimension; the graph asserts it.
  const float longer[6] = {1.0f, 1.0f, -0.5f, 2.0f, 9.0f, 9.0f};
  EXPECT_DEATH(node_distance(index, longer, 0, norm), "query.size\\(\\) == dim_");
#endif
}

TEST_P(HnswModeTest, NodeDistanceWithATableSumsItsEntries) {
  const auto [metric, raw] = GetParam();
  HnswIndex index = make_hnsw_index(config_for(metric, raw), 4);
  const std::vector<float> data = random_vectors(3, 4, 11);
  for (size_t i = 0; i < 3; ++i) add(index, row(data, 4, i));
  ASSERT_TRUE(enable_pq(index, 2).has_value());
  ASSERT_EQ(index.pq_codes.size(), 6u);
  std::vector<float> table(2 * 256);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<float>(i % 97) * 0.125f;
  const float q[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  for (uint32_t node = 0; node < 3; ++node) {
    const float expected =
        table[index.pq_codes[node * 2]] + table[256 + index.pq_codes[node * 2 + 1]];
    EXPECT_EQ(node_distance(index, q, node, squared_norm(q), table), expected);
  }
}

TEST_P(HnswModeTest, EnablePqEncodesEveryNodeOrChangesNothing) {
  const auto [metric, raw] = GetParam();
  const std::vector<float> data = random_vectors(300, 8, 5);
  HnswIndex index = testing::build(config_for(metric, raw), data, 8);
  const HnswIndex before = index;
  for (uint64_t bad : {0u, 3u, 16u}) {
    auto status = enable_pq(index, bad);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message(), "dimension must be divisible by num_subspaces");
    EXPECT_EQ(index.pq_codes, before.pq_codes);
    EXPECT_FALSE(index.pq_codebook.has_value());
  }
  ASSERT_TRUE(enable_pq(index, 4).has_value());
  ASSERT_TRUE(index.pq_codebook.has_value());
  EXPECT_EQ(index.pq_codebook->num_subspaces, 4u);
  ASSERT_EQ(index.pq_codes.size(), 300u * 4);
  // The codes are those of the vectors the index holds: raw, or read back from the codes.
  for (uint32_t node : {0u, 150u, 299u}) {
    std::vector<uint8_t> codes(4);
    pq_encode(*index.pq_codebook, stored_vector(index, node), codes);
    EXPECT_EQ(std::vector<uint8_t>(index.pq_codes.begin() + node * 4,
                                   index.pq_codes.begin() + node * 4 + 4),
              codes);
  }
  // Training again replaces the codebook and codes.
  ASSERT_TRUE(enable_pq(index, 2).has_value());
  EXPECT_EQ(index.pq_codes.size(), 300u * 2);
  // Nodes inserted afterwards are encoded too.
  add(index, row(data, 8, 0));
  EXPECT_EQ(index.pq_codes.size(), 301u * 2);
  testing::expect_well_formed(index);
}

TEST_P(HnswModeTest, MarkDeletedIgnoresIdsBeyondTheTable) {
  const auto [metric, raw] = GetParam();
  const std::vector<float> data = random_vectors(5, 4, 2);
  HnswIndex index = testing::build(config_for(metric, raw), data, 4);
  mark_deleted(index, 5);
  mark_deleted(index, UINT32_MAX);
  EXPECT_EQ(index.deleted, std::vector<uint8_t>(5, 0));
  mark_deleted(index, 2);
  mark_deleted(index, 2);
  EXPECT_EQ(index.deleted, (std::vector<uint8_t>{0, 0, 1, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(AllModes, HnswModeTest, testing::kAllModes, testing::mode_name);

// Widths a snapshot may carry past its validation: an ef_search and ef_construction far beyond
// the graph. Nothing may read past a table, hang or allocate without bound.
TEST(HnswGraphTest, HugeStoredWidthsAreBoundedNotTrusted) {
  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    const size_t dim = 6;
    const std::vector<float> data = random_vectors(60, dim, 3);
    HnswConfig config = config_for(DistanceMetric::kEuclidean, raw);
    HnswIndex index = testing::build(config, data, dim);

    HnswIndex broken = index;
    broken.config.ef_search = UINT64_MAX / 2;
    broken.config.ef_construction = UINT64_MAX / 3;

    const auto q = row(data, dim, 9);
    for (uint32_t node = 0; node < 60; ++node) {
      EXPECT_EQ(stored_vector(broken, node).size(), dim);
      EXPECT_FALSE(std::isnan(node_distance(broken, q, node, squared_norm(q))));
    }
    EXPECT_EQ(stored_vector(broken, 1000), std::vector<float>(dim, 0.0f));
    auto hits = search(broken, q, 5);
    EXPECT_EQ(hits.size(), 5u);

    broken.config.ef_construction = 40;
    add(broken, row(data, dim, 10));
    EXPECT_EQ(broken.raw_vectors.size(), raw ? 61 * dim : 0u);
    // The new node's raw vector sits at its id.
    EXPECT_EQ(stored_vector(broken, 60),
              raw ? std::vector<float>(row(data, dim, 10).begin(), row(data, dim, 10).end())
                  : stored_vector(index, 10));
  }
}

}  // namespace
}  // namespace kestrine
