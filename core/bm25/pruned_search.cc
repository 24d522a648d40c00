#include "core/bm25/pruned_search.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <utility>

#include "core/bm25/term_shares.h"
#include "core/common/top_k.h"

namespace kestrine {
namespace {

// A window holds a row of one share per query term for each of its documents: about 64 KiB of
// rows, for between kMinWindow and kMaxWindow documents.
constexpr size_t kWindowFloats = 16384;
constexpr size_t kMinWindow = 64;
constexpr size_t kMaxWindow = 4096;

// The calling thread's rows and marks, all zero between windows; at most
// kMinWindow * kMaxPrunedTerms floats (128 KiB), whatever the collection's size.
struct WindowScratch {
  std::vector<float> rows;
  std::vector<uint64_t> marks;
};

struct Cursor {
  const Posting* begin = nullptr;
  const Posting* at = nullptr;  // the first posting not yet passed
  const Posting* end = nullptr;
  const ScoreBound* blocks = nullptr;
  float idf = 0.0f;
  double bound = 0.0;

  size_t size() const { return static_cast<size_t>(end - begin); }
  size_t block_of(const Posting* p) const { return static_cast<size_t>(p - begin) / kPostingBlock; }
  const Posting* block_end(size_t block) const {
    return begin + std::min((block + 1) * kPostingBlock, size());
  }
};

bool id_below(const Posting& p, uint64_t id) { return p.id < id; }

class Search {
 public:
  Search(std::span<const QueryTerm> terms, std::span<const uint32_t> lengths, float avgdl,
         size_t k);
  std::vector<ScoredId> run();

 private:
  // Whether documents whose score is at most `bound` (before widening) stay out of the k best.
  // Until k documents are held, none does.
  bool below_cut(double bound) const { return bound * kBoundSlack < threshold_; }
  double block_bound(const Cursor& c, size_t block) const {
    const ScoreBound& b = c.blocks[block];
    return static_cast<double>(shares_(c.idf, b.tf, b.length)) * kBoundSlack;
  }
  // Moves the cursor to its first posting whose id is at least `target`.
  void seek(Cursor& c, uint64_t target) const;
  // The highest bound of the cursor's blocks that hold ids in [its posting, hi).
  double window_bound(const Cursor& c, uint64_t hi) const;
  // Writes the shares of term `q` for the documents of [lo, hi) into their rows and marks them,
  // passing over blocks whose bound plus `others` stays below the cut.
  void scan(Cursor& c, size_t q, uint32_t lo, uint64_t hi, double others);
  void offer(const ScoredId& entry);

  std::vector<Cursor> cursors_;  // in query order
  std::span<const uint32_t> lengths_;
  TermShares shares_;
  size_t k_;
  size_t window_;
  float* rows_ = nullptr;
  uint64_t* marks_ = nullptr;
  std::vector<ScoredId> heap_;  // the k best so far, the weakest at the front
  double threshold_ = -std::numeric_limits<double>::infinity();
};

Search::Search(std::span<const QueryTerm> terms, std::span<const uint32_t> lengths, float avgdl,
               size_t k)
    : lengths_(lengths), shares_(avgdl), k_(k) {
  cursors_.reserve(terms.size());
  for (const QueryTerm& t : terms) {
    const Posting* begin = t.list.data();
    cursors_.push_back({begin, begin, begin + t.list.size(), t.blocks.data(), t.idf, t.bound});
  }
  window_ = std::clamp(std::bit_floor(kWindowFloats / terms.size()), kMinWindow, kMaxWindow);
  thread_local WindowScratch scratch;
  const size_t floats = window_ * terms.size();
  if (scratch.rows.size() < floats) scratch.rows.resize(floats, 0.0f);
  if (scratch.marks.size() < window_ / 64) scratch.marks.resize(window_ / 64, 0);
  rows_ = scratch.rows.data();
  marks_ = scratch.marks.data();
}

void Search::seek(Cursor& c, uint64_t target) const {
  if (c.at == c.end || c.at->id >= target) return;
  size_t block = c.block_of(c.at);
  while ((c.block_end(block) - 1)->id < target) {
    if ((block + 1) * kPostingBlock >= c.size()) {
      c.at = c.end;
      return;
    }
    ++block;
  }
  const Posting* from = std::max(c.at, c.begin + block * kPostingBlock);
  c.at = std::lower_bound(from, c.block_end(block), target, id_below);
}

double Search::window_bound(const Cursor& c, uint64_t hi) const {
  if (c.at == c.end || c.at->id >= hi) return 0.0;
  double best = 0.0;
  for (size_t block = c.block_of(c.at);
       block * kPostingBlock < c.size() && c.begin[block * kPostingBlock].id < hi; ++block) {
    best = std::max(best, block_bound(c, block));
  }
  return best;
}

void Search::scan(Cursor& c, size_t q, uint32_t lo, uint64_t hi, double others) {
  const size_t stride = cursors_.size();
  const uint32_t* lengths = lengths_.data();
  const Posting* at = c.at;
  while (at != c.end && at->id < hi) {
    const size_t block = c.block_of(at);
    const Posting* block_end = c.block_end(block);
    if (heap_.size() == k_ && below_cut(block_bound(c, block) + others)) {
      if ((block_end - 1)->id < hi) {
        at = block_end;
        continue;
      }
      at = std::lower_bound(at, block_end, hi, id_below);
      break;
    }
    for (; at != block_end && at->id < hi; ++at) {
      const uint32_t offset = at->id - lo;
      rows_[offset * stride + q] = shares_(c.idf, at->tf, lengths[at->id]);
      marks_[offset / 64] |= uint64_t{1} << (offset % 64);
    }
  }
  c.at = at;
}

void Search::offer(const ScoredId& entry) {
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
  if (heap_.size() == k_) threshold_ = heap_.front().score;
}

std::vector<ScoredId> Search::run() {
  const size_t count = cursors_.size();
  // By ascending bound: a prefix of this order that stays below the cut can bring no document
  // in, so the next window starts at the lowest id among the other terms' postings.
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::ranges::sort(order, {}, [&](size_t q) { return cursors_[q].bound; });
  std::vector<double> window_max(count);
  std::vector<size_t> window_order(count);

  while (true) {
    size_t first_essential = 0;
    for (double sum = 0.0; first_essential < count;) {
      sum += cursors_[order[first_essential]].bound;
      if (!below_cut(sum)) break;
      ++first_essential;
    }
    uint64_t lo = UINT64_MAX;
    for (size_t i = first_essential; i < count; ++i) {
      const Cursor& c = cursors_[order[i]];
      if (c.at != c.end) lo = std::min<uint64_t>(lo, c.at->id);
    }
    if (lo == UINT64_MAX) break;
    const uint64_t hi = lo + window_;

    double total = 0.0;
    for (size_t q = 0; q < count; ++q) {
      seek(cursors_[q], lo);
      window_max[q] = window_bound(cursors_[q], hi);
      total += window_max[q];
    }
    if (below_cut(total)) {
      for (Cursor& c : cursors_) seek(c, hi);
      continue;
    }
    // Within the window, the terms of lowest bounds that together stay below the cut only
    // complete documents that the others bring.
    std::iota(window_order.begin(), window_order.end(), size_t{0});
    std::ranges::sort(window_order, {}, [&](size_t q) { return window_max[q]; });
    size_t split = 0;
    double completing = 0.0;
    while (split < count && below_cut(completing + window_max[window_order[split]])) {
      completing += window_max[window_order[split++]];
    }
    for (size_t i = split; i < count; ++i) {
      const size_t q = window_order[i];
      scan(cursors_[q], q, static_cast<uint32_t>(lo), hi, total - window_max[q]);
    }

    for (size_t word = 0; word < window_ / 64; ++word) {
      for (uint64_t bits = std::exchange(marks_[word], 0); bits != 0; bits &= bits - 1) {
        const size_t offset = word * 64 + static_cast<size_t>(std::countr_zero(bits));
        const auto id = static_cast<uint32_t>(lo + offset);
        float* row = rows_ + offset * count;
        double partial = 0.0;
        for (size_t q = 0; q < count; ++q) partial += row[q];
        bool out = below_cut(partial + completing);
        double rest = completing;
        // The completing terms, highest bound first, while the document may still get in.
        for (size_t i = split; !out && i-- > 0;) {
          const size_t q = window_order[i];
          Cursor& c = cursors_[q];
          rest -= window_max[q];
          seek(c, id);
          if (c.at != c.end && c.at->id == id) {
            row[q] = shares_(c.idf, c.at->tf, lengths_[id]);
            partial += row[q];
          }
          out = below_cut(partial + rest);
        }
        if (!out) {
          // The exhaustive scorer's sum: the shares in query order, a missing one adding 0.
          float score = 0.0f;
          for (size_t q = 0; q < count; ++q) score += row[q];
          offer({id, score});
        }
        std::fill(row, row + count, 0.0f);
      }
    }
    // Terms that only completed documents may still stand inside the window.
    for (Cursor& c : cursors_) seek(c, hi);
  }
  std::ranges::sort_heap(heap_, stronger);  // best first, as select_top_k gives them
  return std::move(heap_);
}

}  // namespace

std::vector<ScoredId> pruned_search(std::span<const QueryTerm> terms,
                                    std::span<const uint32_t> lengths, float avgdl, size_t k) {
  if (terms.empty() || k == 0) return {};
  return Search(terms, lengths, avgdl, k).run();
}

}  // namespace kestrine
