// A term's BM25 share in one document, computed as term_score computes it, with the common case
// (a small term frequency in a document of ordinary length) read from a table instead of divided
// out: the table holds term_score's value before the idf, for the average length of the moment,
// and multiplying by the idf is term_score's own last step, so the bits are the same.
#pragma once

#include <cstdint>

#include "core/bm25/bm25_formula.h"

namespace kestrine {

class TermShares {
 public:
  // Refills the calling thread's table when `avgdl` differs from the one it was last filled for.
  // The object refers to that table: it is for one search on the calling thread.
  explicit TermShares(float avgdl);

  // term_score(idf, tf, dl, avgdl), bit for bit.
  float operator()(float idf, uint32_t tf, uint32_t dl) const {
    if (tf - 1 < kFrequencies && dl < kLengths) return ratio_[(tf - 1) * kLengths + dl] * idf;
    return term_score(idf, static_cast<float>(tf), static_cast<float>(dl), avgdl_);
  }

  static constexpr uint32_t kFrequencies = 4;
  static constexpr uint32_t kLengths = 1024;

 private:
  const float* ratio_;
  float avgdl_;
};

}  // namespace kestrine
