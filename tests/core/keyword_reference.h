// The exhaustive keyword scorer, kept as the reference for the pruned search: every posting of
// every query term scored into a map, in query order, then the k best picked by select_top_k.
#pragma once

#include <string_view>
#include <vector>

#include "core/bm25/bm25_formula.h"
#include "core/bm25/inverted_index.h"
#include "core/common/score_map.h"
#include "core/common/top_k.h"

namespace kestrine {

inline std::vector<ScoredId> exhaustive_keyword_search(const InvertedIndex& index,
                                                       std::string_view query, size_t k) {
  if (k == 0 || index.doc_count == 0) return {};
  const Tokens tokens = tokenize(query);
  const auto n = static_cast<float>(index.doc_count);
  const float avgdl = static_cast<float>(index.total_length) / n;
  ScoreMap scores(16);
  for (size_t i = 0; i < tokens.spans.size(); ++i) {
    const auto list = index.postings.find(tokens.token(i));
    if (list == index.postings.end()) continue;
    const float idf = inverse_document_frequency(n, static_cast<float>(list->second.size()));
    for (const Posting& posting : list->second) {
      const float dl = posting.id < index.doc_lengths.size()
                           ? static_cast<float>(index.doc_lengths[posting.id])
                           : 0.0f;
      scores.add(posting.id, term_score(idf, static_cast<float>(posting.tf), dl, avgdl));
    }
  }
  return select_top_k(scores.entries(), k);
}

}  // namespace kestrine
