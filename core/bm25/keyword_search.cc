#include <algorithm>
#include <cmath>

#include "core/bm25/bm25_formula.h"
#include "core/bm25/inverted_index.h"
#include "core/bm25/pruned_search.h"
#include "core/common/score_map.h"
#include "core/common/top_k.h"

namespace kestrine {
namespace {

// Small collections should allocate little for their scores.
constexpr uint32_t kMaxInitialScoreRoom = 256;

// The query's terms in query order (a term written twice comes twice) with their bounds; false
// when the pruned search does not apply: a term without bounds, counts read from a file that
// disagree (no positive average length, an idf that is not a positive number), or a list
// holding a term frequency of 0 or an id beyond the lengths.
bool query_terms(const InvertedIndex& index, const Tokens& tokens, float avgdl,
                 std::vector<QueryTerm>& terms) {
  if (tokens.spans.size() > kMaxPrunedTerms || !std::isfinite(avgdl) || !(avgdl > 0.0f)) {
    return false;
  }
  const auto n = static_cast<float>(index.doc_count);
  for (size_t i = 0; i < tokens.spans.size(); ++i) {
    const std::string_view word = tokens.token(i);
    const auto list = index.postings.find(word);
    if (list == index.postings.end() || list->second.empty()) continue;
    const auto bounds = index.bounds.find(word);
    if (bounds == index.bounds.end() || bounds->second.min_tf == 0) return false;
    const std::vector<Posting>& postings = list->second;
    if (postings.back().id >= index.doc_lengths.size()) return false;
    if (bounds->second.blocks.size() != (postings.size() + kPostingBlock - 1) / kPostingBlock) {
      return false;
    }
    QueryTerm term{postings, bounds->second.blocks,
                   inverse_document_frequency(n, static_cast<float>(postings.size()))};
    if (!std::isfinite(term.idf) || !(term.idf > 0.0f)) return false;
    for (const ScoreBound& pair : bounds->second.frontier) {
      const float share =
          term_score(term.idf, static_cast<float>(pair.tf), static_cast<float>(pair.length), avgdl);
      term.bound = std::max(term.bound, static_cast<double>(share) * kBoundSlack);
    }
    if (!std::isfinite(term.bound)) return false;
    terms.push_back(term);
  }
  return true;
}

}  // namespace

ScoreMap keyword_scores(const InvertedIndex& index, std::string_view query) {
  if (index.doc_count == 0) return ScoreMap(0);
  const Tokens tokens = tokenize(query);
  if (tokens.spans.empty()) return ScoreMap(0);

  const auto n = static_cast<float>(index.doc_count);
  const float avgdl = static_cast<float>(index.total_length) / n;
  ScoreMap scores(std::min(index.doc_count, kMaxInitialScoreRoom));
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
  return scores;
}

std::vector<ScoredId> keyword_search(const InvertedIndex& index, std::string_view query, size_t k) {
  if (k == 0 || index.doc_count == 0) return {};
  if (index.ascending_ids) {
    const Tokens tokens = tokenize(query);
    const float avgdl =
        static_cast<float>(index.total_length) / static_cast<float>(index.doc_count);
    std::vector<QueryTerm> terms;
    if (query_terms(index, tokens, avgdl, terms)) {
      return pruned_search(terms, index.doc_lengths, avgdl, k);
    }
  }
  return select_top_k(keyword_scores(index, query).entries(), k);
}

}  // namespace kestrine
