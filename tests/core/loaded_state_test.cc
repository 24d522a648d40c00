// Collections loaded from snapshots whose tables disagree with each other: states the loader
// accepts (it checks lengths and ids, not every relation between the tables) but no sequence of
// operations produces. Using them must neither crash nor leave a state whose next snapshot
// fails to load, which would lose the collection at the next opening. Each test is a case the
// loaded-snapshot fuzzer found; its input stays in tests/fuzz/regressions/snapshot_use.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/search.h"
#include "core/storage/snapshot.h"
#include "tests/core/random_collection.h"

namespace kestrine {
namespace {

// `data` as it comes back from its own snapshot file.
CollectionData through_file(const CollectionData& data) {
  auto file = encode_snapshot(data, nullptr);
  EXPECT_TRUE(file);
  auto parsed = parse_snapshot(*file, "test.kestrine", nullptr);
  EXPECT_TRUE(parsed) << parsed.error().message();
  return parsed ? std::move(*parsed) : CollectionData{};
}

// Whether the collection's current state saves to a snapshot that loads.
::testing::AssertionResult saves_loadable(const Collection& collection) {
  return collection.read([](const CollectionData& data) -> ::testing::AssertionResult {
    auto file = encode_snapshot(data, nullptr);
    if (!file) return ::testing::AssertionFailure() << file.error().message();
    auto parsed = parse_snapshot(*file, "again.kestrine", nullptr);
    if (!parsed) return ::testing::AssertionFailure() << parsed.error().message();
    return ::testing::AssertionSuccess();
  });
}

DocumentPtr document(std::string text) {
  return std::make_shared<const Document>(Document{new_uuid(), std::move(text), {}});
}

// Found as tests/fuzz/regressions/snapshot_use/unusable_codebook_then_insert: a codebook whose
// centroid count is not 256 cannot encode new nodes; the insert left the codes one node short,
// so the next snapshot failed validation ("pq_codes length 8 != node_count(5) *
// num_subspaces(2)").
TEST(LoadedStateTest, InsertIntoAnIndexWithAnUnusableCodebookKeepsItsSnapshotLoadable) {
  std::mt19937_64 rng(7);
  CollectionData data =
      testing::random_collection(rng, {.nodes = 4, .dimension = 4, .pq_subspaces = 2});
  data.hnsw.pq_codebook->num_centroids = 17798225727368200448u;
  Collection collection(through_file(data));

  const std::vector<float> embedding = {0.5f, -1.0f, 2.0f, 0.25f};
  ASSERT_TRUE(collection.insert_document(document("new"), embedding));
  EXPECT_TRUE(saves_loadable(collection));
  collection.read([](const CollectionData& after) {
    EXPECT_FALSE(after.hnsw.pq_codebook.has_value());
    EXPECT_TRUE(after.hnsw.pq_codes.empty());
  });
  SearchRequest request;
  request.query_embedding = embedding;
  EXPECT_LE(search_collection(collection, request).size(), 10u);
}

}  // namespace
}  // namespace kestrine
