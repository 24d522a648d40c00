#include "core/storage/decoder.h"

#include <bit>
#include <compare>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace kestrine {
namespace {

Error truncated() { return Error::invalid_data("io error: unexpected end of file"); }

}  // namespace

Status Decoder::status() const {
  if (error_) return kestrine::fail(*error_);
  return {};
}

void Decoder::fail(Error error) {
  if (!error_) error_ = std::move(error);
  // Nothing more is read after a failure.
  position_ = bytes_.size();
}

const uint8_t* Decoder::take(size_t n) {
  if (!ok()) return nullptr;
  if (n > remaining()) {
    fail(truncated());
    return nullptr;
  }
  const uint8_t* p = bytes_.data() + position_;
  position_ += n;
  return p;
}

template <typename U>
U Decoder::take_le() {
  const uint8_t* p = take(sizeof(U));
  if (p == nullptr) return 0;
  U v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

uint8_t Decoder::u8() { return take_le<uint8_t>(); }
uint32_t Decoder::u32() { return take_le<uint32_t>(); }
uint64_t Decoder::u64() { return take_le<uint64_t>(); }
int64_t Decoder::i64() { return static_cast<int64_t>(take_le<uint64_t>()); }
float Decoder::f32() { return std::bit_cast<float>(take_le<uint32_t>()); }
double Decoder::f64() { return std::bit_cast<double>(take_le<uint64_t>()); }

bool Decoder::boolean() {
  const uint8_t b = u8();
  if (b > 1) {
    fail(Error::invalid_data("invalid u8 while decoding bool, expected 0 or 1, found " +
                             std::to_string(b)));
    return false;
  }
  return b == 1;
}

bool Decoder::optional_marker() {
  const uint8_t b = u8();
  if (b > 1) {
    fail(Error::invalid_data("tag for enum is not valid, found " + std::to_string(b)));
    return false;
  }
  return b == 1;
}

uint32_t Decoder::variant(uint32_t variant_count) {
  const uint32_t tag = u32();
  if (ok() && tag >= variant_count) {
    fail(Error::invalid_data("invalid value: integer `" + std::to_string(tag) +
                             "`, expected variant index 0 <= i < " +
                             std::to_string(variant_count)));
    return 0;
  }
  return tag;
}

uint64_t Decoder::count(size_t min_element_size) {
  const uint64_t n = u64();
  if (!ok()) return 0;
  if (min_element_size != 0 && n > remaining() / min_element_size) {
    fail(truncated());
    return 0;
  }
  return n;
}

std::string Decoder::string() { return std::string(string_view()); }

std::string_view Decoder::string_view() {
  const uint64_t n = count(1);
  const uint8_t* p = take(n);
  if (p == nullptr) return {};
  size_t bad = 0;
  if (!is_valid_utf8({p, n}, &bad)) {
    fail(Error::invalid_data("string is not valid utf8: invalid utf-8 sequence at byte " +
                             std::to_string(bad)));
    return {};
  }
  return std::string_view(reinterpret_cast<const char*>(p), n);
}

uint64_t Decoder::skip_string() {
  const uint64_t n = count(1);
  return take(n) == nullptr ? 0 : n;
}

Uuid Decoder::uuid() {
  Uuid id;
  // The bytes are read first: a cut-off UUID is a truncation, a complete one of another
  // length a UUID error.
  const uint64_t n = count(1);
  const uint8_t* p = take(n);
  if (p == nullptr) return id;
  if (n != id.bytes.size()) {
    fail(Error::invalid_data("UUID parsing failed: invalid length: expected 16 bytes, found " +
                             std::to_string(n)));
    return id;
  }
  std::memcpy(id.bytes.data(), p, id.bytes.size());
  return id;
}

namespace {

// Reads the little-endian values of T at `p`, unaligned: a random-access iterator, so that
// std::vector::assign allocates exactly once and copies without first zeroing the table.
template <typename T>
class LittleEndianReader {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = const T*;
  using reference = T;

  explicit LittleEndianReader(const uint8_t* p) : p_(p) {}
  T operator*() const {
    using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    U v;
    std::memcpy(&v, p_, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return std::bit_cast<T>(v);
  }
  T operator[](difference_type i) const { return *(*this + i); }
  LittleEndianReader& operator++() {
    p_ += sizeof(T);
    return *this;
  }
  LittleEndianReader operator++(int) {
    LittleEndianReader before = *this;
    p_ += sizeof(T);
    return before;
  }
  LittleEndianReader& operator--() {
    p_ -= sizeof(T);
    return *this;
  }
  LittleEndianReader operator--(int) {
    LittleEndianReader before = *this;
    p_ -= sizeof(T);
    return before;
  }
  LittleEndianReader& operator+=(difference_type n) {
    p_ += n * static_cast<difference_type>(sizeof(T));
    return *this;
  }
  LittleEndianReader& operator-=(difference_type n) { return *this += -n; }
  friend LittleEndianReader operator+(LittleEndianReader a, difference_type n) { return a += n; }
  friend LittleEndianReader operator+(difference_type n, LittleEndianReader a) { return a += n; }
  friend LittleEndianReader operator-(LittleEndianReader a, difference_type n) { return a -= n; }
  friend difference_type operator-(const LittleEndianReader& a, const LittleEndianReader& b) {
    return (a.p_ - b.p_) / static_cast<difference_type>(sizeof(T));
  }
  friend auto operator<=>(const LittleEndianReader&, const LittleEndianReader&) = default;

 private:
  const uint8_t* p_;
};

}  // namespace

template <typename T, typename Allocator>
void Decoder::take_array(std::vector<T, Allocator>& out) {
  out.clear();
  const uint64_t n = count(sizeof(T));
  const uint8_t* p = take(n * sizeof(T));
  if (p == nullptr) return;
  // The whole sequence is present (count() checked it), so its exact size is allocated.
  if constexpr (sizeof(T) == 1) {
    // Bytes need no alignment and no byte order: copied straight in, without first zeroing a
    // table that the copy overwrites (the codes are most of a snapshot).
    out.assign(reinterpret_cast<const T*>(p), reinterpret_cast<const T*>(p) + n);
  } else {
    // Wider values are read unaligned, in the file's byte order, straight into the new table.
    out.assign(LittleEndianReader<T>(p), LittleEndianReader<T>(p + n * sizeof(T)));
  }
}

void Decoder::bytes(std::vector<uint8_t>& out) { take_array(out); }
void Decoder::bytes(CacheLineVector<uint8_t>& out) { take_array(out); }
void Decoder::f32s(std::vector<float>& out) { take_array(out); }
void Decoder::u32s(std::vector<uint32_t>& out) { take_array(out); }

void Decoder::bools(std::vector<uint8_t>& out) {
  take_array(out);
  for (uint8_t b : out) {
    if (b > 1) {
      out.clear();
      fail(Error::invalid_data("invalid u8 while decoding bool, expected 0 or 1, found " +
                               std::to_string(b)));
      return;
    }
  }
}

bool is_valid_utf8(std::span<const uint8_t> text, size_t* bad_offset) {
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    if (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const uint8_t b = text[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    // Well-formed sequences (Unicode, table 3-7): the allowed range of the second byte depends
    // on the lead byte, which excludes overlong forms, surrogates and values above U+10FFFF.
    size_t length = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    bool good = length != 0 && i + length <= n && text[i + 1] >= lo && text[i + 1] <= hi;
    for (size_t k = 2; good && k < length; ++k) good = (text[i + k] & 0xC0) == 0x80;
    if (!good) {
      *bad_offset = i;
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace kestrine
