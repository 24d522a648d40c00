#include "core/storage/snapshot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "core/collection/collection_map.h"
#include "core/common/cache_line_allocator.h"
#include "core/storage/checksum.h"
#include "core/storage/file_io.h"
#include "core/storage/records.h"
#include "core/storage/snapshot_validation.h"

namespace kestrine {
namespace {

constexpr char kChecksummedMagic[4] = {'K', 'C', 'R', '1'};
constexpr char kEncryptedMagic[4] = {'K', 'C', 'E', '1'};
constexpr size_t kMagicSize = 4;
constexpr size_t kTrailerSize = kMagicSize + 4;

// Every writer of a given snapshot file goes through the same temporary file, so two writes
// of one collection at once would interleave their bytes in it. Snapshot writes are rare and
// I/O-bound: one at a time per process costs nothing worth having a finer lock for. Taken
// before the collection's lock, never while holding any other lock.
std::mutex snapshot_writers;

bool starts_with_magic(std::span<const uint8_t> bytes, const char (&magic)[4]) {
  return bytes.size() >= kMagicSize && std::memcmp(bytes.data(), magic, kMagicSize) == 0;
}

std::string hex32(uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Writes the file through its temporary name; the caller holds the collection's lock.
Status replace_snapshot_file(const CollectionData& data, const std::filesystem::path& directory,
                             const EncryptionKey* key, FileSystem& fs) {
  // The name becomes a file name here: it must neither leave the directory nor be cut short.
  if (auto ok = check_collection_name(data.name); !ok) return ok;
  auto file = encode_snapshot(data, key);
  if (!file) return fail(file.error());
  if (auto ok = make_directories(directory, fs); !ok) return ok;
  const std::filesystem::path final_path = snapshot_path(directory, data.name);
  const std::filesystem::path temp_path =
      directory / (data.name + std::string(kSnapshotTempSuffix));
  Status written = write_file_synced(temp_path, *file, fs);
  if (written) written = fs.rename(temp_path, final_path);
  // A failed write leaves any previous snapshot untouched; the temporary file is only litter.
  if (!written) (void)fs.remove(temp_path);
  return written;
}

}  // namespace

std::filesystem::path snapshot_path(const std::filesystem::path& directory, std::string_view name) {
  std::string file_name(name);
  file_name += kSnapshotExtension;
  return directory / file_name;
}

Result<std::vector<uint8_t>> encode_snapshot(const CollectionData& data, const EncryptionKey* key) {
  if (key != nullptr) {
    // "KCE1" | nonce | payload | tag: the payload is encoded where the ciphertext goes and
    // sealed in place.
    std::vector<uint8_t> file = encode_collection(data, kMagicSize + kNonceSize, kTagSize);
    std::memcpy(file.data(), kEncryptedMagic, kMagicSize);
    if (auto ok = seal_in_place(*key, std::span<uint8_t>(file).subspan(kMagicSize)); !ok) {
      return fail(ok.error());
    }
    return file;
  }
  // payload | "KCR1" | CRC-32 big-endian.
  std::vector<uint8_t> file = encode_collection(data, 0, kTrailerSize);
  const size_t payload_size = file.size() - kTrailerSize;
  const uint32_t crc = crc32(std::span<const uint8_t>(file).first(payload_size));
  uint8_t* trailer = file.data() + payload_size;
  std::memcpy(trailer, kChecksummedMagic, kMagicSize);
  for (int i = 0; i < 4; ++i) trailer[kMagicSize + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return file;
}

Status write_snapshot(const std::shared_ptr<Collection>& collection,
                      const std::filesystem::path& directory, const EncryptionKey* key,
                      FileSystem& fs) {
  std::lock_guard writers(snapshot_writers);
  Status written = collection->read(
      [&](const CollectionData& data) { return replace_snapshot_file(data, directory, key, fs); });
  if (!written) return written;
  // The rename is durable only once the directory entry is; the lock is not needed for that.
  return fs.sync_directory(directory);
}

SnapshotForm snapshot_form(std::span<const uint8_t> file) {
  // Too short for any marker: bare, and the decoder reports the truncation.
  if (file.size() < kMagicSize) return SnapshotForm::kBare;
  if (starts_with_magic(file, kEncryptedMagic)) return SnapshotForm::kEncrypted;
  if (file.size() >= kTrailerSize &&
      starts_with_magic(file.last(kTrailerSize), kChecksummedMagic)) {
    return SnapshotForm::kChecksummed;
  }
  return SnapshotForm::kBare;
}

Result<SnapshotPayload> snapshot_payload(std::span<const uint8_t> file, std::string_view path,
                                         const EncryptionKey* key) {
  SnapshotPayload payload;
  payload.form = snapshot_form(file);
  payload.bytes = file;
  switch (payload.form) {
    case SnapshotForm::kBare:
      break;
    case SnapshotForm::kEncrypted: {
      if (key == nullptr) {
        return fail(Error::invalid_data("snapshot " + std::string(path) +
                                        " is encrypted but no encryption key was provided"));
      }
      auto opened = unseal(*key, file.subspan(kMagicSize));
      if (!opened) return fail(opened.error());
      payload.plaintext = std::move(*opened);
      payload.bytes = payload.plaintext;
      break;
    }
    case SnapshotForm::kChecksummed: {
      payload.bytes = file.first(file.size() - kTrailerSize);
      const uint8_t* stored_bytes = file.data() + file.size() - 4;
      const uint32_t stored = uint32_t{stored_bytes[0]} << 24 | uint32_t{stored_bytes[1]} << 16 |
                              uint32_t{stored_bytes[2]} << 8 | uint32_t{stored_bytes[3]};
      const uint32_t computed = crc32(payload.bytes);
      if (stored != computed) {
        return fail(Error::invalid_data("Snapshot CRC32 mismatch: expected " + hex32(stored) +
                                        ", got " + hex32(computed) +
                                        ". File may be corrupted: " + std::string(path)));
      }
      payload.crc = stored;
      break;
    }
  }
  return payload;
}

namespace {

// The last steps of reading, on the checked or opened payload: decoding, then validation.
Result<CollectionData> decode_payload(std::span<const uint8_t> payload) {
  // The decoded tables are sized exactly, once.
  const HugePageScope huge_pages;
  auto data = decode_collection(payload);
  if (!data) return fail(data.error());
  if (auto ok = validate_snapshot(*data); !ok) {
    return fail(ok.error().with_prefix(kSnapshotValidationPrefix));
  }
  return data;
}

}  // namespace

Result<CollectionData> parse_snapshot(std::span<const uint8_t> file, std::string_view path,
                                      const EncryptionKey* key) {
  auto payload = snapshot_payload(file, path, key);
  if (!payload) return fail(payload.error());
  return decode_payload(payload->bytes);
}

Result<CollectionData> read_snapshot_data(const std::filesystem::path& path,
                                          const EncryptionKey* key) {
  // Mapped from the page cache when possible: the payload is decoded (or decrypted) straight
  // from the cached pages, with no read buffer to allocate, clear and fill. Snapshots are
  // replaced by renaming, never changed in place, so the mapped file stays whole.
  if (auto mapped = MappedFile::map(path)) {
    const std::span<const uint8_t> file = mapped->bytes();
    if (key == nullptr || snapshot_form(file) != SnapshotForm::kEncrypted) {
      return parse_snapshot(file, path.native(), key);
    }
    // Decrypted into a buffer that is never cleared: every byte is written by the cipher (or
    // wiped on failure) before anything reads it. Same steps and errors as parse_snapshot.
    const std::span<const uint8_t> envelope = file.subspan(kMagicSize);
    const size_t plain_size =
        envelope.size() >= kEnvelopeOverhead ? envelope.size() - kEnvelopeOverhead : 0;
    // It is a table block, so that it too gets huge pages.
    const HugePageScope huge_pages;
    const size_t block_bytes = std::max<size_t>(plain_size, 1);
    const auto free_block = [block_bytes](uint8_t* block) { free_table_block(block, block_bytes); };
    const std::unique_ptr<uint8_t, decltype(free_block)> plaintext(
        static_cast<uint8_t*>(allocate_table_block(block_bytes)), free_block);
    if (auto ok = unseal_into(*key, envelope, std::span(plaintext.get(), plain_size)); !ok) {
      return fail(ok.error());
    }
    mapped.reset();  // the file's pages are not needed while decoding
    return decode_payload(std::span<const uint8_t>(plaintext.get(), plain_size));
  }
  auto file = read_file(path);
  if (!file) return fail(file.error());
  // The buffer just read is ours: an encrypted snapshot is opened inside it rather than into a
  // second buffer of the same size. Same steps and errors as parse_snapshot.
  if (key != nullptr && snapshot_form(*file) == SnapshotForm::kEncrypted) {
    auto opened = unseal_in_place(*key, std::span(*file).subspan(kMagicSize));
    if (!opened) return fail(opened.error());
    return decode_payload(*opened);
  }
  return parse_snapshot(*file, path.native(), key);
}

Result<std::shared_ptr<Collection>> read_snapshot(const std::filesystem::path& path,
                                                  const EncryptionKey* key) {
  auto data = read_snapshot_data(path, key);
  if (!data) return fail(data.error());
  return std::make_shared<Collection>(std::move(*data));
}

}  // namespace kestrine
