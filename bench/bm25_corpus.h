// A synthetic text corpus for keyword-search benchmarks: documents of sentences over a
// Zipf-distributed vocabulary, and queries over its content words. Everything derives from the
// seed through SplitMix64 and integer/double arithmetic fixed here (no standard-library
// distributions, whose algorithms differ between implementations), so a given shape yields the
// same bytes everywhere. write_jsonl dumps it for benchmarks of other libraries.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/bm25/tokenizer.h"

namespace kestrine::bench {

struct CorpusShape {
  uint64_t seed = 42;
  size_t documents = 100'000;
  size_t min_words = 50;  // words per document, uniform in [min_words, max_words]
  size_t max_words = 200;
  size_t vocabulary = 50'000;  // distinct words; rank r has weight 1 / (r + 1)^zipf_exponent
  double zipf_exponent = 1.0;
  size_t queries = 1'000;
  size_t min_query_words = 1;
  size_t max_query_words = 4;
};

struct Corpus {
  std::vector<std::string> documents;
  std::vector<std::string> queries;
};

// Documents: sentences of 6 to 20 words, the first capitalised, ending with ". ", a comma after
// one word in ten. The 64 stop words take the most frequent ranks, as function words do in real
// text; the others are pronounceable lowercase ASCII pseudo-words. Queries draw content words
// only (no stop words), from the same Zipf law restricted to them.
Corpus generate_corpus(const CorpusShape& shape);

// Text of the same shape with a mix of scripts: accented Latin, Greek with final sigmas,
// Cyrillic, CJK, digits and emoji next to ASCII words; about `bytes` long.
std::string generate_mixed_text(uint64_t seed, size_t bytes);

// One JSON object per line: {"id": <index>, "text": "<text>"}.
bool write_jsonl(const std::string& path, const std::vector<std::string>& texts);

// ---------------------------------------------------------------------------------------------

class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
  size_t between(size_t lo, size_t hi) { return lo + below(hi - lo + 1); }  // [lo, hi]

 private:
  uint64_t state_;
};

// Samples ranks 0..n-1 with weight 1 / (rank + 1)^s by inverting the cumulative weights.
class ZipfSampler {
 public:
  ZipfSampler(size_t n, double s) : cumulative_(n) {
    double total = 0;
    for (size_t r = 0; r < n; ++r) cumulative_[r] = total += 1.0 / std::pow(double(r + 1), s);
    for (double& c : cumulative_) c /= total;
  }
  size_t sample(SplitMix64& rng) const {
    const auto it = std::ranges::upper_bound(cumulative_, rng.uniform());
    return std::min(static_cast<size_t>(it - cumulative_.begin()), cumulative_.size() - 1);
  }

 private:
  std::vector<double> cumulative_;
};

namespace corpus_detail {

inline const std::vector<std::string_view>& stop_word_list() {
  static const std::vector<std::string_view> words = {
      "the", "of",  "and",  "to",    "in",    "is",    "it",    "that",  "for",   "as",   "with",
      "was", "on",  "be",   "by",    "at",    "this",  "are",   "or",    "an",    "not",  "but",
      "if",  "no",  "they", "their", "then",  "there", "these", "such",  "into",  "will", "il",
      "la",  "di",  "che",  "per",   "non",   "del",   "della", "un",    "una",   "le",   "lo",
      "si",  "con", "da",   "dei",   "delle", "gli",   "su",    "ma",    "anche", "come", "sono",
      "se",  "ha",  "io",   "ci",    "li",    "uno",   "dello", "degli", "a"};
  return words;
}

// The n-th pseudo-word: n + 200 written in base 85 with consonant-vowel syllables, so every word
// has two to four syllables and no two words are equal.
inline std::string pseudo_word(size_t n) {
  static constexpr std::string_view kConsonants = "bcdfghjklmnprstvz";
  static constexpr std::string_view kVowels = "aeiou";
  std::string word;
  for (size_t v = n + 200; v > 0; v /= 85) {
    word += kConsonants[v % 85 / 5];
    word += kVowels[v % 5];
  }
  return word;
}

inline std::vector<std::string> make_vocabulary(size_t size) {
  std::vector<std::string> words;
  words.reserve(size);
  for (std::string_view w : stop_word_list()) {
    if (words.size() < size) words.emplace_back(w);
  }
  for (size_t n = 0; words.size() < size; ++n) {
    std::string w = pseudo_word(n);
    if (!is_stop_word(w)) words.push_back(std::move(w));
  }
  return words;
}

inline void append_sentence_word(std::string& text, std::string_view word, bool first,
                                 SplitMix64& rng) {
  const size_t at = text.size();
  text += word;
  if (first && text[at] >= 'a' && text[at] <= 'z') text[at] = static_cast<char>(text[at] - 32);
  text += rng.below(10) == 0 ? ", " : " ";
}

// Replaces the separator after the sentence's last word with ". ".
inline void end_sentence(std::string& text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == ',')) text.pop_back();
  text += ". ";
}

}  // namespace corpus_detail

inline Corpus generate_corpus(const CorpusShape& shape) {
  using namespace corpus_detail;
  const std::vector<std::string> vocabulary = make_vocabulary(shape.vocabulary);
  const size_t stop_count = std::min(stop_word_list().size(), vocabulary.size());
  const ZipfSampler all_words(vocabulary.size(), shape.zipf_exponent);
  const ZipfSampler content_words(vocabulary.size() - stop_count, shape.zipf_exponent);

  SplitMix64 rng(shape.seed);
  Corpus corpus;
  corpus.documents.reserve(shape.documents);
  for (size_t d = 0; d < shape.documents; ++d) {
    std::string text;
    size_t words = rng.between(shape.min_words, shape.max_words);
    while (words > 0) {
      const size_t sentence = std::min(words, rng.between(6, 20));
      for (size_t w = 0; w < sentence; ++w) {
        append_sentence_word(text, vocabulary[all_words.sample(rng)], w == 0, rng);
      }
      end_sentence(text);
      words -= sentence;
    }
    text.pop_back();
    corpus.documents.push_back(std::move(text));
  }
  corpus.queries.reserve(shape.queries);
  for (size_t q = 0; q < shape.queries; ++q) {
    std::string text;
    for (size_t w = rng.between(shape.min_query_words, shape.max_query_words); w > 0; --w) {
      text += vocabulary[stop_count + content_words.sample(rng)];
      if (w > 1) text += ' ';
    }
    corpus.queries.push_back(std::move(text));
  }
  return corpus;
}

inline std::string generate_mixed_text(uint64_t seed, size_t bytes) {
  static const std::vector<std::string_view> kWords = {
      "perché", "città",  "è",      "Straße", "GRÖSSE", "ΣΟΦΟΣ", "λόγος",    "ΟΔΟΣ", "Москва",
      "ёлка",   "東京",   "タワー", "2024年", "naïve",  "Ærø",   "İstanbul", "x²",   "🔥",
      "data",   "search", "the",    "vector", "Index",  "of",    "engine",   "fast"};
  SplitMix64 rng(seed);
  std::string text;
  while (text.size() < bytes) {
    const size_t sentence = rng.between(6, 20);
    for (size_t w = 0; w < sentence; ++w) {
      corpus_detail::append_sentence_word(text, kWords[rng.below(kWords.size())], w == 0, rng);
    }
    corpus_detail::end_sentence(text);
  }
  return text;
}

inline bool write_jsonl(const std::string& path, const std::vector<std::string>& texts) {
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 0; i < texts.size(); ++i) {
    out << "{\"id\": " << i << ", \"text\": \"";
    for (const char c : texts[i]) {
      const auto b = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out << '\\' << c;
      } else if (b < 0x20) {
        static constexpr char kHex[] = "0123456789abcdef";
        out << "\\u00" << kHex[b >> 4] << kHex[b & 15];
      } else {
        out << c;  // UTF-8 passes through
      }
    }
    out << "\"}\n";
  }
  return static_cast<bool>(out);
}

}  // namespace kestrine::bench
