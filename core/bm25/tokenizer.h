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

// Any bytes are accepted: ill-formed UTF-8 sequences are kept unchanged in `lowered` and
// separate tokens like punctuation does. Tokens ending beyond kMaxTokenizedBytes of the
// lowercased text are left out, since their offsets would not fit the spans; documents that long
// are refused before they reach the index (check_text_size in inverted_index.h).
Tokens tokenize(std::string_view text);
bool is_stop_word(std::string_view token);

inline constexpr uint64_t kMaxTokenizedBytes = UINT32_MAX;

// The steps of tokenize, for tests and benchmarks.
//
// tokenize lowercases pure ASCII text itself and hands any other text to this general path,
// which lowercases through ICU; on ASCII text both give the same result.
Tokens tokenize_unicode(std::string_view text);
// Appends the spans of the tokens of an already lowercased text, in text order, stopping before
// the first token that ends beyond `max_end`.
void append_token_spans(std::string_view lowered, uint64_t max_end, std::vector<TokenSpan>& spans);

}  // namespace kestrine
