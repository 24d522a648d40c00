#include "core/collection/collection.h"

#include <gtest/gtest.h>

#include "core/collection/collection_map.h"
#include "core/engine/engine.h"
#include "tests/core/engine_probes.h"

namespace kestrine {
namespace {

std::shared_ptr<Document> make_doc(std::string text, Metadata metadata = {}) {
  return std::make_shared<Document>(Document{new_uuid(), std::move(text), std::move(metadata)});
}

TEST(CollectionTest, InternalIdsGrowInInsertionOrderAndNeverShrink) {
  Collection c("c", 2, HnswConfig{});
  std::vector<Uuid> ids;
  const float v[2] = {1.0f, 2.0f};
  for (int i = 0; i < 10; ++i) {
    auto d = make_doc("text");
    ids.push_back(d->id);
    ASSERT_TRUE(c.insert_document(d, v));
    if (i % 3 == 0) {
      ASSERT_TRUE(c.delete_document(d->id));
    }
  }
  c.read([&](const CollectionData& s) {
    ASSERT_EQ(s.internal_to_uuid.size(), 10u);
    EXPECT_EQ(s.uuid_to_internal.at(ids[9]), 9u);
    EXPECT_EQ(s.internal_to_uuid[9], ids[9]);
  });
  EXPECT_EQ(document_count(c), 6u);
}

TEST(CollectionTest, DeletingTwiceReturnsTrueThenFalse) {
  Collection c("c", 1, HnswConfig{});
  auto d = make_doc("x");
  const float v[1] = {0.5f};
  ASSERT_TRUE(c.insert_document(d, v));
  EXPECT_TRUE(c.delete_document(d->id));
  EXPECT_FALSE(c.delete_document(d->id));
  EXPECT_EQ(c.get_document(d->id), nullptr);
}

TEST(CollectionTest, ALiveIdIsNotInsertedTwiceButADeletedOneGetsANewInternalId) {
  Collection c("c", 1, HnswConfig{});
  auto d = make_doc("x");
  const float v[1] = {0.5f};
  ASSERT_TRUE(c.insert_document(d, v));
  EXPECT_FALSE(c.insert_document(d, v));
  EXPECT_FALSE(c.check_insert(d->id, "X", 1, "").has_value());
  ASSERT_TRUE(c.delete_document(d->id));
  ASSERT_TRUE(c.check_insert(d->id, "X", 1, "").has_value());
  ASSERT_TRUE(c.insert_document(d, v));
  c.read([&](const CollectionData& s) {
    EXPECT_EQ(s.uuid_to_internal.at(d->id), 1u);
    EXPECT_EQ(s.uuid_to_internal.size(), 1u);
    EXPECT_EQ(s.internal_to_uuid.size(), 2u);
  });
}

TEST(CollectionTest, MemoryEstimateOfEmptyCollectionIsZero) {
  Collection c("c", 8, HnswConfig{});
  EXPECT_EQ(c.estimate_memory(), 0u);
}

TEST(EngineTest, RejectsBadCollectionNamesAndDuplicates) {
  Engine engine;
  for (std::string bad : {std::string(""), std::string("a/b"), std::string("a\0b", 3)}) {
    auto r = engine.create_collection(bad, 4, HnswConfig{});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "invalid collection name: '" + bad + "'");
  }
  ASSERT_TRUE(engine.create_collection("a", 4, HnswConfig{}));
  auto again = engine.create_collection("a", 4, HnswConfig{});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "Collection 'a' already exists");
  EXPECT_EQ(engine.list_collections(), std::vector<std::string>{"a"});
}

TEST(EngineTest, BatchInsertIsAllOrNothing) {
  Engine engine;
  ASSERT_TRUE(engine.create_collection("c", 2, HnswConfig{}));
  auto c = *engine.find_collection("c");
  auto d1 = make_doc("one");
  std::vector<NewDocument> batch;
  batch.push_back({d1, {1, 2}, "first"});
  batch.push_back({make_doc("two"), {1, 2, 3}, "second"});
  auto r = engine.batch_insert("c", std::move(batch));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "embedding dimension mismatch: expected 2, got 3");
  EXPECT_EQ(document_count(*c), 0u);

  std::vector<NewDocument> dup;
  dup.push_back({d1, {1, 2}, "first"});
  dup.push_back({d1, {1, 2}, "FIRST"});
  r = engine.batch_insert("c", std::move(dup));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "duplicate document id 'FIRST' in batch");
  EXPECT_EQ(document_count(*c), 0u);
}

}  // namespace
}  // namespace kestrine
