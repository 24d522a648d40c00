// Replays the snapshot fuzzer's inputs under the normal and sanitizer builds: every seed of the
// checked-in corpus must load, and every input kept in tests/fuzz/regressions (each one crashed
// or misbehaved once) must be handled without crashing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/storage/file_io.h"
#include "tests/fuzz/snapshot_input.h"

namespace kestrine {
namespace {

std::vector<std::filesystem::path> files_in(const std::string& relative) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path dir = std::filesystem::path(KESTRINE_SOURCE_DIR) / relative;
  if (!std::filesystem::is_directory(dir)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().filename() != ".gitkeep")
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(SnapshotCorpusTest, EverySeedLoads) {
  const auto seeds = files_in("tests/fuzz/corpus/snapshot");
  EXPECT_GE(seeds.size(), 7u);
  for (const auto& path : seeds) {
    auto file = read_file(path);
    ASSERT_TRUE(file.has_value()) << path;
    EXPECT_TRUE(fuzzing::check_snapshot_input(*file)) << path;
  }
}

TEST(SnapshotCorpusTest, EveryRegressionInputIsHandled) {
  for (const auto& path : files_in("tests/fuzz/regressions")) {
    auto file = read_file(path);
    ASSERT_TRUE(file.has_value()) << path;
    fuzzing::check_snapshot_input(*file);
  }
}

// The seeds also load through the file reader, with the key that sealed the encrypted one.
TEST(SnapshotCorpusTest, SeedsReadAsFiles) {
  for (const auto& path : files_in("tests/fuzz/corpus/snapshot")) {
    auto read = read_snapshot(path, &fuzzing::fuzz_key());
    EXPECT_TRUE(read.has_value()) << path << ": " << (read ? "" : read.error().message());
  }
}

}  // namespace
}  // namespace kestrine
