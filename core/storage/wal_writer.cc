#include "core/storage/wal_writer.h"

#include <cerrno>
#include <string>

#include "core/storage/checksum.h"
#include "core/storage/wal_format.h"

namespace kestrine {
namespace {

void put_u32_be(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

Result<std::vector<uint8_t>> frame_record(const WalEntry& entry, const EncryptionKey* key) {
  // The entry is encoded straight into the record's payload position: after the header and,
  // when encrypting, after the nonce, with room for the tag behind it.
  const size_t head = kWalHeaderSize + (key != nullptr ? kNonceSize : 0);
  const size_t tail = key != nullptr ? kTagSize : 0;
  std::vector<uint8_t> record = encode_entry(entry, head, tail);
  const uint64_t payload_size = record.size() - kWalHeaderSize;
  if (payload_size > kWalMaxPayload) {
    return fail(Error::io("log record too large: " + std::to_string(payload_size) +
                          " bytes (limit " + std::to_string(kWalMaxPayload) + ")"));
  }
  std::span<uint8_t> payload = std::span<uint8_t>(record).subspan(kWalHeaderSize);
  uint32_t check = kWalEncryptedCheck;
  if (key != nullptr) {
    if (auto ok = seal_in_place(*key, payload); !ok) return fail(ok.error());
  } else {
    check = crc32(payload);
  }
  put_u32_be(record.data(), static_cast<uint32_t>(payload_size));
  put_u32_be(record.data() + 4, check);
  return record;
}

Result<std::unique_ptr<WalWriter>> WalWriter::open(const std::filesystem::path& directory,
                                                   FileSystem& fs) {
  std::filesystem::path path = directory / kWalFileName;
  // Created here when absent, and then its name made durable: until the directory reaches the
  // device, a power cut could lose the file and every record acknowledged in it. (Created apart
  // from the handle that appends, which must be opened for appending.)
  if (auto created = fs.create_new(path); created) {
    if (auto ok = (*created)->close(); !ok) return fail(ok.error());
    if (auto ok = fs.sync_directory(directory); !ok) return fail(ok.error());
  } else if (!is_os_error(created.error(), EEXIST)) {
    return fail(created.error());
  }
  auto file = fs.open_appendable(path);
  if (!file) return fail(file.error());
  auto size = (*file)->size();
  if (!size) return fail(size.error());
  return std::unique_ptr<WalWriter>(new WalWriter(std::move(path), std::move(*file), *size));
}

WalWriter::WalWriter(std::filesystem::path path, std::unique_ptr<WritableFile> file, uint64_t size)
    : path_(std::move(path)), file_(std::move(file)), size_(size) {}

uint64_t WalWriter::size() const {
  std::lock_guard lock(mutex_);
  return size_;
}

Status WalWriter::append(std::span<const uint8_t> record) {
  std::lock_guard lock(mutex_);
  if (broken_) {
    return fail(Error::io("the log could not be repaired after an earlier failed write"));
  }
  Status written = file_->append(record);
  if (written) written = file_->sync_data();
  if (written) {
    size_ += record.size();
    return {};
  }
  // Part of the record may be in the file, or all of it without being durable. Either way the
  // caller reports the change as not made, so it must not come back at replay; and a torn
  // record in the middle of the log would hide every record appended after it.
  if (!set_length_locked(size_)) broken_ = true;
  return written;
}

Status WalWriter::truncate() {
  std::lock_guard lock(mutex_);
  if (auto ok = set_length_locked(0); !ok) return ok;
  broken_ = false;
  return {};
}

Status WalWriter::cut_back(uint64_t length) {
  std::lock_guard lock(mutex_);
  return set_length_locked(length);
}

Status WalWriter::set_length_locked(uint64_t length) {
  if (auto ok = file_->truncate(length); !ok) return ok;
  size_ = length;
  return file_->sync_data();
}

}  // namespace kestrine
