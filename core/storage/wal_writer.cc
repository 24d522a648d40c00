#include "core/storage/wal_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/storage/checksum.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_format.h"

namespace kestrine {
namespace {

void put_u32_be(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

Status sync_data(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return fail(Error::from_errno(errno));
  }
  return {};
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

Result<std::unique_ptr<WalWriter>> WalWriter::open(const std::filesystem::path& directory) {
  std::filesystem::path path = directory / kWalFileName;
  // Created here when absent, and then its name made durable: until the directory reaches the
  // device, a power cut could lose the file and every record acknowledged in it.
  bool created = false;
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      created = fd >= 0;
      if (fd < 0 && errno == EEXIST) errno = EINTR;  // created meanwhile: open it as it is
    }
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::from_errno(errno));
  if (created) {
    if (auto ok = sync_directory(directory); !ok) {
      ::close(fd);
      return fail(ok.error());
    }
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    return fail(Error::from_errno(code));
  }
  return std::unique_ptr<WalWriter>(
      new WalWriter(std::move(path), fd, static_cast<uint64_t>(st.st_size)));
}

WalWriter::WalWriter(std::filesystem::path path, int fd, uint64_t size)
    : path_(std::move(path)), fd_(fd), size_(size) {}

WalWriter::~WalWriter() { ::close(fd_); }

uint64_t WalWriter::size() const {
  std::lock_guard lock(mutex_);
  return size_;
}

Status WalWriter::append(std::span<const uint8_t> record) {
  std::lock_guard lock(mutex_);
  if (broken_) {
    return fail(Error::io("the log could not be repaired after an earlier failed write"));
  }
  Status written = write_all(fd_, record);
  if (written) written = sync_data(fd_);
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

void WalWriter::keep_readers_out() {
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void WalWriter::let_readers_in() { ::flock(fd_, LOCK_UN); }

Status WalWriter::cut_back(uint64_t length) {
  std::lock_guard lock(mutex_);
  return set_length_locked(length);
}

Status WalWriter::set_length_locked(uint64_t length) {
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(Error::from_errno(errno));
  size_ = length;
  return sync_data(fd_);
}

}  // namespace kestrine
