// Search: the visited set's generations, the layer search on hand-built graphs with exact
// expected results, the widening of the layer-0 beam, filtering, and recall against brute force.
#include <gtest/gtest.h>

#include <set>

#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/search.h"
#include "hnsw_test_util.h"
#include "tests/core/engine_probes.h"

namespace kestrine {
namespace {

using testing::config_for;
using testing::ids_of;
using testing::random_vectors;
using testing::row;

// A one-dimensional euclidean index with raw vectors whose graph is given node by node (layer
// 0 only unless `upper` says otherwise): distances are squared differences of positions.
HnswIndex line_graph(const std::vector<float>& positions,
                     const std::vector<std::vector<uint32_t>>& links, uint64_t ef_search = 50) {
  HnswConfig config = config_for(DistanceMetric::kEuclidean, true);
  config.ef_search = ef_search;
  HnswIndex index = make_hnsw_index(config, 1);
  for (size_t i = 0; i < positions.size(); ++i) {
    const float v[1] = {positions[i]};
    const QuantizedVector q = quantize(v);
    index.vector_data.push_back(q.codes[0]);
    append_code_header(index, q.min, q.scale);
    index.raw_vectors.push_back(positions[i]);
    index.neighbors.add_node(1);
    index.neighbors.assign(static_cast<uint32_t>(i), 0, links[i]);
    index.layers.push_back(0);
    index.deleted.push_back(0);
  }
  index.node_count = static_cast<uint32_t>(positions.size());
  index.entry_point = 0;
  return index;
}

std::vector<SearchHit> layer0(const HnswIndex& index, float query, std::vector<uint32_t> entries,
                              size_t ef, const NodePredicate* accept = nullptr) {
  const float q[1] = {query};
  return search_layer(index, q, query * query, entries, ef, 0, {}, accept);
}

TEST(VisitedSetTest, GenerationWrapsByClearingTheMarksOnce) {
  VisitedSet set;
  set.prepare(4);
  EXPECT_EQ(set.generation(), 0);
  // Generation 0 never marks: nothing counts as visited before the first layer search.
  EXPECT_FALSE(set.visited(0));
  set.next_generation();
  EXPECT_TRUE(set.visit(2));
  EXPECT_FALSE(set.visit(2));
  EXPECT_TRUE(set.visited(2));
  while (set.generation() != UINT16_MAX) set.next_generation();
  EXPECT_TRUE(set.visit(1));
  set.next_generation();
  EXPECT_EQ(set.generation(), 1);
  // Node 2 was marked at generation 1 long ago; the clear on wrapping forgot it.
  for (uint32_t id = 0; id < 4; ++id) EXPECT_FALSE(set.visited(id)) << id;
  set.prepare(2);
  EXPECT_EQ(set.size(), 4u);
}

// Positions 0..5 on a line, linked as a chain 0-1-2-3-4-5 in both directions.
std::vector<std::vector<uint32_t>> chain(size_t n) {
  std::vector<std::vector<uint32_t>> links(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (i > 0) links[i].push_back(i - 1);
    if (i + 1 < n) links[i].push_back(i + 1);
  }
  return links;
}

TEST(LayerSearchTest, BeamWalksTheChainAndStopsPastTheBound) {
  const HnswIndex index = line_graph({0, 1, 2, 3, 4, 5}, chain(6));
  // From node 0 towards 4.2 the beam of 2 ends at the two nearest nodes.
  auto hits = layer0(index, 4.2f, {0}, 2);
  ASSERT_EQ(ids_of(hits), (std::vector<uint32_t>{4, 5}));
  EXPECT_NEAR(hits[0].distance, 0.04f, 1e-6);
  EXPECT_NEAR(hits[1].distance, 0.64f, 1e-6);
  // Width 1 is a greedy walk.
  EXPECT_EQ(ids_of(layer0(index, 2.4f, {0}, 1)), (std::vector<uint32_t>{2}));
  // A wide beam returns everything reachable, ascending.
  EXPECT_EQ(ids_of(layer0(index, 2.4f, {5}, 10)), (std::vector<uint32_t>{2, 3, 1, 4, 0, 5}));
}

TEST(LayerSearchTest, LocalMinimumStopsAGreedyWalk) {
  // 0 at position 0 links only to 1 at position 5; 1 links to 2 at 10, which links to 3 at 1.
  // From 0 towards 1.0: 1 and then 2 are farther than 0, so width 1 never reaches node 3.
  const HnswIndex index = line_graph({0, 5, 10, 1}, {{1}, {2}, {3}, {}});
  EXPECT_EQ(ids_of(layer0(index, 1.0f, {0}, 1)), (std::vector<uint32_t>{0}));
  // A beam of 2 keeps the farther candidates long enough to get there.
  EXPECT_EQ(ids_of(layer0(index, 1.0f, {0}, 3)), (std::vector<uint32_t>{3, 0, 1}));
}

TEST(LayerSearchTest, DeletedAndRejectedNodesCarryTheWalkButAreNotReturned) {
  HnswIndex index = line_graph({0, 1, 2, 3, 4, 5}, chain(6));
  index.deleted[2] = 1;
  index.deleted[3] = 1;
  EXPECT_EQ(ids_of(layer0(index, 3.1f, {0}, 3)), (std::vector<uint32_t>{4, 5, 1}));
  const auto odd = [](uint32_t id) { return id % 2 == 1; };
  const NodePredicate accept(odd);
  EXPECT_EQ(ids_of(layer0(index, 3.1f, {0}, 3, &accept)), (std::vector<uint32_t>{5, 1}));
  // The test is never asked about deleted nodes.
  std::set<uint32_t> asked;
  const auto record = [&](uint32_t id) {
    asked.insert(id);
    return true;
  };
  const NodePredicate recording(record);
  layer0(index, 3.0f, {0}, 10, &recording);
  EXPECT_EQ(asked, (std::set<uint32_t>{0, 1, 4, 5}));
}

TEST(LayerSearchTest, EntriesAreAllScoredAndDuplicatesSkipped) {
  const HnswIndex index = line_graph({0, 1, 2, 3, 4, 5}, std::vector<std::vector<uint32_t>>(6));
  // No links: only the entries can be found; all of them stay even beyond the width.
  EXPECT_EQ(ids_of(layer0(index, 0.0f, {5, 1, 1, 3}, 2)), (std::vector<uint32_t>{1, 3, 5}));
}

TEST(SearchTest, EmptyIndexAndSingleNode) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kCosine, false), 2);
  const float q[2] = {1, 0};
  EXPECT_TRUE(search(index, q, 10).empty());
  const float v[2] = {-3, 1};
  testing::add(index, v);
  ASSERT_EQ(ids_of(search(index, q, 10)), std::vector<uint32_t>{0});
  const auto none = [](uint32_t) { return false; };
  EXPECT_TRUE(filtered_search(index, q, 10, none).empty());
  mark_deleted(index, 0);
  EXPECT_TRUE(search(index, q, 10).empty());
}

// Counts the layer searches a call runs through the visited set's generation.
template <typename F>
int layer_searches(F&& f) {
  VisitedSet& set = search_visited_set();
  // Keep the count clear of a wrap of the generation.
  while (set.generation() > 60000) set.next_generation();
  const uint16_t before = set.generation();
  f();
  return static_cast<uint16_t>(set.generation() - before);
}

TEST(SearchTest, BeamWidensToKAndUpToFourTimesItsWidth) {
  const HnswIndex index = line_graph(std::vector<float>(40, 1.0f), chain(40), /*ef_search=*/2);
  const float q[1] = {1.0f};
  // k above ef_search: the beam starts at k, so one layer search finds all k.
  EXPECT_EQ(layer_searches([&] { EXPECT_EQ(search(index, q, 7).size(), 7u); }), 1);
  EXPECT_EQ(search(index, q, 100).size(), 40u);

  HnswIndex dead = index;
  for (auto& mark : dead.deleted) mark = 1;
  // k = 3: ef 3, cap min(12, 40) = 12, so widths 3, 6, 12.
  EXPECT_EQ(layer_searches([&] { EXPECT_TRUE(search(dead, q, 3).empty()); }), 3);
  // k = 30: ef 30, cap 40: widths 30, 40.
  EXPECT_EQ(layer_searches([&] { EXPECT_TRUE(search(dead, q, 30).empty()); }), 2);
  const auto none = [](uint32_t) { return false; };
  EXPECT_EQ(layer_searches([&] { EXPECT_TRUE(filtered_search(index, q, 3, none).empty()); }), 3);
  // k = 0 still runs the layer-0 search once.
  EXPECT_EQ(layer_searches([&] { EXPECT_TRUE(search(index, q, 0).empty()); }), 1);
}

TEST(SearchTest, KBeyondTheLiveNodesReturnsAllReachableLiveNodes) {
  // Node 5 is not linked from anywhere: it cannot be found.
  std::vector<std::vector<uint32_t>> links = chain(5);
  links.push_back({0});
  HnswIndex index = line_graph({0, 1, 2, 3, 4, 5}, links);
  index.deleted[1] = 1;
  const float q[1] = {0.0f};
  EXPECT_EQ(ids_of(search(index, q, 50)), (std::vector<uint32_t>{0, 2, 3, 4}));
}

TEST(SearchTest, DeletedEntryPointStillStartsTheDescent) {
  HnswIndex index = line_graph({0, 1, 2, 3}, chain(4));
  index.entry_point = 3;
  index.deleted[3] = 1;
  const float q[1] = {0.2f};
  EXPECT_EQ(ids_of(search(index, q, 2)), (std::vector<uint32_t>{0, 1}));
}

TEST(SearchTest, DescentFollowsUpperLayers) {
  // Layer 1 holds nodes 0 and 4; node 4 is the entry point. The query near 0 is reached by
  // descending from 4 through layer 1 to 0, even though layer 0 only links 0-1 and 3-4.
  HnswIndex index = line_graph({0, 1, 2, 3, 4}, {{1}, {0}, {}, {4}, {3}});
  index.neighbors.assign(0, 1, std::vector<uint32_t>{4});
  index.neighbors.assign(4, 1, std::vector<uint32_t>{0});
  index.layers[0] = index.layers[4] = 1;
  index.max_level = 1;
  index.entry_point = 4;
  const float q[1] = {0.1f};
  EXPECT_EQ(ids_of(search(index, q, 5)), (std::vector<uint32_t>{0, 1}));
}

TEST(SearchTest, EqualDistancesKeepTheLayerSearchOrderUpToTwentyResults) {
  // Twenty nodes at the same position, all linked to each other.
  std::vector<std::vector<uint32_t>> links(20);
  for (uint32_t i = 0; i < 20; ++i) {
    for (uint32_t j = 0; j < 20; ++j) {
      if (i != j) links[i].push_back(j);
    }
  }
  const HnswIndex index = line_graph(std::vector<float>(20, 3.0f), links);
  const float q[1] = {1.0f};
  const auto walk = search_layer(index, q, 1.0f, std::vector<uint32_t>{0}, 50, 0);
  EXPECT_EQ(ids_of(search(index, q, 20)), ids_of(walk));
}

TEST(SearchTest, ManySearchesOnOneThreadOutliveTheGenerationWrap) {
  const std::vector<float> data = random_vectors(200, 4, 21);
  const HnswIndex index = testing::build(config_for(DistanceMetric::kEuclidean, false), data, 4);
  const auto first = search(index, row(data, 4, 7), 5);
  // Each search is one layer search per layer; run past 65535 of them.
  for (int i = 0; i < 70000 / static_cast<int>(index.max_level + 1) + 10; ++i) {
    const auto again = search(index, row(data, 4, 7), 5);
    if (again != first) FAIL() << "search " << i << " differs";
  }
}

class SearchModeTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

TEST_P(SearchModeTest, RecallAgainstBruteForce) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 16;
  const std::vector<float> data = random_vectors(2000, dim, 1);
  HnswConfig config = config_for(metric, raw, 8);
  config.ef_construction = 100;
  config.ef_search = 64;
  HnswIndex index = testing::build(config, data, dim);
  for (uint32_t n = 0; n < index.node_count; n += 7) mark_deleted(index, n);
  const std::vector<float> queries = random_vectors(100, dim, 2);
  size_t found = 0;
  for (size_t i = 0; i < 100; ++i) {
    const auto q = row(queries, dim, i);
    const auto hits = search(index, q, 10);
    ASSERT_EQ(hits.size(), 10u);
    for (size_t j = 0; j < hits.size(); ++j) {
      ASSERT_EQ(index.deleted[hits[j].id], 0);
      ASSERT_EQ(hits[j].distance, node_distance(index, q, hits[j].id, squared_norm(q)));
      if (j > 0) {
        ASSERT_LE(hits[j - 1].distance, hits[j].distance);
      }
    }
    const auto truth = testing::exact_neighbors(index, q, 10);
    for (uint32_t id : ids_of(hits)) found += std::count(truth.begin(), truth.end(), id);
  }
  EXPECT_GE(static_cast<double>(found) / 1000.0, 0.9);
}

TEST_P(SearchModeTest, FilteredSearchWithAnAcceptAllTestEqualsSearch) {
  const auto [metric, raw] = GetParam();
  const std::vector<float> data = random_vectors(500, 8, 4);
  HnswIndex index = testing::build(config_for(metric, raw, 6), data, 8);
  for (uint32_t n = 0; n < index.node_count; n += 3) mark_deleted(index, n);
  const auto all = [](uint32_t) { return true; };
  const auto even = [](uint32_t id) { return id % 2 == 0; };
  for (size_t i = 0; i < 20; ++i) {
    const auto q = row(data, 8, i * 13);
    EXPECT_EQ(filtered_search(index, q, 10, all), search(index, q, 10));
    for (const SearchHit& hit : filtered_search(index, q, 10, even)) {
      EXPECT_EQ(hit.id % 2, 0u);
      EXPECT_EQ(index.deleted[hit.id], 0);
    }
  }
}

TEST_P(SearchModeTest, WithProductQuantizationTheReturnedDistancesAreNotTableDistances) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 8;
  const std::vector<float> data = random_vectors(400, dim, 9);
  HnswIndex index = testing::build(config_for(metric, raw, 8), data, dim);
  ASSERT_TRUE(enable_pq(index, 4).has_value());
  const std::vector<float> queries = random_vectors(30, dim, 10);
  size_t found = 0;
  for (size_t i = 0; i < 30; ++i) {
    const auto q = row(queries, dim, i);
    const auto hits = search(index, q, 10);
    ASSERT_EQ(hits.size(), 10u);
    for (size_t j = 0; j < hits.size(); ++j) {
      EXPECT_EQ(hits[j].distance, node_distance(index, q, hits[j].id, squared_norm(q)));
      if (j > 0) {
        EXPECT_LE(hits[j - 1].distance, hits[j].distance);
      }
    }
    const auto truth = testing::exact_neighbors(index, q, 10);
    for (uint32_t id : ids_of(hits)) found += std::count(truth.begin(), truth.end(), id);
  }
  // Table distances are coarse; the walk must still land close.
  EXPECT_GE(static_cast<double>(found) / 300.0, 0.6);
}

INSTANTIATE_TEST_SUITE_P(AllModes, SearchModeTest, testing::kAllModes, testing::mode_name);

}  // namespace
}  // namespace kestrine
