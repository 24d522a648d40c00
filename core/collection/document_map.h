// The live documents of a collection, keyed by id, in a compact layout: every text in one arena,
// one flat hash slot per document (key, text offset and length, metadata index), metadata only
// for documents that have some. A document costs its text and about 40 bytes, against a heap
// object, a hash node and a text allocation of its own (some 250 bytes beyond the text) in a
// map of shared documents.
//
// Look-ups return views into the tables (valid until the map changes) or shared copies
// (get). Iteration visits the documents in an unspecified order that any change may alter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/common/cache_line_allocator.h"

#include "core/collection/document.h"
#include "core/common/metadata.h"
#include "core/common/uuid.h"
#include "core/common/uuid_map.h"

namespace kestrine {

class DocumentMap {
  struct Stored {
    uint64_t offset = 0;              // of the text in texts_
    uint32_t length = 0;              // of the text (texts are below 4 GiB: check_text_size)
    uint32_t metadata = kNoMetadata;  // index into metadata_
    friend bool operator==(const Stored&, const Stored&) = default;
  };
  using Entries = UuidMap<Stored>;

 public:
  static constexpr uint32_t kNoMetadata = UINT32_MAX;

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = DocumentView;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    Iterator(const DocumentMap* map, Entries::const_iterator at) : map_(map), at_(at) {}
    DocumentView operator*() const { return map_->view(*at_); }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++at_;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }

   private:
    const DocumentMap* map_ = nullptr;
    Entries::const_iterator at_;
  };

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  bool contains(const Uuid& key) const { return entries_.contains(key); }
  // The document stored under `key`, if any.
  std::optional<DocumentView> find(const Uuid& key) const;
  // A shared copy of the document stored under `key`, or null.
  DocumentPtr get(const Uuid& key) const;

  // Stores a copy of `document` under `key` (its id, except in snapshots that say otherwise),
  // replacing any document stored there.
  void insert_or_assign(const Uuid& key, const Document& document);
  void insert_or_assign(const Uuid& key, const DocumentView& document);
  // The same from the parts of a document; `text` must not view this map.
  void insert_or_assign(const Uuid& key, const Uuid& id, std::string_view text, Metadata metadata);
  // Removes the document stored under `key`; false when there is none.
  bool erase(const Uuid& key);
  void clear();

  // Makes room for `documents` more documents holding `text_bytes` more bytes of text.
  void reserve(size_t documents, size_t text_bytes);
  // Gives back the text arena's growth room (after a batch).
  void shrink_to_fit();

  Iterator begin() const { return Iterator(this, entries_.begin()); }
  Iterator end() const { return Iterator(this, entries_.end()); }

  // Heap bytes held, growth room included.
  size_t memory_bytes() const;

 private:
  DocumentView view(const Entries::Slot& slot) const;
  Stored store(std::string_view text, Metadata metadata);
  // Makes room for `extra` more bytes of text.
  void grow_texts(size_t extra);
  // Forgets what `stored` holds in the arena and the metadata slots.
  void release(const Stored& stored);
  // Rewrites the arena without the texts of removed documents once they are half of it.
  void compact_if_wasteful();

  Entries entries_;
  CacheLineVector<char>
      texts_;             // every stored text, back to back (and removed ones, until compacted)
  uint64_t garbage_ = 0;  // bytes of texts_ no entry refers to
  std::vector<Metadata> metadata_;       // non-empty metadata; free slots are empty
  std::vector<uint32_t> free_metadata_;  // indexes of free slots of metadata_
  UuidMap<Uuid> own_ids_;                // the own id of every document stored under another key
};

}  // namespace kestrine
