// Neighbour selection with the diversity heuristic: walking the candidates from the nearest, a
// candidate is kept only when it is at least as close to the base vector as to every neighbour
// already kept, so that links spread in different directions instead of bunching in one. When
// the heuristic keeps fewer than the budget, the rejected candidates fill the remaining places
// in ascending order, so a list is always full when there are enough candidates.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/common/scored_id.h"
#include "core/hnsw/hnsw_index.h"
#include "core/quantization/distance_kernels.h"

namespace kestrine {

// At most `budget` of `candidates` (each its distance to the base vector and its id, in any
// order): the heuristic's picks ascending, then the fill-ups ascending. Candidate-to-candidate
// distances use the raw vectors when the index keeps them, else the dequantized codes.
std::vector<SearchHit> select_neighbors(const HnswIndex& index,
                                        std::span<const SearchHit> candidates, size_t budget);

// The same with buffers kept across calls, for the insertion's inner loop.
class NeighborSelector {
 public:
  explicit NeighborSelector(const HnswIndex& index);

  // Writes the selection into `out`.
  void select(std::span<const SearchHit> candidates, size_t budget, std::vector<SearchHit>& out);

  // Uses the buffers for another index (or the same one after its tables moved).
  void rebind(const HnswIndex& index) { index_ = &index; }

 private:
  // Node `id`'s vector: its raw slice in place when present, else its codes dequantized into
  // `buffer` (zeros when the tables do not hold the node). Sets `root` to the square root of its
  // squared norm as vector_squared_norm sums it (cosine only; else 0).
  const float* vector_of(uint32_t id, float* buffer, float& root) const;

  const HnswIndex* index_;
  const DistanceKernels* kernels_;  // the active variant's, fixed for the selector's life
  std::vector<SearchHit> sorted_;
  std::vector<float> storage_;        // one slot of dimension floats per possible pick
  std::vector<const float*> picked_;  // the vector of every pick so far
  std::vector<float> picked_roots_;   // and the root of its squared norm (cosine only)
};

}  // namespace kestrine
