#include "core/hnsw/select_neighbors.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/common/assert.h"
#include "core/hnsw/hit_order.h"
#include "core/quantization/distance.h"
#include "core/quantization/distance_batch.h"
#include "core/quantization/scalar.h"

namespace kestrine {

namespace {

// Comparisons in a candidate's first batch when the candidates far outnumber the budget (the
// selection for a new node, from a whole beam): fewer than a full batch, since most of those
// candidates are rejected, usually by one of the first picks, and the rest of the batch would
// be wasted. When a list is cut back, most candidates are kept and each is compared with every
// pick anyway, so full batches from the start only overlap more sums.
constexpr size_t kFirstComparisons = 4;
constexpr size_t kManyCandidatesPerPlace = 2;

}  // namespace

// Bytes of decoded vectors an operation keeps before it starts over: about what one core's
// second-level cache holds, so that a vector met again is still near.
constexpr size_t kDecodedBytes = size_t{1} << 20;
constexpr size_t kMinDecodedSlots = 64;

float NeighborSelector::decode(const HnswIndex& index, uint32_t id, float* out) const {
  const size_t dim = static_cast<size_t>(index.dimension);
  const size_t start = static_cast<size_t>(id) * dim;
  if (start + dim <= index.vector_data.size() && id < index.headers.values.size()) {
    const CodeHeader& header = index.headers.values[id];
    const CodeView view{std::span(index.vector_data).subspan(start, dim), header.min, header.scale};
    return dequantize_sq_norm(*kernels_, view, out);
  }
  std::fill_n(out, dim, 0.0f);
  return 0.0f;
}

NeighborSelector::NeighborSelector(const HnswIndex& index)
    : index_(&index), kernels_(&distance_kernels(active_kernel_variant())) {}

void NeighborSelector::rebind(const HnswIndex& index) {
  index_ = &index;
  kernels_ = &distance_kernels(active_kernel_variant());
  forget_decoded();
}

void NeighborSelector::forget_decoded() {
  for (const uint32_t position : decoded_used_) decoded_table_[position] = 0;
  decoded_used_.clear();
  decoded_count_ = 0;
}

bool NeighborSelector::make_room(size_t count) {
  const size_t dim = std::max<size_t>(static_cast<size_t>(index_->dimension), 1);
  if (decoded_slots_ == 0 || decoded_.size() != decoded_slots_ * dim) {
    // First use, or an index of another dimension.
    forget_decoded();
    decoded_slots_ = std::max(kMinDecodedSlots, kDecodedBytes / (dim * sizeof(float)));
    decoded_.resize(decoded_slots_ * dim);
    decoded_roots_.resize(decoded_slots_);
    // At most half full, so that probes stay short.
    decoded_table_.assign(std::bit_ceil(2 * decoded_slots_), 0);
  }
  if (decoded_count_ + count <= decoded_slots_) return true;
  forget_decoded();
  return count <= decoded_slots_;
}

const float* NeighborSelector::vector_of(uint32_t id, float& root, float* buffer) {
  const HnswIndex& index = *index_;
  const bool cosine = index.config.distance_metric == DistanceMetric::kCosine;
  const size_t dim = static_cast<size_t>(index.dimension);
  const size_t start = static_cast<size_t>(id) * dim;
  if (!index.raw_vectors.empty() && start + dim <= index.raw_vectors.size()) {
    const float* vector = index.raw_vectors.data() + start;
    root = cosine ? std::sqrt(kernels_->dot(vector, vector, dim)) : 0.0f;
    return vector;
  }
  if (buffer != nullptr) {
    const float sq = decode(index, id, buffer);
    root = cosine ? std::sqrt(sq) : 0.0f;
    return buffer;
  }
  // make_room has made room for every vector of the walk.
  KESTRINE_ASSERT(decoded_count_ < decoded_slots_);
  const uint64_t mask = decoded_table_.size() - 1;
  uint64_t position = (static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ULL >> 32) & mask;
  const uint64_t tag = static_cast<uint64_t>(id) + 1;
  for (uint64_t entry; (entry = decoded_table_[position]) != 0; position = (position + 1) & mask) {
    if (entry >> 32 == tag) {
      const size_t slot = static_cast<uint32_t>(entry);
      root = decoded_roots_[slot];
      return decoded_.data() + slot * dim;
    }
  }
  const size_t slot = decoded_count_++;
  decoded_table_[position] = tag << 32 | slot;
  decoded_used_.push_back(static_cast<uint32_t>(position));
  float* vector = decoded_.data() + slot * dim;
  const float sq = decode(index, id, vector);
  root = cosine ? std::sqrt(sq) : 0.0f;
  decoded_roots_[slot] = root;
  return vector;
}

std::span<const float> NeighborSelector::stored_vector(uint32_t id) {
  make_room(1);
  float root;
  return {vector_of(id, root), static_cast<size_t>(index_->dimension)};
}

void NeighborSelector::select(std::span<const SearchHit> candidates, size_t budget,
                              std::vector<SearchHit>& out) {
  out.clear();
  sorted_.assign(candidates.begin(), candidates.end());
  sort_hits(sorted_);
  bool distinct = true;
  for (size_t i = 1; i < sorted_.size() && distinct; ++i) {
    distinct = distance_key(sorted_[i - 1].distance) != distance_key(sorted_[i].distance);
  }

  const HnswIndex& index = *index_;
  const DistanceMetric metric = index.config.distance_metric;
  const size_t dim = static_cast<size_t>(index.dimension);
  // Before the walk: picks point into the decoded vectors, or into storage_, where a candidate
  // is read into the slot its pick would take.
  const bool cached = make_room(sorted_.size());
  if (!cached && storage_.size() < std::min(budget, sorted_.size()) * dim) {
    storage_.resize(std::min(budget, sorted_.size()) * dim);
  }
  picked_.clear();
  picked_roots_.clear();

  for (const SearchHit& candidate : sorted_) {
    if (out.size() >= budget) break;
    float root;
    const float* vector =
        vector_of(candidate.id, root, cached ? nullptr : storage_.data() + out.size() * dim);
    const std::span<const float> v(vector, dim);
    // Its norm's root is taken once for all its comparisons (and kept should it be picked), and
    // the picks are compared with it several at a time: first a few, since the nearest picks
    // reject most candidates, then full batches. The distances are those of vector_distance,
    // and the walk stops at the first that rejects it as before.
    bool keep = true;
    float distances[kMaxDistanceBatch];
    size_t step =
        sorted_.size() > kManyCandidatesPerPlace * budget ? kFirstComparisons : kMaxDistanceBatch;
    for (size_t first = 0; keep && first < picked_.size();
         first += step, step = kMaxDistanceBatch) {
      const size_t count = std::min(step, picked_.size() - first);
      vector_distances_by_roots(*kernels_, metric, v, root,
                                std::span(picked_).subspan(first, count),
                                picked_roots_.data() + first, distances);
      for (size_t j = 0; j < count; ++j) {
        // A NaN distance fails the comparison and rejects the candidate too.
        if (!(distances[j] >= candidate.distance)) {
          keep = false;
          break;
        }
      }
    }
    if (keep) {
      out.push_back(candidate);
      picked_.push_back(vector);
      picked_roots_.push_back(root);
    }
  }

  picks_in_order_ = distinct ? std::optional<size_t>(out.size()) : std::nullopt;
  for (const SearchHit& candidate : sorted_) {
    if (out.size() >= budget) break;
    const bool taken = std::any_of(out.begin(), out.end(),
                                   [&](const SearchHit& hit) { return hit.id == candidate.id; });
    if (!taken) out.push_back(candidate);
  }
}

const float* NeighborSelector::vector_at(size_t position) {
  if (vectors_[position] == nullptr) {
    const size_t dim = static_cast<size_t>(index_->dimension);
    vectors_[position] = vector_of(sorted_[position].id, roots_[position],
                                   cached_ ? nullptr : storage_.data() + position * dim);
  }
  return vectors_[position];
}

bool NeighborSelector::keeps(size_t position, std::span<const size_t> others) {
  const DistanceMetric metric = index_->config.distance_metric;
  const size_t dim = static_cast<size_t>(index_->dimension);
  if (others.empty()) return true;
  const float* vector = vector_at(position);
  const float bound = sorted_[position].distance;
  const float* group[kMaxDistanceBatch];
  float group_roots[kMaxDistanceBatch];
  float distances[kMaxDistanceBatch];
  for (size_t first = 0; first < others.size(); first += kMaxDistanceBatch) {
    const size_t count = std::min(kMaxDistanceBatch, others.size() - first);
    for (size_t j = 0; j < count; ++j) {
      group[j] = vector_at(others[first + j]);
      group_roots[j] = roots_[others[first + j]];
    }
    // The same call with the same operands as select() makes: the same bits.
    vector_distances_by_roots(*kernels_, metric, std::span(vector, dim), roots_[position],
                              std::span(group, count), group_roots, distances);
    for (size_t j = 0; j < count; ++j) {
      if (!(distances[j] >= bound)) return false;
    }
  }
  return true;
}

bool NeighborSelector::reselect(std::span<const SearchHit> previous, size_t picks,
                                const SearchHit& added, size_t budget,
                                std::vector<SearchHit>& out) {
  if (picks > previous.size()) return false;
  // Merges the picks, the fill-ups and `added` into ascending order; any two equal distances,
  // or a run out of order, leave the order to the sort and the work to select().
  sorted_.clear();
  picked_before_.clear();
  size_t p = 0, f = picks;
  bool added_placed = false;
  size_t added_position = 0;
  const uint32_t added_key = distance_key(added.distance);
  uint32_t last_key = 0;
  while (p < picks || f < previous.size() || !added_placed) {
    const uint32_t pick_key = p < picks ? distance_key(previous[p].distance) : UINT32_MAX;
    const uint32_t fill_key = f < previous.size() ? distance_key(previous[f].distance) : UINT32_MAX;
    SearchHit next;
    uint8_t was_pick = 0;
    uint32_t key;
    if (!added_placed && (added_key < pick_key || p == picks) &&
        (added_key < fill_key || f == previous.size())) {
      next = added;
      key = added_key;
      added_placed = true;
      added_position = sorted_.size();
    } else if (p < picks && (pick_key < fill_key || f == previous.size())) {
      next = previous[p++];
      key = pick_key;
      was_pick = 1;
    } else {
      next = previous[f++];
      key = fill_key;
    }
    if (!sorted_.empty() && !(last_key < key)) return false;
    last_key = key;
    sorted_.push_back(next);
    picked_before_.push_back(was_pick);
  }
  const size_t n = sorted_.size();
  const size_t dim = static_cast<size_t>(index_->dimension);
  cached_ = make_room(n);
  if (!cached_ && storage_.size() < n * dim) storage_.resize(n * dim);
  vectors_.assign(n, nullptr);
  roots_.assign(n, 0.0f);
  pick_positions_.clear();
  added_positions_.clear();
  out.clear();
  // Whether a pick of the earlier selection is no longer one: a candidate it rejected then may
  // pass now, so farther candidates rejected then are compared again in full.
  bool lost_pick = false;
  for (size_t i = 0; i < n; ++i) {
    if (out.size() >= budget) break;
    bool keep;
    if (picked_before_[i] != 0) {
      // It passed every pick nearer than it then; only the picks that are new may reject it.
      keep = keeps(i, added_positions_);
    } else if (i == added_position || lost_pick) {
      keep = keeps(i, pick_positions_);
    } else {
      // The pick that rejected it then is still nearer than it and still a pick.
      keep = false;
    }
    if (keep) {
      out.push_back(sorted_[i]);
      pick_positions_.push_back(i);
      if (picked_before_[i] == 0) added_positions_.push_back(i);
    } else if (picked_before_[i] != 0) {
      lost_pick = true;
    }
  }
  picks_in_order_ = out.size();
  size_t next_pick = 0;
  for (size_t i = 0; i < n && out.size() < budget; ++i) {
    if (next_pick < pick_positions_.size() && pick_positions_[next_pick] == i) {
      ++next_pick;
      continue;
    }
    out.push_back(sorted_[i]);
  }
  return true;
}

std::vector<SearchHit> select_neighbors(const HnswIndex& index,
                                        std::span<const SearchHit> candidates, size_t budget) {
  NeighborSelector selector(index);
  std::vector<SearchHit> out;
  selector.select(candidates, budget, out);
  return out;
}

}  // namespace kestrine
