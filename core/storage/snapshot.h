// Snapshot files: one collection per file, named "<name>.kestrine" in its directory.
//
// A file has one of three forms:
//
//   checksummed   payload | "KCR1" | CRC-32 of the payload (4 bytes, big-endian)
//   encrypted     "KCE1" | envelope of the payload (crypto.h: nonce | ciphertext | tag)
//   bare          payload                       (never written; accepted when read)
//
// The payload is the encoded CollectionData (records.h). A reader tells the forms apart by
// content, in this order: fewer than 4 bytes is bare; a "KCE1" start is encrypted; "KCR1" at
// 8 bytes before the end is checksummed; anything else is bare.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"
#include "core/common/error.h"
#include "core/storage/crypto.h"
#include "core/storage/file_io.h"

namespace kestrine {

inline constexpr std::string_view kSnapshotExtension = ".kestrine";
inline constexpr std::string_view kSnapshotTempSuffix = ".kestrine.tmp";

// "<directory>/<name>.kestrine".
std::filesystem::path snapshot_path(const std::filesystem::path& directory, std::string_view name);

// Writes the collection's snapshot into `directory` (created with its parents if missing),
// encrypted when `key` is given, checksummed otherwise. The collection's shared lock is held
// from encoding to the rename, so the file holds one consistent state; writers wait. The bytes
// go to "<name>.kestrine.tmp", which is forced to the device and then renamed over the final
// name, and the directory is forced after the rename: a crash leaves either the previous
// snapshot or the new one, never a half-written file under the final name. Failures are the
// operating system's errors; a name that cannot be a file name is kInvalidValue. A failed
// write leaves the previous snapshot as it was and removes the temporary file.
Status write_snapshot(const std::shared_ptr<Collection>& collection,
                      const std::filesystem::path& directory, const EncryptionKey* key,
                      FileSystem& fs = default_file_system());

// The complete file content for a collection state.
Result<std::vector<uint8_t>> encode_snapshot(const CollectionData& data, const EncryptionKey* key);

// Reads, checks, decodes and validates a snapshot file. Read failures are the operating
// system's errors; content failures are kInvalidData with the texts of parse_snapshot.
Result<CollectionData> read_snapshot_data(const std::filesystem::path& path,
                                          const EncryptionKey* key);
// The same, built into a collection.
Result<std::shared_ptr<Collection>> read_snapshot(const std::filesystem::path& path,
                                                  const EncryptionKey* key);

// The form of a snapshot file, told by content in the order given at the top of this file.
enum class SnapshotForm { kBare, kChecksummed, kEncrypted };
SnapshotForm snapshot_form(std::span<const uint8_t> file);

// A snapshot file's payload once its form's check has passed.
struct SnapshotPayload {
  SnapshotForm form = SnapshotForm::kBare;
  std::span<const uint8_t> bytes;  // the payload: inside the file, or `plaintext`
  std::vector<uint8_t> plaintext;  // encrypted form: the opened envelope
  uint32_t crc = 0;                // checksummed form: the stored CRC, which matched
};

// The first content steps of reading: form detection, then the CRC check or the unsealing.
// The result's `bytes` may point into `file`. Errors are those of parse_snapshot before
// decoding: the missing-key, CRC and unsealing texts.
Result<SnapshotPayload> snapshot_payload(std::span<const uint8_t> file, std::string_view path,
                                         const EncryptionKey* key);

// What parse_snapshot puts before the text of a failed validation rule.
inline constexpr std::string_view kSnapshotValidationPrefix = "snapshot validation failed: ";

// The content steps of reading: form detection, CRC check or unsealing, decoding and
// validation. `path` only appears in messages:
//   "snapshot <path> is encrypted but no encryption key was provided"
//   "Snapshot CRC32 mismatch: expected 0x%08x, got 0x%08x. File may be corrupted: <path>"
//   the unsealing texts (crypto.h), the decoder texts (decoder.h), and
//   "snapshot validation failed: " + a rule of validate_snapshot.
Result<CollectionData> parse_snapshot(std::span<const uint8_t> file, std::string_view path,
                                      const EncryptionKey* key);

}  // namespace kestrine
