// Writer of the record encoding shared by snapshots and the write-ahead log.
//
// A record is its fields in declaration order: no field names, no header, no padding, no
// terminator. Primitive encodings:
//
//   u8 / u32 / u64 / i64      fixed width, little-endian, two's complement for i64
//   f32 / f64                 IEEE 754 bit pattern, little-endian
//   bool                      one byte, 0 or 1
//   length or count           u64
//   string                    length in bytes, then the UTF-8 bytes
//   sequence of T             element count, then the elements
//   map K -> V                entry count, then key and value of each entry (hash-map order)
//   optional T                one byte 0 (absent) or 1 followed by T
//   enumeration               variant index as u32, then the variant's fields
//   UUID                      as a byte string: length 16 (u64), then the 16 bytes in text order
//
// Every record is written twice through the same code: first by an Encoder that only counts,
// which gives the exact size, then by one that writes into a buffer of exactly that size. So the
// layout of each record is stated once (records.h) and the output is never reallocated.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "core/common/uuid.h"

namespace kestrine {

class Encoder {
 public:
  // An encoder that only counts bytes.
  Encoder() = default;
  // An encoder that writes into `out`; it must be exactly as large as the counting pass found.
  explicit Encoder(std::span<uint8_t> out) : out_(out.data()), capacity_(out.size()) {}

  // Bytes counted or written so far.
  size_t size() const { return size_; }

  void u8(uint8_t v) { put(&v, 1); }
  void u32(uint32_t v) { put_le(v); }
  void u64(uint64_t v) { put_le(v); }
  void i64(int64_t v) { put_le(static_cast<uint64_t>(v)); }
  void f32(float v) { put_le(std::bit_cast<uint32_t>(v)); }
  void f64(double v) { put_le(std::bit_cast<uint64_t>(v)); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void length(size_t n) { u64(n); }
  void variant(uint32_t index) { u32(index); }
  void optional_marker(bool present) { u8(present ? 1 : 0); }

  void string(std::string_view s) {
    length(s.size());
    put(s.data(), s.size());
  }
  void uuid(const Uuid& id) {
    length(id.bytes.size());
    put(id.bytes.data(), id.bytes.size());
  }
  // Sequences of fixed-width values.
  void bytes(std::span<const uint8_t> values) {
    length(values.size());
    put(values.data(), values.size());
  }
  void f32s(std::span<const float> values) { put_array(values); }
  void u32s(std::span<const uint32_t> values) { put_array(values); }

 private:
  void put(const void* data, size_t n) {
    if (out_ != nullptr) {
      // Both passes walk the same record under the same lock; a difference is a bug in a
      // record's encoder, and writing on would run past the buffer.
      if (n > capacity_ - size_) {
        std::fprintf(stderr, "kestrine: record encoder wrote past its counted size\n");
        std::abort();
      }
      if (n != 0) std::memcpy(out_ + size_, data, n);
    }
    size_ += n;
  }

  template <typename U>
  void put_le(U v) {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    put(&v, sizeof v);
  }

  template <typename T>
  void put_array(std::span<const T> values) {
    length(values.size());
    if constexpr (std::endian::native == std::endian::little) {
      put(values.data(), values.size_bytes());
    } else {
      for (T v : values) put_le(std::bit_cast<std::conditional_t<sizeof(T) == 4, uint32_t, T>>(v));
    }
  }

  uint8_t* out_ = nullptr;
  size_t capacity_ = SIZE_MAX;
  size_t size_ = 0;
};

// Encodes one record with `write(Encoder&)` into a new buffer of exactly
// `head + record size + tail` bytes, the record starting at offset `head`. Framing (a marker, a
// checksum, an encryption envelope) goes into the head and tail room without another copy.
template <typename Write>
std::vector<uint8_t> encode_exact(Write&& write, size_t head = 0, size_t tail = 0) {
  Encoder counter;
  write(counter);
  std::vector<uint8_t> buffer(head + counter.size() + tail);
  Encoder writer(std::span<uint8_t>(buffer).subspan(head, counter.size()));
  write(writer);
  if (writer.size() != counter.size()) {
    std::fprintf(stderr, "kestrine: record encoder wrote less than its counted size\n");
    std::abort();
  }
  return buffer;
}

}  // namespace kestrine
