#include "core/collection/search.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "core/bm25/inverted_index.h"
#include "core/collection/filter_columns.h"
#include "core/collection/filter_eval.h"
#include "core/collection/fusion.h"
#include "core/common/assert.h"
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
  return data.get_document(data.internal_to_uuid[id]);
}

// A filter with its judge over the collection's metadata columns.
struct ColumnFilter {
  const CollectionData& data;
  const Filter& filter;
  FilterColumns::Judge judge;

  // matches_filter(data, id, filter) for an id that is not deleted.
  bool accepts(uint32_t id) const {
    // Past the live ids (a table out of step, which only a damaged state could give) the maps
    // decide, as they always did.
    return judge.live(id) ? judge.matches(id) : matches_filter(data, id, filter);
  }
};

// Every live node that passes the filter, scored with the final (rescoring) distance, the k
// nearest kept. The graph walk of a selective filter can end with fewer than k accepted nodes
// although more exist; this finds all of them.
std::vector<SearchHit> exact_filtered_scan(const ColumnFilter& filter, std::span<const float> query,
                                           size_t k) {
  const HnswIndex& index = filter.data.hnsw;
  const NodeScorer scorer(index, query, squared_norm(query));
  // The matches are scored by ascending id, the order of a walk over the nodes, so that even
  // distances that do not compare (NaN) keep the same hits.
  const std::vector<uint32_t> matching = filter.judge.matching_ids();
  std::vector<float> distances(matching.size());
  scorer.exact_distances(matching, distances.data());
  // A max-heap on (distance, id) of the k nearest so far; its size never exceeds the number of
  // nodes actually scanned, whatever k is.
  auto farther = [](const SearchHit& a, const SearchHit& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
  };
  std::vector<SearchHit> heap;
  for (size_t i = 0; i < matching.size(); ++i) {
    const SearchHit hit{distances[i], matching[i]};
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

// The planner: the exact scan or the graph walk, whichever is estimated to cost less, counted in
// distance computations. The scan judges every live document on the metadata columns and scores
// the M matches: M + j L for L live documents, where j is the cost of judging one document in
// distances (judge_share). A walk whose results may only be a share s = M / L of the nodes
// expands about ef_search / s of them, each with up to m_max0 links: about
// ef_search * m_max0 * L / M. So the scan runs while M stays below the root M* of
// M^2 + j L M = ef_search * m_max0 * L. Measured at 58,000 clustered documents (128-d, ef_search
// 50, m_max0 32), this sends filters keeping 1 % to the scan, and 50 % ones, and 10 % ones that
// compare with ten values, to the walk, the faster of the two in each case. Whichever runs, the
// scan is exact, so results only gain.
// (A stored configuration may hold any values; they are bounded so that the products stay in
// range.)
double exact_scan_limit(const HnswConfig& config, uint64_t ef_search, uint64_t live,
                        double judge_share) {
  const double walk = static_cast<double>(std::min<uint64_t>(ef_search, 1 << 20)) *
                      static_cast<double>(std::min<uint64_t>(config.m_max0, 1024)) *
                      static_cast<double>(live);
  const double judging = judge_share * static_cast<double>(live);
  return (std::sqrt(judging * judging + 4 * walk) - judging) / 2;
}

// The values a document is compared with when `filter` is judged: one per condition, one per
// value of an "in" list.
double comparisons(const Filter& filter) {
  double count = 0;
  for (const auto* list : {&filter.must, &filter.must_not, &filter.should}) {
    for (const FilterCondition& c : *list) {
      if (c.nested) {
        count += comparisons(*c.nested);
      } else {
        count += c.values ? static_cast<double>(std::max<size_t>(1, c.values->size())) : 1;
      }
    }
  }
  return count;
}

// What judging one document on the columns costs, in distance computations: a pass over the
// document's cells and a comparison per value, each about a thirtieth of a distance.
double judge_share(const Filter& filter) { return (1 + comparisons(filter)) / 32; }

// Nodes whose verdicts estimate the number of matches, spread evenly over the internal ids:
// enough to tell 1 % from 10 % reliably (about 20 against 200 matches), few enough to cost next
// to nothing beside either search, since the verdicts come from the columns.
constexpr uint32_t kSelectivitySample = 2048;

// Whether `filter` is estimated, from a sample, to keep at most exact_scan_limit live documents.
// A collection whose sampled nodes are all deleted counts as selective: the scan finds what is
// left.
bool filter_is_selective(const ColumnFilter& filter, uint64_t ef_search) {
  const CollectionData& data = filter.data;
  const HnswIndex& index = data.hnsw;
  KESTRINE_ASSERT(index.deleted.size() == index.node_count);  // validated at load
  const uint32_t nodes = index.node_count;
  const uint32_t step = std::max<uint32_t>(1, nodes / kSelectivitySample);
  const uint64_t live = data.documents.size();
  const double limit = exact_scan_limit(index.config, ef_search, live, judge_share(filter.filter));
  // Once the matches are too many for any number of sampled nodes the walk can still visit, the
  // answer is known: a filter that keeps many documents costs only the first few verdicts.
  const uint64_t planned = (nodes + step - 1) / step;
  uint64_t sampled = 0;
  uint64_t kept = 0;
  for (uint32_t id = 0; id < nodes; id += step) {
    if (index.deleted[id] != 0) continue;
    ++sampled;
    if (filter.accepts(id) &&
        static_cast<double>(++kept * live) > limit * static_cast<double>(planned)) {
      return false;
    }
  }
  return static_cast<double>(kept * live) <= limit * static_cast<double>(sampled);
}

// The vector side: at most k hits by ascending distance, restricted by the filter if any.
// `ef_search` is the request's, or else the collection's.
std::vector<SearchHit> vector_hits(const CollectionData& data, std::span<const float> query,
                                   size_t k, const ColumnFilter* filter,
                                   std::optional<uint64_t> ef_search) {
  const uint64_t ef = ef_search.value_or(data.hnsw.config.ef_search);
  if (filter == nullptr) return search(data.hnsw, query, k, ef);
  if (filter_is_selective(*filter, ef)) return exact_filtered_scan(*filter, query, k);
  auto accept = [&](uint32_t id) { return filter->accepts(id); };
  std::vector<SearchHit> hits = filtered_search(data.hnsw, query, k, accept, ef);
  if (hits.size() > k) hits.resize(k);
  if (hits.size() < k) hits = exact_filtered_scan(*filter, query, k);
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
  out->reserve(out->size() + hits.size());
  for (const ScoredId& hit : hits) {
    if (min_similarity && *min_similarity > hit.score) continue;
    if (DocumentPtr document = live_document(data, hit.id)) {
      out->push_back({std::move(document), hit.score});
    }
  }
}

// The vector side of `request` (which has a query embedding) as similarities.
std::vector<ScoredId> vector_similarities(const Collection& collection, const CollectionData& data,
                                          const SearchRequest& request) {
  const std::vector<float>& query = *request.query_embedding;
  if (!request.filter) {
    return as_similarities(vector_hits(data, query, request.k, nullptr, request.ef_search));
  }
  const ColumnFilter filter{
      data, *request.filter,
      collection.filter_columns().judge(data, collection.version(), *request.filter)};
  return as_similarities(vector_hits(data, query, request.k, &filter, request.ef_search));
}

// Runs `request` on the state of `collection`, read under its shared lock.
std::vector<ScoredDocument> run(const Collection& collection, const CollectionData& data,
                                const SearchRequest& request) {
  std::vector<ScoredDocument> results;
  const size_t k = request.k;
  const bool has_vector = request.query_embedding.has_value();
  const bool has_text = request.query_text.has_value();

  if (has_vector && !has_text) {
    collect(data, vector_similarities(collection, data, request), request.min_similarity, &results);
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
    vector_list = vector_similarities(collection, data, request);
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
  return collection.read(
      [&](const CollectionData& data) { return run(collection, data, request); });
}

}  // namespace kestrine
