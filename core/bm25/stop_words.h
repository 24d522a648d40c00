// The fixed English and Italian stop words that the tokenizer drops (is_stop_word in
// tokenizer.h asks this set).
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_set>

namespace kestrine {

inline constexpr size_t kStopWordCount = 64;
// No stop word is longer; the tokenizer skips the look-up for longer tokens.
inline constexpr size_t kMaxStopWordBytes = 5;

// The set, built on first use by whichever thread gets there first and read without locks
// afterwards. Its views point into a constant string, so it owns no memory of its own.
const std::unordered_set<std::string_view>& stop_words();

}  // namespace kestrine
