// Turns a text into the terms of the keyword index: full Unicode lowercasing, maximal runs of
// alphanumeric characters, runs of at least 2 UTF-8 bytes, English and Italian stop words
// removed. Documents and queries go through the same function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrine {

struct TokenSpan {
  uint32_t begin = 0;  // byte offsets into Tokens::lowered, end exclusive
  uint32_t end = 0;
};

struct Tokens {
  std::string lowered;           // the lowercased copy of the input
  std::vector<TokenSpan> spans;  // tokens in text order, duplicates included

  std::string_view token(size_t i) const {
    return std::string_view(lowered).substr(spans[i].begin, spans[i].end - spans[i].begin);
  }
};

Tokens tokenize(std::string_view text);
bool is_stop_word(std::string_view token);

}  // namespace kestrine
