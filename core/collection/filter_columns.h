// The documents' metadata laid out by internal id, one column per field a filter names, so that a
// filter is judged for a document by reading a few bytes at its id instead of finding the
// document and then its field in hash maps. A selective filter is answered by judging every
// document (the exact scan), which this makes a pass over arrays.
//
// Columns are derived data, kept between searches: built on first use for the fields a filter
// names, and used only while the collection is at the version they were built for (every change
// of the collection bumps its version, Collection::version). Any number of searches may ask at
// once; one builds while the others wait.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/collection/filter.h"
#include "core/collection/filter_eval.h"

namespace kestrine {

struct CollectionData;

class FilterColumns {
 public:
  // One filter resolved against columns: every condition on a field bound to its column.
  class Judge {
   public:
    // Whether internal id `id` holds a live document that the exact scan considers: below the
    // index's node count, not deleted, and tied to its document both ways by the id maps.
    bool live(uint32_t id) const { return id < live_->size() && (*live_)[id] != 0; }
    // metadata_matches's verdict for the document at `id`, which must be live(id).
    bool matches(uint32_t id) const { return holds(*root_, id); }
    // Every id for which live(id) and matches(id) hold, ascending. Judges the columns one
    // condition at a time, which costs a few nanoseconds a document.
    std::vector<uint32_t> matching_ids() const;

    struct Element;
    struct Compiled {
      std::vector<Element> must, must_not, should;
    };
    struct Element {
      const FilterCondition* condition;  // a condition on a field, or
      const StoredField* column;         // (its column, indexed by internal id)
      const Compiled* nested;            // a nested filter (condition and column unused)
    };

   private:
    friend class FilterColumns;
    static bool holds(const Compiled& filter, uint32_t id);
    // The verdicts of `filter` for ids [0, n) into out[0, n), 0 or 1.
    static void verdicts(const Compiled& filter, size_t n, uint8_t* out);

    const std::vector<uint8_t>* live_ = nullptr;
    const Compiled* root_ = nullptr;
    std::vector<std::unique_ptr<Compiled>> owned_;  // the root and every nested filter
  };

  // A judge for `filter` over columns current for `data` at `version`, built here when missing
  // or older. The caller holds the collection's lock (shared is enough) and uses the judge only
  // while it holds it. The filter must outlive the judge.
  Judge judge(const CollectionData& data, uint64_t version, const Filter& filter);

 private:
  std::mutex mutex_;
  bool built_ = false;
  uint64_t version_ = 0;
  std::vector<uint8_t> live_;  // by internal id: 1 for live(id)
  // By field name. The map's elements stay where they are when others are added, so a judge
  // keeps pointing at its columns while another search adds some.
  std::unordered_map<std::string, std::vector<StoredField>> columns_;
};

}  // namespace kestrine
