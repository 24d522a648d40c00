// What the text-parser fuzzers do with one input, shared with the regression test that replays
// their seed corpora and every input that once failed. The parsers read text from the caller
// (ids, keys), where nothing guarantees well-formed UTF-8 or a sane length.
//   check_uuid_input: the bytes as a document id;
//   check_key_input:  the bytes as an encryption key.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/common/uuid.h"
#include "core/storage/crypto.h"

namespace kestrine::fuzzing {

[[noreturn]] inline void text_broken(const char* what) {
  std::fprintf(stderr, "text fuzzing: %s\n", what);
  std::abort();
}

// An accepted id formats to the hyphenated form, which parses back to the same id, as do its
// braced, "urn:uuid:" and simple forms. A refused one has an explanation. Returns whether the
// input was accepted.
inline bool check_uuid_input(std::string_view text) {
  auto id = parse_uuid(text);
  if (!id) {
    if (id.error().message().empty()) text_broken("a refused id without a message");
    if (id.error().kind() != ErrorKind::kInvalidValue) text_broken("an id refused as non-value");
    return false;
  }
  const std::string formatted = format_uuid(*id);
  if (formatted.size() != 36) text_broken("a formatted id is not 36 characters");
  std::string simple;
  for (char c : formatted) {
    if (c != '-') simple.push_back(c);
  }
  for (const std::string& form :
       {formatted, "{" + formatted + "}", "urn:uuid:" + formatted, simple}) {
    auto again = parse_uuid(form);
    if (!again || *again != *id) text_broken("a formatted id does not parse back");
  }
  return true;
}

// An accepted key is accepted again with white space around it, as the same key. Returns
// whether the input was accepted.
inline bool check_key_input(std::string_view text) {
  auto key = parse_key(text);
  if (!key) {
    if (key.error().kind() != ErrorKind::kInvalidValue) text_broken("a key refused as non-value");
    return false;
  }
  auto padded = parse_key(" \t" + std::string(text) + "\xE3\x80\x80\n");
  if (!padded || !(*padded)->same_key(**key)) text_broken("white space changed a key");
  return true;
}

}  // namespace kestrine::fuzzing
