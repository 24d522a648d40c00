// What bounds a term's BM25 share in any document of its posting list, whatever the collection's
// size and average length: the share grows with the term frequency and shrinks with the
// document's length, so the highest frequency and the lowest length of a group of postings bound
// the share of each of them. Pruned search turns these into score bounds at query time, with the
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

// Postings per block: a block's bound lets a search pass over all of its postings at once.
inline constexpr size_t kPostingBlock = 64;

// The highest term frequency and the lowest document length of a group of postings.
struct ScoreBound {
  uint32_t tf = 0;
  uint32_t length = UINT32_MAX;

  friend bool operator==(const ScoreBound&, const ScoreBound&) = default;
};

struct TermBounds {
  // One per kPostingBlock postings of the list, in list order; the last block may be partial.
  std::vector<ScoreBound> blocks;
  // The (tf, length) pairs of postings that no other posting beats on both, by ascending tf
  // (hence ascending length): the term's highest share is the highest share among them.
  std::vector<ScoreBound> frontier;
};

using TermBoundMap = std::unordered_map<std::string, TermBounds, StringHash, std::equal_to<>>;

// Records the posting just appended to a list that now holds `list_size` postings.
void note_appended_posting(TermBounds& bounds, size_t list_size, uint32_t tf, uint32_t length);

// The bounds of `list` from scratch; a posting's length is doc_lengths[id], 0 beyond its end.
TermBounds bounds_of(std::span<const Posting> list, std::span<const uint32_t> doc_lengths);

}  // namespace kestrine
