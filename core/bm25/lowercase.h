// Full Unicode lowercasing of UTF-8 text with the root locale (ICU): a character may become
// several (U+0130 becomes "i" + U+0307) and a capital sigma becomes the final form at the end of
// a word. Ill-formed UTF-8 bytes are copied unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrine {

// ICU takes 32-bit lengths, so longer texts go to it in pieces of at most this many bytes, cut
// where the cut cannot change the result (see lowercase.cc). A piece grows by at most
// kMaxLowercaseGrowth, so its lowercased form still has a 32-bit length.
inline constexpr size_t kLowercaseChunkBytes = size_t{1} << 30;

// Lowercasing never makes a text longer than 3/2 of its UTF-8 size: the worst characters
// (U+0130, U+023A, U+023E) go from 2 to 3 bytes, and the final-sigma choice keeps the length.
inline constexpr uint64_t kMaxLowercaseGrowthNum = 3;
inline constexpr uint64_t kMaxLowercaseGrowthDen = 2;

// The lowercased copy of `text`. `max_chunk` (at least 1) only changes how the work is split,
// never the result; tests lower it to exercise the cuts.
std::string to_lower(std::string_view text, size_t max_chunk = kLowercaseChunkBytes);

// The byte size of to_lower(text), computed without building the copy.
uint64_t lowercased_size(std::string_view text, size_t max_chunk = kLowercaseChunkBytes);

// Whether every byte of `text` is ASCII (below 0x80).
bool is_ascii(std::string_view text);

// Whether lowercased_size(text) <= limit. Decided from the size alone whenever the growth bound
// allows, so only texts near or above the limit are actually measured.
bool lowercased_size_at_most(std::string_view text, uint64_t limit);

}  // namespace kestrine
