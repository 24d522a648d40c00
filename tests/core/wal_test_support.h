// Shared by the log tests: entries, records built by hand, byte poking, log files on disk.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/storage/checksum.h"
#include "core/storage/crypto.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_entry.h"
#include "core/storage/wal_format.h"
#include "tests/core/storage_test_support.h"

namespace kestrine::testing {

inline constexpr char kLogKeyHex[] =
    "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
inline constexpr char kOtherLogKeyHex[] =
    "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

inline KeyPtr log_key() { return *parse_key(kLogKeyHex); }
inline KeyPtr other_log_key() { return *parse_key(kOtherLogKeyHex); }

inline Uuid uuid_n(uint8_t n) {
  Uuid id;
  id.bytes.fill(n);
  id.bytes[6] = 0x40 | (n & 0x0F);  // a version-4 shape, for readability only
  return id;
}

inline wal::Item item(uint8_t n, std::string text, std::vector<float> embedding,
                      Metadata metadata = {}) {
  return {
      std::make_shared<const Document>(Document{uuid_n(n), std::move(text), std::move(metadata)}),
      std::move(embedding)};
}

inline void put_u32_be(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A record around `payload` with the given check.
inline std::vector<uint8_t> record_with_check(std::span<const uint8_t> payload, uint32_t check) {
  std::vector<uint8_t> record(kWalHeaderSize + payload.size());
  put_u32_be(record.data(), static_cast<uint32_t>(payload.size()));
  put_u32_be(record.data() + 4, check);
  std::ranges::copy(payload, record.begin() + kWalHeaderSize);
  return record;
}
inline std::vector<uint8_t> plain_record(std::span<const uint8_t> payload) {
  return record_with_check(payload, crc32(payload));
}
inline std::vector<uint8_t> encrypted_record(const EncryptionKey& key,
                                             std::span<const uint8_t> payload) {
  return record_with_check(*seal(key, payload), kWalEncryptedCheck);
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline std::vector<uint8_t> read_bytes(const std::filesystem::path& path) {
  auto bytes = read_file(path);
  EXPECT_TRUE(bytes.has_value()) << path;
  return bytes ? *bytes : std::vector<uint8_t>{};
}
inline void write_bytes(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  ASSERT_TRUE(write_file_synced(path, bytes)) << path;
}

// Sets the bits of `bytes` at `bit_positions` (bit b of byte i is position 8 i + b) so that
// the CRC-32 of `bytes` becomes `target`. The CRC is an affine function of any set of bits of
// a message of fixed length, so this is a linear system over GF(2): 32 equations, one unknown
// per free bit. Returns false when it has no solution.
inline bool force_crc(std::vector<uint8_t>& bytes, std::span<const size_t> bit_positions,
                      uint32_t target) {
  const size_t n = bit_positions.size();
  if (n > 64) return false;
  auto flip = [&bytes](size_t bit) { bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8)); };
  auto get = [&bytes](size_t bit) { return (bytes[bit / 8] >> (bit % 8)) & 1; };
  for (size_t bit : bit_positions) {
    if (get(bit)) flip(bit);
  }
  const uint32_t base = crc32(bytes);
  std::vector<uint32_t> columns(n);
  for (size_t j = 0; j < n; ++j) {
    flip(bit_positions[j]);
    columns[j] = crc32(bytes) ^ base;
    flip(bit_positions[j]);
  }
  // Row r: which unknowns flip CRC bit r, and whether bit r must flip.
  struct Row {
    uint64_t coefficients = 0;
    bool rhs = false;
  };
  std::vector<Row> rows(32);
  for (size_t r = 0; r < 32; ++r) {
    for (size_t j = 0; j < n; ++j) {
      if ((columns[j] >> r) & 1) rows[r].coefficients |= uint64_t{1} << j;
    }
    rows[r].rhs = (((base ^ target) >> r) & 1) != 0;
  }
  std::vector<int> pivot_of_row(32, -1);
  size_t rank = 0;
  for (size_t j = 0; j < n && rank < 32; ++j) {
    size_t pivot = rank;
    while (pivot < 32 && !((rows[pivot].coefficients >> j) & 1)) ++pivot;
    if (pivot == 32) continue;
    std::swap(rows[rank], rows[pivot]);
    for (size_t r = 0; r < 32; ++r) {
      if (r != rank && ((rows[r].coefficients >> j) & 1)) {
        rows[r].coefficients ^= rows[rank].coefficients;
        rows[r].rhs ^= rows[rank].rhs;
      }
    }
    pivot_of_row[rank++] = static_cast<int>(j);
  }
  for (size_t r = rank; r < 32; ++r) {
    if (rows[r].rhs) return false;
  }
  // Free unknowns stay 0; each pivot unknown takes its row's right-hand side.
  for (size_t r = 0; r < rank; ++r) {
    if (rows[r].rhs) flip(bit_positions[static_cast<size_t>(pivot_of_row[r])]);
  }
  return crc32(bytes) == target;
}

// The low 7 bits of each of `count` bytes from `offset`: bytes that stay ASCII, so a string
// that holds them stays valid UTF-8 whatever values they take.
inline std::vector<size_t> ascii_bits(size_t offset, size_t count) {
  std::vector<size_t> bits;
  for (size_t i = 0; i < count; ++i) {
    for (size_t b = 0; b < 7; ++b) bits.push_back(8 * (offset + i) + b);
  }
  return bits;
}

// While alive, every file this process writes is limited to `bytes`: a write past the limit
// writes what fits and then fails with EFBIG (the signal that would end the process is ignored).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_;
};

}  // namespace kestrine::testing
