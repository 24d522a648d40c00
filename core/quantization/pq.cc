// Encoding vectors with a trained codebook, and the per-query table of partial distances.

#include "core/quantization/pq.h"

#include <algorithm>

#include "core/quantization/pq_training.h"
#include "core/quantization/subspace_distance.h"

namespace kestrine {
namespace {

// Slices whose 256 centroids the codebook actually holds. A codebook always holds all of them
// when it comes from train_pq; the bound only keeps an inconsistent one from being read past
// its end.
size_t stored_subspaces(const PqCodebook& codebook) {
  if (codebook.subspace_dim == 0) return 0;
  return std::min<uint64_t>(codebook.num_subspaces,
                            codebook.centroids.size() / kPqCentroids / codebook.subspace_dim);
}

// Whether slice s of `vector` and its centroids are all there.
bool slice_present(const PqCodebook& codebook, size_t stored, size_t s, size_t vector_size) {
  return s < stored && (s + 1) * codebook.subspace_dim <= vector_size;
}

const float* slice_centroids(const PqCodebook& codebook, size_t s) {
  return codebook.centroids.data() + s * kPqCentroids * codebook.subspace_dim;
}

}  // namespace

void pq_encode(const PqCodebook& codebook, std::span<const float> vector, std::span<uint8_t> out) {
  const size_t dim = codebook.subspace_dim;
  const size_t stored = stored_subspaces(codebook);
  const size_t count = std::min<uint64_t>(codebook.num_subspaces, out.size());
  for (size_t s = 0; s < count; ++s) {
    out[s] = slice_present(codebook, stored, s, vector.size())
                 ? static_cast<uint8_t>(nearest_centroid(
                       &vector[s * dim], slice_centroids(codebook, s), kPqCentroids, dim))
                 : 0;
  }
}

std::vector<uint8_t> pq_encode_batch(const PqCodebook& codebook, std::span<const float> vectors) {
  const size_t m = codebook.num_subspaces;
  uint64_t dimension = 0;
  if (__builtin_mul_overflow(m, codebook.subspace_dim, &dimension) || dimension == 0) return {};
  const size_t n = vectors.size() / dimension;
  std::vector<uint8_t> codes(n * m);
  for (size_t i = 0; i < n; ++i) {
    pq_encode(codebook, vectors.subspan(i * dimension, dimension),
              std::span<uint8_t>(&codes[i * m], m));
  }
  return codes;
}

std::vector<float> pq_distance_table(const PqCodebook& codebook, std::span<const float> query,
                                     DistanceMetric metric) {
  const size_t dim = codebook.subspace_dim;
  const size_t stored = stored_subspaces(codebook);
  std::vector<float> table(codebook.num_subspaces * kPqCentroids, 0.0f);
  for (size_t s = 0; s < codebook.num_subspaces; ++s) {
    if (!slice_present(codebook, stored, s, query.size())) continue;
    const float* u = &query[s * dim];
    const float* centroids = slice_centroids(codebook, s);
    float* row = &table[s * kPqCentroids];
    for (size_t c = 0; c < kPqCentroids; ++c) {
      const float* w = centroids + c * dim;
      // Cosine, like the dot product, ranks by the inner product with the reconstruction here:
      // the table only orders candidates, whose final distances are computed afresh.
      row[c] = metric == DistanceMetric::kEuclidean ? subspace_squared_l2(u, w, dim)
                                                    : -subspace_dot(u, w, dim);
    }
  }
  return table;
}

}  // namespace kestrine
