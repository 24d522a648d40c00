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
#include "core/hnsw/index.h"
#include "core/hnsw/search.h"
#include "core/quantization/pq.h"
#include "core/storage/records.h"
#include "hnsw_test_util.h"

namespace kestrine {
namespace {

// A collection of documents "document tok<i>" with metadata {"i": i}, whose embeddings are
// kept for the checks.
struct Corpus {
  Corpus(size_t count, size_t dim, const HnswConfig& config)
      : dim(dim), collection("c", dim, config) {
    const std::vector<float> data = testing::random_vectors(count, dim, 7);
    for (size_t i = 0; i < count; ++i) {
      const auto v = testing::row(data, dim, i);
      add({v.begin(), v.end()});
    }
  }

  // Adds document i = documents.size(), text "document tok<i>".
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

  size_t dim;
  Collection collection;
  std::vector<DocumentPtr> documents;  // in insertion order, deleted ones included
  std::vector<std::vector<float>> embeddings;
};

std::vector<DocumentPtr> vector_search(const Collection& c, std::vector<float> query, size_t k) {
  SearchRequest request;
  request.query_embedding = std::move(query);
  request.k = k;
  std::vector<DocumentPtr> out;
  for (const ScoredDocument& hit : search_collection(c, request)) out.push_back(hit.document);
  return out;
}

std::vector<DocumentPtr> keyword_search(const Collection& c, std::string query, size_t k) {
  SearchRequest request;
  request.query_text = std::move(query);
  request.k = k;
  std::vector<DocumentPtr> out;
  for (const ScoredDocument& hit : search_collection(c, request)) out.push_back(hit.document);
  return out;
}

bool contains(const std::vector<DocumentPtr>& hits, const DocumentPtr& d) {
  return std::find(hits.begin(), hits.end(), d) != hits.end();
}

// How many live nodes are strictly nearer to the document's own vector than its node is, by
// the distance searches report. With the dot product that need not be none.
size_t nearer_than_itself(const Corpus& c, size_t i) {
  return c.collection.read([&](const CollectionData& d) {
    const std::vector<float>& q = c.embeddings[i];
    const float norm = squared_norm(q);
    const float own = node_distance(d.hnsw, q, d.uuid_to_internal.at(c.documents[i]->id), norm);
    size_t nearer = 0;
    for (uint32_t n = 0; n < d.hnsw.node_count; ++n) {
      nearer += d.hnsw.deleted[n] == 0 && node_distance(d.hnsw, q, n, norm) < own;
    }
    return nearer;
  });
}

// The document is live and found by get, by its own vector and by its own token, as the very
// object inserted (so with its UUID, text and metadata unchanged).
void expect_findable(const Corpus& c, size_t i) {
  const DocumentPtr& d = c.documents[i];
  EXPECT_EQ(c.collection.get_document(d->id), d) << "document " << i;
  const size_t k = nearer_than_itself(c, i) + 2;
  EXPECT_TRUE(contains(vector_search(c.collection, c.embeddings[i], k), d)) << "document " << i;
  const auto keyword = keyword_search(c.collection, "tok" + std::to_string(i), 10);
  ASSERT_EQ(keyword.size(), 1u) << "document " << i;
  EXPECT_EQ(keyword[0], d);
}

void expect_gone(const Corpus& c, size_t i) {
  const DocumentPtr& d = c.documents[i];
  EXPECT_EQ(c.collection.get_document(d->id), nullptr) << "document " << i;
  EXPECT_FALSE(contains(vector_search(c.collection, c.embeddings[i], 50), d)) << "document " << i;
  EXPECT_TRUE(keyword_search(c.collection, "tok" + std::to_string(i), 10).empty());
}

class RebuildTest : public ::testing::TestWithParam<testing::MetricAndRaw> {
 protected:
  HnswConfig config() const {
    return testing::config_for(std::get<0>(GetParam()), std::get<1>(GetParam()));
  }
};

TEST_P(RebuildTest, DropsDeletedDocumentsAndKeepsTheOthersFindable) {
  Corpus c(10, 8, config());
  for (size_t i : {1, 4, 8}) c.remove(i);
  auto count = c.collection.rebuild();
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 7u);
  c.collection.read([](const CollectionData& data) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_compact(data));
    EXPECT_EQ(data.hnsw.node_count, 7u);
    EXPECT_EQ(data.bm25.doc_count, 7u);
    EXPECT_FALSE(data.hnsw.pq_codebook.has_value());
  });
  EXPECT_EQ(c.collection.document_count(), 7u);
  for (size_t i = 0; i < 10; ++i) {
    if (i == 1 || i == 4 || i == 8) {
      expect_gone(c, i);
    } else {
      expect_findable(c, i);
    }
  }
}

TEST_P(RebuildTest, RebuildingTwiceKeepsTheSameDocumentsInTheSameOrder) {
  Corpus c(40, 8, config());
  for (size_t i = 0; i < 40; i += 3) c.remove(i);
  ASSERT_EQ(c.collection.rebuild().value(), 26u);
  const auto first = c.collection.read([](const CollectionData& d) { return d.internal_to_uuid; });
  ASSERT_EQ(c.collection.rebuild().value(), 26u);
  c.collection.read([&](const CollectionData& data) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_compact(data));
    // The map was not touched, so it is walked in the same order again.
    EXPECT_EQ(data.internal_to_uuid, first);
  });
  for (size_t i = 0; i < 40; ++i) {
    if (i % 3 == 0) {
      expect_gone(c, i);
    } else {
      expect_findable(c, i);
    }
  }
}

TEST_P(RebuildTest, StoredVectorsMoveAtMostOneQuantizationStep) {
  Corpus c(30, 16, config());
  const auto before = c.collection.read([](const CollectionData& d) {
    std::vector<std::pair<std::vector<float>, float>> out;  // vector and step, by insertion
    for (uint32_t n = 0; n < d.hnsw.node_count; ++n) {
      out.emplace_back(stored_vector(d.hnsw, n), d.hnsw.vector_scale[n]);
    }
    return out;
  });
  ASSERT_TRUE(c.collection.rebuild().has_value());
  c.collection.read([&](const CollectionData& d) {
    for (size_t i = 0; i < c.documents.size(); ++i) {
      const std::vector<float> after =
          stored_vector(d.hnsw, d.uuid_to_internal.at(c.documents[i]->id));
      for (size_t k = 0; k < c.dim; ++k) {
        if (d.hnsw.config.store_raw_vectors) {
          ASSERT_EQ(after[k], c.embeddings[i][k]);
        } else {
          ASSERT_LE(std::fabs(after[k] - before[i].first[k]), before[i].second * 1.0001f)
              << "document " << i << " component " << k;
        }
      }
    }
  });
}

INSTANTIATE_TEST_SUITE_P(AllModes, RebuildTest, testing::kAllModes, testing::mode_name);

// An empty result, whatever the configuration asks for: no node, no codebook.
void expect_empty(const CollectionData& data) {
  ASSERT_NO_FATAL_FAILURE(testing::expect_compact(data));
  EXPECT_EQ(data.hnsw.node_count, 0u);
  EXPECT_FALSE(data.hnsw.entry_point.has_value());
  EXPECT_FALSE(data.hnsw.pq_codebook.has_value());
  EXPECT_TRUE(data.hnsw.pq_codes.empty());
  EXPECT_TRUE(data.bm25.postings.empty());
  EXPECT_EQ(data.bm25.doc_count, 0u);
  EXPECT_EQ(data.bm25.total_length, 0u);
  EXPECT_TRUE(data.internal_to_uuid.empty());
  EXPECT_TRUE(data.uuid_to_internal.empty());
}

TEST(RebuildEmptyTest, NoDocumentsOrAllDeletedGiveEmptyIndexes) {
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
    // The emptied collection works as a new one.
    all_deleted.add(std::vector<float>(8, 0.5f));
    all_deleted.collection.read([](const CollectionData& d) {
      EXPECT_EQ(d.uuid_to_internal.begin()->second, 0u);
      EXPECT_EQ(d.hnsw.entry_point, 0u);
    });
  }
}

// ---- product quantization -------------------------------------------------------------------

TEST(RebuildPqTest, TrainsACodebookWhenTheConfigurationAsksForOne) {
  for (bool raw : {false, true}) {
    HnswConfig config = testing::config_for(DistanceMetric::kEuclidean, raw);
    config.pq_subspaces = 4;
    Corpus c(300, 8, config);
    for (size_t i = 0; i < 300; i += 10) c.remove(i);
    ASSERT_EQ(c.collection.rebuild().value(), 270u);
    c.collection.read([&](const CollectionData& d) {
      ASSERT_NO_FATAL_FAILURE(testing::expect_compact(d));
      ASSERT_TRUE(d.hnsw.pq_codebook.has_value());
      const PqCodebook& book = *d.hnsw.pq_codebook;
      EXPECT_EQ(book.num_subspaces, 4u);
      EXPECT_EQ(book.num_centroids, 256u);
      EXPECT_EQ(book.subspace_dim, 2u);
      EXPECT_EQ(book.centroids.size(), 256u * 8);
      ASSERT_EQ(d.hnsw.pq_codes.size(), 4u * 270);
      // Every node's codes are its stored vector's.
      std::vector<uint8_t> codes(4);
      for (uint32_t n = 0; n < d.hnsw.node_count; ++n) {
        pq_encode(book, stored_vector(d.hnsw, n), codes);
        ASSERT_TRUE(std::equal(codes.begin(), codes.end(), d.hnsw.pq_codes.begin() + 4 * n));
      }
      // The walk uses the table; the hits carry the exact (raw or 8-bit) distances, in order.
      for (size_t q = 1; q < 300; q += 37) {
        const auto hits = search(d.hnsw, c.embeddings[q], 5);
        ASSERT_EQ(hits.size(), 5u);
        const float norm = squared_norm(c.embeddings[q]);
        for (size_t h = 0; h < hits.size(); ++h) {
          EXPECT_EQ(hits[h].distance, node_distance(d.hnsw, c.embeddings[q], hits[h].id, norm));
          if (h > 0) {
            EXPECT_LE(hits[h - 1].distance, hits[h].distance);
          }
        }
      }
    });
    for (size_t i : {1, 37, 123, 256, 299}) expect_findable(c, i);

    // A later insert is encoded with the codebook.
    const std::vector<float> v = {1, -1, 2, -2, 3, -3, 4, -4};
    c.add(v);  // document 300
    c.collection.read([&](const CollectionData& d) {
      ASSERT_EQ(d.hnsw.pq_codes.size(), 4u * 271);
      std::vector<uint8_t> codes(4);
      pq_encode(*d.hnsw.pq_codebook, stored_vector(d.hnsw, 270), codes);
      EXPECT_TRUE(std::equal(codes.begin(), codes.end(), d.hnsw.pq_codes.end() - 4));
    });
    expect_findable(c, 300);
  }
}

TEST(RebuildPqTest, ACollectionCreatedWithoutSubspacesNeverGetsACodebook) {
  Engine engine;
  ASSERT_TRUE(engine.create_collection("c", 8, HnswConfig{}));
  auto c = engine.find_collection("c").value();
  const std::vector<float> data = testing::random_vectors(300, 8, 3);
  for (size_t i = 0; i < 300; ++i) {
    auto d = std::make_shared<const Document>(Document{new_uuid(), "t", {}});
    ASSERT_TRUE(c->insert_document(d, testing::row(data, 8, i)));
  }
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(engine.rebuild("c").value(), 300u);
    c->read([](const CollectionData& d) {
      EXPECT_EQ(d.hnsw.config.pq_subspaces, 0u);
      EXPECT_FALSE(d.hnsw.pq_codebook.has_value());
      EXPECT_TRUE(d.hnsw.pq_codes.empty());
    });
  }
}

TEST(RebuildPqTest, AFailedTrainingLeavesTheCollectionAsItWas) {
  // Neither 3 nor 16 divides 8.
  for (uint64_t pq : {3, 16}) {
    HnswConfig config;
    config.pq_subspaces = pq;
    Corpus c(20, 8, config);
    for (size_t i = 0; i < 20; i += 4) c.remove(i);
    const auto encoded = [&] {
      return c.collection.read([](const CollectionData& d) { return encode_collection(d); });
    };
    const std::vector<uint8_t> before = encoded();
    const uint64_t memory = c.collection.estimate_memory();
    auto result = c.collection.rebuild();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::kInternal);
    EXPECT_EQ(result.error().message(), "dimension must be divisible by num_subspaces");
    EXPECT_EQ(encoded(), before);
    EXPECT_EQ(c.collection.estimate_memory(), memory);
    // Through the engine too, with the same error.
    Engine engine;
    ASSERT_TRUE(engine.create_collection("p", 8, config));
    auto p = engine.find_collection("p").value();
    ASSERT_TRUE(p->insert_document(c.documents[1], c.embeddings[1]));
    auto through_engine = engine.rebuild("p");
    ASSERT_FALSE(through_engine.has_value());
    EXPECT_EQ(through_engine.error().kind(), ErrorKind::kInternal);
    EXPECT_EQ(through_engine.error().message(), "dimension must be divisible by num_subspaces");
  }
}

TEST(RebuildEngineTest, UnknownCollectionIsNotFound) {
  Engine engine;
  auto result = engine.rebuild("missing");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::kNotFound);
  EXPECT_EQ(result.error().message(), "collection 'missing' not found");
}

// ---- changes between the read and the installation --------------------------------------------
//
// build_indexes and install_indexes are the two halves of a rebuild; calling them one after the
// other with changes in between puts those changes exactly where concurrent writers would.

class RebuildCatchUpTest : public ::testing::TestWithParam<testing::MetricAndRaw> {
 protected:
  RebuildCatchUpTest()
      : c(20, 8, testing::config_for(std::get<0>(GetParam()), std::get<1>(GetParam()))) {}

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

TEST_P(RebuildCatchUpTest, ADocumentDeletedDuringTheBuildStaysDeleted) {
  c.remove(0);
  EXPECT_EQ(rebuild_around([&] {
              c.remove(3);
              c.remove(11);
            }),
            19u);
  c.collection.read([](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_consistent(d));
    EXPECT_EQ(d.hnsw.node_count, 19u);  // the two stay as deleted nodes until the next rebuild
    EXPECT_EQ(std::count(d.hnsw.deleted.begin(), d.hnsw.deleted.end(), 1), 2);
    EXPECT_EQ(d.bm25.doc_count, 17u);
  });
  for (size_t i : {0, 3, 11}) expect_gone(c, i);
  for (size_t i : {1, 2, 4, 10, 12, 19}) expect_findable(c, i);
  // A deleted document cannot be deleted a second time.
  EXPECT_FALSE(c.collection.delete_document(c.documents[3]->id));
  ASSERT_EQ(c.collection.rebuild().value(), 17u);
  c.collection.read(testing::expect_compact);
}

TEST_P(RebuildCatchUpTest, ADocumentInsertedDuringTheBuildIsAddedAfterTheOthers) {
  EXPECT_EQ(rebuild_around([&] {
              c.add(std::vector<float>(8, 0.25f));
              c.add(std::vector<float>(8, -0.5f));
              c.remove(20);
            }),
            20u);
  c.collection.read([&](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_compact(d));
    EXPECT_EQ(d.hnsw.node_count, 21u);
    EXPECT_EQ(d.uuid_to_internal.at(c.documents[21]->id), 20u);
  });
  expect_gone(c, 20);
  expect_findable(c, 21);
}

TEST_P(RebuildCatchUpTest, ADocumentReplacedDuringTheBuildKeepsOnlyItsNewContent) {
  const Uuid id = c.documents[5]->id;
  const std::vector<float> moved = {3, -3, 3, -3, 3, -3, 3, -3};
  DocumentPtr replacement;
  EXPECT_EQ(rebuild_around([&] {
              c.remove(5);
              // Inserted again under the same id, with another text and vector.
              replacement = std::make_shared<const Document>(Document{id, "document tok77", {}});
              ASSERT_TRUE(c.collection.insert_document(replacement, moved));
            }),
            20u);
  c.collection.read([&](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_consistent(d));
    EXPECT_EQ(d.hnsw.node_count, 21u);
    EXPECT_EQ(d.uuid_to_internal.at(id), 20u);
    EXPECT_EQ(d.internal_to_uuid[20], id);
    const std::vector<float> stored = stored_vector(d.hnsw, 20);
    for (size_t k = 0; k < 8; ++k) EXPECT_NEAR(stored[k], moved[k], 0.02f);
  });
  EXPECT_EQ(c.collection.get_document(id), replacement);
  EXPECT_TRUE(keyword_search(c.collection, "tok5", 10).empty());
  EXPECT_EQ(keyword_search(c.collection, "tok77", 10), std::vector<DocumentPtr>{replacement});
  EXPECT_EQ(vector_search(c.collection, moved, 1), std::vector<DocumentPtr>{replacement});
  EXPECT_FALSE(contains(vector_search(c.collection, c.embeddings[5], 20), c.documents[5]));
}

TEST_P(RebuildCatchUpTest, ADocumentInsertedDuringATrainingBuildIsEncodedWithTheCodebook) {
  HnswConfig config = testing::config_for(std::get<0>(GetParam()), std::get<1>(GetParam()));
  config.pq_subspaces = 2;
  Corpus pq(20, 8, config);
  auto rebuilt = build_indexes(pq.collection);
  ASSERT_TRUE(rebuilt.has_value());
  pq.add(std::vector<float>(8, 0.75f));
  pq.remove(2);
  EXPECT_EQ(install_indexes(pq.collection, std::move(*rebuilt)), 20u);
  pq.collection.read([](const CollectionData& d) {
    ASSERT_NO_FATAL_FAILURE(testing::expect_consistent(d));
    ASSERT_TRUE(d.hnsw.pq_codebook.has_value());
    ASSERT_EQ(d.hnsw.pq_codes.size(), 2u * 21);
    std::vector<uint8_t> codes(2);
    pq_encode(*d.hnsw.pq_codebook, stored_vector(d.hnsw, 20), codes);
    EXPECT_TRUE(std::equal(codes.begin(), codes.end(), d.hnsw.pq_codes.end() - 2));
  });
  expect_findable(pq, 20);
  expect_gone(pq, 2);
}

INSTANTIATE_TEST_SUITE_P(AllModes, RebuildCatchUpTest, testing::kAllModes, testing::mode_name);

TEST(RemoveDocumentsTest, MatchesRemovingOneByOne) {
  InvertedIndex one_by_one, batch;
  const char* texts[] = {"red apple", "green apple pie", "", "red red wine", "pie"};
  for (uint32_t i = 0; i < 5; ++i) {
    add_document(one_by_one, i, texts[i]);
    add_document(batch, i, texts[i]);
  }
  for (uint32_t id : {0u, 2u, 3u}) remove_document(one_by_one, id, /*was_indexed=*/true);
  const uint32_t ids[] = {0, 2, 3};
  remove_documents(batch, ids);
  EXPECT_EQ(batch.doc_count, 2u);
  EXPECT_EQ(batch.doc_count, one_by_one.doc_count);
  EXPECT_EQ(batch.total_length, one_by_one.total_length);
  EXPECT_EQ(batch.doc_lengths, one_by_one.doc_lengths);
  EXPECT_EQ(batch.postings, one_by_one.postings);
  EXPECT_FALSE(batch.postings.contains("red"));
  remove_documents(batch, {});
  EXPECT_EQ(batch.postings, one_by_one.postings);
}

}  // namespace
}  // namespace kestrine
