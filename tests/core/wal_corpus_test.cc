// Replays the log fuzzers' inputs under the normal and sanitizer builds: every seed of the
// checked-in corpora must be accepted, and every input kept in tests/fuzz/regressions/wal_entry
// and tests/fuzz/regressions/wal_replay (each one crashed or misbehaved once) must be handled.
#include <gtest/gtest.h>

#include "tests/core/fuzz_corpus_files.h"
#include "tests/fuzz/wal_input.h"

namespace kestrine {
namespace {

using testing::corpus_files;

TEST(WalCorpusTest, EveryEntrySeedIsAccepted) {
  const auto seeds = corpus_files("tests/fuzz/corpus/wal_entry");
  EXPECT_GE(seeds.size(), 6u);
  for (const auto& seed : seeds) EXPECT_TRUE(fuzzing::check_entry_input(seed.bytes));
}

TEST(WalCorpusTest, EveryLogSeedOpens) {
  const auto seeds = corpus_files("tests/fuzz/corpus/wal_replay");
  EXPECT_GE(seeds.size(), 8u);
  for (const auto& seed : seeds) fuzzing::check_log_input(fuzzing::log_from_input(seed.bytes));
}

TEST(WalCorpusTest, EveryRegressionInputIsHandled) {
  for (const auto& input : corpus_files("tests/fuzz/regressions/wal_entry")) {
    fuzzing::check_entry_input(input.bytes);
  }
  for (const auto& input : corpus_files("tests/fuzz/regressions/wal_replay")) {
    fuzzing::check_log_input(fuzzing::log_from_input(input.bytes));
  }
}

}  // namespace
}  // namespace kestrine
