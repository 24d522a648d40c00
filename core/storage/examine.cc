#include "core/storage/examine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "core/hnsw/hnsw_index.h"
#include "core/storage/checksum.h"
#include "core/storage/data_directory.h"
#include "core/storage/directory_lock.h"
#include "core/storage/file_io.h"
#include "core/storage/records.h"
#include "core/storage/snapshot_validation.h"
#include "core/storage/wal_format.h"

namespace kestrine {
namespace {

// A file's size, or 0 when it cannot be read: the reading step reports the real failure.
uint64_t file_size_of(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool is_plain_file(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

OtherFile::Kind other_file_kind(std::string_view name) {
  if (name.ends_with(kSnapshotTempSuffix)) return OtherFile::Kind::kTemporarySnapshot;
  if (name.starts_with(kWalCorruptName)) return OtherFile::Kind::kCorruptLogTail;
  return OtherFile::Kind::kOther;
}

// The stored CRC of a checksummed file (its last four bytes, big-endian).
uint32_t stored_crc(std::span<const uint8_t> file) {
  const uint8_t* p = file.data() + file.size() - 4;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

CollectionSummary summarize_collection(const CollectionData& data) {
  const HnswIndex& h = data.hnsw;
  CollectionSummary summary;
  summary.name = data.name;
  summary.dimension = data.dimension;
  summary.config = h.config;
  summary.node_count = h.node_count;
  summary.live_documents = data.documents.size();
  summary.deleted_nodes = static_cast<uint64_t>(
      std::ranges::count_if(h.deleted, [](uint8_t mark) { return mark != 0; }));
  summary.memory_bytes = estimate_memory(data);
  summary.exact_vectors = h.node_count == 0
                              ? h.config.store_raw_vectors
                              : h.raw_vectors.size() == uint64_t{h.node_count} * data.dimension;
  return summary;
}

SnapshotInspection inspect_snapshot(const std::filesystem::path& path, const EncryptionKey* key) {
  SnapshotInspection out;
  out.file_name = path.filename().string();
  out.file_size = file_size_of(path);
  auto failed = [&out](SnapshotStep step, const Error& error) {
    out.failed_step = step;
    out.error = error.message();
    return std::move(out);
  };

  auto file = read_file(path);
  if (!file) return failed(SnapshotStep::kRead, file.error());
  out.file_size = file->size();
  out.form = snapshot_form(*file);
  if (out.form == SnapshotForm::kChecksummed) out.crc = stored_crc(*file);

  auto payload = snapshot_payload(*file, path.native(), key);
  if (!payload) {
    if (out.form == SnapshotForm::kEncrypted && key == nullptr) {
      out.check = IntegrityCheck::kMissingKey;
    } else {
      out.check = IntegrityCheck::kFailed;
    }
    return failed(SnapshotStep::kCheck, payload.error());
  }
  if (out.form != SnapshotForm::kBare) out.check = IntegrityCheck::kPassed;

  auto data = decode_collection(payload->bytes);
  if (!data) return failed(SnapshotStep::kDecode, data.error());
  out.decoded = true;
  if (auto ok = validate_snapshot(*data); !ok) {
    return failed(SnapshotStep::kValidate, ok.error().with_prefix(kSnapshotValidationPrefix));
  }
  if (auto ok = check_collection_name(data->name); !ok) {
    return failed(SnapshotStep::kName, ok.error());
  }
  out.loadable = true;
  out.collection = summarize_collection(*data);
  return out;
}

Result<LogInspection> inspect_log(const std::filesystem::path& data_dir, const EncryptionKey* key) {
  LogInspection out;
  const std::filesystem::path path = data_dir / kWalFileName;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return out;
    return fail(Error::from_errno(errno));
  }
  out.present = true;
  auto report = scan_log(path, key, [&out](const RawRecord& record, Result<WalEntry>&& entry) {
    ++out.records;
    if (record.check == kWalEncryptedCheck && crc32(record.payload) != kWalEncryptedCheck) {
      ++out.encrypted;
    }
    if (entry) {
      ++out.entries_by_kind[entry->index()];
    } else if (out.undecodable++ == 0) {
      out.first_undecodable_offset = record.offset;
      out.first_undecodable_error = entry.error().message();
    }
  });
  if (!report) return fail(report.error());
  out.file_size = report->file_size;
  out.end = report->end;
  out.refusal = report->refusal;
  out.stop_offset = report->valid_length;
  out.problem = report->problem;
  if (out.refusal != LogRefusal::kNone) out.open_error = "WAL replay failed: " + out.problem;
  return out;
}

Result<DirectoryInspection> inspect_directory(const std::filesystem::path& data_dir,
                                              const EncryptionKey* key) {
  DirectoryInspection out;
  auto names = list_directory(data_dir);
  if (!names) return fail(names.error());
  for (const std::string& name : *names) {
    const std::filesystem::path path = data_dir / name;
    if (name == kWalFileName || name == kLockFileName) continue;
    if (has_snapshot_extension(name)) {
      out.snapshots.push_back(inspect_snapshot(path, key));
    } else if (is_plain_file(path)) {
      out.other_files.push_back({name, file_size_of(path), other_file_kind(name)});
    }
  }
  auto log = inspect_log(data_dir, key);
  if (!log) return fail(log.error());
  out.log = std::move(*log);
  return out;
}

Result<ReadOnlyDatabase> open_read_only(const std::filesystem::path& data_dir,
                                        const EncryptionKey* key) {
  const std::filesystem::path log = data_dir / kWalFileName;
  for (;;) {
    // A writer's checkpoint replaces snapshots, removes those of dropped collections and then
    // empties the log. Snapshots read before it with a log read after it would lose changes, so
    // the log is held shared (the checkpoint's last steps hold it exclusively) from before the
    // snapshots are listed until it has been read. Without a log there is nothing to hold; if
    // one appears meanwhile, a writer started, and the reading starts over.
    const FileHold hold(log, FileHold::Mode::kShared);
    ReadOnlyDatabase out;
    out.database = std::make_shared<CollectionMap>();
    auto snapshots = scan_snapshots(data_dir, key, &out.warnings);
    if (!snapshots) {
      return fail(snapshots.error().with_prefix("failed to load snapshots from '" +
                                                data_dir.string() + "': "));
    }
    for (ScannedSnapshot& snapshot : *snapshots) {
      out.database->put_collection(std::move(snapshot.collection));
    }
    struct stat st;
    if (::stat(log.c_str(), &st) != 0 && errno == ENOENT) return out;
    if (!hold.held()) continue;
    CollectionMap& database = *out.database;
    auto replayed = replay_log(
        log, key, [&database](WalEntry&& entry) { apply_entry(database, std::move(entry)); });
    if (!replayed) return fail(replayed.error().with_prefix("WAL replay failed: "));
    out.log = std::move(*replayed);
    return out;
  }
}

}  // namespace kestrine
