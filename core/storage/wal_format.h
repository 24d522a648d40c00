// The write-ahead log "wal.bin": the changes made since the last checkpoint, oldest first.
//
// The file has no header. It is a sequence of records, each
//
//   +--------------------+--------------------+---------------------------+
//   | length: u32 BE     | check: u32 BE      | payload: `length` bytes   |
//   +--------------------+--------------------+---------------------------+
//
// A plain record's payload is one encoded WalEntry (wal_entry.h) and its check is the CRC-32 of
// the payload (checksum.h). An encrypted record, written when the database has a key, carries
// the AES-256-GCM envelope of the encoded entry (crypto.h: nonce | ciphertext | tag) and the
// check FF FF FF FF. The header is big-endian, unlike everything inside the payload.
//
// Every record is forced to the device before the call that wrote it returns, so a crash can
// only leave the last record cut short. Reading therefore tells three endings apart:
//   - the end of the file at a record boundary: the normal end of the log;
//   - a record cut short by the end of the file (a torn tail): the write that was in flight
//     when the process stopped; nothing acknowledged is in it;
//   - a complete record that fails its check: corruption, reported.
// A plain record whose CRC happens to be FF FF FF FF is still plain: a check of FF FF FF FF is
// first compared with the payload's CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrine {

inline constexpr std::string_view kWalFileName = "wal.bin";
// Where the unreadable rest of a log is kept: "wal.bin.corrupt", then "wal.bin.corrupt.1", ...
inline constexpr std::string_view kWalCorruptName = "wal.bin.corrupt";

inline constexpr size_t kWalHeaderSize = 8;
inline constexpr uint32_t kWalEncryptedCheck = 0xFFFFFFFF;
inline constexpr uint64_t kWalMaxPayload = UINT32_MAX;

// Reads go through a buffer of this size; payloads are read straight into their own buffer.
inline constexpr size_t kWalReadBufferSize = 8 * 1024;

}  // namespace kestrine
