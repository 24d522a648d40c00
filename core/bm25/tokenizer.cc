#include "core/bm25/tokenizer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "core/bm25/lowercase.h"

namespace kestrine {
namespace {

constexpr size_t kNoRun = SIZE_MAX;

bool is_ascii_alnum(uint8_t b) {
  return static_cast<uint8_t>((b | 0x20) - 'a') < 26 || static_cast<uint8_t>(b - '0') < 10;
}

// Letters in the broad sense (the Alphabetic property covers ideographs, syllabaries and
// alphabetic combining marks) and every kind of numeral.
bool is_unicode_alnum(UChar32 c) {
  constexpr uint32_t kNumeric = U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK;
  return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || (U_GET_GC_MASK(c) & kNumeric) != 0;
}

char ascii_lower(char c) {
  const auto b = static_cast<uint8_t>(c);
  return static_cast<char>(b + (static_cast<uint8_t>(b - 'A') < 26 ? 0x20 : 0));
}

}  // namespace

void append_token_spans(std::string_view lowered, uint64_t max_end, std::vector<TokenSpan>& spans) {
  const auto* s = reinterpret_cast<const uint8_t*>(lowered.data());
  const size_t n = lowered.size();

  // Records the run [begin, end); false once runs end beyond max_end, as all later ones do.
  auto emit = [&](size_t begin, size_t end) {
    if (end - begin < 2) return true;
    if (end > max_end) return false;
    if (!is_stop_word(lowered.substr(begin, end - begin))) {
      spans.push_back({static_cast<uint32_t>(begin), static_cast<uint32_t>(end)});
    }
    return true;
  };

  size_t run = kNoRun;
  for (size_t i = 0; i < n;) {
    const size_t at = i;
    bool alnum;
    if (s[i] < 0x80) {
      alnum = is_ascii_alnum(s[i]);
      ++i;
    } else {
      UChar32 c;
      U8_NEXT(s, i, n, c);  // ill-formed bytes give c < 0 and count as separators
      alnum = c >= 0 && is_unicode_alnum(c);
    }
    if (alnum) {
      if (run == kNoRun) run = at;
    } else if (run != kNoRun) {
      if (!emit(run, at)) return;
      run = kNoRun;
    }
  }
  if (run != kNoRun) emit(run, n);
}

Tokens tokenize_unicode(std::string_view text) {
  Tokens tokens;
  tokens.lowered = to_lower(text);
  append_token_spans(tokens.lowered, kMaxTokenizedBytes, tokens.spans);
  return tokens;
}

Tokens tokenize(std::string_view text) {
  if (!is_ascii(text)) return tokenize_unicode(text);
  Tokens tokens;
  // The second argument of the operation is not used: some standard libraries pass the grown
  // capacity there rather than the size asked for.
  tokens.lowered.resize_and_overwrite(text.size(), [&](char* p, size_t) {
    for (size_t i = 0; i < text.size(); ++i) p[i] = ascii_lower(text[i]);
    return text.size();
  });
  append_token_spans(tokens.lowered, kMaxTokenizedBytes, tokens.spans);
  return tokens;
}

}  // namespace kestrine
