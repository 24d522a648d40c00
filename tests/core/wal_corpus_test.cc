// Replays the log fuzzers' inputs under the normal and sanitizer builds: every seed of the
// checked-in corpora must be accepted, and every input kept in tests/fuzz/regressions/wal_entry
// and tests/fuzz/regressions/wal_replay (each one crashed or misbehaved once) must be handled.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/storage/file_io.h"
#include "tests/fuzz/wal_input.h"

namespace kestrine {
namespace {

std::vector<std::vector<uint8_t>> inputs_in(const std::string& relative) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path dir = std::filesystem::path(KESTRINE_SOURCE_DIR) / relative;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file() && entry.path().filename() != ".gitkeep") {
        files.push_back(entry.path());
      }
    }
  }
  std::ranges::sort(files);
  std::vector<std::vector<uint8_t>> inputs;
  for (const auto& path : files) {
    auto bytes = read_file(path);
    EXPECT_TRUE(bytes.has_value()) << path;
    if (bytes) inputs.push_back(std::move(*bytes));
  }
  return inputs;
}

TEST(WalCorpusTest, EveryEntrySeedIsAccepted) {
  const auto seeds = inputs_in("tests/fuzz/corpus/wal_entry");
  EXPECT_GE(seeds.size(), 6u);
  for (const auto& seed : seeds) EXPECT_TRUE(fuzzing::check_entry_input(seed));
}

TEST(WalCorpusTest, EveryLogSeedOpens) {
  const auto seeds = inputs_in("tests/fuzz/corpus/wal_replay");
  EXPECT_GE(seeds.size(), 7u);
  for (const auto& seed : seeds) fuzzing::check_log_input(fuzzing::log_from_input(seed));
}

TEST(WalCorpusTest, EveryRegressionInputIsHandled) {
  for (const auto& input : inputs_in("tests/fuzz/regressions/wal_entry")) {
    fuzzing::check_entry_input(input);
  }
  for (const auto& input : inputs_in("tests/fuzz/regressions/wal_replay")) {
    fuzzing::check_log_input(fuzzing::log_from_input(input));
  }
}

}  // namespace
}  // namespace kestrine
