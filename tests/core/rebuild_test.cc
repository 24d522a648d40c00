#include "core/collection/rebuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "collection_invariants.h"
#include "core/collection/search.h"
#include "core/engine/engine.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/search.h"
#include "core/quantization/pq.h"
#include "core/storage/records.h"
#include "hnsw_test_util.h"
#include "tests/core/engine_probes.h"

namespace kestrine {
namespace {

// Documents "document tok<i>" with metadata {"i": i}, their embeddings kept for the checks.
struct Corpus {
  Corpus(size_t count, size_t dim, const HnswConfig& config) : collection("c", dim, config) {
    const std::vector<float> data = testing::random_vectors(count, dim, 7);
    for (size_t i = 0; i < count; ++i) {
      const auto v = testing::row(data, dim, i);
      add({v.begin(), v.end()});
    }
  }

  // Adds document i = documents.size().
  DocumentPtr add(std::vector<float> embedding) {
    const size_t i = documents.size();
    auto document = std::make_shared<const Document>(
        Document{new_uuid(), "document tok" + std::to_string(i), {{"i", static_cast<int64_t>(i)}}});
    EXPECT_TRUE(collection.insert_document(document, embedding));
    documents.push_back(document);
    embeddings.push_back(std::move(embedding));
    return document;
  }

  void remove(size_t i) { ASSERT_TRUE(collection.delete_document(documents[i]->id)); }

  Collection collection;
  std::vector<DocumentPtr> documents;  // in insertion order, deleted ones included
  std::vector<std::vector<float>> embeddings;
};

std::vector<DocumentPtr> found_by(const Collection& c, const SearchRequest& request) {
  std::vector<DocumentPtr> out;
  for (const ScoredDocument& hit : search_collection(c, request)) out.push_back(hit.document);
  return out;
}

std::vector<DocumentPtr> vector_search(const Collection& c, std::vector<float> query, size_t k) {
  SearchRequest request;
  request.query_embedding = std::move(query);
  request.k = k;
  return found_by(c, request);
}

std::vector<DocumentPtr> keyword_search(const Collection& c, size_t i) {
  SearchRequest request;
  request.query_text = "tok" + std::to_string(i);
  return found_by(c, request);
}

// Whether `a` is a copy of `b`: same UUID, text and metadata.
bool same_document(const DocumentPtr& a, const DocumentPtr& b) {
  return a != nullptr && b != nullptr && a->id == b->id && a->text == b->text &&
         a->metadata == b->metadata;
}

bool contains(const std::vector<DocumentPtr>& hits, const DocumentPtr& d) {
  return std::ranges::any_of(hits, [&](const DocumentPtr& hit) { return same_document(hit, d); });
}

// Document i is found by get, by its own vector and by its own token, as it was inserted (with
// its UUID, text and metadata unchanged).
void expect_findable(const Corpus& c, size_t i) {
  SCOPED_TRACE("document " + std::to_string(i));
  const DocumentPtr& d = c.documents[i];
  EXPECT_TRUE(same_document(c.collection.get_document(d->id), d));
  // With the dot product other nodes can be nearer to a vector than its own node.
  const size_t nearer = c.collection.read([&](const CollectionData& data) {
    const std::vector<float>& q = c.embeddings[i];
    const float own = node_distance(data.hnsw, q, data.uuid_to_internal.at(d->id), squared_norm(q));
    size_t n = 0;
    for (uint32_t node = 0; node < data.hnsw.node_count; ++node) {
      n += data.hnsw.deleted[node] == 0 && node_distance(data.hnsw, q, node, squared_norm(q)) < own;
    }
    return n;
  });
  EXPECT_TRUE(contains(vector_search(c.collection, c.embeddings[i], nearer + 2), d));
  const std::vector<DocumentPtr> by_token = keyword_search(c.collection, i);
  EXPECT_TRUE(by_token.size() == 1 && same_document(by_token[0], d));
}

void expect_gone(const Corpus& c, size_t i) {
  SCOPED_TRACE("document " + std::to_string(i));
  const DocumentPtr& d = c.documents[i];
  EXPECT_EQ(c.collection.get_document(d->id), nullptr);
  EXPECT_FALSE(contains(vector_search(c.collection, c.embeddings[i], 50), d));
  EXPECT_TRUE(keyword_search(c.collection, i).empty());
}

class RebuildTest : public ::testing::TestWithParam<testing::MetricAndRaw> {
 protected:
  HnswConfig config() const {
    return testing::config_for(std::get<0>(GetParam()), std::get<1>(GetParam()));
  }
};

TEST_P(RebuildTest, KeepsTheLiveDocumentsAndDropsTheDeletedOnesTwiceOver) {
  Corpus c(10, 8, config());
  for (size_t i : {1, 4, 8}) c.remove(i);
  const auto stored = [&] {
    return c.collection.read([&](const CollectionData& d) {
      std::vector<std::vector<float>> out;
      for (const DocumentPtr& doc : c.documents) {
        const auto node = d.uuid_to_internal.find(doc->id);
        if (d.has_document(doc->id)) out.push_back(stored_vector(d.hnsw, node->second));
      }
      return out;
    });
  };
  const auto before = stored();
  CacheLineVector<Uuid> order;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(c.collection.rebuild().value(), 7u);
    c.collection.read([&](const CollectionData& d) {
      ASSERT_NO_FATAL_FAILURE(testing::expect_compact(d));
      EXPECT_EQ(d.hnsw.node_count, 7u);
      EXPECT_EQ(d.bm25.doc_count, 7u);
      EXPECT_FALSE(d.hnsw.pq_codebook.has_value());  // pq_subspaces 0, as create_collection sets
      // The untouched map is walked in the same order every time.
      if (round == 1) {
        EXPECT_EQ(d.internal_to_uuid, order);
      }
      order = d.internal_to_uuid;
    });
    for (size_t i = 0; i < 10; ++i) {
      if (i == 1 || i == 4 || i == 8) {
        expect_gone(c, i);
      } else {
        expect_findable(c, i);
      }
    }
  }
  // Raw vectors come back exactly; codes re-quantized from their own reconstruction barely move.
  const auto after = stored();
  for (size_t i = 0; i < after.size(); ++i) {
    for (size_t k = 0; k < 8; ++k) {
      if (std::get<1>(GetParam())) {
        ASSERT_EQ(after[i][k], before[i][k]);
      } else {
        ASSERT_NEAR(after[i][k], before[i][k], 1e-4f);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, RebuildTest, testing::kAllModes, testing::mode_name);

TEST(RebuildEdgeTest, NoDocumentsOrAllDeletedGiveEmptyIndexesWithoutCodebook) {
  const auto expect_empty = [](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_compact(d));
    EXPECT_EQ(d.hnsw.node_count, 0u);
    EXPECT_FALSE(d.hnsw.entry_point.has_value());
    EXPECT_FALSE(d.hnsw.pq_codebook.has_value());
    EXPECT_TRUE(d.bm25.postings.empty());
    EXPECT_EQ(d.bm25.total_length, 0u);
    EXPECT_TRUE(d.internal_to_uuid.empty());
  };
  for (uint64_t pq : {0, 4}) {
    HnswConfig config;
    config.pq_subspaces = pq;
    Collection empty("c", 8, config);
    EXPECT_EQ(empty.rebuild().value(), 0u);
    empty.read(expect_empty);

    Corpus all_deleted(5, 8, config);
    for (size_t i = 0; i < 5; ++i) all_deleted.remove(i);
    EXPECT_EQ(all_deleted.collection.rebuild().value(), 0u);
    all_deleted.collection.read(expect_empty);
    EXPECT_EQ(all_deleted.collection.estimate_memory(), 0u);
    // It goes on as a new collection.
    all_deleted.add(std::vector<float>(8, 0.5f));
    expect_findable(all_deleted, 5);
  }
}

TEST(RebuildPqTest, TrainsACodebookWhenTheConfigurationAsksForOne) {
  for (bool raw : {false, true}) {
    HnswConfig config = testing::config_for(DistanceMetric::kEuclidean, raw);
    config.pq_subspaces = 4;
    Corpus c(300, 8, config);
    for (size_t i = 0; i < 300; i += 10) c.remove(i);
    // Through the two halves, with an insert in between: it is encoded with the new codebook.
    auto rebuilt = build_indexes(c.collection);
    ASSERT_TRUE(rebuilt.has_value());
    c.add({1, -1, 2, -2, 3, -3, 4, -4});
    EXPECT_EQ(install_indexes(c.collection, std::move(*rebuilt)), 270u);
    c.add({-1, 1, 0, 0, 2, 2, -2, 0});  // and so is a later one
    c.collection.read([&](const CollectionData& d) {
      ASSERT_NO_FATAL_FAILURE(testing::expect_compact(d));
      ASSERT_TRUE(d.hnsw.pq_codebook.has_value());
      const PqCodebook& book = *d.hnsw.pq_codebook;
      EXPECT_EQ(book.num_subspaces, 4u);
      EXPECT_EQ(book.num_centroids, 256u);
      EXPECT_EQ(book.subspace_dim, 2u);
      EXPECT_EQ(book.centroids.size(), 256u * 8);
      ASSERT_EQ(d.hnsw.pq_codes.size(), 4u * 272);
      std::vector<uint8_t> codes(4);
      for (uint32_t n = 0; n < d.hnsw.node_count; ++n) {
        pq_encode(book, stored_vector(d.hnsw, n), codes);
        ASSERT_TRUE(std::equal(codes.begin(), codes.end(), d.hnsw.pq_codes.begin() + 4 * n));
      }
      // The walk follows the tables; the hits carry the exact (raw or 8-bit) distances, sorted.
      const std::vector<float>& q = c.embeddings[7];
      const auto hits = search(d.hnsw, q, 5);
      ASSERT_EQ(hits.size(), 5u);
      for (size_t h = 0; h < hits.size(); ++h) {
        EXPECT_EQ(hits[h].distance, node_distance(d.hnsw, q, hits[h].id, squared_norm(q)));
        EXPECT_TRUE(h == 0 || hits[h - 1].distance <= hits[h].distance);
      }
    });
    for (size_t i : {1, 37, 123, 299, 300, 301}) expect_findable(c, i);
  }
}

TEST(RebuildEdgeTest, AFailedTrainingLeavesTheCollectionAsItWas) {
  for (uint64_t pq : {3, 16}) {  // neither divides 8
    HnswConfig config;
    config.pq_subspaces = pq;
    Engine engine;
    ASSERT_TRUE(engine.create_collection("c", 8, config));
    auto c = engine.find_collection("c").value();
    const std::vector<float> data = testing::random_vectors(20, 8, 3);
    std::vector<Uuid> ids;
    for (size_t i = 0; i < 20; ++i) {
      ids.push_back(new_uuid());
      ASSERT_TRUE(c->insert_document(std::make_shared<const Document>(Document{ids[i], "t", {}}),
                                     testing::row(data, 8, i)));
    }
    for (size_t i = 0; i < 20; i += 4) ASSERT_TRUE(c->delete_document(ids[i]));
    const auto encoded = [&] {
      return c->read([](const CollectionData& d) { return encode_collection(d); });
    };
    const std::vector<uint8_t> before = encoded();
    auto result = engine.rebuild("c");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::kInternal);
    EXPECT_EQ(result.error().message(), "dimension must be divisible by num_subspaces");
    EXPECT_EQ(encoded(), before);
  }
  Engine engine;
  auto missing = engine.rebuild("missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::kNotFound);
  EXPECT_EQ(missing.error().message(), "collection 'missing' not found");
}

// ---- changes between the read and the installation --------------------------------------------
//
// build_indexes and install_indexes are the two halves of a rebuild; calling them one after the
// other with changes in between puts those changes exactly where concurrent writers would.

class RebuildCatchUpTest : public RebuildTest {
 protected:
  RebuildCatchUpTest() : c(20, 8, config()) {}

  uint64_t rebuild_around(const std::function<void()>& meanwhile) {
    auto rebuilt = build_indexes(c.collection);
    if (!rebuilt) {
      ADD_FAILURE() << rebuilt.error().message();
      return 0;
    }
    meanwhile();
    return install_indexes(c.collection, std::move(*rebuilt));
  }

  Corpus c;
};

TEST_P(RebuildCatchUpTest, DeletedDocumentsStayDeletedAndInsertedOnesAreAdded) {
  c.remove(0);
  EXPECT_EQ(rebuild_around([&] {
              c.remove(3);
              c.remove(11);
              c.add(std::vector<float>(8, 0.25f));
              c.add(std::vector<float>(8, -0.5f));
              c.remove(20);
            }),
            19u);
  c.collection.read([&](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_consistent(d));
    // 3 and 11 stay as deleted nodes until the next rebuild; 21 comes after the others.
    EXPECT_EQ(d.hnsw.node_count, 20u);
    EXPECT_EQ(std::count(d.hnsw.deleted.begin(), d.hnsw.deleted.end(), 1), 2);
    EXPECT_EQ(d.bm25.doc_count, 18u);
    EXPECT_EQ(d.uuid_to_internal.at(c.documents[21]->id), 19u);
  });
  for (size_t i : {0, 3, 11, 20}) expect_gone(c, i);
  for (size_t i : {1, 2, 4, 10, 12, 19, 21}) expect_findable(c, i);
  EXPECT_FALSE(c.collection.delete_document(c.documents[3]->id));
  ASSERT_EQ(c.collection.rebuild().value(), 18u);
  c.collection.read(testing::expect_compact);
}

TEST_P(RebuildCatchUpTest, ADocumentReplacedDuringTheBuildKeepsOnlyItsNewContent) {
  const Uuid id = c.documents[5]->id;
  const std::vector<float> moved = {3, -3, 3, -3, 3, -3, 3, -3};
  const auto replacement = std::make_shared<const Document>(Document{id, "document tok77", {}});
  EXPECT_EQ(rebuild_around([&] {
              c.remove(5);
              ASSERT_TRUE(c.collection.insert_document(replacement, moved));
            }),
            20u);
  c.collection.read([&](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_consistent(d));
    EXPECT_EQ(d.hnsw.node_count, 21u);
    EXPECT_EQ(d.uuid_to_internal.at(id), 20u);
    const std::vector<float> stored = stored_vector(d.hnsw, 20);
    for (size_t k = 0; k < 8; ++k) EXPECT_NEAR(stored[k], moved[k], 0.02f);
  });
  EXPECT_TRUE(same_document(c.collection.get_document(id), replacement));
  EXPECT_TRUE(keyword_search(c.collection, 5).empty());
  for (const auto& hits :
       {keyword_search(c.collection, 77), vector_search(c.collection, moved, 1)}) {
    EXPECT_TRUE(hits.size() == 1 && same_document(hits[0], replacement));
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, RebuildCatchUpTest, testing::kAllModes, testing::mode_name);

}  // namespace
}  // namespace kestrine
