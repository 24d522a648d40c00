#include "core/storage/persistent_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <variant>

#include "core/storage/data_directory.h"
#include "core/storage/directory_lock.h"
#include "core/storage/file_io.h"
#include "core/storage/snapshot.h"
#include "core/storage/wal_format.h"
#include "core/storage/wal_replay.h"

namespace kestrine {
namespace {

// The file's length, or 0 when it cannot be had: it only steers the default checkpoint
// threshold, never what is written.
uint64_t size_or_zero(FileSystem& fs, const std::filesystem::path& path) {
  auto file = fs.open_readable(path);
  if (!file) return 0;
  auto size = (*file)->size();
  return size ? *size : 0;
}

// Creates the first of "wal.bin.corrupt", "wal.bin.corrupt.1", ... that does not exist yet.
Result<std::pair<std::filesystem::path, std::unique_ptr<WritableFile>>> create_side_file(
    const std::filesystem::path& directory, FileSystem& fs) {
  for (unsigned n = 0;; ++n) {
    std::string name(kWalCorruptName);
    if (n != 0) name.append(".").append(std::to_string(n));
    std::filesystem::path path = directory / name;
    auto file = fs.create_new(path);
    if (file) return std::pair{std::move(path), std::move(*file)};
    if (!is_os_error(file.error(), EEXIST)) return fail(file.error());
  }
}

// Copies the log from `offset` to its end into a new side file, durably; returns its path.
Result<std::filesystem::path> copy_tail_aside(const std::filesystem::path& log, uint64_t offset,
                                              FileSystem& fs) {
  auto in = fs.open_readable(log);
  if (!in) return fail(in.error());
  auto side = create_side_file(log.parent_path(), fs);
  if (!side) return fail(side.error());
  auto& [path, out] = *side;
  Status copied;
  std::vector<uint8_t> chunk(64 * 1024);
  for (uint64_t at = offset; copied;) {
    auto n = (*in)->read_some_at(at, chunk);
    if (!n) {
      copied = fail(n.error());
      break;
    }
    if (*n == 0) break;
    copied = out->append(std::span<const uint8_t>(chunk).first(*n));
    at += *n;
  }
  if (copied) copied = out->sync();
  Status closed = out->close();
  if (copied) copied = std::move(closed);
  if (copied) copied = fs.sync_directory(log.parent_path());
  if (!copied) return fail(copied.error());
  return path;
}

bool same_key(const EncryptionKey* a, const EncryptionKey* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a == b || a->same_key(*b);
}

}  // namespace

PersistentStore::PersistentStore(std::filesystem::path data_dir, KeyPtr key, DirectoryLock lock,
                                 std::unique_ptr<WalWriter> wal, FileSystem& fs)
    : data_dir_(std::move(data_dir)),
      key_(std::move(key)),
      lock_(std::move(lock)),
      wal_(std::move(wal)),
      fs_(fs) {}

Result<OpenedDatabase> PersistentStore::open(const std::filesystem::path& data_dir, KeyPtr key,
                                             FileSystem& fs) {
  OpenedDatabase opened;
  opened.database = std::make_shared<CollectionMap>();
  CollectionMap& database = *opened.database;

  auto scan = [&]() -> Result<std::vector<ScannedSnapshot>> {
    auto snapshots = scan_snapshots(data_dir, key.get(), &opened.warnings);
    if (!snapshots) {
      return fail(snapshots.error().with_prefix("failed to load snapshots from '" +
                                                data_dir.string() + "': "));
    }
    return snapshots;
  };
  // The lock comes before anything reads or writes the directory, so that an opening refused
  // because another instance holds it changes nothing. A directory that does not exist yet is
  // created first (after the scan that reports a path that cannot be listed), as it always was.
  if (!fs.is_directory(data_dir)) {
    if (auto snapshots = scan(); !snapshots) return fail(snapshots.error());
    if (auto ok = make_directories(data_dir, fs); !ok) {
      return fail(ok.error().with_prefix("failed to open WAL: "));
    }
  }
  auto lock = DirectoryLock::acquire(data_dir);
  if (!lock) return fail(lock.error());
  auto snapshots = scan();
  if (!snapshots) return fail(snapshots.error());

  auto wal = WalWriter::open(data_dir, fs);
  if (!wal) return fail(wal.error().with_prefix("failed to open WAL: "));
  // Not through make_unique: the constructor is private.
  opened.store.reset(new PersistentStore(data_dir, key, std::move(*lock), std::move(*wal), fs));
  PersistentStore& store = *opened.store;

  uint64_t snapshot_bytes = 0;
  for (ScannedSnapshot& snapshot : *snapshots) {
    snapshot_bytes += size_or_zero(fs, snapshot.path);
    store.add_known_file(snapshot.collection->name(), snapshot.path);
    database.put_collection(std::move(snapshot.collection));
  }
  store.snapshot_bytes_ = snapshot_bytes;

  // Replayed changes count as logged since the last checkpoint, like the live ones.
  auto replayed = replay_log(
      store.wal_->path(), key.get(),
      [&](WalEntry&& entry) {
        std::string name = entry_collection(entry);
        const bool creates = std::holds_alternative<wal::CreateCollection>(entry);
        const bool drops = std::holds_alternative<wal::DeleteCollection>(entry);
        if (apply_entry(database, std::move(entry))) {
          if (creates) store.dropped_.erase(name);
          if (drops) store.dropped_.insert(name);
        }
        store.changed_.insert(std::move(name));
      },
      fs);
  if (!replayed) return fail(replayed.error().with_prefix("WAL replay failed: "));

  if (replayed->end != LogEnd::kClean) {
    if (replayed->end == LogEnd::kCorrupt) {
      auto side = copy_tail_aside(store.wal_->path(), replayed->valid_length, fs);
      if (!side) return fail(side.error().with_prefix("WAL replay failed: "));
      opened.warnings.push_back("WAL replay stopped at a corrupt record at offset " +
                                std::to_string(replayed->valid_length) + " of '" +
                                store.wal_->path().string() + "' (" + replayed->problem +
                                "); the log from there on was not replayed and was moved to '" +
                                side->string() + "'");
    }
    if (auto ok = store.wal_->cut_back(replayed->valid_length); !ok) {
      return fail(ok.error().with_prefix("WAL replay failed: "));
    }
  }
  return opened;
}

Result<CheckpointHold> PersistentStore::append_entry(const WalEntry& entry) {
  auto record = frame_record(entry, key_.get());
  if (!record) return fail(record.error().with_prefix("WAL write failed: "));
  CheckpointHold hold(checkpoint_);
  if (auto ok = wal_->append(*record); !ok)
    return fail(ok.error().with_prefix("WAL write failed: "));
  std::lock_guard lock(bookkeeping_);
  const std::string& name = entry_collection(entry);
  if (!changed_.contains(name)) changed_.emplace(name);
  return hold;
}

Result<CheckpointHold> PersistentStore::append_entries(std::span<const WalEntry> entries) {
  std::vector<uint8_t> records;
  for (const WalEntry& entry : entries) {
    auto record = frame_record(entry, key_.get());
    if (!record) return fail(record.error().with_prefix("WAL write failed: "));
    records.insert(records.end(), record->begin(), record->end());
  }
  CheckpointHold hold(checkpoint_);
  if (entries.empty()) return hold;
  if (auto ok = wal_->append(records); !ok) {
    return fail(ok.error().with_prefix("WAL write failed: "));
  }
  std::lock_guard lock(bookkeeping_);
  for (const WalEntry& entry : entries) {
    const std::string& name = entry_collection(entry);
    if (!changed_.contains(name)) changed_.emplace(name);
  }
  return hold;
}

void PersistentStore::collection_created(std::string_view name) {
  std::lock_guard lock(bookkeeping_);
  if (auto it = dropped_.find(name); it != dropped_.end()) dropped_.erase(it);
}

void PersistentStore::collection_dropped(std::string_view name) {
  std::lock_guard lock(bookkeeping_);
  dropped_.emplace(name);
}

void PersistentStore::collection_loaded(std::string_view name,
                                        const std::filesystem::path& directory) {
  if (same_directory(directory, data_dir_)) {
    add_known_file(name, snapshot_path(data_dir_, name));
  }
  collection_created(name);
}

void PersistentStore::add_known_file(std::string_view name, const std::filesystem::path& file) {
  std::lock_guard lock(bookkeeping_);
  auto it = known_files_.find(name);
  if (it == known_files_.end()) it = known_files_.emplace(std::string(name), 0).first;
  if (std::ranges::find(it->second, file) == it->second.end()) it->second.push_back(file);
}

Status PersistentStore::save(const std::shared_ptr<Collection>& collection,
                             const std::filesystem::path& directory, const EncryptionKey* key,
                             const CollectionMap& database) {
  std::unique_lock checkpoint(checkpoint_);
  if (auto ok = write_snapshot(collection, directory, key, fs_); !ok) return ok;
  if (!same_directory(directory, data_dir_)) return {};
  add_known_file(collection->name(), snapshot_path(data_dir_, collection->name()));
  if (!same_key(key, key_.get())) return {};
  {
    std::lock_guard lock(bookkeeping_);
    if (auto it = changed_.find(collection->name()); it != changed_.end()) changed_.erase(it);
    if (!changed_.empty()) return {};
  }
  return finish_checkpoint(database);
}

Status PersistentStore::compact(const CollectionMap& database) {
  std::unique_lock checkpoint(checkpoint_);
  return checkpoint_locked(database);
}

uint64_t PersistentStore::checkpoint_threshold() const {
  if (checkpoint_bytes_) return *checkpoint_bytes_;
  return default_checkpoint_threshold(snapshot_bytes_.load());
}

Status PersistentStore::checkpoint_if_due(const CollectionMap& database) {
  const uint64_t threshold = checkpoint_threshold();
  if (threshold == 0 || wal_->size() <= threshold) return {};
  std::unique_lock checkpoint(checkpoint_);
  // Another call may have checkpointed while this one waited for the lock.
  if (wal_->size() <= checkpoint_threshold()) return {};
  return checkpoint_locked(database);
}

Status PersistentStore::checkpoint_locked(const CollectionMap& database) {
  uint64_t written = 0;
  for (const std::string& name : database.collection_names()) {
    auto collection = database.get_collection(name);
    if (!collection) continue;  // removed meanwhile
    if (auto ok = write_snapshot(collection, data_dir_, key_.get(), fs_); !ok) {
      return fail(ok.error().with_prefix("save '" + name + "' failed: "));
    }
    const std::filesystem::path file = snapshot_path(data_dir_, name);
    add_known_file(name, file);
    written += size_or_zero(fs_, file);
    std::lock_guard lock(bookkeeping_);
    if (auto it = changed_.find(name); it != changed_.end()) changed_.erase(it);
  }
  if (auto ok = finish_checkpoint(database); !ok) return ok;
  snapshot_bytes_ = written;
  return {};
}

Status PersistentStore::finish_checkpoint(const CollectionMap& database) {
  std::lock_guard lock(bookkeeping_);
  // A read-only opening must see the snapshots and the log from the same side of these steps.
  const FileHold readers_out(wal_->path(), FileHold::Mode::kExclusive);
  // The log's record of a removal is about to go: the removed collection's snapshots must go
  // first, or the next opening would load them again.
  bool removed_any = false;
  for (const std::string& name : dropped_) {
    if (database.get_collection(name) != nullptr) continue;  // loaded again, not logged
    auto files = known_files_.find(name);
    if (files == known_files_.end()) continue;
    for (const std::filesystem::path& file : files->second) {
      if (auto ok = fs_.remove(file); !ok && !is_os_error(ok.error(), ENOENT)) {
        return fail(ok.error().with_prefix("failed to remove the snapshot of deleted collection '" +
                                           name + "': "));
      }
      removed_any = true;
    }
    known_files_.erase(files);
  }
  if (removed_any) {
    if (auto ok = fs_.sync_directory(data_dir_); !ok) {
      return fail(
          ok.error().with_prefix("failed to remove the snapshots of deleted collections: "));
    }
  }
  if (auto ok = wal_->truncate(); !ok) return fail(ok.error().with_prefix("WAL truncate failed: "));
  changed_.clear();
  dropped_.clear();
  return {};
}

}  // namespace kestrine
