// Insertion: level draws, neighbour selection on hand-built candidates, the first links of a
// graph, entry-point promotion, and the graph invariants after thousands of random inserts and
// deletes in every mode.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "core/collection/collection.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/insert.h"
#include "core/hnsw/search.h"
#include "core/hnsw/select_neighbors.h"
#include "hnsw_test_util.h"

namespace kestrine {
namespace {

using testing::add;
using testing::add_at_level;
using testing::config_for;
using testing::ids_of;
using testing::random_vectors;
using testing::row;

std::vector<uint32_t> links(const HnswIndex& index, uint32_t node, size_t layer) {
  auto list = index.neighbors.get(node, layer);
  return {list.begin(), list.end()};
}

uint64_t random_for(double u) { return static_cast<uint64_t>(u * 0x1p53) << 11; }

TEST(DrawLevelTest, LevelIsTheFloorOfMinusLogUOverLogM) {
  const HnswConfig config;  // m 16, 16 layers
  EXPECT_EQ(level_for(random_for(0.5), config), 0u);
  EXPECT_EQ(level_for(random_for(1.0 / 16 + 1e-9), config), 0u);
  EXPECT_EQ(level_for(random_for(1.0 / 16 - 1e-9), config), 1u);
  EXPECT_EQ(level_for(random_for(1.0 / 256 - 1e-9), config), 2u);
  // u = 0 gives +infinity, saturated and capped at max_layers - 1.
  EXPECT_EQ(level_for(0, config), 15u);
  EXPECT_EQ(level_for(UINT64_MAX, config), 0u);
  HnswConfig two = config;
  two.max_layers = 2;
  EXPECT_EQ(level_for(random_for(1e-12), two), 1u);
  two.max_layers = 0;
  EXPECT_EQ(level_for(0, two), 0u);
  // m = 1: ln(m) = 0, so every level saturates and is capped.
  HnswConfig one = config;
  one.m = 1;
  EXPECT_EQ(level_for(UINT64_MAX, one), 15u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(draw_level(one), 15u);
}

TEST(DrawLevelTest, DrawsFollowTheGeometricDistribution) {
  const HnswConfig config;
  std::map<uint64_t, int> counts;
  const int draws = 200000;
  for (int i = 0; i < draws; ++i) ++counts[draw_level(config)];
  // P(level >= 1) = 1/16, P(level >= 2) = 1/256.
  int above0 = draws - counts[0];
  int above1 = above0 - counts[1];
  EXPECT_NEAR(above0 / static_cast<double>(draws), 1.0 / 16, 0.003);
  EXPECT_NEAR(above1 / static_cast<double>(draws), 1.0 / 256, 0.0008);
  // Different threads draw different sequences (each seeds its own generator).
  std::vector<uint64_t> mine(64), theirs(64);
  HnswConfig m2;
  m2.m = 2;
  for (auto& x : mine) x = draw_level(m2);
  std::thread([&] {
    for (auto& x : theirs) x = draw_level(m2);
  }).join();
  EXPECT_NE(mine, theirs);
}

// Two-dimensional euclidean points with raw vectors, inserted at level 0.
HnswIndex plane(const std::vector<std::pair<float, float>>& points, bool raw = true) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kEuclidean, raw), 2);
  for (auto [x, y] : points) {
    const float v[2] = {x, y};
    add_at_level(index, v, 0);
  }
  return index;
}

TEST(SelectNeighborsTest, HeuristicKeepsDiverseNeighboursThenFillsUp) {
  // Base at the origin. Node 0 at (1, 0); node 1 at (1.2, 0.1) lies behind node 0; node 2 at
  // (0, 1.5) points elsewhere; node 3 at (-2, 0) too.
  const HnswIndex index = plane({{1, 0}, {1.2f, 0.1f}, {0, 1.5f}, {-2, 0}});
  const std::vector<SearchHit> candidates = {{4.0f, 3}, {1.45f, 1}, {1.0f, 0}, {2.25f, 2}};
  // Node 1 is closer to node 0 (0.05) than to the base (1.45): rejected.
  EXPECT_EQ(ids_of(select_neighbors(index, candidates, 3)), (std::vector<uint32_t>{0, 2, 3}));
  // With room left over, the rejected candidate fills up after the heuristic's picks.
  EXPECT_EQ(ids_of(select_neighbors(index, candidates, 4)), (std::vector<uint32_t>{0, 2, 3, 1}));
  EXPECT_EQ(ids_of(select_neighbors(index, candidates, 10)), (std::vector<uint32_t>{0, 2, 3, 1}));
  EXPECT_EQ(ids_of(select_neighbors(index, candidates, 1)), (std::vector<uint32_t>{0}));
  EXPECT_TRUE(select_neighbors(index, candidates, 0).empty());
  EXPECT_TRUE(select_neighbors(index, {}, 5).empty());
}

TEST(SelectNeighborsTest, UpToTwentyEqualDistancesKeepTheirInputOrder) {
  const std::vector<uint32_t> order = {7, 3, 19, 0, 11, 5, 1,  14, 2,  18,
                                       9, 4, 13, 6, 16, 8, 10, 12, 15, 17};
  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    // The unit vectors of 20 dimensions: each is at distance 1 from the origin and 2 from the
    // others, so the heuristic keeps them all, in input order.
    HnswIndex spread = make_hnsw_index(config_for(DistanceMetric::kEuclidean, raw), 20);
    // Twenty copies of one vector: each is at distance 0 from the others, so the heuristic
    // keeps only the first and the fill-up adds the rest, in input order.
    HnswIndex same = make_hnsw_index(config_for(DistanceMetric::kEuclidean, raw), 20);
    for (size_t i = 0; i < 20; ++i) {
      std::vector<float> unit(20, 0.0f);
      unit[i] = 1.0f;
      add_at_level(spread, unit, 0);
      std::vector<float> first(20, 0.0f);
      first[0] = 1.0f;
      add_at_level(same, first, 0);
    }
    std::vector<SearchHit> candidates;
    for (uint32_t id : order) candidates.push_back({1.0f, id});
    EXPECT_EQ(ids_of(select_neighbors(spread, candidates, 20)), order);
    EXPECT_EQ(ids_of(select_neighbors(same, candidates, 20)), order);
    EXPECT_EQ(ids_of(select_neighbors(same, candidates, 5)),
              std::vector<uint32_t>(order.begin(), order.begin() + 5));
  }
}

TEST(SelectNeighborsTest, SortsUnderTheTotalOrderOfFloats) {
  const HnswIndex index = plane({{0, 0}, {5, 5}, {-5, 5}, {5, -5}});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // -0 before +0, NaN last; the NaN candidate is rejected by the heuristic, then fills up.
  const std::vector<SearchHit> candidates = {{nan, 3}, {0.0f, 1}, {-0.0f, 2}};
  EXPECT_EQ(ids_of(select_neighbors(index, candidates, 3)), (std::vector<uint32_t>{2, 1, 3}));
}

TEST(InsertTest, SecondNodeLinksBothWaysOnEverySharedLayer) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kCosine, false), 2);
  const float a[2] = {1, 0};
  const float b[2] = {1, 1};
  add_at_level(index, a, 2);
  add_at_level(index, b, 1);
  EXPECT_EQ(links(index, 1, 0), std::vector<uint32_t>{0});
  EXPECT_EQ(links(index, 1, 1), std::vector<uint32_t>{0});
  EXPECT_EQ(links(index, 0, 0), std::vector<uint32_t>{1});
  EXPECT_EQ(links(index, 0, 1), std::vector<uint32_t>{1});
  EXPECT_TRUE(links(index, 0, 2).empty());
  EXPECT_EQ(index.entry_point, 0u);
  testing::expect_well_formed(index);
}

TEST(InsertTest, OnlyAStrictlyHigherLevelTakesOverTheEntryPoint) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kEuclidean, true), 1);
  const float v[4][1] = {{0}, {1}, {2}, {3}};
  add_at_level(index, v[0], 1);
  add_at_level(index, v[1], 1);
  EXPECT_EQ(index.entry_point, 0u);
  EXPECT_EQ(index.max_level, 1u);
  add_at_level(index, v[2], 3);
  EXPECT_EQ(index.entry_point, 2u);
  EXPECT_EQ(index.max_level, 3u);
  add_at_level(index, v[3], 0);
  EXPECT_EQ(index.entry_point, 2u);
  testing::expect_well_formed(index);
}

TEST(InsertTest, WithFewLiveNodesTheNewNodeLinksToAllOfThem) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kEuclidean, false), 3);
  const std::vector<float> data = random_vectors(12, 3, 4);
  for (size_t i = 0; i < 10; ++i) add_at_level(index, row(data, 3, i), 0);
  mark_deleted(index, 2);
  mark_deleted(index, 5);
  add_at_level(index, row(data, 3, 10), 0);
  auto got = links(index, 10, 0);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<uint32_t>{0, 1, 3, 4, 6, 7, 8, 9}));
}

// With no live node reachable, a new node becomes the entry point on the top layer: linked
// only to deleted nodes (links that pruning may drop), no search could be sure to reach it.
TEST(InsertTest, IntoAnIndexOfDeletedNodesTheNewNodeBecomesTheEntryPoint) {
  for (const uint64_t new_level : {0, 2}) {
    HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kDotProduct, true), 3);
    const std::vector<float> data = random_vectors(7, 3, 5);
    add_at_level(index, row(data, 3, 0), 1);
    for (size_t i = 1; i < 5; ++i) add_at_level(index, row(data, 3, i), 0);
    for (uint32_t n = 0; n < 5; ++n) mark_deleted(index, n);
    add_at_level(index, row(data, 3, 5), new_level);
    EXPECT_EQ(index.node_count, 6u);
    EXPECT_EQ(index.entry_point, 5u);
    EXPECT_EQ(index.max_level, std::max<uint64_t>(new_level, 1));
    EXPECT_EQ(index.layers[5], index.max_level);
    for (size_t layer = 0; layer <= index.max_level; ++layer) {
      EXPECT_TRUE(links(index, 5, layer).empty());
    }
    add_at_level(index, row(data, 3, 6), 0);
    EXPECT_EQ(links(index, 6, 0), std::vector<uint32_t>{5});
    auto found = ids_of(search(index, row(data, 3, 0), 3));
    std::ranges::sort(found);
    EXPECT_EQ(found, (std::vector<uint32_t>{5, 6}));
    testing::expect_well_formed(index);
  }
}

TEST(InsertTest, WrongIdOrLengthIsRefusedAndChangesNothing) {
  HnswIndex index = make_hnsw_index(config_for(DistanceMetric::kCosine, false), 3);
  const float v[3] = {1, 2, 3};
  add(index, v);
  const HnswIndex before = index;
  const float short_v[2] = {1, 2};
  auto status = insert(index, 1, short_v, quantize(short_v));
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "embedding dimension mismatch: expected 3, got 2");
  EXPECT_FALSE(insert(index, 1, v, quantize(short_v)).has_value());
  EXPECT_FALSE(insert(index, 5, v, quantize(v)).has_value());
  EXPECT_EQ(index.node_count, before.node_count);
  EXPECT_EQ(index.vector_data, before.vector_data);
  EXPECT_EQ(index.neighbors, before.neighbors);
}

// Lists that hold more than their budget (a loaded snapshot may) are pruned to the budget the
// next time a link is added to them.
TEST(InsertTest, OverlongListsArePrunedOnTheNextBackLink) {
  HnswConfig config = config_for(DistanceMetric::kEuclidean, true, 2);  // budgets 4 and 2
  const std::vector<float> data = random_vectors(30, 2, 6);
  HnswIndex index = make_hnsw_index(config, 2);
  for (size_t i = 0; i < 29; ++i) add_at_level(index, row(data, 2, i), 0);
  std::vector<uint32_t> all(29);
  for (uint32_t i = 0; i < 29; ++i) all[i] = i;
  for (uint32_t node = 0; node < 29; ++node) {
    std::vector<uint32_t> others;
    for (uint32_t id : all) {
      if (id != node) others.push_back(id);
    }
    index.neighbors.assign(node, 0, others);
  }
  add_at_level(index, row(data, 2, 29), 0);
  for (uint32_t node : links(index, 29, 0)) EXPECT_LE(links(index, node, 0).size(), 4u);
}

// The collection hands every embedding to the index under the next internal id and marks the
// node of a deleted document; a wrong length never reaches the index.
TEST(InsertTest, CollectionLinksDocumentsAndMarksDeletedOnes) {
  Collection collection("c", 3, config_for(DistanceMetric::kEuclidean, false));
  const std::vector<float> data = random_vectors(20, 3, 12);
  std::vector<Uuid> ids;
  for (size_t i = 0; i < 20; ++i) {
    auto doc = std::make_shared<const Document>(Document{new_uuid(), "t", {}});
    ids.push_back(doc->id);
    ASSERT_TRUE(collection.insert_document(doc, row(data, 3, i)));
  }
  const float wrong[2] = {1, 2};
  EXPECT_FALSE(collection.insert_document(
      std::make_shared<const Document>(Document{new_uuid(), "t", {}}), wrong));
  ASSERT_TRUE(collection.delete_document(ids[4]));
  collection.read([&](const CollectionData& state) {
    ASSERT_EQ(state.hnsw.node_count, 20u);
    ASSERT_NO_FATAL_FAILURE(testing::expect_well_formed(state.hnsw));
    EXPECT_EQ(state.hnsw.deleted[4], 1);
    EXPECT_EQ(std::count(state.hnsw.deleted.begin(), state.hnsw.deleted.end(), 1), 1);
    const auto hits = search(state.hnsw, row(data, 3, 7), 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 7u);
    for (const SearchHit& hit : search(state.hnsw, row(data, 3, 4), 20)) EXPECT_NE(hit.id, 4u);
  });
}

class InsertModeTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

// Thousands of random inserts (some of them duplicate vectors) and deletes, with small budgets
// so that lists overflow and get pruned all the time; the invariants hold throughout and
// searches never return deleted nodes.
TEST_P(InsertModeTest, InvariantsHoldAfterRandomInsertsAndDeletes) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 8;
  HnswConfig config = config_for(metric, raw, 3);
  config.ef_construction = 24;
  config.ef_search = 16;
  HnswIndex index = make_hnsw_index(config, dim);
  const std::vector<float> data = random_vectors(3000, dim, 17);
  std::mt19937 rng(99);
  for (size_t i = 0; i < 3000; ++i) {
    const size_t source = rng() % 10 == 0 ? rng() % (i + 1) : i;  // some repeated vectors
    add(index, row(data, dim, source));
    if (rng() % 4 == 0) mark_deleted(index, static_cast<uint32_t>(rng() % index.node_count));
    if (i % 500 == 499) {
      ASSERT_NO_FATAL_FAILURE(testing::expect_well_formed(index));
    }
  }
  ASSERT_NO_FATAL_FAILURE(testing::expect_well_formed(index));
  for (size_t i = 0; i < 50; ++i) {
    for (const SearchHit& hit : search(index, row(data, dim, i * 7), 10)) {
      EXPECT_EQ(index.deleted[hit.id], 0);
    }
  }
}

TEST_P(InsertModeTest, DefaultBudgetsAreNeverExceeded) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 4;
  HnswConfig config = config_for(metric, raw);  // m 16: 32 on layer 0, 16 above
  config.ef_construction = 64;
  // Few distinct directions make dense neighbourhoods where every list overflows.
  const std::vector<float> data = random_vectors(1500, dim, 23);
  const HnswIndex index = testing::build(config, data, dim);
  ASSERT_NO_FATAL_FAILURE(testing::expect_well_formed(index));
  size_t full = 0;
  for (uint32_t node = 0; node < index.node_count; ++node) {
    full += index.neighbors.get(node, 0).size() == 32;
  }
  EXPECT_GT(full, 100u);  // the budget is reached, not just respected
}

// A list cut back from the picks kept beside it is the list a selection over all its candidates
// gives: two builds with the same levels, one of which forgets the kept picks before every
// insertion, end with the same graph. Duplicate vectors give equal distances, which must fall
// back to the full selection. A build of other vectors taking turns with the first on its thread
// (its nodes have the same numbers) must leave nothing behind that that build reads: the second
// build runs alone on a fresh thread.
TEST_P(InsertModeTest, KeptPicksGiveTheGraphOfFullSelections) {
  const auto [metric, raw] = GetParam();
  for (const uint64_t m : {3, 8}) {
    const size_t dim = 6;
    HnswConfig config = config_for(metric, raw, m);
    config.ef_construction = 32;
    HnswIndex kept = make_hnsw_index(config, dim);
    HnswIndex forgetful = make_hnsw_index(config, dim);
    HnswIndex other = make_hnsw_index(config, dim);
    const std::vector<float> data = random_vectors(1200, dim, 31);
    const std::vector<float> other_data = random_vectors(1200, dim, 37);
    std::mt19937 rng(5);
    std::vector<std::pair<size_t, uint64_t>> steps;  // source row and level of each node
    for (size_t i = 0; i < 1200; ++i) {
      const size_t source = rng() % 8 == 0 ? rng() % (i + 1) : i;
      steps.emplace_back(source, level_for(rng() | (uint64_t{rng()} << 32), config));
    }
    for (size_t i = 0; i < steps.size(); ++i) {
      add_at_level(other, row(other_data, dim, i), steps[i].second);
      add_at_level(kept, row(data, dim, steps[i].first), steps[i].second);
    }
    // On a thread of its own, which has built nothing before.
    std::thread([&] {
      for (const auto& [source, level] : steps) {
        forgetful.neighbors.forget_layer0_picks();
        add_at_level(forgetful, row(data, dim, source), level);
      }
    }).join();
    EXPECT_TRUE(kept.neighbors == forgetful.neighbors) << "m " << m;
    size_t known = 0;
    for (uint32_t node = 0; node < kept.node_count; ++node) {
      known += kept.neighbors.layer0_picks(node) != NeighborLists::kUnknownPicks;
    }
    EXPECT_GT(known, kept.node_count / 10) << "m " << m;  // the kept picks were used
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, InsertModeTest, testing::kAllModes, testing::mode_name);

}  // namespace
}  // namespace kestrine
