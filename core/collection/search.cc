#include "core/collection/search.h"

#include <algorithm>
#include <span>

#include "core/bm25/inverted_index.h"
#include "core/collection/filter_eval.h"
#include "core/collection/fusion.h"
#include "core/common/top_k.h"
#include "core/hnsw/node_scorer.h"
#include "core/hnsw/search.h"
#include "core/quantization/distance.h"

namespace kestrine {

Status require_query(const SearchRequest& request) {
  if (!request.query_embedding && !request.query_text) {
    return fail(Error::invalid_value(kMissingQueryMessage));
  }
  return {};
}

namespace {

// The live document behind an internal id, or null.
DocumentPtr live_document(const CollectionData& data, uint32_t id) {
  if (id >= data.internal_to_uuid.size()) return nullptr;
  return data.documents.get(data.internal_to_uuid[id]);
}

// Every live node that passes the filter, scored with the final (rescoring) distance, the k
// nearest kept. The graph walk of a selective filter can end with fewer than k accepted nodes
// although more exist; this finds all of them.
std::vector<SearchHit> exact_filtered_scan(const CollectionData& data, std::span<const float> query,
                                           size_t k, const Filter& filter) {
  const HnswIndex& index = data.hnsw;
  const NodeScorer scorer(index, query, squared_norm(query));
  // A max-heap on (distance, id) of the k nearest so far; its size never exceeds the number of
  // nodes actually scanned, whatever k is.
  auto farther = [](const SearchHit& a, const SearchHit& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
  };
  std::vector<SearchHit> heap;
  const uint32_t nodes =
      std::min<uint32_t>(index.node_count, static_cast<uint32_t>(index.deleted.size()));
  // The live documents are walked directly rather than looked up node by node: the filter's
  // verdict needs only the metadata, and the id map is consulted for the few that match. The
  // matches are then scored by ascending id, the order of a walk over the nodes, so that even
  // distances that do not compare (NaN) keep the same hits.
  std::vector<uint32_t> matching;
  for (const DocumentView document : data.documents) {
    if (!metadata_matches(document.metadata, filter)) continue;
    const Uuid& uuid = document.key;
    const uint32_t* internal = data.uuid_to_internal.get(uuid);
    if (internal == nullptr) continue;
    const uint32_t id = *internal;
    if (id >= nodes || id >= data.internal_to_uuid.size() || index.deleted[id] != 0 ||
        data.internal_to_uuid[id] != uuid) {
      continue;
    }
    matching.push_back(id);
  }
  std::ranges::sort(matching);
  for (const uint32_t id : matching) {
    const SearchHit hit{scorer.exact(id), id};
    if (heap.size() < k) {
      heap.push_back(hit);
      std::ranges::push_heap(heap, farther);
    } else if (!heap.empty() && farther(hit, heap.front())) {
      std::ranges::pop_heap(heap, farther);
      heap.back() = hit;
      std::ranges::push_heap(heap, farther);
    }
  }
  std::ranges::sort_heap(heap, farther);
  return heap;
}

// A filter estimated to keep at most ef_search * m_max0 / 2 documents is answered by the exact
// scan alone. The scan tests every live document once; a graph walk that may only return a share
// s of the nodes expands about ef_search / s of them, each with up to m_max0 links, and so widens
// over most of a graph before it has k matches when few documents match. Measured on 10,000 and
// 100,000 nodes (ef_search 50, m_max0 32), the scan is the faster below about 600-800 matches.
// Whichever runs, the scan is exact, so results only gain.
// (A stored configuration may hold any values; they are bounded so that the products stay in
// range.)
uint64_t exact_scan_limit(const HnswConfig& config) {
  return std::min<uint64_t>(config.ef_search, 1 << 20) * std::min<uint64_t>(config.m_max0, 1024) /
         2;
}
// Nodes whose verdicts estimate the number of matches, spread evenly over the internal ids:
// enough to tell 1 % from 10 % reliably, few enough to cost next to nothing beside either search.
constexpr uint32_t kSelectivitySample = 256;

// Whether `filter` is estimated, from a sample, to keep at most exact_scan_limit live documents.
// A collection whose sampled nodes are all deleted counts as selective: the scan finds what is
// left.
bool filter_is_selective(const CollectionData& data, const Filter& filter) {
  const HnswIndex& index = data.hnsw;
  const uint32_t nodes =
      std::min<uint32_t>(index.node_count, static_cast<uint32_t>(index.deleted.size()));
  const uint32_t step = std::max<uint32_t>(1, nodes / kSelectivitySample);
  const uint64_t live = data.documents.size();
  const uint64_t limit = exact_scan_limit(index.config);
  // Once the matches are too many for any number of sampled nodes the walk can still visit, the
  // answer is known: a filter that keeps many documents costs only the first few verdicts.
  const uint64_t planned = (nodes + step - 1) / step;
  uint64_t sampled = 0;
  uint64_t kept = 0;
  for (uint32_t id = 0; id < nodes; id += step) {
    if (index.deleted[id] != 0) continue;
    ++sampled;
    if (matches_filter(data, id, filter) && ++kept * live > limit * planned) return false;
  }
  return kept * live <= limit * sampled;
}

// The vector side: at most k hits by ascending distance, restricted by the filter if any.
std::vector<SearchHit> vector_hits(const CollectionData& data, std::span<const float> query,
                                   size_t k, const std::optional<Filter>& filter) {
  if (!filter) return search(data.hnsw, query, k);
  if (filter_is_selective(data, *filter)) return exact_filtered_scan(data, query, k, *filter);
  auto accept = [&](uint32_t id) { return matches_filter(data, id, *filter); };
  std::vector<SearchHit> hits = filtered_search(data.hnsw, query, k, accept);
  if (hits.size() > k) hits.resize(k);
  if (hits.size() < k) hits = exact_filtered_scan(data, query, k, *filter);
  return hits;
}

std::vector<ScoredId> as_similarities(const std::vector<SearchHit>& hits) {
  std::vector<ScoredId> out;
  out.reserve(hits.size());
  for (const SearchHit& hit : hits) out.push_back({hit.id, 1.0f - hit.distance});
  return out;
}

// The keyword side: at most k hits by descending BM25 score. With `filter`, only matching
// documents compete for the k places.
std::vector<ScoredId> keyword_hits(const CollectionData& data, const std::string& text, size_t k,
                                   const Filter* filter) {
  if (filter == nullptr) return keyword_search(data.bm25, text, k);
  if (k == 0) return {};
  const ScoreMap scores = keyword_scores(data.bm25, text);
  std::vector<ScoredId> matching;
  for (const ScoredId& entry : scores.entries()) {
    if (matches_filter(data, entry.id, *filter)) matching.push_back(entry);
  }
  return select_top_k(matching, k);
}

// Maps scored ids to their live documents, dropping those below `min_similarity`.
void collect(const CollectionData& data, std::span<const ScoredId> hits,
             const std::optional<float>& min_similarity, std::vector<ScoredDocument>* out) {
  for (const ScoredId& hit : hits) {
    if (min_similarity && *min_similarity > hit.score) continue;
    if (DocumentPtr document = live_document(data, hit.id)) {
      out->push_back({std::move(document), hit.score});
    }
  }
}

std::vector<ScoredDocument> run(const CollectionData& data, const SearchRequest& request) {
  std::vector<ScoredDocument> results;
  const size_t k = request.k;
  const bool has_vector = request.query_embedding.has_value();
  const bool has_text = request.query_text.has_value();

  if (has_vector && !has_text) {
    std::vector<ScoredId> hits =
        as_similarities(vector_hits(data, *request.query_embedding, k, request.filter));
    collect(data, hits, request.min_similarity, &results);
    return results;
  }
  if (has_text && !has_vector) {
    const Filter* filter = request.filter ? &*request.filter : nullptr;
    std::vector<ScoredId> hits = keyword_hits(data, *request.query_text, k, filter);
    collect(data, hits, request.min_similarity, &results);
    return results;
  }

  // Hybrid: each side is asked for k hits. With a filter, the vector side searches only
  // matching documents, and the keyword side's k hits are screened (nothing is fetched again
  // to replace the ones the filter removes).
  std::vector<ScoredId> vector_list;
  if (!request.filter || data.hnsw.entry_point) {
    vector_list = as_similarities(vector_hits(data, *request.query_embedding, k, request.filter));
  }
  std::vector<ScoredId> keyword_list = keyword_search(data.bm25, *request.query_text, k);
  if (request.filter) {
    std::erase_if(keyword_list, [&](const ScoredId& hit) {
      return !matches_filter(data, hit.id, *request.filter);
    });
  }
  std::vector<ScoredId> fused = request.linear_fusion
                                    ? fuse_linear(vector_list, keyword_list, request.alpha, k)
                                    : fuse_rrf(vector_list, keyword_list, k);
  collect(data, fused, request.min_similarity, &results);
  return results;
}

}  // namespace

std::vector<ScoredDocument> search_collection(const Collection& collection,
                                              const SearchRequest& request) {
  return collection.read([&](const CollectionData& data) { return run(data, request); });
}

}  // namespace kestrine
