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

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
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
#include "core/storage/directory_lock.h"
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
  //   0. the directory's lock is taken (DirectoryLock), the directory being created first if
  //      missing; an opening refused there has read and changed nothing;
  //   1. every file of the directory whose extension is exactly "kestrine" is read as a
  //      snapshot (with `key`) in the directory's listing order and registered under the name
  //      it stores, a later one replacing an earlier one of the same name; a file that cannot
  //      be read, or that stores an invalid collection name, is skipped with a warning;
  //   2. "wal.bin" is opened for appending (created if missing);
  //   3. the log is replayed over the snapshots. A torn last record is cut off. The rest of a
  //      log from a corrupt record on is copied to the first free "wal.bin.corrupt",
  //      "wal.bin.corrupt.1", ... and cut off, with a warning naming that file. Either way
  //      the log then ends with its last good record, so new records are never hidden behind
  //      bytes that replay cannot get past.
  // Errors (all prefixed as shown; the causes are the underlying errors' texts):
  //   DirectoryLock::acquire's errors, unprefixed;
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

  // Checkpoints exactly as `compact` does when the log is longer than the checkpoint
  // threshold; otherwise does nothing, after one look at the log's length. Called after a
  // change is applied, with its hold released (the checkpoint takes the lock exclusively).
  // When several calls find the log too long at once, the first checkpoints and the others
  // find it short again. Errors: those of `compact`; the log is then kept, with every change
  // in it, and the next call tries again.
  Status checkpoint_if_due(const CollectionMap& database);

  // Sets the threshold: a checkpoint follows the change that takes the log past `bytes`; 0
  // turns automatic checkpoints off; none (the default) means the larger of
  // kCheckpointFloorBytes and the snapshots' total size divided by kCheckpointSnapshotShare.
  // Set before the store is shared between threads.
  void set_checkpoint_bytes(std::optional<uint64_t> bytes) { checkpoint_bytes_ = bytes; }
  // The threshold in force now (0: off). The default rule follows the snapshots' size as of
  // opening and the last checkpoint.
  uint64_t checkpoint_threshold() const;

  // The default rule's parts. Replaying a logged document costs about as much as building it,
  // while a checkpoint rewrites every collection whole; a threshold proportional to the
  // snapshots keeps both the replay at opening (a log of at most 1/16 of the snapshots' size)
  // and the snapshot bytes written per logged byte (at most about 16) bounded as collections
  // grow.
  static constexpr uint64_t kCheckpointFloorBytes = uint64_t{4} << 20;
  static constexpr uint64_t kCheckpointSnapshotShare = 16;
  // The default rule's threshold for snapshots of that total size.
  static constexpr uint64_t default_checkpoint_threshold(uint64_t snapshot_bytes) {
    return std::max(kCheckpointFloorBytes, snapshot_bytes / kCheckpointSnapshotShare);
  }

  // The log's length in bytes (for tests and tools).
  uint64_t log_size() const { return wal_->size(); }

 private:
  PersistentStore(std::filesystem::path data_dir, KeyPtr key, DirectoryLock lock,
                  std::unique_ptr<WalWriter> wal, FileSystem& fs);

  // Writes every collection's snapshot into the data directory, then finishes the checkpoint.
  // Called with the checkpoint lock held exclusively.
  Status checkpoint_locked(const CollectionMap& database);
  // The part of every checkpoint after its snapshots are durable: removes the snapshot files
  // of collections dropped since the last checkpoint, then empties the log. Called with the
  // checkpoint lock held exclusively.
  Status finish_checkpoint(const CollectionMap& database);
  // Remembers that `file`, in the data directory, holds the collection `name`.
  void add_known_file(std::string_view name, const std::filesystem::path& file);

  const std::filesystem::path data_dir_;
  const KeyPtr key_;
  // Declared before the log so that it is let go after the log's file is closed.
  DirectoryLock lock_;
  const std::unique_ptr<WalWriter> wal_;
  FileSystem& fs_;
  std::shared_mutex checkpoint_;
  std::optional<uint64_t> checkpoint_bytes_;  // none: the default rule
  // Total size of the snapshot files read at opening or written by the last full checkpoint.
  std::atomic<uint64_t> snapshot_bytes_{0};

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
