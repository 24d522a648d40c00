#include <algorithm>
#include <cmath>
#include <limits>

#include "core/bm25/bm25_formula.h"
#include "core/bm25/inverted_index.h"
#include "core/common/score_map.h"
#include "core/common/top_k.h"

namespace kestrine {
namespace {

// Small collections should allocate little for their scores.
constexpr uint32_t kMaxInitialScoreRoom = 256;

// Bounds are widened by this factor and compared widened again, which covers the rounding of
// float sums taken in another order than a document's own (at most kMaxPrunedTerms terms, each
// adding a relative error of 2^-24) and of a share at the bound's (tf, length) pair.
constexpr double kBoundSlack = 1.0 + 1e-4;
constexpr size_t kMaxPrunedTerms = 512;

// A walk over one query term's postings, by increasing id. A term written twice in the query
// gets two cursors over the same list.
struct Cursor {
  const Posting* begin = nullptr;
  const Posting* at = nullptr;
  const Posting* end = nullptr;
  const ScoreBound* blocks = nullptr;
  float idf = 0.0f;
  double bound = 0.0;     // at least the term's share in any of its documents
  uint32_t position = 0;  // the term's place in the query

  // The block holding `at`, whose bound is cached.
  size_t block = SIZE_MAX;
  double block_bound = 0.0;
  uint32_t block_last = 0;  // id of the block's last posting

  // The share in the document being scored, if the cursor stands on it.
  bool hit = false;
  float share = 0.0f;
};

class PrunedSearch {
 public:
  PrunedSearch(const InvertedIndex& index, size_t k) : index_(index), k_(k) {}

  // False when some query term lacks its bounds (the caller scores exhaustively then).
  bool start(const Tokens& tokens);
  std::vector<ScoredId> run();

 private:
  float share(const Cursor& c, const Posting& p) const {
    const float dl =
        p.id < index_.doc_lengths.size() ? static_cast<float>(index_.doc_lengths[p.id]) : 0.0f;
    return term_score(c.idf, static_cast<float>(p.tf), dl, avgdl_);
  }
  double bound_of(float idf, const ScoreBound& pair) const {
    return static_cast<double>(term_score(idf, static_cast<float>(pair.tf),
                                          static_cast<float>(pair.length), avgdl_)) *
           kBoundSlack;
  }
  void enter_block(Cursor& c) const;
  bool cannot_enter(double bound) const { return prune_ && bound * kBoundSlack < threshold_; }
  void offer(uint32_t id);

  const InvertedIndex& index_;
  const size_t k_;
  float avgdl_ = 0.0f;
  bool prune_ = true;
  std::vector<Cursor> cursors_;       // by ascending bound
  std::vector<double> prefix_;        // prefix_[i]: the sum of the bounds of cursors_[0, i)
  std::vector<int32_t> by_position_;  // query position -> index in cursors_, -1: unknown term
  std::vector<ScoredId> heap_;        // the k best so far, weakest at the front
  double threshold_ = -std::numeric_limits<double>::infinity();
};

bool PrunedSearch::start(const Tokens& tokens) {
  const auto n = static_cast<float>(index_.doc_count);
  avgdl_ = static_cast<float>(index_.total_length) / n;
  prune_ = tokens.spans.size() <= kMaxPrunedTerms && std::isfinite(avgdl_) && avgdl_ > 0.0f;
  size_t postings = 0;
  for (size_t i = 0; i < tokens.spans.size(); ++i) {
    const std::string_view term = tokens.token(i);
    const auto list = index_.postings.find(term);
    if (list == index_.postings.end() || list->second.empty()) continue;
    const auto bounds = index_.bounds.find(term);
    if (bounds == index_.bounds.end()) return false;
    const std::vector<Posting>& postings_of_term = list->second;
    Cursor c;
    c.begin = c.at = postings_of_term.data();
    c.end = c.begin + postings_of_term.size();
    c.blocks = bounds->second.blocks.data();
    if (bounds->second.blocks.size() * kPostingBlock < postings_of_term.size()) return false;
    c.idf = inverse_document_frequency(n, static_cast<float>(postings_of_term.size()));
    c.position = static_cast<uint32_t>(i);
    for (const ScoreBound& pair : bounds->second.frontier)
      c.bound = std::max(c.bound, bound_of(c.idf, pair));
    // Negative or non-finite shares (counts read from a file that disagree) would break the
    // bounds' arithmetic: such a search scores every document.
    if (!std::isfinite(c.idf) || c.idf < 0.0f || !std::isfinite(c.bound)) prune_ = false;
    postings += postings_of_term.size();
    cursors_.push_back(c);
  }
  std::ranges::stable_sort(cursors_, {}, &Cursor::bound);
  prefix_.assign(cursors_.size() + 1, 0.0);
  for (size_t i = 0; i < cursors_.size(); ++i) prefix_[i + 1] = prefix_[i] + cursors_[i].bound;
  by_position_.assign(tokens.spans.size(), -1);
  for (size_t i = 0; i < cursors_.size(); ++i) {
    by_position_[cursors_[i].position] = static_cast<int32_t>(i);
  }
  heap_.reserve(std::min(k_, postings));
  return true;
}

void PrunedSearch::enter_block(Cursor& c) const {
  const auto offset = static_cast<size_t>(c.at - c.begin);
  const size_t block = offset / kPostingBlock;
  if (block == c.block) return;
  c.block = block;
  c.block_bound = bound_of(c.idf, c.blocks[block]);
  const size_t last = std::min<size_t>((block + 1) * kPostingBlock, c.end - c.begin) - 1;
  c.block_last = c.begin[last].id;
}

// The document's score is the sum of the shares in query order, starting from 0, exactly as the
// exhaustive scorer accumulates it; it enters the k best as select_top_k would let it.
void PrunedSearch::offer(uint32_t id) {
  float score = 0.0f;
  for (const int32_t c : by_position_) {
    if (c >= 0 && cursors_[c].hit) score += cursors_[c].share;
  }
  const ScoredId entry{id, score};
  if (heap_.size() < k_) {
    heap_.push_back(entry);
    std::ranges::push_heap(heap_, stronger);
  } else if (stronger(entry, heap_.front())) {
    std::ranges::pop_heap(heap_, stronger);
    heap_.back() = entry;
    std::ranges::push_heap(heap_, stronger);
  } else {
    return;
  }
  if (heap_.size() == k_ && prune_) threshold_ = heap_.front().score;
}

// Document-at-a-time with the terms split by their bounds: the weakest terms, whose bounds sum
// below the k-th best score so far, cannot bring a document in on their own, so only the
// others' postings propose candidates, and the weak lists are only looked up, at candidates
// whose other shares leave a chance. Candidates pass blocks whose bounds together stay below
// that score without scoring their postings.
std::vector<ScoredId> PrunedSearch::run() {
  const size_t count = cursors_.size();
  size_t essential = 0;  // cursors_[essential, count) propose candidates
  while (essential < count) {
    uint32_t id = UINT32_MAX;
    bool any = false;
    for (size_t i = essential; i < count; ++i) {
      if (cursors_[i].at != cursors_[i].end) {
        id = std::min(id, cursors_[i].at->id);
        any = true;
      }
    }
    if (!any) break;

    if (prune_ && heap_.size() == k_) {
      uint32_t window_end = UINT32_MAX;
      double window_bound = prefix_[essential];
      for (size_t i = essential; i < count; ++i) {
        Cursor& c = cursors_[i];
        if (c.at == c.end) continue;
        enter_block(c);
        window_end = std::min(window_end, c.block_last);
        window_bound += c.block_bound;
      }
      if (cannot_enter(window_bound)) {
        for (size_t i = essential; i < count; ++i) {
          Cursor& c = cursors_[i];
          while (c.at != c.end && c.at->id <= window_end) ++c.at;
        }
        continue;
      }
    }

    double sum = 0.0;
    for (size_t i = essential; i < count; ++i) {
      Cursor& c = cursors_[i];
      c.hit = c.at != c.end && c.at->id == id;
      if (c.hit) {
        c.share = share(c, *c.at);
        sum += c.share;
      }
    }
    for (size_t i = 0; i < essential; ++i) cursors_[i].hit = false;
    bool open = true;
    for (size_t i = essential; i-- > 0;) {
      if (cannot_enter(sum + prefix_[i + 1])) {
        open = false;
        break;
      }
      Cursor& c = cursors_[i];
      // Galloping: the candidates come in increasing order, often far apart in a long list.
      size_t step = 1;
      const Posting* low = c.at;
      while (c.end - low > static_cast<ptrdiff_t>(step) && low[step].id < id) {
        low += step;
        step *= 2;
      }
      const Posting* high = c.end - low > static_cast<ptrdiff_t>(step) ? low + step + 1 : c.end;
      c.at = std::lower_bound(low, high, id,
                              [](const Posting& p, uint32_t target) { return p.id < target; });
      c.hit = c.at != c.end && c.at->id == id;
      if (c.hit) {
        c.share = share(c, *c.at);
        sum += c.share;
      }
    }
    if (open) {
      offer(id);
      while (essential < count && cannot_enter(prefix_[essential + 1])) ++essential;
    }
    for (size_t i = essential; i < count; ++i) {
      Cursor& c = cursors_[i];
      if (c.at != c.end && c.at->id == id) ++c.at;
    }
  }
  std::ranges::sort_heap(heap_, stronger);  // best first
  return std::move(heap_);
}

}  // namespace

ScoreMap keyword_scores(const InvertedIndex& index, std::string_view query) {
  if (index.doc_count == 0) return ScoreMap(0);
  const Tokens tokens = tokenize(query);
  if (tokens.spans.empty()) return ScoreMap(0);

  const auto n = static_cast<float>(index.doc_count);
  const float avgdl = static_cast<float>(index.total_length) / n;
  ScoreMap scores(std::min(index.doc_count, kMaxInitialScoreRoom));
  for (size_t i = 0; i < tokens.spans.size(); ++i) {
    const auto list = index.postings.find(tokens.token(i));
    if (list == index.postings.end()) continue;
    const float idf = inverse_document_frequency(n, static_cast<float>(list->second.size()));
    for (const Posting& posting : list->second) {
      const float dl = posting.id < index.doc_lengths.size()
                           ? static_cast<float>(index.doc_lengths[posting.id])
                           : 0.0f;
      scores.add(posting.id, term_score(idf, static_cast<float>(posting.tf), dl, avgdl));
    }
  }
  return scores;
}

std::vector<ScoredId> keyword_search(const InvertedIndex& index, std::string_view query, size_t k) {
  if (k == 0 || index.doc_count == 0) return {};
  if (index.ascending_ids) {
    const Tokens tokens = tokenize(query);
    PrunedSearch search(index, k);
    if (search.start(tokens)) return search.run();
  }
  return select_top_k(keyword_scores(index, query).entries(), k);
}

}  // namespace kestrine
