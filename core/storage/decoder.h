// Reader of the record encoding (layout: encoder.h) over a span of untrusted bytes.
//
// Nothing read is trusted. A declared length or count is checked against the bytes that remain
// before anything is allocated for it: a count whose elements cannot fit (at their smallest
// encoded size) is a truncated record. Fixed-width sequences are then allocated at their
// verified size. Containers of variable-size elements either reserve at most about 1 MiB up
// front and grow as elements actually arrive (reserve_hint), or, for the large tables of a
// snapshot, reserve the checked count at once, which costs a small fixed multiple of the input
// (records.cc says which). Memory therefore stays proportional to the input.
//
// The first failure is kept, and every later read returns zero or empty without consuming
// anything. Loops driven by a stored count must test ok() on every turn; the caller checks
// status() once at the end. All failures are kInvalidData with the texts below.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/cache_line_allocator.h"
#include "core/common/error.h"
#include "core/common/uuid.h"

namespace kestrine {

// Largest number of bytes reserved for a container before its elements have been read.
inline constexpr size_t kMaxReserveBytes = size_t{1} << 20;

// How many elements of T to reserve for a declared `count`.
template <typename T>
size_t reserve_hint(uint64_t count) {
  return static_cast<size_t>(std::min<uint64_t>(count, kMaxReserveBytes / sizeof(T)));
}

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return !error_.has_value(); }
  Status status() const;
  size_t position() const { return position_; }
  size_t remaining() const { return bytes_.size() - position_; }

  // Records the first failure; later ones are dropped.
  void fail(Error error);

  uint8_t u8();
  uint32_t u32();
  uint64_t u64();
  int64_t i64();
  float f32();
  double f64();
  // "invalid u8 while decoding bool, expected 0 or 1, found <b>"
  bool boolean();
  // Marker of an optional value: "tag for enum is not valid, found <b>"
  bool optional_marker();
  // Enumeration tag below `variant_count`:
  // "invalid value: integer `<tag>`, expected variant index 0 <= i < <variant_count>"
  uint32_t variant(uint32_t variant_count);
  // Element count of a sequence or map whose elements take at least `min_element_size` bytes.
  uint64_t count(size_t min_element_size);
  // "string is not valid utf8: ..." for bytes that are not well-formed UTF-8.
  std::string string();
  // The same string as a view into the input, without a copy.
  std::string_view string_view();
  // Skips a string without checking its UTF-8; returns its length (0 after a failure).
  uint64_t skip_string();
  // "UUID parsing failed: invalid length: expected 16 bytes, found <n>"
  Uuid uuid();
  // Sequences of fixed-width values, replacing the contents of `out`.
  void bytes(std::vector<uint8_t>& out);
  void bytes(CacheLineVector<uint8_t>& out);
  void bools(std::vector<uint8_t>& out);  // each 0 or 1, as boolean()
  void f32s(std::vector<float>& out);
  void u32s(std::vector<uint32_t>& out);

 private:
  // The next `n` bytes, or null (and the truncation error) when fewer remain.
  const uint8_t* take(size_t n);
  template <typename U>
  U take_le();
  template <typename T, typename Allocator>
  void take_array(std::vector<T, Allocator>& out);

  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
  std::optional<Error> error_;
};

// Decodes one record with `read(Decoder&)` from the start of `bytes`; bytes after the record are
// ignored.
template <typename T, typename Read>
Result<T> decode_record(std::span<const uint8_t> bytes, Read&& read) {
  Decoder decoder(bytes);
  T value = read(decoder);
  if (auto ok = decoder.status(); !ok) return fail(ok.error());
  return value;
}

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF); on failure `*bad_offset` is the offset of the first byte of the bad sequence.
bool is_valid_utf8(std::span<const uint8_t> text, size_t* bad_offset);

}  // namespace kestrine
