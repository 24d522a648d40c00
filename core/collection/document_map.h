// The live documents of a collection, in a compact layout: every text in one arena, one 16-byte
// slot per node of the collection (text offset and length, metadata index) in a table indexed
// by node, metadata only for documents that have some. A document costs its text and its slot:
// its id is not stored again, since the collection's id tables already hold it both ways.
//
// A document is kept at its key's node: the node uuid_to_internal gives the key, when
// internal_to_uuid names the key back there. A document whose key has no such node (only
// an inconsistent stored collection has one) is kept by its key in a side table instead, and
// found there the same way. A snapshot's documents come before its id tables: decoding stages
// them in a plain list, in order, and places them once the tables are read.
//
// Every look-up and change reads the id tables, which the collection passes in (IdTables). They
// change only as a collection changes them: entries of internal_to_uuid are appended, never
// rewritten, and a key's entry in uuid_to_internal changes only while the key has no document.
// Tables replaced whole are followed by place (decoding) or renumber (a rebuild).
//
// Look-ups return views into the tables (valid until the map changes) or shared copies (get).
// Iteration visits the documents kept at nodes in node order, then those kept by key, in an
// order any change may alter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/collection/document.h"
#include "core/common/cache_line_allocator.h"
#include "core/common/metadata.h"
#include "core/common/uuid.h"
#include "core/common/uuid_map.h"

namespace kestrine {

class DocumentMap {
 public:
  static constexpr uint32_t kNoMetadata = UINT32_MAX;
  static constexpr uint32_t kNoDocument = UINT32_MAX - 1;  // a slot that holds no document
  static constexpr uint32_t kNoNode = UINT32_MAX;

 private:
  struct Stored {
    uint64_t offset = 0;              // of the text in texts_
    uint32_t length = 0;              // of the text (texts are below 4 GiB: check_text_size)
    uint32_t metadata = kNoDocument;  // index into metadata_, kNoMetadata, or kNoDocument
    bool present() const { return metadata != kNoDocument; }
    friend bool operator==(const Stored&, const Stored&) = default;
  };

 public:
  // A collection's id tables, which the documents are read through.
  struct IdTables {
    const UuidMap<uint32_t>& uuid_to_internal;
    std::span<const Uuid> internal_to_uuid;
  };

  // The node a document with `key` is kept at, or kNoNode.
  static uint32_t node_of(const Uuid& key, const IdTables& ids);

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = DocumentView;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    DocumentView operator*() const;
    Iterator& operator++();
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.node_ == b.node_ && a.unplaced_ == b.unplaced_;
    }

   private:
    friend class DocumentMap;
    Iterator(const DocumentMap* map, std::span<const Uuid> keys, size_t node,
             UuidMap<Stored>::const_iterator unplaced);
    // Moves on to the next present slot, or past the slots.
    void skip_absent();

    const DocumentMap* map_ = nullptr;
    std::span<const Uuid> keys_;  // internal_to_uuid: the key of each slot
    size_t node_ = 0;             // the slot visited; slots_.size() once among the unplaced
    UuidMap<Stored>::const_iterator unplaced_;
  };

  // The documents in iteration order, given the collection's internal_to_uuid.
  struct Range {
    Iterator first;
    Iterator last;
    Iterator begin() const { return first; }
    Iterator end() const { return last; }
  };

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Range all(std::span<const Uuid> internal_to_uuid) const;

  // The document stored under `key`, if any.
  std::optional<DocumentView> find(const Uuid& key, const IdTables& ids) const;
  bool contains(const Uuid& key, const IdTables& ids) const { return find(key, ids).has_value(); }
  // A shared copy of the document stored under `key`, or null.
  DocumentPtr get(const Uuid& key, const IdTables& ids) const;

  // Stores a document under `key` (its id, except in snapshots that say otherwise), replacing
  // any document stored there; `text` and `metadata` must not view this map (a view of it is
  // copied first by the DocumentView overload).
  void insert_or_assign(const Uuid& key, const Uuid& id, std::string_view text, Metadata metadata,
                        const IdTables& ids);
  void insert_or_assign(const Uuid& key, const DocumentView& document, const IdTables& ids);
  void insert_or_assign(const Uuid& key, const Document& document, const IdTables& ids);
  // Removes the document stored under `key`; false when there is none.
  bool erase(const Uuid& key, const IdTables& ids);
  void clear();

  // Stages a document read before the id tables that place it (a snapshot's): held in order,
  // neither found nor iterated until place(), where a later one under the same key replaces an
  // earlier one as insert_or_assign would have. Same contract for `text` as insert_or_assign.
  void stage(const Uuid& key, const Uuid& id, std::string_view text, Metadata metadata);
  // Keeps every staged document, and every document kept by key whose key has a node now, at
  // its node (the others by key).
  void place(const IdTables& ids);
  // Keeps every document at the node its key has in `ids`, or by key, when the id tables the
  // documents were kept by (whose internal_to_uuid was `old_keys`) have been replaced (a rebuild).
  void renumber(std::span<const Uuid> old_keys, const IdTables& ids);

  // Makes room for documents at nodes below `node_count`: that many slots, or an eighth more
  // than now when that is more (so that reserving batch after batch stays amortised constant
  // time).
  void reserve_nodes(size_t node_count);
  // Makes room for `documents` more staged documents.
  void reserve_staged(size_t documents);
  // Makes room for `text_bytes` more bytes of text.
  void reserve_text(size_t text_bytes);
  // Heap bytes held, growth room included.
  size_t memory_bytes() const;

 private:
  DocumentView view(const Uuid& key, const Stored& stored) const;
  // The slot of the document stored under `key`, or null.
  const Stored* stored(const Uuid& key, const IdTables& ids) const;
  Stored store(std::string_view text, Metadata metadata);
  // A slot for `node`, growing the table when needed.
  Stored& slot(uint32_t node);
  // Makes room for `extra` more bytes of text.
  void grow_texts(size_t extra);
  // Records the own id of the document stored under `key` (forgotten when it is the key).
  void remember_own_id(const Uuid& key, const Uuid& id);
  // Forgets what `stored` holds in the arena and the metadata slots.
  void release(const Stored& stored);
  // Rewrites the arena without the texts of removed documents once they are half of it.
  void compact_if_wasteful();

  CacheLineVector<Stored> slots_;  // by node; kNoDocument where none is kept
  UuidMap<Stored> unplaced_;       // documents whose key has no node, by key
  // Documents to place, by key, in stored order. A table block: a large one is a mapping of its
  // own, so that freeing it after placement leaves no hole in the heap for later small blocks
  // to scatter into and keep resident.
  CacheLineVector<std::pair<Uuid, Stored>> staged_;
  size_t size_ = 0;
  CacheLineVector<char>
      texts_;             // every stored text, back to back (and removed ones, until compacted)
  uint64_t garbage_ = 0;  // bytes of texts_ no entry refers to
  std::vector<Metadata> metadata_;       // non-empty metadata; free slots are empty
  std::vector<uint32_t> free_metadata_;  // indexes of free slots of metadata_
  UuidMap<Uuid> own_ids_;                // the own id of every document stored under another key
};

}  // namespace kestrine
