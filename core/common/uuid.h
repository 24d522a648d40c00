// 16-byte document identifiers. The text form shown to users is the 36-character hyphenated
// lowercase form; parsing also accepts the simple (32 digits), braced and "urn:uuid:" forms.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/common/error.h"

namespace kestrine {

struct Uuid {
  std::array<uint8_t, 16> bytes{};

  // Two 8-byte compares, inline: the defaulted comparison calls memcmp, and ids are compared on
  // every map probe.
  friend bool operator==(const Uuid& a, const Uuid& b) {
    uint64_t x[2], y[2];
    std::memcpy(x, a.bytes.data(), 16);
    std::memcpy(y, b.bytes.data(), 16);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
  }
};

struct UuidHash {
  size_t operator()(const Uuid& id) const noexcept {
    uint64_t lo, hi;
    std::memcpy(&lo, id.bytes.data(), 8);
    std::memcpy(&hi, id.bytes.data() + 8, 8);
    // Random v4 ids are already well mixed; the multiply spreads structured ids too.
    return static_cast<size_t>((lo ^ (hi * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull >> 7);
  }
};

// On failure the error is kInvalidValue and its message is the parser's own text, without the
// "invalid UUID: " prefix that the API adds.
Result<Uuid> parse_uuid(std::string_view text);
std::string format_uuid(const Uuid& id);
// A random version-4 UUID from the operating system's random source.
Uuid new_uuid();

}  // namespace kestrine
