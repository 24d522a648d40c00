// Product quantization: training a codebook with k-means, encoding vectors into one byte per
// slice, and the per-query table of partial distances that turns a node's distance into
// num_subspaces look-ups.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/common/error.h"
#include "core/common/metric.h"
#include "core/quantization/pq_codebook.h"

namespace kestrine {

// Trains on n = vectors.size() / dimension vectors stored back to back. Fails (kInternal) with
// "dimension must be divisible by num_subspaces" or "need at least one vector to train PQ".
Result<PqCodebook> train_pq(std::span<const float> vectors, uint64_t dimension,
                            uint64_t num_subspaces);

// The codes of one vector: num_subspaces bytes written to `out`.
void pq_encode(const PqCodebook& codebook, std::span<const float> vector, std::span<uint8_t> out);
// The codes of n vectors stored back to back: n * num_subspaces bytes, vector after vector.
std::vector<uint8_t> pq_encode_batch(const PqCodebook& codebook, std::span<const float> vectors);

// The num_subspaces x 256 table of partial distances between `query` and every centroid.
std::vector<float> pq_distance_table(const PqCodebook& codebook, std::span<const float> query,
                                     DistanceMetric metric);

}  // namespace kestrine
