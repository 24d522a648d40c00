#include "core/bm25/inverted_index.h"

#include <algorithm>

#include "core/bm25/lowercase.h"

namespace kestrine {
namespace {

// Called after postings were erased from the list of `term`: drops a list left empty, with its
// bounds, or recomputes its bounds, which may have been the removed postings'. Returns the
// next term.
PostingMap::iterator after_removal(InvertedIndex& index, PostingMap::iterator term) {
  const auto bounds = index.bounds.find(term->first);
  if (term->second.empty()) {
    if (bounds != index.bounds.end()) index.bounds.erase(bounds);
    return index.postings.erase(term);
  }
  if (bounds != index.bounds.end()) bounds->second = bounds_of(term->second, index.doc_lengths);
  return std::next(term);
}

}  // namespace

void add_document(InvertedIndex& index, uint32_t id, std::string_view text) {
  const Tokens tokens = tokenize(text);
  const auto length = static_cast<uint32_t>(tokens.spans.size());
  // An id below one seen before could land before other postings, or give a listed document
  // another length: the bounds would no longer hold.
  if (id < index.doc_lengths.size()) index.ascending_ids = false;
  if (index.doc_lengths.size() <= id) index.doc_lengths.resize(size_t{id} + 1, 0);
  index.doc_lengths[id] = length;
  ++index.doc_count;
  index.total_length += length;

  // Terms are slices of the one lowercased copy; only a term new to the index is copied, as the
  // key of its posting list.
  std::unordered_map<std::string_view, uint32_t> frequencies;
  frequencies.reserve(length);
  for (size_t i = 0; i < tokens.spans.size(); ++i) ++frequencies[tokens.token(i)];
  for (const auto& [term, tf] : frequencies) {
    auto list = index.postings.find(term);
    if (list == index.postings.end()) {
      list = index.postings.emplace(std::string(term), std::vector<Posting>{}).first;
    }
    list->second.push_back({id, tf});
    if (index.ascending_ids) {
      auto bounds = index.bounds.find(term);
      if (bounds == index.bounds.end()) {
        bounds = index.bounds.emplace(std::string(term), TermBounds{}).first;
      }
      note_posting(bounds->second, tf, length);
    }
  }
}

void remove_document(InvertedIndex& index, uint32_t id, bool was_indexed) {
  const uint32_t length = id < index.doc_lengths.size() ? index.doc_lengths[id] : 0;
  // The counters are lowered with a floor at 0: an index read from a file may hold counts that
  // disagree with its lengths, and must not wrap around.
  if (index.doc_count > 0 && (length > 0 || was_indexed)) --index.doc_count;
  if (length == 0) return;  // no token, hence no posting
  index.doc_lengths[id] = 0;
  index.total_length -= std::min<uint64_t>(length, index.total_length);

  // There is no list of terms per document, so every term is visited. Walking the map's nodes
  // costs more than the sequential scan of each list, which also keeps this exact for lists in
  // any order.
  for (auto term = index.postings.begin(); term != index.postings.end();) {
    std::vector<Posting>& list = term->second;
    const size_t erased =
        std::erase_if(list, [id](const Posting& posting) { return posting.id == id; });
    term = erased == 0 && !list.empty() ? std::next(term) : after_removal(index, term);
  }
}

void remove_documents(InvertedIndex& index, std::span<const uint32_t> ids) {
  if (ids.size() == 1) {
    remove_document(index, ids[0], /*was_indexed=*/true);
    return;
  }
  std::vector<bool> removed(index.doc_lengths.size(), false);
  bool any_postings = false;
  for (uint32_t id : ids) {
    if (index.doc_count > 0) --index.doc_count;
    const uint32_t length = id < index.doc_lengths.size() ? index.doc_lengths[id] : 0;
    if (length == 0) continue;
    index.doc_lengths[id] = 0;
    index.total_length -= std::min<uint64_t>(length, index.total_length);
    removed[id] = true;
    any_postings = true;
  }
  if (!any_postings) return;
  for (auto term = index.postings.begin(); term != index.postings.end();) {
    std::vector<Posting>& list = term->second;
    const size_t erased = std::erase_if(list, [&removed](const Posting& posting) {
      return posting.id < removed.size() && removed[posting.id];
    });
    term = erased == 0 && !list.empty() ? std::next(term) : after_removal(index, term);
  }
}

void derive_score_bounds(InvertedIndex& index) {
  index.bounds.clear();
  index.ascending_ids = true;
  index.bounds.reserve(index.postings.size());
  for (const auto& [term, list] : index.postings) {
    const bool ascending = std::ranges::adjacent_find(list, [](const Posting& a, const Posting& b) {
                             return a.id >= b.id;
                           }) == list.end();
    // An id beyond the lengths (possible in a file) would stay in its list while later
    // documents, numbered from the end of the lengths, are appended behind it.
    if (!ascending || (!list.empty() && list.back().id >= index.doc_lengths.size())) {
      index.ascending_ids = false;
      index.bounds.clear();
      return;
    }
    index.bounds.emplace(term, bounds_of(list, index.doc_lengths));
  }
}

Status check_text_size(std::string_view text, uint64_t limit) {
  if (lowercased_size_at_most(text, limit)) return {};
  return fail(Error::invalid_value("text too long"));
}

}  // namespace kestrine
