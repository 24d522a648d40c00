// The keyword side of a collection: an inverted index over the documents' tokens, scored with
// Okapi BM25 (k1 = 1.2, b = 0.75). Internal ids are the collection's dense document numbers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bm25/posting.h"
#include "core/bm25/score_bounds.h"
#include "core/bm25/tokenizer.h"
#include "core/common/error.h"
#include "core/common/score_map.h"
#include "core/common/scored_id.h"
#include "core/common/string_hash.h"

namespace kestrine {

using PostingMap =
    std::unordered_map<std::string, std::vector<Posting>, StringHash, std::equal_to<>>;

// A default-constructed index is the empty one.
struct InvertedIndex {
  PostingMap postings;                // term -> one posting per document, in order of addition
  std::vector<uint32_t> doc_lengths;  // token count per internal id; 0 for absent/removed ids
  uint32_t doc_count = 0;             // documents added and not removed
  uint64_t total_length = 0;          // sum of their token counts

  // Derived for pruned search, never stored (rebuilt on loading by derive_score_bounds).
  // `ascending_ids`: every list holds strictly increasing ids, all below the length of
  // `doc_lengths`, and `bounds` covers every list;
  // documents added in increasing id order keep it so. Without it, search scores every posting.
  TermBoundMap bounds;
  bool ascending_ids = true;
};

// Indexes the text of document `id`; called once per id. Ids in increasing order keep pruned
// search available (ascending_ids).
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
// keep the larger ids (select_top_k). A query term written twice counts twice. Each score is
// the sum of the query terms' shares in query order, the same bits as keyword_scores gives;
// once the terms still to come cannot bring a new document into the k best, their lists only
// complete the documents already found. Uses a per-thread array of one float per internal id.
std::vector<ScoredId> keyword_search(const InvertedIndex& index, std::string_view query, size_t k);

// The BM25 score of every document that shares a term with `query`, before any cut; for
// callers that must screen documents (a metadata filter) before keeping the k best.
ScoreMap keyword_scores(const InvertedIndex& index, std::string_view query);

// Sets `bounds` and `ascending_ids` from the postings and lengths, as after loading an index.
void derive_score_bounds(InvertedIndex& index);

// "text too long" when the lowercased `text` exceeds `limit` bytes: its tokens would not all
// fit the 32-bit spans. Ordinary texts are accepted from their size alone.
Status check_text_size(std::string_view text, uint64_t limit = kMaxTokenizedBytes);

}  // namespace kestrine
