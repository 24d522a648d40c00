// A named collection of documents with a fixed embedding dimension and its two indexes, the
// HNSW graph over the embeddings and the BM25 index over the texts. Both indexes speak of a
// document by its internal id: the dense number it got at insertion, which is its position in
// `internal_to_uuid`.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/collection/document.h"
#include "core/collection/document_map.h"
#include "core/collection/filter_columns.h"
#include "core/common/error.h"
#include "core/common/uuid.h"
#include "core/common/uuid_map.h"
#include "core/hnsw/config.h"
#include "core/hnsw/hnsw_index.h"
#include "core/quantization/scalar.h"

namespace kestrine {

// The collection's state; also the layout of its snapshot record, field for field.
struct CollectionData {
  std::string name;
  uint64_t dimension = 0;
  DocumentMap documents;  // exactly the live documents
  HnswIndex hnsw;
  InvertedIndex bm25;
  UuidMap<uint32_t> uuid_to_internal;
  CacheLineVector<Uuid> internal_to_uuid;  // its length is the next internal id

  // The id tables the documents are read through (document_map.h).
  DocumentMap::IdTables id_tables() const { return {uuid_to_internal, internal_to_uuid}; }
  // The live document stored under `key` (its id), if any.
  std::optional<DocumentView> find_document(const Uuid& key) const {
    return documents.find(key, id_tables());
  }
  // A shared copy of it, or null.
  DocumentPtr get_document(const Uuid& key) const { return documents.get(key, id_tables()); }
  bool has_document(const Uuid& key) const { return documents.contains(key, id_tables()); }
  // Every live document: those kept at nodes in node order, then any others.
  DocumentMap::Range all_documents() const { return documents.all(internal_to_uuid); }
  // Stores `document` under `key`, replacing any document stored there. A new document's key is
  // given its node first (index_document), so that the document is kept there.
  void store_document(const Uuid& key, const Document& document) {
    documents.insert_or_assign(key, document, id_tables());
  }
  // Removes the document stored under `key`; false when there is none.
  bool erase_document(const Uuid& key) { return documents.erase(key, id_tables()); }
};

// A document and its embedding, on their way into a collection.
struct DocumentInsert {
  DocumentPtr document;
  std::span<const float> embedding;
};

class Collection {
 public:
  // An empty collection whose index uses `config`.
  Collection(std::string name, uint64_t dimension, const HnswConfig& config);
  // A collection restored from stored state (a snapshot).
  explicit Collection(CollectionData data);

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Name and dimension never change after construction, so they are read without the lock.
  const std::string& name() const { return data_.name; }
  uint64_t dimension() const { return data_.dimension; }

  // Checks that a document may be inserted, in this order: `embedding_size` must equal the
  // dimension, `id` must not be live, and `text` must be within check_text_size's limit.
  // `id_text` is the id as the caller wrote it, for the message. The one admission rule for
  // documents, used by the engine and by log replay alike.
  Status check_insert(const Uuid& id, std::string_view id_text, size_t embedding_size,
                      std::string_view text) const;
  // What check_insert asks less the live id, in the same order: the admission rule for a
  // document that may replace a live one (an upsert).
  Status check_replace(size_t embedding_size, std::string_view text) const;

  // Inserts a document whose embedding has exactly `dimension` values. The caller has checked
  // (check_insert) that its id is not live; should another thread have inserted it meanwhile,
  // the document is not inserted and false is returned. An embedding of another length is
  // refused the same way, before anything changes.
  [[nodiscard]] bool insert_document(DocumentPtr document, std::span<const float> embedding);
  // Inserts the documents in order as insert_document inserts each (one whose id is live by
  // now, or whose embedding has another length, is left out), under one hold of the exclusive
  // lock, with the graph insertions run from `threads` threads that live only for this call
  // (insert_batch). Returns the position of the first document left out, if any.
  std::optional<size_t> insert_documents(std::span<const DocumentInsert> batch, size_t threads);
  // Makes room in every per-document table for `documents` more documents holding `text_bytes`
  // bytes of text, so that a batch inserted one document at a time grows each table once
  // instead of step by step (with the room left over that doubling leaves).
  void reserve(size_t documents, size_t text_bytes);
  // The live document with that id, or null.
  DocumentPtr get_document(const Uuid& id) const;
  // Deletes the live document with that id; false when there is none.
  bool delete_document(const Uuid& id);
  // Stores the document under its id in one step under the exclusive lock, deleting a live
  // document with that id first, so that a reader sees the old document or the new one and
  // never neither. True when a live document was replaced. An embedding whose length is not
  // the dimension is refused before anything changes (false, nothing stored). Defined in
  // replace.cc.
  bool replace_document(DocumentPtr document, std::span<const float> embedding);

  uint64_t estimate_memory() const;

  // Replaces both indexes and the id tables by fresh ones built from the live documents only,
  // renumbering them from 0 and dropping deleted nodes; trains product quantization when the
  // configuration asks for it. Readers and writers go on during the build and wait only while
  // the result is installed. Returns the number of documents the build started from. A failed
  // training leaves the collection as it was. Defined in rebuild.cc.
  Result<uint64_t> rebuild();

  // Runs `f` on the state under the shared lock (readers: search, snapshot writing).
  template <typename F>
  decltype(auto) read(F&& f) const {
    std::shared_lock lock(mutex_);
    return std::forward<F>(f)(std::as_const(data_));
  }
  // Runs `f` on the state under the exclusive lock.
  template <typename F>
  decltype(auto) write(F&& f) {
    auto lock = lock_for_change();
    return std::forward<F>(f)(data_);
  }

  // Counts the holds of the exclusive lock, so that what is derived from the state and kept
  // between reads (the filter columns) can tell that it is out of date. Read under the lock.
  uint64_t version() const { return version_; }
  // The metadata columns that filtered searches judge documents by; see filter_columns.h.
  FilterColumns& filter_columns() const { return filter_columns_; }

 private:
  // The exclusive lock, for a change of the state.
  std::unique_lock<std::shared_mutex> lock_for_change() {
    std::unique_lock lock(mutex_);
    ++version_;
    return lock;
  }

  // Taken before `mutex_` for a whole rebuild: one rebuild at a time, so that a rebuild's
  // catch-up compares internal ids against the numbering it started from.
  std::mutex rebuild_mutex_;
  mutable std::shared_mutex mutex_;
  CollectionData data_;
  uint64_t version_ = 0;
  mutable FilterColumns filter_columns_;
};

// Adds a document to the tables of `data` under the next internal id: both id maps, the keyword
// index and the graph (`embedding` has exactly `dimension` values, `quantized` is its 8-bit
// form). Storing the document in `documents` is the caller's part. Under the exclusive lock.
void index_document(CollectionData& data, const Uuid& id, std::string_view text,
                    std::span<const float> embedding, const QuantizedVector& quantized);

// Exact memory estimate of a collection's state, in bytes (see collection.cc for the terms).
uint64_t estimate_memory(const CollectionData& data);

}  // namespace kestrine
