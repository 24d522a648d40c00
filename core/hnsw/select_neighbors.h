// Neighbour selection with the diversity heuristic: walking the candidates from the nearest, a
// candidate is kept only when it is at least as close to the base vector as to every neighbour
// already kept, so that links spread in different directions instead of bunching in one. When
// the heuristic keeps fewer than the budget, the rejected candidates fill the remaining places
// in ascending order, so a list is always full when there are enough candidates.
#pragma once

#include <cstddef>
#include <optional>
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

  // The same as select() over `previous` and `added` together, where `previous` is what select()
  // or reselect() wrote for this same base vector and budget and `picks` is the
  // picks_in_order() of that call. A candidate's fate depends only on the picks nearer than it,
  // so the candidates nearer than `added` keep theirs, and of the farther ones only those whose
  // nearer picks changed are compared again, each only with what changed where that is enough.
  // Returns false, writing nothing, when `previous` is not in that shape (its first `picks` hits
  // ascending, the rest ascending, and every distance, added's too, distinct from the others);
  // the caller then runs select().
  bool reselect(std::span<const SearchHit> previous, size_t picks, const SearchHit& added,
                size_t budget, std::vector<SearchHit>& out);

  // Node `id`'s vector as the selections read it (the raw vector, or the codes dequantized as
  // dequantize_into does), `dimension` values, valid until the next select(), reselect() or
  // rebind().
  std::span<const float> stored_vector(uint32_t id);

  // After select() or reselect(): how many of the first hits written the heuristic picked (the
  // rest filled up the budget), or nullopt when two candidates were equally far from the base,
  // since their order, and so the picks, then depends on how they were sorted.
  std::optional<size_t> picks_in_order() const { return picks_in_order_; }

  // Starts another operation with the same buffers, on another index or the same one after it
  // changed: the active kernel variant is taken again and the vectors decoded so far are
  // forgotten.
  void rebind(const HnswIndex& index);

 private:
  // Node `id`'s vector: its raw slice in place when present, else its codes dequantized (zeros
  // when the tables do not hold the node), into `buffer` when given, else decoded once per
  // operation. Sets `root` to the square root of its squared norm as vector_squared_norm sums it
  // (cosine only; else 0). Pointers stay valid until the next make_room().
  const float* vector_of(uint32_t id, float& root, float* buffer = nullptr);
  // Before a walk that may decode up to `count` vectors: whether they fit beside those decoded
  // so far, which are forgotten when they do not. A walk that cannot fit at all (a beam far
  // wider than usual) decodes into storage_ instead.
  bool make_room(size_t count);
  // Forgets every decoded vector.
  void forget_decoded();
  // Dequantizes node `id`'s codes into `out` (zeros when the tables do not hold the node) and
  // returns the squared norm of the result as vector_squared_norm sums it.
  float decode(const HnswIndex& index, uint32_t id, float* out) const;
  // Whether sorted_[position] is at least as close to the base as to each of the hits of sorted_
  // at `others` (the heuristic's test), reading vectors into the per-position slots on first use.
  bool keeps(size_t position, std::span<const size_t> others);
  // The vector of sorted_[position] (and its root in roots_), read on first use.
  const float* vector_at(size_t position);

  const HnswIndex* index_;
  const DistanceKernels* kernels_;  // the active variant's, fixed for the selector's life
  std::vector<SearchHit> sorted_;
  std::vector<float> storage_;  // a walk's vectors when they do not fit among the decoded ones
  // The vectors decoded from codes in this operation. A new node's selection decodes the nodes
  // around it, and cutting back its neighbours' lists meets most of them again; keeping them
  // decodes each once. Slot s holds dimension floats at decoded_[s * dimension] and their root at
  // decoded_roots_[s]; decoded_table_ maps a node to its slot by open addressing, each entry
  // (id + 1) << 32 | slot or 0 when empty, and decoded_used_ lists the entries set.
  std::vector<float> decoded_;
  std::vector<float> decoded_roots_;
  size_t decoded_slots_ = 0;  // slots that decoded_ holds
  size_t decoded_count_ = 0;  // slots in use
  std::vector<uint64_t> decoded_table_;
  std::vector<uint32_t> decoded_used_;
  bool cached_ = true;  // whether reselect's walk reads its vectors through the decoded ones
  std::vector<const float*> picked_;  // the vector of every pick so far
  std::vector<float> picked_roots_;   // and the root of its squared norm (cosine only)
  std::optional<size_t> picks_in_order_;
  // reselect's state, per position of sorted_: picked by the earlier selection, the vector (null
  // until read) and the root of its squared norm.
  std::vector<uint8_t> picked_before_;
  std::vector<const float*> vectors_;
  std::vector<float> roots_;
  std::vector<size_t> pick_positions_;   // positions picked so far in this walk
  std::vector<size_t> added_positions_;  // those of them not picked by the earlier selection
};

}  // namespace kestrine
