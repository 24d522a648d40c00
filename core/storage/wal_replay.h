// Replaying the write-ahead log into a database when it is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "core/collection/collection_map.h"
#include "core/common/error.h"
#include "core/storage/crypto.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_entry.h"
#include "core/storage/wal_reader.h"

namespace kestrine {

// How the readable part of a log ended.
enum class LogEnd {
  kClean,     // at the end of the file
  kTornTail,  // at a record cut short by the end of the file: an append that never finished
  kCorrupt,   // at a complete record that fails its CRC, or fails to decrypt although an
              // earlier record of the log decrypted
};

// Where opening refuses to go on: the log cannot be read without another key.
enum class LogRefusal {
  kNone,
  kMissingKey,  // an encrypted record, and no key
  kWrongKey,    // the log's first encrypted record does not decrypt under the key
};

struct ReplayReport {
  LogEnd end = LogEnd::kClean;
  // Length of the part that was read: the end of the last complete, verified record. A log
  // cut back to this length ends cleanly.
  uint64_t valid_length = 0;
  uint64_t file_size = 0;
  std::string problem;     // kCorrupt, or a refusal: what is wrong with the record at valid_length
  size_t entries = 0;      // entries handed to `apply`
  size_t undecodable = 0;  // verified records whose entry did not decode, skipped
  LogRefusal refusal = LogRefusal::kNone;  // scan_log only: replay_log fails instead
};

// Reads the log file at `path` from the start, record by record, and hands every verified
// record to `visit` with its decoded entry, or the decoding error of an entry that does not
// decode (its framing is intact, so reading goes on with the next record). Reading stops at
// the first record that is cut short or fails its check, exactly where replay_log stops; where
// replay_log fails for want of the right key, this stops too and reports the refusal, with
// `valid_length` at the refused record and the cause in `problem`. Only read failures (the
// operating system's errors) are errors. Nothing is written.
Result<ReplayReport> scan_log(
    const std::filesystem::path& path, const EncryptionKey* key,
    const std::function<void(const RawRecord&, Result<WalEntry>&&)>& visit,
    FileSystem& fs = default_file_system());

// Reads the log file at `path` from the start and hands each entry, in file order, to `apply`.
// Reading stops at the first record that is cut short or fails its check; that is reported,
// not an error. A verified record whose entry does not decode (an unknown tag, for one) is
// skipped: its framing is intact, so the next record can still be found.
//
// Errors, after which the caller must discard whatever was applied:
//   - read failures (the operating system's errors);
//   - kInvalidData "log is encrypted but no encryption key was provided", at an encrypted
//     record when `key` is null;
//   - kInvalidData with the decryption text, when the first encrypted record of the log does
//     not decrypt: the key is wrong, and cutting the log there would throw away its records.
Result<ReplayReport> replay_log(const std::filesystem::path& path, const EncryptionKey* key,
                                const std::function<void(WalEntry&&)>& apply,
                                FileSystem& fs = default_file_system());

// Redoes a logged change on `database` through the collections' own operations, without
// logging it again. Returns whether it changed anything. Entries that no live call could have
// logged change nothing:
//   CreateCollection  ignored when the name is taken or not a valid collection name
//   DeleteCollection  removes the collection if it exists
//   InsertDocument    skipped when the collection is missing or the id is live
//   DeleteDocument    deletes the document if the collection has it live
//   BatchInsert       skipped when the collection is missing; each item skipped when its id is
//                     live (so an id repeated in the batch keeps its first document)
//   UpdateDocument    skipped when the collection is missing; otherwise deletes the id, then
//                     inserts the document
// A document whose embedding length differs from the collection's dimension, or whose text is
// too long to index, is skipped like a live id.
bool apply_entry(CollectionMap& database, WalEntry&& entry);

}  // namespace kestrine
