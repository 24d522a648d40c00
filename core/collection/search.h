// The query engine behind Kestrine.search: vector search over the HNSW graph, keyword search
// with BM25, or both fused, restricted by a metadata filter and a minimum score, cut to k.
//
// The mode follows from which queries are given: an embedding alone searches by vector
// (results by ascending distance, scored 1 - distance), a text alone by keyword (descending
// BM25 score), both fuse the two lists (descending fused score).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"

namespace kestrine {

inline constexpr char kMissingQueryMessage[] =
    "at least one of query_embedding or query_text is required";

struct SearchRequest {
  std::optional<std::vector<float>> query_embedding;  // exactly `dimension` values
  std::optional<std::string> query_text;
  size_t k = 10;
  std::optional<float> min_similarity;  // a hit scoring below it is dropped
  float alpha = 0.7f;                   // linear fusion's weight of the vector side
  bool linear_fusion = false;           // else reciprocal-rank fusion
  std::optional<Filter> filter;
  // The graph walk's beam width on layer 0 for this request (at least k is used); without it,
  // the collection's ef_search.
  std::optional<uint64_t> ef_search;
};

// A request must carry a query embedding, a query text or both. The extension asks this before
// converting the filter, so that a request without a query is refused as such whatever its
// filter holds; the engine asks again for callers that come straight to it.
Status require_query(const SearchRequest& request);

struct ScoredDocument {
  DocumentPtr document;
  float score = 0.0f;
};

// Runs `request`, which names at least one query, under the collection's shared lock. The
// documents are handed out by shared reference and stay valid after the lock is released.
std::vector<ScoredDocument> search_collection(const Collection& collection,
                                              const SearchRequest& request);

}  // namespace kestrine
