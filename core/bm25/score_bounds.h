// What bounds a term's BM25 share in any document of its posting list, whatever the collection's
// size and average length: the share grows with the term frequency and shrinks with the
// document's length, so the (tf, length) pairs that no other posting beats on both hold the
// term's highest share. Pruned search turns these into score bounds at query time, with the
// collection's counts of that moment.
//
// The bounds are derived data: kept up to date by the index's operations, rebuilt when an index
// is loaded, never stored. A bound left over from a removed posting is still a bound, only a
// looser one, so removals recompute only the lists they change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bm25/posting.h"
#include "core/common/string_hash.h"

namespace kestrine {

// The highest term frequency and the lowest document length of a group of postings.
struct ScoreBound {
  uint32_t tf = 0;
  uint32_t length = UINT32_MAX;

  friend bool operator==(const ScoreBound&, const ScoreBound&) = default;
};

struct TermBounds {
  // The lowest term frequency of the list: 0 only in lists read from a file, whose shares of 0
  // the pruned search does not handle.
  uint32_t min_tf = UINT32_MAX;
  // The (tf, length) pairs of postings that no other posting beats on both, by ascending tf
  // (hence ascending length): the term's highest share is the highest share among them.
  std::vector<ScoreBound> frontier;
  // share_codes[i]: the share code of the list's posting i (share_code), so that search reads a
  // posting's term frequency and length together, in list order, instead of looking the length
  // up by id.
  std::vector<uint16_t> share_codes;

  friend bool operator==(const TermBounds&, const TermBounds&) = default;
};

using TermBoundMap = std::unordered_map<std::string, TermBounds, StringHash, std::equal_to<>>;

// A posting's share code names its (tf, length) pair as (tf - 1) * kShareLengths + length, for
// term frequencies 1 to kCodedFrequencies and lengths 0 to kShareLengths - 1; any other posting
// has the code kNoShareCode. The table of shares that search fills for each average length holds
// the shares (before the idf) of the first kTableShareCodes codes, term frequencies 1 to
// kShareFrequencies; for the other coded pairs search computes the share from the code, without
// looking the document's length up.
inline constexpr uint32_t kShareFrequencies = 4;
inline constexpr uint32_t kShareLengths = 1024;
inline constexpr uint32_t kTableShareCodes = kShareFrequencies * kShareLengths;
inline constexpr uint32_t kCodedFrequencies = 63;
inline constexpr uint16_t kNoShareCode = UINT16_MAX;
static_assert(kCodedFrequencies * kShareLengths <= kNoShareCode);

inline uint16_t share_code(uint32_t tf, uint32_t length) {
  if (tf - 1 >= kCodedFrequencies || length >= kShareLengths) return kNoShareCode;
  return static_cast<uint16_t>((tf - 1) * kShareLengths + length);
}

// Records a posting added to the list.
void note_posting(TermBounds& bounds, uint32_t tf, uint32_t length);

// The bounds of `list` from scratch; a posting's length is doc_lengths[id], 0 beyond its end.
TermBounds bounds_of(std::span<const Posting> list, std::span<const uint32_t> doc_lengths);

}  // namespace kestrine
