// One opened database: what a Python `Kestrine` object drives. It owns the collections and,
// for a persistent database, the data directory, the key and the write-ahead log.
// Every mutating operation validates first, so that a rejected call changes nothing and
// writes nothing; then, on a persistent database, it logs the change (with no engine lock
// held), and only then applies it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/database.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"
#include "core/collection/search.h"
#include "core/common/error.h"
#include "core/hnsw/config.h"
#include "core/storage/crypto.h"
#include "core/storage/lifecycle.h"

namespace kestrine {

// A document on its way in, with its embedding and the id as the caller wrote it (used only in
// error messages, so that they quote the caller's text).
struct NewDocument {
  DocumentPtr document;
  std::vector<float> embedding;
  std::string id_text;
};

class Engine {
 public:
  Engine();  // an ephemeral database: everything in memory
  // An ephemeral database with a database key (null: none), which `save` uses by default.
  explicit Engine(KeyPtr key);

  // A persistent database opened from `data_dir` with the database key `key` (null: none); see
  // PersistentStore::open for what opening does and its errors. Warnings for the caller to
  // pass on (skipped snapshots, a log tail set aside) are appended to `*warnings`.
  static Result<std::unique_ptr<Engine>> open(const std::filesystem::path& data_dir, KeyPtr key,
                                              std::vector<std::string>* warnings);

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  bool persistent() const { return store_ != nullptr; }

  // The collection of that name, or kNotFound "collection '<name>' not found".
  Result<std::shared_ptr<Collection>> find_collection(std::string_view name) const;

  // Rejects an empty name and names containing "/" or NUL before anything else happens. A name
  // that is taken fails after the change was logged (replay ignores that entry).
  Status create_collection(std::string_view name, uint64_t dimension, const HnswConfig& config);
  // True when the collection existed. Logged either way.
  Result<bool> delete_collection(std::string_view name);
  std::vector<std::string> list_collections() const;
  size_t collection_count() const;
  uint64_t total_memory_bytes() const;

  Result<Uuid> insert(Collection& collection, NewDocument document);
  // All or nothing: every document is checked (dimension, live ids, ids repeated within the
  // batch) before the first one is inserted.
  Result<std::vector<Uuid>> batch_insert(Collection& collection,
                                         std::vector<NewDocument> documents);
  // True when a live document was deleted. Logged either way.
  Result<bool> delete_document(Collection& collection, const Uuid& id);

  // Stores the document under its id, replacing a live document with that id (true) or
  // inserting it (false). Checked as `insert` checks, except that a live id is the point. One
  // update entry is logged, which replay reads as "delete this id, then insert this document",
  // so a crash leaves the old document or the new one, never neither. Defined in
  // document_writes.cc, as are the two below.
  Result<bool> upsert(Collection& collection, NewDocument document);
  // The same for many documents, all checked first (dimension, text size, ids repeated within
  // the batch: the message of batch_insert) so that a refused batch logs and changes nothing.
  // One update entry per document, all appended with one write; each document is atomic.
  Result<std::vector<Uuid>> batch_upsert(Collection& collection,
                                         std::vector<NewDocument> documents);
  // Deletes the live documents among `ids` and those that satisfy `filter` (when not null), and
  // returns how many were deleted. Ids that are not live are skipped and not logged; each
  // deletion is logged as `delete_document` logs it, all with one write.
  Result<uint64_t> delete_many(Collection& collection, std::span<const Uuid> ids,
                               const Filter* filter);

  // Refuses a request without any query, and a query embedding whose length is not the
  // collection's dimension; otherwise runs it.
  Result<std::vector<ScoredDocument>> search(const Collection& collection,
                                             const SearchRequest& request) const;
  // Writes the collection's snapshot "<name>.kestrine" into `path` (else the data directory),
  // encrypted with `key_text` when given, else with the database key, else checksummed. On a
  // persistent database this may be a checkpoint that empties the log (PersistentStore::save).
  // Errors: kNotFound for an unknown collection; kInvalidValue for a missing directory
  // ("no path specified and Kestrine was created without data_dir") or a bad key; otherwise
  // the write's error, or "WAL truncate failed: " + cause.
  Status save(std::string_view collection, std::optional<std::string_view> path,
              std::optional<std::string_view> key_text);
  // Reads "<name>.kestrine" from `path` (else the data directory), decrypting with `key_text`
  // when given (never with the database key), and puts the collection in place of any
  // collection called `name`, under that name whatever name the file stores. Errors:
  // kInvalidValue for a bad name, a missing directory or a bad key; a failed read keeps its
  // kind, its message prefixed with "failed to load '<name>': ". Nothing changes on failure.
  Status load(std::string_view name, std::optional<std::string_view> path,
              std::optional<std::string_view> key_text);
  // Writes every collection into the data directory and empties the log. Errors:
  // kInvalidValue "compact requires data_dir to be set"; "save '<name>' failed: " + cause;
  // "WAL truncate failed: " + cause.
  Status compact();

  // Rebuilds the collection's indexes from its live documents (Collection::rebuild) and
  // returns the number of documents rebuilt from. Nothing is logged: the rebuild changes no
  // document, and the new indexes reach disk with the next snapshot. Errors: kNotFound for an
  // unknown collection; kInternal when the stored configuration asks for product quantization
  // that cannot be trained, the collection then unchanged.
  Result<uint64_t> rebuild(std::string_view collection);

  Database& database() { return *database_; }
  const Database& database() const { return *database_; }
  // The on-disk side of a persistent database; null for an ephemeral one.
  PersistentStore* store() { return store_.get(); }

 private:
  Engine(std::shared_ptr<Database> database, std::unique_ptr<PersistentStore> store);

  // Logs `entry` on a persistent database. The returned hold, kept while the change is made
  // in memory, keeps checkpoints out; it holds nothing on an ephemeral database.
  Result<CheckpointHold> log(const WalEntry& entry);
  // The same for several entries, appended with one write (PersistentStore::append_entries).
  Result<CheckpointHold> log_all(std::span<const WalEntry> entries);

  // `path` if given, else the data directory.
  Result<std::filesystem::path> snapshot_directory(std::optional<std::string_view> path) const;

  std::shared_ptr<Database> database_;
  std::optional<std::filesystem::path> data_dir_;  // set for a persistent database
  KeyPtr key_;                                     // the database key, or null
  std::unique_ptr<PersistentStore> store_;         // set for a persistent database
};

}  // namespace kestrine
