// Okapi BM25 with k1 = 1.2 and b = 0.75, as float arithmetic in one fixed order, so that every
// scorer (the exhaustive one and the pruned one) gives the same bits for the same document.
#pragma once

#include <cmath>

namespace kestrine {

// kK1Plus1 is k1 + 1 as one constant and kOneMinusB is 1 - b, so that the float arithmetic below
// is the same operation for operation everywhere.
inline constexpr float kBm25K1 = 1.2f;
inline constexpr float kBm25B = 0.75f;
inline constexpr float kBm25OneMinusB = 0.25f;
inline constexpr float kBm25K1Plus1 = 2.2f;

// ln(1 + (N - df + 0.5) / (df + 0.5)): never negative, so a term found in every document still
// adds a little.
inline float inverse_document_frequency(float n, float df) {
  return std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
}

// A term's share of a document's score. The evaluation order is fixed so that scores are
// reproducible to the last bit.
inline float term_score(float idf, float tf, float dl, float avgdl) {
  float x = dl * kBm25B;
  x = x / avgdl;
  x = x + kBm25OneMinusB;
  x = x * kBm25K1;
  x = x + tf;
  float y = tf * kBm25K1Plus1;
  y = y / x;
  return y * idf;
}

}  // namespace kestrine
