#include "core/storage/wal_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/storage/checksum.h"
#include "core/storage/wal_format.h"

namespace kestrine {
namespace {

uint32_t get_u32_be(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

Result<std::unique_ptr<WalReader>> WalReader::open(const std::filesystem::path& path,
                                                   FileSystem& fs) {
  auto file = fs.open_readable(path);
  if (!file) return fail(file.error());
  auto size = (*file)->size();
  if (!size) return fail(size.error());
  return std::unique_ptr<WalReader>(new WalReader(std::move(*file), *size));
}

WalReader::WalReader(std::unique_ptr<ReadableFile> file, uint64_t file_size)
    : file_(std::move(file)), file_size_(file_size), buffer_(kWalReadBufferSize) {}

Result<size_t> WalReader::read_bytes(uint8_t* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (buffered_begin_ == buffered_end_) {
      // A large remainder goes straight to its destination; small ones through the buffer.
      const bool direct = n - done >= buffer_.size();
      uint8_t* target = direct ? out + done : buffer_.data();
      const size_t want = direct ? n - done : buffer_.size();
      auto got = file_->read_some(std::span(target, want));
      if (!got) return fail(got.error());
      if (*got == 0) break;
      if (direct) {
        done += *got;
        continue;
      }
      buffered_begin_ = 0;
      buffered_end_ = *got;
    }
    const size_t take = std::min(n - done, buffered_end_ - buffered_begin_);
    std::memcpy(out + done, buffer_.data() + buffered_begin_, take);
    buffered_begin_ += take;
    done += take;
  }
  return done;
}

Result<WalReader::Next> WalReader::read(RawRecord* record) {
  uint8_t header[kWalHeaderSize];
  auto got = read_bytes(header, sizeof header);
  if (!got) return fail(got.error());
  if (*got == 0) return Next::kEnd;
  if (*got < sizeof header) return Next::kTornTail;
  const uint32_t length = get_u32_be(header);
  // The length is untrusted: a payload that cannot be in the file is a torn record, whatever
  // it claims, and nothing is allocated for it.
  const uint64_t remaining = file_size_ - std::min(file_size_, offset_ + kWalHeaderSize);
  if (length > remaining) return Next::kTornTail;
  record->offset = offset_;
  record->check = get_u32_be(header + 4);
  record->payload.resize(length);
  got = read_bytes(record->payload.data(), length);
  if (!got) return fail(got.error());
  if (*got < length) return Next::kTornTail;  // the file shrank while being read
  offset_ += kWalHeaderSize + length;
  return Next::kRecord;
}

CheckedRecord check_record(const RawRecord& record, const EncryptionKey* key) {
  return check_record(record, crc32(record.payload), key);
}

CheckedRecord check_record(const RawRecord& record, uint32_t payload_crc,
                           const EncryptionKey* key) {
  CheckedRecord checked;
  if (record.check != kWalEncryptedCheck) {
    if (payload_crc != record.check) {
      checked.verdict = RecordVerdict::kBadChecksum;
      char text[80];
      std::snprintf(text, sizeof text, "CRC mismatch: expected 0x%08x, got 0x%08x", record.check,
                    payload_crc);
      checked.problem = text;
    }
    return checked;
  }
  const bool crc_matches = payload_crc == kWalEncryptedCheck;
  if (key == nullptr) {
    if (!crc_matches) {
      checked.verdict = RecordVerdict::kEncryptedWithoutKey;
      checked.problem = "log is encrypted but no encryption key was provided";
    }
    return checked;
  }
  auto opened = unseal(*key, record.payload);
  if (opened) {
    checked.verdict = RecordVerdict::kDecrypted;
    checked.plaintext = std::move(*opened);
  } else if (!crc_matches) {
    checked.verdict = RecordVerdict::kUndecryptable;
    checked.problem = opened.error().message();
  }
  return checked;
}

}  // namespace kestrine
