// The keyword side of a collection: an inverted index over the documents' tokens, scored with
// Okapi BM25 (k1 = 1.2, b = 0.75). Internal ids are the collection's dense document numbers.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/common/string_hash.h"

namespace kestrine {

struct Posting {
  uint32_t id = 0;  // internal document id
  uint32_t tf = 0;  // term frequency in that document

  friend bool operator==(const Posting&, const Posting&) = default;
};

using PostingMap =
    std::unordered_map<std::string, std::vector<Posting>, StringHash, std::equal_to<>>;

struct InvertedIndex {
  PostingMap postings;                // term -> one posting per document, in order of addition
  std::vector<uint32_t> doc_lengths;  // token count per internal id; 0 for absent/removed ids
  uint32_t doc_count = 0;             // documents added and not removed
  uint64_t total_length = 0;          // sum of their token counts
};

}  // namespace kestrine
