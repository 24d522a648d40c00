#include "core/bm25/lowercase.h"

#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdio>
#include <cstdlib>

namespace kestrine {
namespace {

constexpr UChar32 kCapitalSigma = 0x03A3;

// How far before a piece's byte limit a cut is searched for. Only texts beyond
// kLowercaseChunkBytes are ever cut, so this is about exactness, not speed.
constexpr size_t kCutSearchWindow = size_t{1} << 16;

const uint8_t* bytes(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Root-locale lowercasing has one context-dependent rule: a capital sigma becomes final when a
// cased letter precedes it and none follows it, looking through case-ignorable characters on
// both sides. Both looks stop at the first character that is not case-ignorable. A cut between
// two such characters, neither of them a capital sigma, therefore hides nothing that either
// side's sigmas would have looked at.
bool stops_sigma_context(UChar32 c) {
  return c >= 0 && c != kCapitalSigma && !u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
}

// The end of the piece that starts at `begin`: at most `max_chunk` bytes further, at the last cut
// of the search window that keeps the result exact. Should the window hold no such cut (a run
// of case-ignorable characters or sigmas longer than the window, which no text has), the piece
// ends at a character boundary and only the sigma forms next to it may differ.
size_t piece_end(std::string_view text, size_t begin, size_t max_chunk) {
  if (text.size() - begin <= max_chunk) return text.size();
  const uint8_t* s = bytes(text);
  const size_t limit = begin + max_chunk;

  size_t i = limit - begin > kCutSearchWindow ? limit - kCutSearchWindow : begin;
  while (i < limit && is_continuation(s[i])) ++i;
  size_t best = begin;
  UChar32 previous = -1;
  while (i < limit) {
    const size_t at = i;
    UChar32 c;
    U8_NEXT(s, i, text.size(), c);
    if (at > begin && stops_sigma_context(previous) && stops_sigma_context(c)) best = at;
    previous = c;
  }
  if (best > begin) return best;

  // A character boundary at or before the limit. A valid character has at most three
  // continuation bytes; more in a row are ill-formed bytes, which are copied one by one
  // wherever the cut falls.
  size_t cut = limit;
  for (int back = 0; back < 3 && cut > begin && is_continuation(s[cut]); ++back) --cut;
  if (is_continuation(s[cut])) cut = limit;
  if (cut == begin) {  // the first character is longer than max_chunk: take it whole
    cut = begin + 1;
    for (int fwd = 0; fwd < 3 && cut < text.size() && is_continuation(s[cut]); ++fwd) ++cut;
  }
  return cut;
}

[[noreturn]] void icu_failed(UErrorCode status) {
  // Only allocation failure or a broken argument can get here; both end the process.
  std::fprintf(stderr, "kestrine: ICU lowercasing failed: %s\n", u_errorName(status));
  std::abort();
}

// Lowercases `piece` into `out` from byte `at` on, with room for `capacity` bytes. Returns the
// lowercased length; when that exceeds `capacity`, `out` is left at `at` bytes.
size_t lower_into(std::string& out, size_t at, std::string_view piece, size_t capacity) {
  int32_t length = 0;
  // The operation's size argument may be the grown capacity (libstdc++ 12), so it is not used.
  out.resize_and_overwrite(at + capacity, [&](char* p, size_t) {
    UErrorCode status = U_ZERO_ERROR;
    length = icu::CaseMap::utf8ToLower("", 0, piece.data(), static_cast<int32_t>(piece.size()),
                                       p + at, static_cast<int32_t>(capacity), nullptr, status);
    if (status == U_BUFFER_OVERFLOW_ERROR) return at;
    if (U_FAILURE(status)) icu_failed(status);
    return at + static_cast<size_t>(length);
  });
  return static_cast<size_t>(length);
}

void append_lowered(std::string& out, std::string_view piece) {
  // Nearly all text keeps or shrinks its size; a piece that grows is lowercased a second time
  // into the exact size ICU reported.
  const size_t at = out.size();
  const size_t length = lower_into(out, at, piece, piece.size());
  if (length > piece.size()) lower_into(out, at, piece, length);
}

size_t preflight(std::string_view piece) {
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = icu::CaseMap::utf8ToLower(
      "", 0, piece.data(), static_cast<int32_t>(piece.size()), nullptr, 0, nullptr, status);
  if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) icu_failed(status);
  return static_cast<size_t>(length);
}

}  // namespace

bool is_ascii(std::string_view text) {
  uint8_t any = 0;
  for (char c : text) any |= static_cast<uint8_t>(c);
  return any < 0x80;
}

std::string to_lower(std::string_view text, size_t max_chunk) {
  std::string out;
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = piece_end(text, begin, max_chunk);
    append_lowered(out, text.substr(begin, end - begin));
    begin = end;
  }
  return out;
}

uint64_t lowercased_size(std::string_view text, size_t max_chunk) {
  if (is_ascii(text)) return text.size();
  uint64_t total = 0;
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = piece_end(text, begin, max_chunk);
    total += preflight(text.substr(begin, end - begin));
    begin = end;
  }
  return total;
}

bool lowercased_size_at_most(std::string_view text, uint64_t limit) {
  if (text.size() <= limit / kMaxLowercaseGrowthNum * kMaxLowercaseGrowthDen) return true;
  return lowercased_size(text) <= limit;
}

}  // namespace kestrine
