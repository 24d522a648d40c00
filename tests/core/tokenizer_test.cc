#include "core/bm25/tokenizer.h"

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <random>
#include <set>

#include "core/bm25/inverted_index.h"
#include "core/bm25/lowercase.h"
#include "core/bm25/stop_words.h"

namespace kestrine {
namespace {

using Words = std::vector<std::string>;

Words words_of(const Tokens& tokens) {
  Words words;
  for (size_t i = 0; i < tokens.spans.size(); ++i) words.emplace_back(tokens.token(i));
  return words;
}

// Spans are ordered, disjoint, inside the lowered text, at least 2 bytes, valid UTF-8.
void expect_well_formed(const Tokens& tokens) {
  uint32_t previous_end = 0;
  for (const TokenSpan& span : tokens.spans) {
    EXPECT_LE(previous_end, span.begin);
    EXPECT_LE(span.begin + 2, span.end);
    ASSERT_LE(span.end, tokens.lowered.size());
    previous_end = span.end;
    const auto* s = reinterpret_cast<const uint8_t*>(tokens.lowered.data());
    for (size_t i = span.begin; i < span.end;) {
      UChar32 c;
      U8_NEXT(s, i, span.end, c);
      EXPECT_GE(c, 0) << "ill-formed byte inside a token";
    }
  }
}

struct Example {
  std::string name;
  std::string text;
  Words tokens;
};

class TokenizerExamples : public testing::TestWithParam<Example> {};

TEST_P(TokenizerExamples, GiveExactlyTheseTokens) {
  const Tokens tokens = tokenize(GetParam().text);
  EXPECT_EQ(words_of(tokens), GetParam().tokens);
  expect_well_formed(tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Documented, TokenizerExamples,
    testing::Values(Example{"ApostropheAndStopWord", "The Cat's hat", {"cat", "hat"}},
                    Example{
                        "ShortRunsAndDigits", "e-mail 2024 COVID19 x", {"mail", "2024", "covid19"}},
                    Example{"TwoByteLetter", "Il gatto è nero", {"gatto", "è", "nero"}},
                    Example{"Underscore", "rapid_fire", {"rapid", "fire"}},
                    Example{"NoStemming", "Running runs ran", {"running", "runs", "ran"}},
                    Example{"FinalSigma", "ΣΟΦΟΣ", {"σοφος"}}, Example{"Empty", "", {}},
                    Example{"PunctuationOnly", "?!... -- ;: '\"", {}},
                    Example{"StopWordsOnly", "The and OF il della ANCHE", {}},
                    Example{"Repeated", "data data data", {"data", "data", "data"}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Unicode, TokenizerExamples,
    testing::Values(
        // A sigma followed, through an apostrophe, by a letter is not final.
        Example{"SigmaContext", "ΑΣ'Σ ΟΔΟΣ.", {"ασ", "ς", "οδος"}},
        // U+0130 lowercases to "i" + U+0307; the combining dot has no Alphabetic property.
        Example{"DottedCapitalI", "İstanbul", {"stanbul"}},
        Example{"KelvinSign", "\u212Aelvin", {"kelvin"}},
        Example{"CapitalSharpS", "STRAẞE", {"straße"}},
        Example{"Cyrillic", "МОСКВА Ёлка", {"москва", "ёлка"}},
        Example{"IdeographsAndKana", "東京タワー、2024年", {"東京タワー", "2024年"}},
        Example{"NumericCategories", "x² ½ Ⅻ ٣٤ 5", {"x²", "½", "ⅻ", "٣٤"}},
        Example{"CombiningMarkSplits", "cafe\u0301 e\u0301", {"cafe"}},
        Example{"EmojiSplits", "fire🔥water", {"fire", "water"}},
        Example{"ElisionKeepsUnknownWords", "dell'anno l'acqua", {"dell", "anno", "acqua"}},
        Example{"HyphenatedStopWords", "state-of-the-art", {"state", "art"}},
        Example{"ControlsAndNul",
                std::string("tab\there\nnew\0line", 17),
                {"tab", "here", "new", "line"}}),
    [](const auto& info) { return info.param.name; });

// Ill-formed UTF-8 never reaches Python's side, but the tokenizer takes any bytes: an
// ill-formed sequence stays in the lowered copy and separates tokens.
INSTANTIATE_TEST_SUITE_P(IllFormedUtf8, TokenizerExamples,
                         testing::Values(Example{"LoneFF",
                                                 "ABC\xFF"
                                                 "def",
                                                 {"abc", "def"}},
                                         Example{"TruncatedAtEnd", "word\xE2\x82", {"word"}},
                                         Example{"Overlong",
                                                 "ab\xC0\xAF"
                                                 "cd",
                                                 {"ab", "cd"}},
                                         Example{"EncodedSurrogate",
                                                 "ab\xED\xA0\x80"
                                                 "cd",
                                                 {"ab", "cd"}},
                                         Example{"LoneContinuations", "\x80\x80xy\xBF", {"xy"}},
                                         Example{"TruncatedBeforeLetter", "\xE2è\xF0\x9F", {"è"}},
                                         Example{
                                             "TooLargeCodePoint", "\xF4\x90\x80\x80ok", {"ok"}}),
                         [](const auto& info) { return info.param.name; });

TEST(TokenizerTest, LoweredCopyKeepsEverythingButCase) {
  EXPECT_EQ(tokenize("HeLLo, World!").lowered, "hello, world!");
  EXPECT_EQ(tokenize("İ").lowered, "i\u0307");
  EXPECT_EQ(tokenize("ΣΟΦΟΣ ΣΟΦΟΣ").lowered, "σοφος σοφος");
  EXPECT_EQ(tokenize("ABC\xFF\xE2\x82").lowered, "abc\xFF\xE2\x82");
  const Tokens tokens = tokenize("Il gatto è nero");
  ASSERT_EQ(tokens.spans.size(), 3u);
  EXPECT_EQ(tokens.spans[1].begin, 9u);  // "è" is two bytes
  EXPECT_EQ(tokens.spans[1].end, 11u);
}

TEST(StopWordsTest, AreExactlyTheSixtyFourWords) {
  const Words english = {"a",    "an",   "and",  "are",  "as",   "at",    "be",   "but",   "by",
                         "for",  "if",   "in",   "into", "is",   "it",    "no",   "not",   "of",
                         "on",   "or",   "such", "that", "the",  "their", "then", "there", "these",
                         "they", "this", "to",   "was",  "will", "with"};
  const Words italian = {"il",    "lo",   "la",  "le",    "li",    "gli",   "un",  "uno",
                         "una",   "di",   "da",  "del",   "dello", "della", "dei", "degli",
                         "delle", "che",  "per", "non",   "si",    "con",   "su",  "ha",
                         "sono",  "come", "ma",  "anche", "se",    "io",    "ci"};
  ASSERT_EQ(english.size(), 33u);
  ASSERT_EQ(italian.size(), 31u);
  std::set<std::string_view> expected(english.begin(), english.end());
  expected.insert(italian.begin(), italian.end());
  const std::set<std::string_view> actual(stop_words().begin(), stop_words().end());
  EXPECT_EQ(actual, expected);
  for (const std::string_view word : expected) EXPECT_TRUE(is_stop_word(word)) << word;
  for (const std::string_view word : {"", "The", "thes", "dell", "delli", "anch", "cat", "aa"}) {
    EXPECT_FALSE(is_stop_word(word)) << word;
  }
}

// The ASCII fast path never calls ICU; it must agree with the general path byte for byte.
TEST(TokenizerTest, AsciiFastPathEqualsGeneralPath) {
  std::mt19937_64 rng(7);
  const std::string common = "aAbBzZ09 .'-_eE";
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 40, '\0');
    for (char& c : text) {
      // Mostly letters, digits and separators, sometimes any ASCII byte (controls, NUL, DEL).
      c = rng() % 4 == 0 ? static_cast<char>(rng() % 128) : common[rng() % common.size()];
    }
    if (round % 5 == 0) text += " the IL Della Such ";  // stop words in mixed case
    const Tokens fast = tokenize(text);
    const Tokens general = tokenize_unicode(text);
    ASSERT_EQ(fast.lowered, general.lowered) << text;
    ASSERT_EQ(words_of(fast), words_of(general)) << text;
    ASSERT_EQ(fast.spans.size(), general.spans.size());
    for (size_t i = 0; i < fast.spans.size(); ++i) {
      ASSERT_EQ(fast.spans[i].begin, general.spans[i].begin) << text;
    }
  }
}

// Random texts over characters chosen for their casing behaviour.
std::string random_unicode_text(std::mt19937_64& rng, size_t pieces) {
  static const std::vector<std::string> kPieces = {
      "Σ",  "σ", "Α", "ω", "'", ".",    "\u0301",   "İ",    "\u212A", "ẞ",
      "東", "A", "b", "7", "Ⱥ", "\xFF", "\xE2\x82", "\x80", "😀",     "\u00AD"};
  std::string text;
  for (size_t i = 0; i < pieces; ++i) {
    // Two spaces now and then give the lowercasing a place to cut pieces exactly.
    text += rng() % 6 == 0 ? "  " : kPieces[rng() % kPieces.size()];
  }
  return text;
}

TEST(LowercaseTest, CuttingIntoPiecesChangesNothing) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 400; ++round) {
    // Runs between double spaces stay below 60 bytes, so every 64-byte window has a clean cut.
    std::string text;
    while (text.size() < 300) text += random_unicode_text(rng, rng() % 15) + "  ";
    const std::string whole = to_lower(text);
    EXPECT_EQ(lowercased_size(text), whole.size());
    for (size_t chunk : {64, 65, 77, 100, 128, 257}) {
      ASSERT_EQ(to_lower(text, chunk), whole) << "chunk " << chunk;
      ASSERT_EQ(lowercased_size(text, chunk), whole.size()) << "chunk " << chunk;
    }
  }
}

TEST(LowercaseTest, TinyPiecesStillCoverEveryByte) {
  // Without any clean cut the pieces end at character boundaries; characters without case
  // context lowercase the same way.
  std::string text;
  for (int i = 0; i < 50; ++i) text += "İ'\u0301\xFF\x80\x80\x80\x80😀";
  for (size_t chunk = 1; chunk < 12; ++chunk) {
    EXPECT_EQ(to_lower(text, chunk), to_lower(text)) << "chunk " << chunk;
  }
}

TEST(LowercaseTest, NoCodePointGrowsBeyondTheBound) {
  uint64_t worst_num = 0, worst_den = 1;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (U_IS_SURROGATE(c)) continue;
    char bytes[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    const uint64_t lowered = lowercased_size(std::string_view(bytes, length));
    if (lowered * worst_den > worst_num * length) {
      worst_num = lowered;
      worst_den = length;
    }
  }
  EXPECT_LE(worst_num * kMaxLowercaseGrowthDen, kMaxLowercaseGrowthNum * worst_den);
}

struct SizeCase {
  std::string name;
  std::string text;
  uint64_t limit;
  bool fits;
};

class LoweredSizeLimit : public testing::TestWithParam<SizeCase> {};

TEST_P(LoweredSizeLimit, IsJudgedOnTheLoweredForm) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(lowercased_size_at_most(c.text, c.limit), c.fits);
  const Status status = check_text_size(c.text, c.limit);
  EXPECT_EQ(status.has_value(), c.fits);
  if (!status) {
    EXPECT_EQ(status.error().kind(), ErrorKind::kInvalidValue);
    EXPECT_EQ(status.error().message(), "text too long");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoweredSizeLimit,
    testing::Values(SizeCase{"AsciiAtLimit", "Hello", 5, true},
                    SizeCase{"AsciiOverLimit", "Hello", 4, false},
                    // Four U+0130 take 8 bytes and lowercase to 12.
                    SizeCase{"GrowingAtLimit", "İİİİ", 12, true},
                    SizeCase{"GrowingOverLimit", "İİİİ", 11, false},
                    // Four Kelvin signs take 12 bytes and lowercase to 4.
                    SizeCase{"ShrinkingFits", "\u212A\u212A\u212A\u212A", 4, true},
                    SizeCase{"ShrinkingOverLimit", "\u212A\u212A\u212A\u212A", 3, false}),
    [](const auto& info) { return info.param.name; });

TEST(TokenizerTest, NoSpanEndsBeyondTheOffsetLimit) {
  const std::string lowered = "alpha beta, è gamma  delta";
  std::vector<TokenSpan> all;
  append_token_spans(lowered, lowered.size(), all);
  ASSERT_EQ(all.size(), 5u);
  for (uint64_t max_end = 0; max_end <= lowered.size(); ++max_end) {
    std::vector<TokenSpan> limited;
    append_token_spans(lowered, max_end, limited);
    const auto expected = std::ranges::count_if(all, [&](TokenSpan s) { return s.end <= max_end; });
    ASSERT_EQ(limited.size(), static_cast<size_t>(expected)) << max_end;
    for (const TokenSpan& span : limited) EXPECT_LE(span.end, max_end);
  }
}

TEST(TokenizerTest, RandomBytesAndUnicodeGiveWellFormedSpans) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 2000; ++round) {
    std::string text = random_unicode_text(rng, rng() % 30);
    if (round % 2 == 0) {
      for (int i = 0; i < 4; ++i) text.insert(rng() % (text.size() + 1), 1, char(rng() % 256));
    }
    const Tokens tokens = tokenize(text);
    EXPECT_EQ(tokens.lowered, to_lower(text));
    expect_well_formed(tokens);
    for (size_t i = 0; i < tokens.spans.size(); ++i) EXPECT_FALSE(is_stop_word(tokens.token(i)));
  }
}

}  // namespace
}  // namespace kestrine
