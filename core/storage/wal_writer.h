// Appending to the write-ahead log (record layout: wal_format.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/common/error.h"
#include "core/storage/crypto.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_entry.h"

namespace kestrine {

// The complete record for `entry`: header and payload in one buffer, encrypted under `key`
// when given, else checksummed. Takes no lock, so encoding and sealing run outside the log's
// serialisation. A payload above 4 GiB - 1 cannot be framed: kIo "log record too large: ...".
Result<std::vector<uint8_t>> frame_record(const WalEntry& entry, const EncryptionKey* key);

// The open log, positioned for appending. Appends and truncation are serialised by an internal
// mutex, so a record is always written whole before the next one starts.
class WalWriter {
 public:
  // Opens "<directory>/wal.bin" for appending, creating it if absent (the directory must
  // exist); a log created here has its directory synced, so that its name is durable before
  // any record in it is acknowledged. The file's current length is taken as the end of its
  // valid records.
  static Result<std::unique_ptr<WalWriter>> open(const std::filesystem::path& directory,
                                                 FileSystem& fs = default_file_system());

  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;

  // Writes a framed record (or several, one after the other, in one write) and forces it to
  // the device; on success the record is durable.
  // On failure the file is cut back to where it ended before, so that no part of the record
  // stays behind for later records to be appended to. If even that fails, the log refuses
  // every later append (their records would follow bytes that replay cannot get past) until
  // it is truncated.
  Status append(std::span<const uint8_t> record);

  // Empties the log and forces the new length to the device.
  Status truncate();

  // Cuts the log back to `length` bytes (the end of its last good record) and forces the new
  // length to the device. Used once, before the first append, when replay stopped early.
  Status cut_back(uint64_t length);

  const std::filesystem::path& path() const { return path_; }
  uint64_t size() const;

 private:
  WalWriter(std::filesystem::path path, std::unique_ptr<WritableFile> file, uint64_t size);
  Status set_length_locked(uint64_t length);

  const std::filesystem::path path_;
  const std::unique_ptr<WritableFile> file_;
  mutable std::mutex mutex_;
  uint64_t size_;        // end of the last complete record; guarded by mutex_
  bool broken_ = false;  // a failed append could not be undone; guarded by mutex_
};

}  // namespace kestrine
