#include <cmath>

#include "core/bm25/inverted_index.h"
#include "core/common/score_map.h"
#include "core/common/top_k.h"

namespace kestrine {
namespace {

// Okapi BM25 with k1 = 1.2 and b = 0.75; kK1Plus1 is k1 + 1 as one constant and kOneMinusB is
// 1 - b, so that the float arithmetic below is the same operation for operation everywhere.
constexpr float kK1 = 1.2f;
constexpr float kB = 0.75f;
constexpr float kOneMinusB = 0.25f;
constexpr float kK1Plus1 = 2.2f;

// Small collections should allocate little for their scores.
constexpr uint32_t kMaxInitialScoreRoom = 256;

// ln(1 + (N - df + 0.5) / (df + 0.5)): never negative, so a term found in every document still
// adds a little.
float inverse_document_frequency(float n, float df) {
  return std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
}

// The evaluation order is fixed so that scores are reproducible to the last bit.
float term_score(float idf, float tf, float dl, float avgdl) {
  float x = dl * kB;
  x = x / avgdl;
  x = x + kOneMinusB;
  x = x * kK1;
  x = x + tf;
  float y = tf * kK1Plus1;
  y = y / x;
  return y * idf;
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
  if (k == 0) return {};
  return select_top_k(keyword_scores(index, query).entries(), k);
}

}  // namespace kestrine
