// A trained product-quantization codebook: the vector is cut into `num_subspaces` slices of
// `subspace_dim` components, and each slice is coded as the number of the nearest of
// `num_centroids` (256) centroids learned for that slice.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrine {

struct PqCodebook {
  uint64_t num_subspaces = 0;
  uint64_t num_centroids = 0;
  uint64_t subspace_dim = 0;
  // Centroid c of slice s occupies [(s * 256 + c) * subspace_dim, (s * 256 + c + 1) *
  // subspace_dim).
  std::vector<float> centroids;

  friend bool operator==(const PqCodebook&, const PqCodebook&) = default;
};

}  // namespace kestrine
