// Reading the write-ahead log back, record by record (record layout: wal_format.h).
//
// Two steps, kept apart: WalReader cuts the file into framed records and tells the normal end
// of the log from a record cut short by the end of the file; check_record then verifies one
// record (CRC, or decryption) and says why it is unusable when it is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/storage/crypto.h"
#include "core/storage/file_io.h"

namespace kestrine {

// One framed record, not yet verified.
struct RawRecord {
  uint64_t offset = 0;  // where its header starts in the file
  uint32_t check = 0;
  std::vector<uint8_t> payload;
};

class WalReader {
 public:
  enum class Next {
    kRecord,    // a complete record was read
    kEnd,       // the file ends at a record boundary
    kTornTail,  // the file ends inside the record starting at offset(): its header or payload
  };

  // Opens a log file for reading. The file's length when opened bounds every read: a declared
  // payload longer than what remains is a torn tail, found before anything is allocated.
  static Result<std::unique_ptr<WalReader>> open(const std::filesystem::path& path,
                                                 FileSystem& fs = default_file_system());

  WalReader(const WalReader&) = delete;
  WalReader& operator=(const WalReader&) = delete;

  // Reads the next record into `*record`. A failed read is the operating system's error.
  Result<Next> read(RawRecord* record);

  // The end of the last complete record read: where the unread part of the file starts.
  uint64_t offset() const { return offset_; }
  uint64_t file_size() const { return file_size_; }

 private:
  WalReader(std::unique_ptr<ReadableFile> file, uint64_t file_size);
  // Up to `n` bytes into `out`; fewer only at the end of the file.
  Result<size_t> read_bytes(uint8_t* out, size_t n);

  const std::unique_ptr<ReadableFile> file_;
  const uint64_t file_size_;
  uint64_t offset_ = 0;
  std::vector<uint8_t> buffer_;
  size_t buffered_begin_ = 0;
  size_t buffered_end_ = 0;
};

// What a record's check says about it.
enum class RecordVerdict {
  kPlain,                // CRC matches: the payload is the encoded entry
  kDecrypted,            // an envelope that opened under the key: the plaintext is the entry
  kBadChecksum,          // a plain record whose CRC does not match
  kEncryptedWithoutKey,  // an encrypted record, and no key to open it
  kUndecryptable,        // an encrypted record that does not open under the key
};

struct CheckedRecord {
  RecordVerdict verdict = RecordVerdict::kPlain;
  std::vector<uint8_t> plaintext;  // kDecrypted only
  std::string problem;             // why the record is unusable, for messages
};

// Verifies a record. A check of FF FF FF FF marks an encrypted record, unless it is the CRC of
// the payload: a plain record can have that CRC too. Then, with a key, an envelope that opens
// is still taken as encrypted: both readings cannot hold for the same bytes short of breaking
// the cipher's authentication, so each record is read the way it was written.
CheckedRecord check_record(const RawRecord& record, const EncryptionKey* key);
// The same with the payload's CRC already computed (lets tests pose any CRC).
CheckedRecord check_record(const RawRecord& record, uint32_t payload_crc, const EncryptionKey* key);

}  // namespace kestrine
