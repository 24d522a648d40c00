// A batch linked into the graph from several threads at once must leave a graph that keeps
// every invariant of one built node by node, in which a search for each inserted vector finds
// it, with the documents, id maps and keyword index exactly those of the one-thread batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "collection_invariants.h"
#include "core/collection/collection.h"
#include "core/engine/engine.h"
#include "core/hnsw/search.h"
#include "hnsw_test_util.h"

namespace kestrine {
namespace {

class ParallelInsertTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

std::vector<DocumentPtr> make_documents(size_t count, size_t first) {
  std::vector<DocumentPtr> documents;
  for (size_t i = first; i < first + count; ++i) {
    documents.push_back(std::make_shared<const Document>(
        Document{new_uuid(), "word" + std::to_string(i % 13) + " common", {}}));
  }
  return documents;
}

// A search for each inserted vector finds it. Pruning can leave a node that no list points to
// any more, whatever the number of threads (a one-thread build shows it as often), so a node in
// two hundred may be missed; a race that lost links would miss far more.
void expect_each_vector_found(const Collection& collection, const std::vector<float>& data,
                              size_t dim, const std::vector<DocumentPtr>& documents) {
  std::vector<size_t> missed;
  collection.read([&](const CollectionData& state) {
    for (size_t i = 0; i < documents.size(); ++i) {
      const uint32_t node = state.uuid_to_internal.at(documents[i]->id);
      const std::vector<SearchHit> hits = search(state.hnsw, testing::row(data, dim, i), 5);
      if (std::ranges::none_of(hits, [&](const SearchHit& h) { return h.id == node; })) {
        missed.push_back(i);
      }
    }
  });
  EXPECT_LE(missed.size(), documents.size() / 200) << "vectors not found: " << missed.size();
}

TEST_P(ParallelInsertTest, BatchesIntoEmptyAndFilledGraphsKeepEveryInvariant) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 12;
  // A small m gives many levels, so that nodes often raise the entry point mid-batch.
  HnswConfig config = testing::config_for(metric, raw, 8);
  config.ef_construction = 64;
  config.ef_search = 200;
  Collection collection("c", dim, config);
  const size_t sizes[] = {250, 1, 2, 450};  // into an empty graph first
  std::vector<float> all_data;
  std::vector<DocumentPtr> all_documents;
  for (size_t batch = 0; batch < std::size(sizes); ++batch) {
    const std::vector<float> data =
        testing::random_vectors(sizes[batch], dim, 50 + static_cast<uint32_t>(batch));
    const std::vector<DocumentPtr> documents = make_documents(sizes[batch], all_documents.size());
    std::vector<DocumentInsert> items;
    for (size_t i = 0; i < documents.size(); ++i) {
      items.push_back({documents[i], testing::row(data, dim, i)});
    }
    // A document already live is left out, as insert_document leaves it out.
    if (!all_documents.empty())
      items.push_back({all_documents.front(), testing::row(data, dim, 0)});
    const std::optional<size_t> left_out = collection.insert_documents(items, 4);
    EXPECT_EQ(left_out, all_documents.empty() ? std::nullopt : std::optional(documents.size()));
    all_data.insert(all_data.end(), data.begin(), data.end());
    all_documents.insert(all_documents.end(), documents.begin(), documents.end());
  }
  collection.read([](const CollectionData& state) { testing::expect_consistent(state); });
  EXPECT_EQ(document_count(collection), all_documents.size());
  // Under the inner product a vector need not be its own best match.
  if (metric != DistanceMetric::kDotProduct) {
    expect_each_vector_found(collection, all_data, dim, all_documents);
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, ParallelInsertTest, testing::kAllModes, testing::mode_name);

// Through the engine: the same ids and the same documents as the one-thread call, while other
// threads search and insert into the same collection.
TEST(ParallelBatchInsert, EngineBatchMatchesTheOneThreadCallWhileOthersRun) {
  const size_t dim = 8;
  const size_t count = 400;
  const std::vector<float> data = testing::random_vectors(count, dim, 77);
  std::vector<Uuid> one_thread_ids;
  for (uint64_t threads : {1, 3, 0}) {
    Engine engine;
    ASSERT_TRUE(
        engine.create_collection("c", dim, testing::config_for(DistanceMetric::kCosine, false, 6)));
    auto collection = *engine.find_collection("c");
    std::atomic<bool> done{false};
    std::thread searcher([&] {
      SearchRequest request;
      request.query_embedding = std::vector<float>(data.begin(), data.begin() + dim);
      request.query_text = "word3";
      while (!done.load()) ASSERT_TRUE(engine.search("c", request).has_value());
    });
    std::thread inserter([&] {
      for (size_t i = 0; i < 50; ++i) {
        NewDocument d{std::make_shared<Document>(Document{new_uuid(), "other", {}}),
                      std::vector<float>(data.begin(), data.begin() + dim), "x"};
        ASSERT_TRUE(engine.insert("c", std::move(d)).has_value());
      }
    });
    std::vector<NewDocument> batch;
    for (size_t i = 0; i < count; ++i) {
      const auto row = testing::row(data, dim, i);
      Uuid id{};
      id.bytes[0] = static_cast<uint8_t>(i);
      id.bytes[1] = static_cast<uint8_t>(i >> 8);
      batch.push_back({std::make_shared<Document>(Document{id, "word" + std::to_string(i % 7), {}}),
                       std::vector<float>(row.begin(), row.end()), format_uuid(id)});
    }
    auto ids = engine.batch_insert("c", std::move(batch), nullptr, threads);
    inserter.join();
    done.store(true);
    searcher.join();
    ASSERT_TRUE(ids.has_value());
    if (threads == 1) one_thread_ids = *ids;
    EXPECT_EQ(*ids, one_thread_ids);
    EXPECT_EQ(document_count(*collection), count + 50);
    collection->read([](const CollectionData& state) { testing::expect_consistent(state); });
  }
}

}  // namespace
}  // namespace kestrine
