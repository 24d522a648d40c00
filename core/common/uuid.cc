#include "core/common/uuid.h"

#include <algorithm>

#include "core/common/os_random.h"

namespace kestrine {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 32 hex digits, skipping hyphens at the given positions; false on any other character.
bool read_digits(std::string_view s, Uuid* out) {
  size_t byte = 0;
  int high = -1;
  for (char c : s) {
    if (c == '-') continue;
    int v = hex_value(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out->bytes[byte++] = static_cast<uint8_t>(high << 4 | v);
      high = -1;
    }
  }
  return byte == 16 && high < 0;
}

bool parse_hyphenated(std::string_view s, Uuid* out) {
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '-' && i != 8 && i != 13 && i != 18 && i != 23) return false;
  }
  return read_digits(s, out);
}

size_t utf8_sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 1;
}

// Explains why `text` is not a UUID, in the parser's words.
std::string diagnose(std::string_view text) {
  std::string_view body = text;
  size_t offset = 0;
  bool simple = true;
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    body = text.substr(1, text.size() - 2);
    offset = 1;
    simple = false;
  } else if (text.starts_with("urn:uuid:")) {
    body = text.substr(9);
    offset = 9;
    simple = false;
  }

  size_t hyphens = 0;
  size_t hyphen_at[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < body.size();) {
    const char c = body[i];
    if (c == '-') {
      if (hyphens < 4) hyphen_at[hyphens] = i;
      ++hyphens;
    } else if (hex_value(c) < 0) {
      size_t len = std::min(utf8_sequence_length(static_cast<unsigned char>(c)), body.size() - i);
      return "invalid character: expected an optional prefix of `urn:uuid:` followed by "
             "[0-9a-fA-F-], found `" +
             std::string(body.substr(i, len)) + "` at " + std::to_string(offset + i + 1);
    }
    ++i;
  }

  if (hyphens == 0 && simple) {
    return "invalid length: expected length 32 for simple format, found " +
           std::to_string(text.size());
  }
  if (hyphens != 4) {
    return "invalid group count: expected 5, found " + std::to_string(hyphens + 1);
  }
  static constexpr size_t kExpected[5] = {8, 4, 4, 4, 12};
  size_t start = 0;
  for (size_t g = 0; g < 5; ++g) {
    size_t end = g < 4 ? hyphen_at[g] : body.size();
    size_t found = end - start;
    if (found != kExpected[g]) {
      return "invalid group length in group " + std::to_string(g) + ": expected " +
             std::to_string(kExpected[g]) + ", found " + std::to_string(found);
    }
    start = end + 1;
  }
  return "failed to parse a UUID";
}

}  // namespace

Result<Uuid> parse_uuid(std::string_view text) {
  Uuid id;
  bool ok = false;
  if (text.size() == 32) {
    ok = text.find('-') == std::string_view::npos && read_digits(text, &id);
  } else if (text.size() == 36) {
    ok = parse_hyphenated(text, &id);
  } else if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    ok = parse_hyphenated(text.substr(1, 36), &id);
  } else if (text.size() == 45 && text.starts_with("urn:uuid:")) {
    ok = parse_hyphenated(text.substr(9), &id);
  }
  if (ok) return id;
  return fail(Error::invalid_value(diagnose(text)));
}

std::string format_uuid(const Uuid& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[id.bytes[i] >> 4]);
    out.push_back(kDigits[id.bytes[i] & 0xF]);
  }
  return out;
}

Uuid new_uuid() {
  Uuid id;
  fill_os_random(id.bytes);
  id.bytes[6] = static_cast<uint8_t>(0x40 | (id.bytes[6] & 0x0F));
  id.bytes[8] = static_cast<uint8_t>(0x80 | (id.bytes[8] & 0x3F));
  return id;
}

}  // namespace kestrine
