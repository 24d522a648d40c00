// Replays the loaded-snapshot fuzzer's inputs under the normal and sanitizer builds: every seed
// must load and go through every operation, and every input kept in
// tests/fuzz/regressions/snapshot_use (each one crashed or misbehaved once) must be handled.
#include <gtest/gtest.h>

#include "tests/core/fuzz_corpus_files.h"
#include "tests/fuzz/snapshot_use_input.h"

namespace kestrine {
namespace {

TEST(SnapshotUseCorpusTest, EverySeedLoadsAndIsUsed) {
  const auto seeds = testing::corpus_files("tests/fuzz/corpus/snapshot_use");
  EXPECT_GE(seeds.size(), 30u);
  for (const auto& seed : seeds) {
    EXPECT_TRUE(fuzzing::check_snapshot_use(seed.bytes)) << seed.name;
  }
}

TEST(SnapshotUseCorpusTest, EveryRegressionInputIsHandled) {
  for (const auto& input : testing::corpus_files("tests/fuzz/regressions/snapshot_use")) {
    SCOPED_TRACE(input.name);
    fuzzing::check_snapshot_use(input.bytes);
  }
}

}  // namespace
}  // namespace kestrine
