// Replays the text-parser fuzzers' inputs (document ids, encryption keys) under the normal and
// sanitizer builds: the seeds that are well-formed parse, and every input kept in
// tests/fuzz/regressions/uuid and tests/fuzz/regressions/key is handled.
#include <gtest/gtest.h>

#include <string_view>

#include "tests/core/fuzz_corpus_files.h"
#include "tests/fuzz/text_input.h"

namespace kestrine {
namespace {

std::string_view as_text(const testing::CorpusFile& file) {
  return {reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size()};
}

TEST(TextCorpusTest, UuidSeedsParseUnlessMalformed) {
  const auto seeds = testing::corpus_files("tests/fuzz/corpus/uuid");
  EXPECT_GE(seeds.size(), 6u);
  for (const auto& seed : seeds) {
    const bool malformed = seed.name == "short_group" || seed.name == "non_ascii";
    EXPECT_EQ(fuzzing::check_uuid_input(as_text(seed)), !malformed) << seed.name;
  }
}

TEST(TextCorpusTest, KeySeedsParseUnlessMalformed) {
  const auto seeds = testing::corpus_files("tests/fuzz/corpus/key");
  EXPECT_GE(seeds.size(), 5u);
  for (const auto& seed : seeds) {
    const bool malformed = seed.name == "short" || seed.name == "bad_digit";
    EXPECT_EQ(fuzzing::check_key_input(as_text(seed)), !malformed) << seed.name;
  }
}

TEST(TextCorpusTest, EveryRegressionInputIsHandled) {
  for (const auto& input : testing::corpus_files("tests/fuzz/regressions/uuid")) {
    fuzzing::check_uuid_input(as_text(input));
  }
  for (const auto& input : testing::corpus_files("tests/fuzz/regressions/key")) {
    fuzzing::check_key_input(as_text(input));
  }
}

}  // namespace
}  // namespace kestrine
