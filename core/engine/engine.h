// One opened database: what a Python `Kestrine` object drives. It owns the collections and,
// for a persistent database, the data directory, the key and the write-ahead log.
// Every mutating operation validates first, so that a rejected call changes nothing and
// writes nothing; then, on a persistent database, it logs the change (with no engine lock
// held), and only then applies it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_map.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"
#include "core/collection/search.h"
#include "core/common/error.h"
#include "core/hnsw/config.h"
#include "core/storage/crypto.h"
#include "core/storage/persistent_store.h"

namespace kestrine {

// The error of a change asked of a database opened read-only.
inline constexpr const char* kReadOnlyMessage = "database is open read-only";

// A document on its way in, with its embedding and the id as the caller wrote it (used only in
// error messages, so that they quote the caller's text). An empty `id_text` means the caller
// gave no id: the engine draws a fresh random one into `document->id` and fills `id_text`.
struct NewDocument {
  std::shared_ptr<Document> document;  // the engine's until it is stored, then immutable
  std::vector<float> embedding;
  std::string id_text;
};

// What `collection_info` reports about one collection, read at one moment.
struct CollectionInfo {
  std::string name;
  uint64_t dimension = 0;
  uint64_t documents = 0;     // live documents
  uint64_t memory_bytes = 0;  // estimate_memory
};

class Engine {
 public:
  Engine();  // an ephemeral database: everything in memory
  // An ephemeral database with a database key (null: none), which `save` uses by default.
  explicit Engine(KeyPtr key);

  // A persistent database opened from `data_dir` with the database key `key` (null: none); see
  // PersistentStore::open for what opening does and its errors. Warnings for the caller to
  // pass on (skipped snapshots, a log tail set aside) are appended to `*warnings`.
  // `checkpoint_bytes` is the automatic checkpoint's threshold (PersistentStore::
  // set_checkpoint_bytes: none for the default rule, 0 for none at all).
  [[nodiscard]] static Result<std::unique_ptr<Engine>> open(
      const std::filesystem::path& data_dir, KeyPtr key, std::vector<std::string>* warnings,
      std::optional<uint64_t> checkpoint_bytes = {});

  // The state that opening `data_dir` would give, read without taking the directory's lock and
  // without changing any byte there (open_read_only in core/storage/examine.h), for a database
  // that only answers reads: the caller refuses every change. Its `save` writes only outside
  // the data directory. Warnings: snapshots skipped, and a corrupt record where the log's
  // replay stopped. A read-only database never checkpoints: it has no store.
  [[nodiscard]] static Result<std::unique_ptr<Engine>> open_read_only(
      const std::filesystem::path& data_dir, KeyPtr key, std::vector<std::string>* warnings);

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  bool persistent() const { return store_ != nullptr; }
  bool read_only() const { return read_only_; }

  // The collection of that name, or kNotFound "collection '<name>' not found".
  [[nodiscard]] Result<std::shared_ptr<Collection>> find_collection(std::string_view name) const;

  // Rejects an empty name and names containing "/" or NUL before anything else happens. A name
  // that is taken fails after the change was logged (replay ignores that entry).
  [[nodiscard]] Status create_collection(std::string_view name, uint64_t dimension,
                                         const HnswConfig& config);
  // True when the collection existed. Logged either way.
  [[nodiscard]] Result<bool> delete_collection(std::string_view name);
  std::vector<std::string> list_collections() const;
  size_t collection_count() const;
  uint64_t total_memory_bytes() const;

  // Every method below that names a collection fails first with find_collection's kNotFound
  // when there is none of that name.

  [[nodiscard]] Result<CollectionInfo> collection_info(std::string_view collection) const;

  // Gives the document its id (see NewDocument), admits it (check_insert: dimension, live id,
  // text size), logs it and inserts it.
  [[nodiscard]] Result<Uuid> insert(std::string_view collection, NewDocument document);
  // All or nothing: every document is given its id and admitted as by `insert`, and an id
  // repeated within the batch is refused, before the first one is inserted. When the error
  // concerns one document, `*failed_document` (if not null) is set to its position. With
  // `threads` other than 1 (0: one per core) the documents go into the graph from that many
  // threads that live only for this call (Collection::insert_documents); the log record, the
  // ids and the errors stay the same.
  [[nodiscard]] Result<std::vector<Uuid>> batch_insert(
      std::string_view collection, std::vector<NewDocument> documents,
      std::optional<size_t>* failed_document = nullptr, uint64_t threads = 1);
  // The live document whose id is `id_text`: kInvalidValue "invalid UUID: ..." for text that
  // is no id, kNotFound "document '<id_text>' not found" when none is live.
  [[nodiscard]] Result<DocumentPtr> get_document(std::string_view collection,
                                                 std::string_view id_text) const;
  // True when a live document was deleted; logged either way. Bad id text as for get_document.
  [[nodiscard]] Result<bool> delete_document(std::string_view collection, std::string_view id_text);

  // Stores the document under its id (given one as `insert` does when it has none), replacing a
  // live document with that id (true) or inserting it (false). Admitted as `insert` admits,
  // except that a live id is the point (Collection::check_replace). One update entry is logged,
  // which replay reads as "delete this id, then insert this document", so a crash leaves the
  // old document or the new one, never neither. Defined in document_writes.cc, as are the two
  // below.
  [[nodiscard]] Result<bool> upsert(std::string_view collection, NewDocument document);
  // The same for many documents, all given their ids and checked first (dimension, text size,
  // ids repeated within the batch: the message of batch_insert) so that a refused batch logs and
  // changes nothing; `*failed_document` as for batch_insert. One update entry per document, all
  // appended with one write; each document is atomic.
  [[nodiscard]] Result<std::vector<Uuid>> batch_upsert(
      std::string_view collection, std::vector<NewDocument> documents,
      std::optional<size_t>* failed_document = nullptr);
  // Deletes the live documents among `ids` and those that satisfy `filter` (when not null), and
  // returns how many were deleted. Ids that are not live are skipped and not logged; each
  // deletion is logged as `delete_document` logs it, all with one write.
  [[nodiscard]] Result<uint64_t> delete_many(std::string_view collection, std::span<const Uuid> ids,
                                             const Filter* filter);

  // Refuses a request without any query, and a query embedding whose length is not the
  // collection's dimension; otherwise runs it.
  [[nodiscard]] Result<std::vector<ScoredDocument>> search(std::string_view collection,
                                                           const SearchRequest& request) const;
  // Runs every request as `search` runs it, from `threads` threads (0: one per core) that live
  // only for this call; result i belongs to request i. Each request is checked as `search`
  // checks it, all before the first one runs: the first failing one in order fails the call.
  [[nodiscard]] Result<std::vector<std::vector<ScoredDocument>>> search_many(
      std::string_view collection, std::span<const SearchRequest> requests, uint64_t threads) const;
  // Writes the collection's snapshot "<name>.kestrine" into `path` (else the data directory),
  // encrypted with `key_text` when given, else with the database key, else checksummed. On a
  // persistent database this may be a checkpoint that empties the log (PersistentStore::save).
  // Errors: kNotFound for an unknown collection; kInvalidValue for a missing directory
  // ("no path specified and Kestrine was created without data_dir") or a bad key; otherwise
  // the write's error, or "WAL truncate failed: " + cause. A read-only database refuses to
  // write into its data directory: kIo "database is open read-only".
  [[nodiscard]] Status save(std::string_view collection, std::optional<std::string_view> path,
                            std::optional<std::string_view> key_text);
  // Reads "<name>.kestrine" from `path` (else the data directory), decrypting with `key_text`
  // when given (never with the database key), and puts the collection in place of any
  // collection called `name`, under that name whatever name the file stores. Errors:
  // kInvalidValue for a bad name, a missing directory or a bad key; a failed read keeps its
  // kind, its message prefixed with "failed to load '<name>': ". Nothing changes on failure.
  [[nodiscard]] Status load(std::string_view name, std::optional<std::string_view> path,
                            std::optional<std::string_view> key_text);
  // Writes every collection into the data directory and empties the log. Errors:
  // kInvalidValue "compact requires data_dir to be set"; "save '<name>' failed: " + cause;
  // "WAL truncate failed: " + cause.
  [[nodiscard]] Status compact();

  // Rebuilds the collection's indexes from its live documents (Collection::rebuild) and
  // returns the number of documents rebuilt from. Nothing is logged: the rebuild changes no
  // document, and the new indexes reach disk with the next snapshot. Errors: kNotFound for an
  // unknown collection; kInternal when the stored configuration asks for product quantization
  // that cannot be trained, the collection then unchanged.
  [[nodiscard]] Result<uint64_t> rebuild(std::string_view collection);

  // Warnings raised by changes since the last call, oldest first, for the caller to pass on.
  // A change that takes the log past the checkpoint threshold checkpoints before it returns;
  // when that fails, the change stays made (it is in the log) and the failure is queued here
  // as "automatic checkpoint failed: " + cause. The next change tries again.
  std::vector<std::string> take_warnings();

  CollectionMap& database() { return *database_; }
  const CollectionMap& database() const { return *database_; }
  // The on-disk side of a persistent database; null for an ephemeral one.
  PersistentStore* store() { return store_.get(); }

 private:
  Engine(std::shared_ptr<CollectionMap> database, std::unique_ptr<PersistentStore> store);

  // Logs `entry` on a persistent database. The returned hold, kept while the change is made
  // in memory, keeps checkpoints out; it holds nothing on an ephemeral database.
  [[nodiscard]] Result<CheckpointHold> log(const WalEntry& entry);
  // The same for several entries, appended with one write (PersistentStore::append_entries).
  [[nodiscard]] Result<CheckpointHold> log_all(std::span<const WalEntry> entries);
  // Ends a logged change once it is applied: releases its hold, then checkpoints if the log
  // has grown past the threshold, queueing a failure as a warning.
  void settle(CheckpointHold hold);

  // Draws a fresh id for a document that came without one (see NewDocument).
  static void assign_id(NewDocument& d);

  // How a batch's documents are admitted: as new documents (Collection::check_insert) or as
  // documents that may replace live ones (Collection::check_replace).
  enum class Admission : uint8_t { kInsert, kReplace };
  // Gives every document of a batch its id and admits it; an id twice in the batch is refused.
  // On the first failure, stores its position in `failed_document` (when given) and returns it.
  [[nodiscard]] static Status admit_batch(const Collection& collection,
                                          std::vector<NewDocument>& documents, Admission admission,
                                          std::optional<size_t>* failed_document);

  // `path` if given, else the data directory.
  [[nodiscard]] Result<std::filesystem::path> snapshot_directory(
      std::optional<std::string_view> path) const;

  std::shared_ptr<CollectionMap> database_;
  std::optional<std::filesystem::path> data_dir_;  // set for a persistent database
  KeyPtr key_;                                     // the database key, or null
  std::unique_ptr<PersistentStore> store_;         // set for a persistent database
  bool read_only_ = false;  // opened by open_read_only: data_dir_ set, no store

  std::mutex warnings_mutex_;
  std::vector<std::string> warnings_;  // guarded by warnings_mutex_
};

}  // namespace kestrine
