// Searches from several threads at once on one collection, under its shared lock, must give
// exactly what the same searches give one by one: each thread has its own visited set and
// scratch, and nothing a search touches is shared.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/collection/collection.h"
#include "core/hnsw/search.h"
#include "hnsw_test_util.h"

namespace kestrine {
namespace {

using Results = std::vector<std::vector<SearchHit>>;

class HnswConcurrencyTest : public ::testing::TestWithParam<testing::MetricAndRaw> {};

TEST_P(HnswConcurrencyTest, ParallelSearchesMatchSerialOnes) {
  const auto [metric, raw] = GetParam();
  const size_t dim = 12;
  const size_t count = 1500;
  HnswConfig config = testing::config_for(metric, raw, 8);
  config.ef_construction = 64;
  config.ef_search = 32;
  Collection collection("c", dim, config);
  const std::vector<float> data = testing::random_vectors(count, dim, 31);
  std::vector<Uuid> ids;
  for (size_t i = 0; i < count; ++i) {
    auto doc = std::make_shared<const Document>(Document{new_uuid(), "text", {}});
    ids.push_back(doc->id);
    ASSERT_TRUE(collection.insert_document(doc, testing::row(data, dim, i)));
  }
  for (size_t i = 0; i < count; i += 5) ASSERT_TRUE(collection.delete_document(ids[i]));

  const size_t queries = 127;  // prime: every thread's stride visits every query
  const std::vector<float> query_data = testing::random_vectors(queries, dim, 32);
  const auto run = [&](size_t q) {
    const auto query = testing::row(query_data, dim, q);
    return collection.read([&](const CollectionData& state) {
      if (q % 2 == 0) return search(state.hnsw, query, 10);
      // Odd queries filter, so the widening runs too.
      return filtered_search(state.hnsw, query, 10, [](uint32_t id) { return id % 7 == 0; });
    });
  };
  Results serial(queries);
  for (size_t q = 0; q < queries; ++q) serial[q] = run(q);

  const int threads = 4;
  std::vector<Results> parallel(threads, Results(queries));
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < threads) std::this_thread::yield();
      // Each thread walks the queries in its own order, several times over.
      for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < queries; ++i) {
          const size_t q = (i * (2 * t + 1) + static_cast<size_t>(round)) % queries;
          parallel[t][q] = run(q);
        }
      }
    });
  }
  for (auto& thread : pool) thread.join();
  for (int t = 0; t < threads; ++t) {
    for (size_t q = 0; q < queries; ++q) {
      ASSERT_EQ(parallel[t][q], serial[q]) << "thread " << t << " query " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, HnswConcurrencyTest, testing::kAllModes, testing::mode_name);

}  // namespace
}  // namespace kestrine
