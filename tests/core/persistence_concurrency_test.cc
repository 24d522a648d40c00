// Changes from several threads at once on a persistent database, with checkpoints (save and
// compact) running between them: appends are serialised by the log, checkpoints wait for the
// changes already logged to be applied, and reopening gives exactly the final state.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine.h"
#include "tests/core/document_state.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

using testing::State;
using testing::state_of;

TEST(PersistenceConcurrencyTest, WritersAndCheckpointsTogetherLoseNothing) {
  testing::TempDir dir;
  std::vector<std::string> warnings;
  auto engine = std::move(*Engine::open(dir.path(), testing::log_key(), &warnings));
  for (const char* name : {"a", "b"}) ASSERT_TRUE(engine->create_collection(name, 4, HnswConfig{}));

  constexpr int kWriters = 3;
  constexpr int kPerWriter = 60;
  std::atomic<int> writers_done{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      const std::string collection = w % 2 == 0 ? "a" : "b";
      std::vector<Uuid> mine;
      for (int i = 0; i < kPerWriter; ++i) {
        auto doc = std::make_shared<Document>(
            Document{new_uuid(), "writer " + std::to_string(w) + " doc " + std::to_string(i), {}});
        mine.push_back(doc->id);
        const float x = static_cast<float>(i);
        if (i % 5 == 4) {
          std::vector<NewDocument> batch;
          batch.push_back({doc, {x, 1, 2, 3}, format_uuid(doc->id)});
          EXPECT_TRUE(engine->batch_insert(collection, std::move(batch)));
        } else {
          EXPECT_TRUE(engine->insert(collection, {doc, {x, 1, 2, 3}, format_uuid(doc->id)}));
        }
        if (i % 3 == 2) {
          EXPECT_TRUE(engine->delete_document(collection, format_uuid(mine[i - 1])));
        }
      }
      writers_done.fetch_add(1);
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; writers_done.load() < kWriters; ++round) {
      EXPECT_TRUE(round % 2 == 0 ? engine->compact()
                                 : engine->save("a", std::nullopt, std::nullopt));
      // Readers run beside it all.
      (void)engine->total_memory_bytes();
      std::this_thread::yield();
    }
  });
  for (auto& t : threads) t.join();

  const State before = state_of(*engine);
  EXPECT_EQ(before.at("a").size() + before.at("b").size(),
            size_t{kWriters} * (kPerWriter - kPerWriter / 3));
  engine.reset();
  auto reopened = std::move(*Engine::open(dir.path(), testing::log_key(), &warnings));
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(state_of(*reopened), before);
}

}  // namespace
}  // namespace kestrine
