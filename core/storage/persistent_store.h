// The on-disk side of a persistent database: its data directory, its key, its open log, the
// checkpoint lock, and the bookkeeping that decides when the log may be emptied.
//
// A data directory D holds one snapshot file per collection ("<name>.kestrine") and the log
// "wal.bin" of the changes made since the last checkpoint. The database's state is the
// snapshots with the log replayed over them; replay is idempotent by document id, so a log
// may safely hold changes that a snapshot already has. It may not lose any change that no
// snapshot has: the log is emptied only by a checkpoint, after the snapshots that hold every
// logged change are durable, and only while no append can slip in between (appends hold the
// checkpoint lock shared, checkpoints exclusive).
//
// Lock order: the checkpoint lock, then the log's own mutex, then (inside the collection
// operations) the database map's lock and a collection's lock.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_map.h"
#include "core/common/error.h"
#include "core/common/string_hash.h"
#include "core/storage/crypto.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_entry.h"
#include "core/storage/wal_writer.h"

namespace kestrine {

class PersistentStore;

// Held from a change's log append until the change is made in memory: no checkpoint can run
// in between, so a checkpoint never empties the log of a change that its snapshots lack.
using CheckpointHold = std::shared_lock<std::shared_mutex>;

struct OpenedDatabase {
  std::shared_ptr<CollectionMap> database;
  std::unique_ptr<PersistentStore> store;
  // What the caller should pass on as warnings: snapshots skipped, a log tail set aside.
  std::vector<std::string> warnings;
};

class PersistentStore {
 public:
  // Opens the database kept in `data_dir`:
  //   1. every file of the directory whose extension is exactly "kestrine" is read as a
  //      snapshot (with `key`) in the directory's listing order and registered under the name
  //      it stores, a later one replacing an earlier one of the same name; a file that cannot
  //      be read, or that stores an invalid collection name, is skipped with a warning;
  //   2. the directory is created if missing and "wal.bin" opened for appending;
  //   3. the log is replayed over the snapshots. A torn last record is cut off. The rest of a
  //      log from a corrupt record on is copied to the first free "wal.bin.corrupt",
  //      "wal.bin.corrupt.1", ... and cut off, with a warning naming that file. Either way
  //      the log then ends with its last good record, so new records are never hidden behind
  //      bytes that replay cannot get past.
  // Errors (all prefixed as shown; the causes are the underlying errors' texts):
  //   "failed to load snapshots from '<dir>': " when the directory cannot be listed;
  //   "failed to open WAL: " when the directory or "wal.bin" cannot be created or opened;
  //   "WAL replay failed: " when the log cannot be read, has encrypted records and no key was
  //   given, or its first encrypted record does not decrypt (a wrong key). In those two cases
  //   the log is left exactly as it was.
  // Every file operation of the store goes through `fs`, which must outlive it.
  static Result<OpenedDatabase> open(const std::filesystem::path& data_dir, KeyPtr key,
                                     FileSystem& fs = default_file_system());

  PersistentStore(const PersistentStore&) = delete;
  PersistentStore& operator=(const PersistentStore&) = delete;

  const std::filesystem::path& data_dir() const { return data_dir_; }
  const KeyPtr& key() const { return key_; }

  // Appends `entry` to the log, durably. The record is built (encoded, sealed or checksummed)
  // before any lock is taken. On success the caller makes the change in memory while it keeps
  // the returned hold. Errors: "WAL write failed: " + cause; then nothing may change.
  Result<CheckpointHold> append_entry(const WalEntry& entry);
  // The same for several entries, appended as consecutive records with one write and one
  // flush: all are logged or, on an error, none. A crash during the write can leave a prefix of
  // them, each record whole or cut short, never half an entry.
  Result<CheckpointHold> append_entries(std::span<const WalEntry> entries);

  // Told while the hold of the change is kept: a collection created, or removed, by a logged
  // change. A collection removed and not created again since the last checkpoint has its
  // snapshot files removed at the next checkpoint, so that it does not come back at opening.
  void collection_created(std::string_view name);
  void collection_dropped(std::string_view name);
  // A collection put in place by `load` from `directory`: it is present again.
  void collection_loaded(std::string_view name, const std::filesystem::path& directory);

  // Writes the collection's snapshot into `directory` under `key`, then empties the log if
  // that makes it a checkpoint: the snapshot went to the data directory with the database's
  // own key (or neither has one), and no other collection has changes logged since its last
  // snapshot there. Otherwise the log is kept, and replays harmlessly over the new snapshot.
  // Errors: the snapshot write's error unchanged; "WAL truncate failed: " + cause.
  Status save(const std::shared_ptr<Collection>& collection, const std::filesystem::path& directory,
              const EncryptionKey* key, const CollectionMap& database);

  // Writes every collection's snapshot into the data directory, then empties the log.
  // Errors: "save '<name>' failed: " + cause (the log is kept); "WAL truncate failed: ".
  Status compact(const CollectionMap& database);

  // The log's length in bytes (for tests and tools).
  uint64_t log_size() const { return wal_->size(); }

 private:
  PersistentStore(std::filesystem::path data_dir, KeyPtr key, std::unique_ptr<WalWriter> wal,
                  FileSystem& fs);

  // The part of every checkpoint after its snapshots are durable: removes the snapshot files
  // of collections dropped since the last checkpoint, then empties the log. Called with the
  // checkpoint lock held exclusively.
  Status finish_checkpoint(const CollectionMap& database);
  // Remembers that `file`, in the data directory, holds the collection `name`.
  void add_known_file(std::string_view name, const std::filesystem::path& file);

  const std::filesystem::path data_dir_;
  const KeyPtr key_;
  const std::unique_ptr<WalWriter> wal_;
  FileSystem& fs_;
  std::shared_mutex checkpoint_;

  // Bookkeeping, changed by appends running side by side; checkpoints read it exclusively.
  std::mutex bookkeeping_;
  using NameSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
  // Collections with changes in the log that their snapshot in the data directory lacks.
  NameSet changed_;
  // Collections removed since the last checkpoint and not created or loaded again.
  NameSet dropped_;
  // Snapshot files of the data directory that this process read or wrote, by the collection
  // they hold. Only these are ever removed: a file this process never read may hold anything.
  std::unordered_map<std::string, std::vector<std::filesystem::path>, StringHash, std::equal_to<>>
      known_files_;
};

}  // namespace kestrine
