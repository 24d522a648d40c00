// The checked-in inputs of a fuzzer, for the tests that replay them in every build: the files of
// a directory of the source tree in name order, without the placeholder that keeps an empty
// directory in version control.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/storage/file_io.h"

namespace kestrine::testing {

struct CorpusFile {
  std::string name;
  std::vector<uint8_t> bytes;
};

inline std::vector<CorpusFile> corpus_files(const std::string& relative) {
  std::vector<std::filesystem::path> paths;
  const std::filesystem::path dir = std::filesystem::path(KESTRINE_SOURCE_DIR) / relative;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file() && entry.path().filename() != ".gitkeep") {
        paths.push_back(entry.path());
      }
    }
  }
  std::ranges::sort(paths);
  std::vector<CorpusFile> files;
  for (const auto& path : paths) {
    auto bytes = read_file(path);
    EXPECT_TRUE(bytes.has_value()) << path;
    if (bytes) files.push_back({path.filename().string(), std::move(*bytes)});
  }
  return files;
}

}  // namespace kestrine::testing
