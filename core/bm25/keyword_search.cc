#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "core/bm25/bm25_formula.h"
#include "core/bm25/inverted_index.h"
#include "core/common/score_map.h"
#include "core/common/top_k.h"

namespace kestrine {
namespace {

// Small collections should allocate little for their scores.
constexpr uint32_t kMaxInitialScoreRoom = 256;

// Bounds are widened by this factor, which covers the rounding of float sums taken in another
// order than a document's own (at most kMaxPrunedTerms terms, each adding a relative error of
// 2^-24) and of a share computed at a bound's (tf, length) pair.
constexpr double kBoundSlack = 1.0 + 1e-4;
constexpr size_t kMaxPrunedTerms = 512;

// A query whose lists hold at least 1/kWholeArrayShare postings per document of the collection
// is scored over the whole array of sums (DenseSearch::whole_array).
constexpr size_t kWholeArrayShare = 4;

// Documents per block of the whole-array search: 16 KiB of sums.
constexpr size_t kSumsBlock = 4096;

// The part of a share before the idf, (tf * (k1 + 1)) / (tf + k1 * (1 - b + b * dl / avgdl)),
// for the small frequencies and lengths that make up most postings, computed with the same
// operations as term_score so that multiplying by the idf gives its bits. It depends on avgdl
// alone; each thread keeps the table of the last avgdl it searched with (laid out as share_code
// numbers its entries).
struct ShareTable {
  uint32_t avgdl_bits = 0;
  bool filled = false;
  std::array<float, kTableShareCodes> ratio{};
};

// Not inlined, like dense_sums: the table's address then comes back once as a plain pointer.
// Inlined, the compiler may compute a thread_local's address again for each use, a call into
// the dynamic linker per posting in the loops below.
[[gnu::noinline]] const ShareTable& share_table(float avgdl) {
  thread_local ShareTable table;
  const auto bits = std::bit_cast<uint32_t>(avgdl);
  if (table.filled && table.avgdl_bits == bits) return table;
  for (uint32_t tf = 1; tf <= kShareFrequencies; ++tf) {
    for (uint32_t dl = 0; dl < kShareLengths; ++dl) {
      // term_score with an idf of 1 stops one multiplication short, and y * 1 is y.
      table.ratio[(tf - 1) * kShareLengths + dl] =
          term_score(1.0f, static_cast<float>(tf), static_cast<float>(dl), avgdl);
    }
  }
  table.avgdl_bits = bits;
  table.filled = true;
  return table;
}

struct QueryTerm {
  const std::vector<Posting>* list = nullptr;
  const uint16_t* share_codes = nullptr;  // one a posting (TermBounds::share_codes)
  float idf = 0.0f;
  double bound = 0.0;  // at least the term's share in any of its documents, widened
};

// Per-thread scratch of the dense search: a sum per internal id, all 0 between searches, and
// the ids whose sum is not 0, the first `held` entries of `touched`. `touched` is always one
// entry longer than the ids a search may hold, so that a term's loop may write an id past the
// held ones before knowing whether to keep it, without resizing (and filling) the vector.
struct DenseSums {
  std::vector<float> sums;
  std::vector<uint32_t> touched;
  size_t held = 0;
  std::vector<float> partials;  // for selecting the k-th best partial sum

  std::span<uint32_t> held_ids() { return {touched.data(), held}; }
};

// Taken once a search: a thread_local named in a loop may cost a call per use in a shared
// library.
[[gnu::noinline]] DenseSums& dense_sums() {
  thread_local DenseSums d;
  return d;
}

class DenseSearch {
 public:
  DenseSearch(const InvertedIndex& index, float avgdl)
      : lengths_(index.doc_lengths), avgdl_(avgdl), table_(share_table(avgdl)) {}

  // term_score's value for the posting whose share code is `code`, bit for bit.
  float share(float idf, const Posting& p, uint16_t code) const {
    if (code < kTableShareCodes) return table_.ratio[code] * idf;
    return share_outside_table(idf, p, code);
  }

  // Out of line, so that the loops over postings keep their registers for the common case. A
  // code outside the table still names the posting's (tf, length) pair, the same numbers as
  // p.tf and lengths_[p.id], which then need not be looked up in memory the loop does not read.
  [[gnu::noinline, gnu::cold]] float share_outside_table(float idf, const Posting& p,
                                                         uint16_t code) const {
    if (code != kNoShareCode) {
      return term_score(idf, static_cast<float>(code / kShareLengths + 1),
                        static_cast<float>(code % kShareLengths), avgdl_);
    }
    return term_score(idf, static_cast<float>(p.tf), static_cast<float>(lengths_[p.id]), avgdl_);
  }

  std::vector<ScoredId> run(const std::vector<QueryTerm>& terms, size_t k);

 private:
  // For queries whose lists cover much of the collection: every share added to its document's
  // sum, without noting which documents were reached, then one pass over the whole array.
  std::vector<ScoredId> whole_array(DenseSums& d, const std::vector<QueryTerm>& terms,
                                    size_t k) const;

  // A document's score is its one share: the k best come from one pass over the list.
  std::vector<ScoredId> one_term(const QueryTerm& term, size_t k) const;

  // The k-th best sum so far, a lower bound of the k-th best final score (sums only grow).
  double kth_best(DenseSums& d, size_t k) const;

  std::span<const uint32_t> lengths_;
  float avgdl_;
  const ShareTable& table_;
};

double DenseSearch::kth_best(DenseSums& d, size_t k) const {
  // Over an even sample of at most kThresholdSample documents: the k-th best of some documents
  // is at most that of all, so still a lower bound, at a bounded cost per term.
  constexpr size_t kThresholdSample = 512;
  const size_t stride = (d.held + kThresholdSample - 1) / kThresholdSample;
  if (d.held / stride < k) return 0.0;
  d.partials.clear();
  for (size_t i = 0; i < d.held; i += stride) d.partials.push_back(d.sums[d.touched[i]]);
  std::ranges::nth_element(d.partials, d.partials.begin() + static_cast<ptrdiff_t>(k - 1),
                           std::greater<>{});
  return d.partials[k - 1];
}

// Runs of sums that whole_array passes over when none can enter: long enough that the test is
// one vectorized loop of fixed length, short enough that a run holding a candidate costs little.
constexpr size_t kRun = 64;

// Whether any of the kRun sums from `run` on is at least `floor`. Counting, rather than stopping
// at the first, keeps the loop free of branches, so that it is compiled to vector comparisons.
bool any_reaches(const float* run, float floor) {
  uint32_t reaching = 0;
  for (size_t j = 0; j < kRun; ++j) reaching += run[j] >= floor ? 1 : 0;
  return reaching != 0;
}

// Offers the documents from `first` to `end` (exclusive) whose sum is not 0.
void offer_sums(TopK& top, const float* sums, size_t first, size_t end) {
  for (size_t j = first; j < end; ++j) {
    if (sums[j] > 0.0f && !(sums[j] < top.weakest())) {
      top.offer({static_cast<uint32_t>(j), sums[j]});
    }
  }
}

// Offers the documents of the kRun sums from `first` on whose sum is at least `floor`, a
// positive number at most top.weakest(): those of offer_sums that may enter. They are found four
// at a time by one vector comparison each, so that the many sums of a run that cannot enter cost
// no branch of their own.
void offer_reaching(TopK& top, const float* sums, size_t first, float floor) {
#if defined(__SSE2__)
  const __m128 at_least = _mm_set1_ps(floor);
  for (size_t j = first; j < first + kRun; j += 4) {
    auto reaching =
        static_cast<unsigned>(_mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(sums + j), at_least)));
    while (reaching != 0) {
      const size_t i = j + static_cast<size_t>(std::countr_zero(reaching));
      reaching &= reaching - 1;
      if (!(sums[i] < top.weakest())) top.offer({static_cast<uint32_t>(i), sums[i]});
    }
  }
#else
  (void)floor;
  offer_sums(top, sums, first, first + kRun);
#endif
}

std::vector<ScoredId> DenseSearch::whole_array(DenseSums& d, const std::vector<QueryTerm>& terms,
                                               size_t k) const {
  float* sums = d.sums.data();
  const float* ratio = table_.ratio.data();
  const size_t n = lengths_.size();
  size_t postings = 0;
  for (const QueryTerm& term : terms) postings += term.list->size();
  std::vector<size_t> at(terms.size(), 0);  // each list's first posting not yet added
  TopK top(k, postings);
  // The documents are taken a block at a time, small enough for the block's sums to stay in
  // the first-level cache while every list adds its shares to them (in query order, so that
  // each sum is the document's score) and while they are read and cleared.
  for (size_t first = 0; first < n; first += kSumsBlock) {
    const size_t end = std::min(n, first + kSumsBlock);
    for (size_t t = 0; t < terms.size(); ++t) {
      const QueryTerm& term = terms[t];
      const Posting* list = term.list->data();
      const size_t size = term.list->size();
      const uint16_t* codes = term.share_codes;
      const float idf = term.idf;
      size_t j = at[t];
      // Four postings at a time while the fourth is still in the block (ids increase, so then
      // all four are), with one test of their four codes: codes in the table are below a power
      // of two, so their bitwise or is below it exactly when each is. The list is fetched
      // ahead: the loop reads several lists in turns, a block's worth each, which the
      // processor's own prefetching follows poorly.
      static_assert(std::has_single_bit(kTableShareCodes));
      for (; j + 4 <= size && list[j + 3].id < end; j += 4) {
        __builtin_prefetch(list + std::min(j + 64, size - 1));
        const uint16_t c0 = codes[j];
        const uint16_t c1 = codes[j + 1];
        const uint16_t c2 = codes[j + 2];
        const uint16_t c3 = codes[j + 3];
        if ((c0 | c1 | c2 | c3) < kTableShareCodes) [[likely]] {
          sums[list[j].id] += ratio[c0] * idf;
          sums[list[j + 1].id] += ratio[c1] * idf;
          sums[list[j + 2].id] += ratio[c2] * idf;
          sums[list[j + 3].id] += ratio[c3] * idf;
        } else {
          for (size_t i = j; i < j + 4; ++i) sums[list[i].id] += share(idf, list[i], codes[i]);
        }
      }
      for (; j < size && list[j].id < end; ++j) {
        const uint16_t code = codes[j];
        sums[list[j].id] += code < kTableShareCodes ? ratio[code] * idf : share(idf, list[j], code);
      }
      at[t] = j;
    }
    // The block is read a run of sums at a time; a run none of which can enter is passed over.
    // Shares are positive, so a sum below the smallest positive float is 0: a document no list
    // reached. The floor changes only when a sum enters.
    const auto floor_of = [](const TopK& kept) {
      return std::max(kept.weakest(), std::numeric_limits<float>::denorm_min());
    };
    float floor = floor_of(top);
    size_t i = first;
    for (; i + kRun <= end; i += kRun) {
      if (!any_reaches(sums + i, floor)) continue;
      offer_reaching(top, sums, i, floor);
      floor = floor_of(top);
    }
    offer_sums(top, sums, i, end);
    std::fill(sums + first, sums + end, 0.0f);
  }
  return std::move(top).take();
}

std::vector<ScoredId> DenseSearch::one_term(const QueryTerm& term, size_t k) const {
  const std::vector<Posting>& list = *term.list;
  TopK top(k, list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const float s = share(term.idf, list[i], term.share_codes[i]);
    // Most shares end at this one comparison, without a call.
    if (!(s < top.weakest())) top.offer({list[i].id, s});
  }
  return std::move(top).take();
}

// Term at a time in query order, so that each document's sum is folded in the order of the
// exhaustive scorer, into a dense array instead of a map. Once the bounds of the terms still to
// come sum below the k-th best sum so far, a document that none of the terms so far matched
// cannot reach the k best: from then on the lists are only used to complete the documents
// already there, and a document whose sum plus those bounds stays below it is dropped. Lists
// that reach much of the collection rarely close, and go to whole_array, which keeps no list of
// the documents reached.
std::vector<ScoredId> DenseSearch::run(const std::vector<QueryTerm>& terms, size_t k) {
  if (terms.size() == 1) return one_term(terms[0], k);
  DenseSums& d = dense_sums();
  if (d.sums.size() < lengths_.size()) d.sums.resize(lengths_.size(), 0.0f);
  if (d.touched.size() <= lengths_.size()) d.touched.resize(lengths_.size() + 1);
  d.held = 0;
  // rest[i]: the bounds of terms[i..]; rest_postings[i]: their postings.
  std::vector<double> rest(terms.size() + 1, 0.0);
  std::vector<size_t> rest_postings(terms.size() + 1, 0);
  for (size_t i = terms.size(); i-- > 0;) {
    rest[i] = rest[i + 1] + terms[i].bound;
    rest_postings[i] = rest_postings[i + 1] + terms[i].list->size();
  }
  if (rest_postings[0] >= lengths_.size() / kWholeArrayShare) return whole_array(d, terms, k);

  bool open = true;  // whether new documents may still enter
  for (size_t i = 0; i < terms.size(); ++i) {
    const QueryTerm& term = terms[i];
    // Closing costs a pass over a sample of the documents held; it is tried only when the lists
    // still to come are much longer, and when the bounds of the terms so far (which no sum
    // exceeds) reach past those of the terms to come.
    if (open && i > 0 && d.held >= k && rest[i] * kBoundSlack < rest[0] - rest[i] &&
        rest_postings[i] >= 2 * d.held) {
      const double threshold = kth_best(d, k);
      if (rest[i] * kBoundSlack < threshold) {
        open = false;
        const auto dropped = std::ranges::remove_if(d.held_ids(), [&](uint32_t id) {
          if ((d.sums[id] + rest[i]) * kBoundSlack >= threshold) return false;
          d.sums[id] = 0.0f;
          return true;
        });
        d.held -= dropped.size();
      }
    }
    if (open) {
      float* sums = d.sums.data();
      const float* ratio = table_.ratio.data();
      const uint16_t* codes = term.share_codes;
      const float idf = term.idf;
      // Every id is written at the end of `touched` and kept only if new: whether a document
      // is new is a coin toss the branch predictor would lose.
      size_t held = d.held;
      uint32_t* touched = d.touched.data();
      const auto add = [&](uint32_t id, float share_of_p) {
        float& sum = sums[id];
        touched[held] = id;
        held += sum == 0.0f ? 1 : 0;
        sum += share_of_p;
      };
      const Posting* list = term.list->data();
      const size_t size = term.list->size();
      size_t j = 0;
      // Four postings at a time with one test of their codes, as in whole_array.
      for (; j + 4 <= size; j += 4) {
        __builtin_prefetch(list + std::min(j + 64, size - 1));
        const uint16_t c0 = codes[j];
        const uint16_t c1 = codes[j + 1];
        const uint16_t c2 = codes[j + 2];
        const uint16_t c3 = codes[j + 3];
        if ((c0 | c1 | c2 | c3) < kTableShareCodes) [[likely]] {
          add(list[j].id, ratio[c0] * idf);
          add(list[j + 1].id, ratio[c1] * idf);
          add(list[j + 2].id, ratio[c2] * idf);
          add(list[j + 3].id, ratio[c3] * idf);
        } else {
          for (size_t i = j; i < j + 4; ++i) add(list[i].id, share(idf, list[i], codes[i]));
        }
      }
      for (; j < size; ++j) add(list[j].id, share(idf, list[j], codes[j]));
      d.held = held;
    } else if (d.held * 16 < term.list->size()) {
      // Few documents left: look each up in the list instead of reading all of it.
      std::ranges::sort(d.held_ids());
      const Posting* at = term.list->data();
      const Posting* end = at + term.list->size();
      for (const uint32_t id : d.held_ids()) {
        at = std::lower_bound(at, end, id, [](const Posting& p, uint32_t v) { return p.id < v; });
        if (at == end) break;
        if (at->id == id) {
          d.sums[id] += share(term.idf, *at, term.share_codes[at - term.list->data()]);
        }
      }
    } else {
      const std::vector<Posting>& list = *term.list;
      for (size_t j = 0; j < list.size(); ++j) {
        float& sum = d.sums[list[j].id];
        if (sum != 0.0f) sum += share(term.idf, list[j], term.share_codes[j]);
      }
    }
  }

  TopK top(k, d.held);
  float* sums = d.sums.data();
  for (const uint32_t id : d.held_ids()) {
    // Most sums end at this one comparison, without a call.
    if (!(sums[id] < top.weakest())) top.offer({id, sums[id]});
    sums[id] = 0.0f;
  }
  return std::move(top).take();
}

// The query's terms in query order (a term written twice comes twice) with their bounds; false
// when the dense search does not apply: a term without bounds, counts read from a file that
// disagree (no positive average length, an idf that is not a positive number), or a list
// holding a term frequency of 0 or an id beyond the lengths.
bool query_terms(const InvertedIndex& index, const Tokens& tokens, float avgdl,
                 std::vector<QueryTerm>& terms) {
  if (tokens.spans.size() > kMaxPrunedTerms || !std::isfinite(avgdl) || !(avgdl > 0.0f)) {
    return false;
  }
  const auto n = static_cast<float>(index.doc_count);
  for (size_t i = 0; i < tokens.spans.size(); ++i) {
    const std::string_view word = tokens.token(i);
    const auto list = index.postings.find(word);
    if (list == index.postings.end() || list->second.empty()) continue;
    const auto bounds = index.bounds.find(word);
    if (bounds == index.bounds.end() || bounds->second.min_tf == 0) return false;
    if (list->second.back().id >= index.doc_lengths.size()) return false;
    if (bounds->second.share_codes.size() != list->second.size()) return false;
    QueryTerm term{&list->second, bounds->second.share_codes.data(),
                   inverse_document_frequency(n, float(list->second.size()))};
    if (!std::isfinite(term.idf) || !(term.idf > 0.0f)) return false;
    for (const ScoreBound& pair : bounds->second.frontier) {
      const float share =
          term_score(term.idf, static_cast<float>(pair.tf), static_cast<float>(pair.length), avgdl);
      term.bound = std::max(term.bound, static_cast<double>(share) * kBoundSlack);
    }
    if (!std::isfinite(term.bound)) return false;
    terms.push_back(term);
  }
  return true;
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
    const float avgdl =
        static_cast<float>(index.total_length) / static_cast<float>(index.doc_count);
    std::vector<QueryTerm> terms;
    if (query_terms(index, tokens, avgdl, terms)) {
      if (terms.empty()) return {};
      return DenseSearch(index, avgdl).run(terms, k);
    }
  }
  return select_top_k(keyword_scores(index, query).entries(), k);
}

}  // namespace kestrine
