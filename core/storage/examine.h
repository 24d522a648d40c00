// Read-only views of a data directory, for tools: what each file holds and whether it is sound,
// and the state that opening the directory would give. Nothing here writes, creates or renames
// anything: opening a database normally may cut its log back or set a corrupt tail aside, so a
// tool that only looks must never open it that way.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_map.h"
#include "core/common/error.h"
#include "core/hnsw/config.h"
#include "core/storage/crypto.h"
#include "core/storage/snapshot.h"
#include "core/storage/wal_entry.h"
#include "core/storage/wal_replay.h"

namespace kestrine {

// The figures of one collection state.
struct CollectionSummary {
  std::string name;
  uint64_t dimension = 0;
  HnswConfig config;
  uint32_t node_count = 0;      // graph nodes, deleted ones included
  uint64_t live_documents = 0;  // documents a search can return
  uint64_t deleted_nodes = 0;   // nodes marked deleted: the room a rebuild reclaims
  uint64_t memory_bytes = 0;    // estimate_memory
  bool exact_vectors = false;   // raw 32-bit vectors are kept for every node
};

CollectionSummary summarize_collection(const CollectionData& data);

// The check that a snapshot's form carries: its CRC when checksummed, its tag when encrypted.
enum class IntegrityCheck {
  kNone,  // bare form: nothing to check
  kPassed,
  kFailed,      // CRC mismatch, or the envelope does not open (wrong key or damaged bytes)
  kMissingKey,  // encrypted, and no key was given
};

// The step of reading at which a snapshot file failed.
enum class SnapshotStep {
  kRead,      // the file could not be read
  kCheck,     // CRC, key or tag
  kDecode,    // the payload is not a well-formed record
  kValidate,  // the record's tables disagree
  kName,      // the stored collection name cannot be a file name
};

struct SnapshotInspection {
  std::string file_name;
  uint64_t file_size = 0;
  SnapshotForm form = SnapshotForm::kBare;
  IntegrityCheck check = IntegrityCheck::kNone;
  uint32_t crc = 0;       // checksummed form: the stored CRC (the computed one when they differ)
  bool decoded = false;   // the payload decoded to a record
  bool loadable = false;  // decoded, valid and well named: opening loads it
  std::optional<SnapshotStep> failed_step;
  // The failure's text exactly as reading the snapshot reports it (after "failed to load
  // '<name>': " in `load`, after "skipped snapshot '<path>': " when opening skips it).
  std::string error;
  std::optional<CollectionSummary> collection;  // when loadable
};

// Reads one snapshot file through every step that opening takes.
SnapshotInspection inspect_snapshot(const std::filesystem::path& path, const EncryptionKey* key);

struct LogInspection {
  bool present = false;  // "wal.bin" exists
  uint64_t file_size = 0;
  uint64_t records = 0;    // complete, verified records before the stop
  uint64_t encrypted = 0;  // of which encrypted
  std::array<uint64_t, kWalEntryVariants> entries_by_kind{};  // decoded entries, by variant
  uint64_t undecodable = 0;  // verified records whose entry does not decode: replay skips them
  uint64_t first_undecodable_offset = 0;
  std::string first_undecodable_error;
  // Where and why reading stops: the end of the last good record, and the end kind. A refusal
  // means opening fails (no key, or not the log's key), with `open_error`.
  LogEnd end = LogEnd::kClean;
  LogRefusal refusal = LogRefusal::kNone;
  uint64_t stop_offset = 0;
  std::string problem;     // what is wrong with the record at stop_offset
  std::string open_error;  // a refusal's error as opening raises it: "WAL replay failed: ..."
  // Whether the log replays to its end with every record applied: present or absent, clean,
  // no refusal and nothing undecodable.
  bool sound() const {
    return end == LogEnd::kClean && refusal == LogRefusal::kNone && undecodable == 0;
  }
};

// Reads "wal.bin" of `data_dir` the way replay does, applying nothing. A missing log is an
// empty one (`present` false). Errors: the operating system's read errors.
Result<LogInspection> inspect_log(const std::filesystem::path& data_dir, const EncryptionKey* key);

// A file of the data directory that is neither a snapshot, the log nor the lock file.
struct OtherFile {
  enum class Kind {
    kTemporarySnapshot,  // "<name>.kestrine.tmp": a snapshot write that never finished
    kCorruptLogTail,     // "wal.bin.corrupt*": a log tail that opening set aside
    kOther,
  };
  std::string file_name;
  uint64_t file_size = 0;
  Kind kind = Kind::kOther;
};

struct DirectoryInspection {
  std::vector<SnapshotInspection> snapshots;  // in the file system's listing order
  LogInspection log;
  std::vector<OtherFile> other_files;
};

// Inspects every file of `data_dir`. Errors: "<dir>: not a directory" style failures of
// listing it (the operating system's errors) and the log's read errors.
Result<DirectoryInspection> inspect_directory(const std::filesystem::path& data_dir,
                                              const EncryptionKey* key);

// The state that opening `data_dir` with `key` gives, built in memory only: the snapshots that
// opening loads, with the log replayed over them up to where replay stops.
struct ReadOnlyDatabase {
  std::shared_ptr<CollectionMap> database;
  std::vector<std::string> warnings;  // snapshots left out, as opening words them
  ReplayReport log;                   // how the replay went; an absent log reads as empty
};

// Errors, as opening gives them: "failed to load snapshots from '<dir>': " + cause when the
// directory cannot be listed; "WAL replay failed: " + cause when the log cannot be read, is
// encrypted and no key was given, or is encrypted under another key. A missing directory is an
// empty database. Unlike opening, nothing is created, cut or set aside, and no lock is needed:
// it may run while a writer holds the directory, and then gives the state as of its reading
// (a record being appended is where the view ends). It waits for a writer's checkpoint that is
// emptying the log, and a checkpoint waits for it.
Result<ReadOnlyDatabase> open_read_only(const std::filesystem::path& data_dir,
                                        const EncryptionKey* key);

}  // namespace kestrine
