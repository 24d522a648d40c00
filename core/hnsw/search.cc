#include "core/hnsw/search.h"

#include <algorithm>

#include "core/common/assert.h"
#include "core/hnsw/hit_order.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/layer_search.h"
#include "core/quantization/distance.h"
#include "core/quantization/pq.h"

namespace kestrine {

namespace {

struct SearchScratch {
  LayerSearcher::Scratch layer;
  std::vector<SearchHit> hits;
};

std::vector<SearchHit> run_search(const HnswIndex& index, std::span<const float> query, size_t k,
                                  const NodePredicate* accept, uint64_t ef_search) {
  if (!index.entry_point.has_value()) return {};
  KESTRINE_ASSERT(query.size() == index.dimension);  // checked once, when the engine admits it
  // Validated at load and kept by insertion: the descent starts on the entry point's top list.
  KESTRINE_ASSERT(*index.entry_point < index.node_count);
  KESTRINE_ASSERT(index.neighbors.layer_count(*index.entry_point) == index.max_level + 1);
  const float query_sq_norm = squared_norm(query);
  std::vector<float> table;
  if (pq_codebook_usable(index)) {
    table = pq_distance_table(*index.pq_codebook, query, index.config.distance_metric);
  }

  thread_local SearchScratch scratch;
  const NodeScorer scorer(index, query, query_sq_norm, table);
  LayerSearcher searcher(index, scorer, search_visited_set(), scratch.layer);
  std::vector<SearchHit>& hits = scratch.hits;

  uint32_t ep = *index.entry_point;
  for (size_t layer = static_cast<size_t>(index.max_level); layer >= 1; --layer) {
    searcher.run({&ep, 1}, 1, layer, nullptr, hits);
    if (!hits.empty()) ep = hits.front().id;
  }

  size_t ef = std::max<size_t>(ef_search, k);
  const size_t cap = std::min<size_t>(ef > SIZE_MAX / 4 ? SIZE_MAX : 4 * ef, index.node_count);
  searcher.run({&ep, 1}, ef, 0, accept, hits);
  while (hits.size() < k && ef < cap) {
    ef = std::min(2 * ef, cap);
    searcher.run({&ep, 1}, ef, 0, accept, hits);
  }

  // Table distances only ordered the walk; the caller gets raw or 8-bit distances. Without a
  // table the traversal distances already are those.
  if (scorer.uses_table()) {
    for (SearchHit& hit : hits) hit.distance = scorer.exact(hit.id);
  }
  sort_hits(hits);
  const size_t count = std::min(k, hits.size());
  return std::vector<SearchHit>(hits.begin(), hits.begin() + static_cast<ptrdiff_t>(count));
}

}  // namespace

std::vector<SearchHit> search(const HnswIndex& index, std::span<const float> query, size_t k,
                              std::optional<uint64_t> ef_search) {
  return run_search(index, query, k, nullptr, ef_search.value_or(index.config.ef_search));
}

std::vector<SearchHit> filtered_search(const HnswIndex& index, std::span<const float> query,
                                       size_t k, NodePredicate accept,
                                       std::optional<uint64_t> ef_search) {
  return run_search(index, query, k, &accept, ef_search.value_or(index.config.ef_search));
}

}  // namespace kestrine
