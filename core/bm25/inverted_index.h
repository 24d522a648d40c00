// The keyword side of a collection: an inverted index over the documents' tokens, scored with
// Okapi BM25 (k1 = 1.2, b = 0.75). Internal ids are the collection's dense document numbers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bm25/tokenizer.h"
#include "core/common/error.h"
#include "core/common/score_map.h"
#include "core/common/scored_id.h"
#include "core/common/string_hash.h"

namespace kestrine {

struct Posting {
  uint32_t id = 0;  // internal document id
  uint32_t tf = 0;  // term frequency in that document

  friend bool operator==(const Posting&, const Posting&) = default;
};

using PostingMap =
    std::unordered_map<std::string, std::vector<Posting>, StringHash, std::equal_to<>>;

// A default-constructed index is the empty one.
struct InvertedIndex {
  PostingMap postings;                // term -> one posting per document, in order of addition
  std::vector<uint32_t> doc_lengths;  // token count per internal id; 0 for absent/removed ids
  uint32_t doc_count = 0;             // documents added and not removed
  uint64_t total_length = 0;          // sum of their token counts
};

// Indexes the text of document `id`; called once per id.
void add_document(InvertedIndex& index, uint32_t id, std::string_view text);

// Removes document `id`: its length, its share of the counts and its postings. A document whose
// text gave no token has length 0, like an id that was never added, so only the caller can tell
// the two apart: `was_indexed` states that the document was added and not removed since, and it
// is then uncounted even without tokens. Without it an id of length 0 is left alone, so that
// removing an id a second time changes nothing.
void remove_document(InvertedIndex& index, uint32_t id, bool was_indexed);

// Removes several documents, each added and not removed since (distinct ids), in one pass over
// the postings instead of one per document.
void remove_documents(InvertedIndex& index, std::span<const uint32_t> ids);

// The at most k documents with the highest BM25 score for `query`, best first; ties at the cut
// keep the larger ids (select_top_k). A query term written twice counts twice.
std::vector<ScoredId> keyword_search(const InvertedIndex& index, std::string_view query, size_t k);

// The BM25 score of every document that shares a term with `query`, before any cut; for
// callers that must screen documents (a metadata filter) before keeping the k best.
ScoreMap keyword_scores(const InvertedIndex& index, std::string_view query);

// "text too long" when the lowercased `text` exceeds `limit` bytes: its tokens would not all
// fit the 32-bit spans. Ordinary texts are accepted from their size alone.
Status check_text_size(std::string_view text, uint64_t limit = kMaxTokenizedBytes);

}  // namespace kestrine
