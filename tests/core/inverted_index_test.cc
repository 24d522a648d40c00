#include "core/bm25/inverted_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <random>

#include "core/common/top_k.h"

namespace kestrine {
namespace {

InvertedIndex index_of(const std::vector<std::string>& texts) {
  InvertedIndex index;
  for (size_t id = 0; id < texts.size(); ++id) {
    add_document(index, static_cast<uint32_t>(id), texts[id]);
  }
  return index;
}

// The exhaustive scorer, the reference of the pruned search: every posting of every query term
// scored into a map, then the k best picked by select_top_k. It shares no code with the pruned
// search beyond the tokenizer and the formula.
std::vector<ScoredId> exhaustive_keyword_search(const InvertedIndex& index, std::string_view query,
                                                size_t k) {
  return select_top_k(keyword_scores(index, query).entries(), k);
}

// Orders equal scores by id so that results compare independently of how ties come out.
std::vector<ScoredId> canonical(std::vector<ScoredId> hits) {
  std::ranges::sort(hits, [](const ScoredId& a, const ScoredId& b) {
    return a.score != b.score ? a.score > b.score : a.id > b.id;
  });
  return hits;
}

// BM25 straight from the documents, with no index: `docs[id]` is the text of a live document
// or nothing. Same formula and float operations as the index, written out again.
std::vector<ScoredId> reference_search(const std::vector<std::optional<std::string>>& docs,
                                       std::string_view query, size_t k) {
  std::map<uint32_t, std::vector<std::string>> live;
  uint64_t total = 0;
  for (size_t id = 0; id < docs.size(); ++id) {
    if (!docs[id]) continue;
    const Tokens tokens = tokenize(*docs[id]);
    auto& words = live[static_cast<uint32_t>(id)];
    for (size_t i = 0; i < tokens.spans.size(); ++i) words.emplace_back(tokens.token(i));
    total += words.size();
  }
  if (live.empty()) return {};
  const float n = static_cast<float>(live.size());
  const float avgdl = static_cast<float>(total) / n;
  std::map<uint32_t, float> scores;
  const Tokens query_tokens = tokenize(query);
  for (size_t q = 0; q < query_tokens.spans.size(); ++q) {
    const std::string_view term = query_tokens.token(q);
    float df = 0;
    for (const auto& [id, words] : live) df += std::ranges::count(words, term) > 0 ? 1 : 0;
    if (df == 0) continue;
    const float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (const auto& [id, words] : live) {
      const auto tf = static_cast<float>(std::ranges::count(words, term));
      if (tf == 0) continue;
      const auto dl = static_cast<float>(words.size());
      float x = dl * 0.75f;
      x = x / avgdl;
      x = x + 0.25f;
      x = x * 1.2f;
      x = x + tf;
      float y = tf * 2.2f;
      y = y / x;
      scores[id] += y * idf;
    }
  }
  std::vector<ScoredId> all;
  for (const auto& [id, score] : scores) all.push_back({id, score});
  all = canonical(std::move(all));
  if (all.size() > k) all.resize(k);
  return all;
}

TEST(KeywordSearchTest, OneDocumentScoresLnOfFourThirds) {
  const InvertedIndex index = index_of({"apple banana"});
  const auto hits = keyword_search(index, "apple", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 0u);
  // idf = ln(1 + 0.5 / 1.5) in float; tf 2.2 / 2.2 is exactly 1.
  EXPECT_NEAR(hits[0].score, 0.2876821f, 1e-7f);
  EXPECT_EQ(hits[0].score, 0x1.269624p-2f);
}

// Scores worked out by hand (each float operation rounded) for a three-document corpus:
// N = 3, avgdl = 3, idf(apple) = ln(1 + 2.5 / 1.5), idf(cherry) = ln(1 + 1.5 / 2.5).
TEST(KeywordSearchTest, SmallCorpusMatchesHandComputedScores) {
  const std::vector<std::string> texts = {"apple banana apple", "banana cherry",
                                          "cherry cherry cherry date"};
  const InvertedIndex index = index_of(texts);
  const std::vector<ScoredId> expected = {
      {0, 0x1.59407ap+0f},   // apple: tf 2, dl 3 -> 4.4 / 3.2 x 0.9808292
      {2, 0x1.60f100p-1f},   // cherry: tf 3, dl 4 -> 6.6 / 4.5 x 0.47000363
      {1, 0x1.16a350p-1f}};  // cherry: tf 1, dl 2 -> 2.2 / 1.9 x 0.47000363
  EXPECT_EQ(keyword_search(index, "apple cherry", 10), expected);
  std::vector<std::optional<std::string>> docs(texts.begin(), texts.end());
  EXPECT_EQ(reference_search(docs, "apple cherry", 10), expected);
  EXPECT_EQ(keyword_search(index, "apple cherry", 2),
            std::vector<ScoredId>(expected.begin(), expected.begin() + 2));
}

struct EmptyCase {
  std::string name;
  std::vector<std::string> texts;
  std::string query;
};

class KeywordSearchEmpty : public testing::TestWithParam<EmptyCase> {};

TEST_P(KeywordSearchEmpty, ReturnsNothing) {
  const InvertedIndex index = index_of(GetParam().texts);
  EXPECT_TRUE(keyword_search(index, GetParam().query, 10).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeywordSearchEmpty,
    testing::Values(EmptyCase{"StopWords", {"the cat and the hat"}, "the and of il della"},
                    EmptyCase{"Punctuation", {"the cat"}, "?! -- ..."},
                    EmptyCase{"OneLetterWords", {"a b c cat"}, "a b c x"},
                    EmptyCase{"EmptyQuery", {"cat"}, ""}, EmptyCase{"UnknownTerm", {"cat"}, "dog"},
                    EmptyCase{"NoDocuments", {}, "cat"},
                    EmptyCase{"OnlyEmptyDocuments", {"", "the"}, "cat"}),
    [](const auto& info) { return info.param.name; });

TEST(KeywordSearchTest, ARepeatedQueryTermDoublesEveryScore) {
  const InvertedIndex index =
      index_of({"apple pie", "apple apple tart", "banana split", "apple banana apple cake"});
  const auto once = keyword_search(index, "apple", 10);
  const auto twice = keyword_search(index, "apple APPLE", 10);
  ASSERT_EQ(once.size(), 3u);
  ASSERT_EQ(twice.size(), once.size());
  for (size_t i = 0; i < once.size(); ++i) {
    EXPECT_EQ(twice[i].id, once[i].id);
    EXPECT_EQ(twice[i].score, 2 * once[i].score);
  }
}

TEST(KeywordSearchTest, ATermInEveryDocumentStillScoresAndKBeyondMatchesReturnsAll) {
  const InvertedIndex index = index_of({"common rare", "common", "common words here", "other"});
  const auto hits = keyword_search(index, "common", 1000);
  ASSERT_EQ(hits.size(), 3u);
  for (const ScoredId& hit : hits) EXPECT_GT(hit.score, 0.0f);
  EXPECT_TRUE(std::ranges::is_sorted(hits, std::greater<>{}, &ScoredId::score));
  EXPECT_EQ(hits[0].id, 1u);  // the shortest document ranks first
  EXPECT_TRUE(keyword_search(index, "common", 0).empty());
}

TEST(InvertedIndexTest, DeletingADocumentTakesAllItsTracesAway) {
  InvertedIndex index = index_of({"kiwi mango papaya", "alpha beta gamma delta alpha", "kiwi"});
  ASSERT_EQ(index.doc_count, 3u);
  ASSERT_EQ(index.total_length, 9u);
  remove_document(index, 1, true);
  EXPECT_EQ(index.doc_count, 2u);
  EXPECT_EQ(index.total_length, 4u);
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{3, 0, 1}));
  for (const char* term : {"alpha", "beta", "gamma", "delta"}) {
    EXPECT_FALSE(index.postings.contains(std::string_view(term))) << term;
  }
  EXPECT_EQ(index.postings.at("kiwi"), (std::vector<Posting>{{0, 1}, {2, 1}}));
  EXPECT_TRUE(keyword_search(index, "alpha", 10).empty());
  EXPECT_EQ(keyword_search(index, "kiwi", 10).size(), 2u);
}

TEST(InvertedIndexTest, RemovingAnIdTwiceOrAnUnknownIdChangesNothing) {
  InvertedIndex index = index_of({"one two", "three four five", "six"});
  remove_document(index, 1, true);
  const InvertedIndex before = index;
  for (uint32_t id : {1u, 7u, 1000000u}) {
    remove_document(index, id, false);
    EXPECT_EQ(index.doc_count, before.doc_count);
    EXPECT_EQ(index.total_length, before.total_length);
    EXPECT_EQ(index.doc_lengths, before.doc_lengths);
    EXPECT_EQ(index.postings, before.postings);
  }
}

TEST(InvertedIndexTest, ALiveDocumentWithoutTokensIsStillUncounted) {
  InvertedIndex index = index_of({"words here", "the of !!", "more words"});
  ASSERT_EQ(index.doc_count, 3u);
  ASSERT_EQ(index.doc_lengths[1], 0u);
  const PostingMap postings = index.postings;
  remove_document(index, 1, false);  // the index alone cannot tell it from an absent id
  EXPECT_EQ(index.doc_count, 3u);
  remove_document(index, 1, true);
  EXPECT_EQ(index.doc_count, 2u);
  EXPECT_EQ(index.total_length, 4u);
  EXPECT_EQ(index.postings, postings);
}

TEST(InvertedIndexTest, CountersNeverWrapOnInconsistentData) {
  InvertedIndex index = index_of({"alpha beta"});
  index.doc_count = 0;
  index.total_length = 1;
  remove_document(index, 0, true);
  EXPECT_EQ(index.doc_count, 0u);
  EXPECT_EQ(index.total_length, 0u);
  EXPECT_TRUE(index.postings.empty());
}

TEST(InvertedIndexTest, RemovingSeveralAtOnceMatchesRemovingThemOneByOne) {
  const std::vector<std::string> texts = {"red apple", "green apple pie", "", "red wine", "pie"};
  InvertedIndex one_by_one = index_of(texts), batch = index_of(texts);
  for (uint32_t id : {0u, 2u, 3u}) remove_document(one_by_one, id, true);
  remove_documents(batch, std::vector<uint32_t>{0, 2, 3});
  EXPECT_EQ(batch.doc_count, 2u);
  EXPECT_EQ(batch.total_length, one_by_one.total_length);
  EXPECT_EQ(batch.doc_lengths, one_by_one.doc_lengths);
  EXPECT_EQ(batch.postings, one_by_one.postings);
  EXPECT_FALSE(batch.postings.contains(std::string_view("red")));
  remove_documents(batch, {});
  EXPECT_EQ(batch.postings, one_by_one.postings);
}

TEST(InvertedIndexTest, SparseIdsPadTheLengthsAndPostingsKeepTheOrderOfAddition) {
  InvertedIndex index;
  add_document(index, 5, "shared five");
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{0, 0, 0, 0, 0, 2}));
  add_document(index, 2, "shared two two");
  add_document(index, 9, "shared");
  EXPECT_EQ(index.doc_lengths.size(), 10u);
  EXPECT_EQ(index.postings.at("shared"), (std::vector<Posting>{{5, 1}, {2, 1}, {9, 1}}));
  EXPECT_EQ(index.postings.at("two"), (std::vector<Posting>{{2, 2}}));
  remove_document(index, 5, true);
  EXPECT_EQ(index.postings.at("shared"), (std::vector<Posting>{{2, 1}, {9, 1}}));
  remove_document(index, 9, true);
  EXPECT_EQ(index.postings.at("shared"), (std::vector<Posting>{{2, 1}}));
  EXPECT_FALSE(index.postings.contains(std::string_view("five")));
}

// Random corpora with deletions, checked against the reference scorer for random queries.
TEST(KeywordSearchTest, MatchesReferenceScorerOnRandomCorpora) {
  const std::vector<std::string> vocabulary = {
      "apple", "banana", "cherry", "date", "elder", "fig",  "grape", "the",   "of",
      "è",     "x",      "Apple",  "2024", "ΣΟΦΟΣ", "kiwi", "lime",  "mango", "nut"};
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 150; ++round) {
    const size_t doc_total = rng() % 40;
    std::vector<std::optional<std::string>> docs(doc_total);
    InvertedIndex index;
    // Zipf-like skew: low ranks are much more frequent, so df varies widely.
    auto word = [&] {
      return vocabulary[std::min(rng() % 6 * (rng() % 4), vocabulary.size() - 1)];
    };
    for (size_t id = 0; id < doc_total; ++id) {
      std::string text;
      for (size_t w = rng() % 12; w > 0; --w) text += word() + (rng() % 3 ? " " : ", ");
      docs[id] = text;
      add_document(index, static_cast<uint32_t>(id), text);
    }
    for (size_t id = 0; id < doc_total; ++id) {
      if (rng() % 4 == 0) {
        remove_document(index, static_cast<uint32_t>(id), true);
        docs[id].reset();
      }
    }
    for (int q = 0; q < 10; ++q) {
      std::string query;
      for (size_t w = 1 + rng() % 4; w > 0; --w) query += word() + " ";
      const size_t k = rng() % 8;
      const auto hits = keyword_search(index, query, k);
      EXPECT_TRUE(std::ranges::is_sorted(hits, std::greater<>{}, &ScoredId::score));
      ASSERT_EQ(canonical(hits), reference_search(docs, query, k))
          << "round " << round << " query '" << query << "' k " << k;
    }
  }
}

// The pruned search against the exhaustive scorer, bit for bit and in the same order, on
// corpora long enough for bounds, closing and blocks of documents to matter: a skewed
// vocabulary, repeated documents and documents of equal length (so equal scores at the cut),
// documents too long for the table of shares or repeating a word more often than it holds,
// queries of one to hundreds of terms with repeated terms, deletions singly and in batches,
// additions after them, rebuilds that renumber the live documents, and loading (the bounds
// derived afresh).
TEST(KeywordSearchTest, PrunedSearchMatchesTheExhaustiveScorer) {
  std::mt19937_64 rng(7);
  std::vector<std::string> vocabulary;
  for (int w = 0; w < 60; ++w) vocabulary.push_back("w" + std::to_string(w));
  auto word = [&](size_t spread) {
    // Low ranks far more frequent, so lists range from a few postings to most documents.
    const double u = std::uniform_real_distribution<double>(0, 1)(rng);
    return vocabulary[static_cast<size_t>(std::pow(u, 3.0) * static_cast<double>(spread))];
  };
  auto text = [&](size_t spread) {
    std::string t;
    const size_t words = 1 + rng() % 3 * (rng() % 12);
    for (size_t i = 0; i < words; ++i) t += word(spread) + " ";
    return t;
  };
  const std::vector<size_t> ks = {1, 2, 3, 5, 10, 17, 64, 100, 1000};
  for (int round = 0; round < 40; ++round) {
    const size_t spread = 3 + rng() % vocabulary.size() - 2;
    std::vector<std::string> texts;  // by internal id; "" once removed
    std::vector<bool> live;
    InvertedIndex index;
    auto add = [&](std::string t) {
      const auto id = static_cast<uint32_t>(texts.size());
      add_document(index, id, t);
      texts.push_back(std::move(t));
      live.push_back(true);
    };
    auto check = [&](const InvertedIndex& searched, const char* stage) {
      ASSERT_TRUE(searched.ascending_ids) << stage;
      for (int q = 0; q < 12; ++q) {
        std::string query;
        // Mostly short queries, a third of 6 to 30 terms, now and then one of hundreds.
        const size_t words = rng() % 30 == 0  ? 100 + rng() % 300
                             : rng() % 3 == 0 ? 6 + rng() % 25
                                              : 1 + rng() % 6;
        std::vector<std::string> terms;
        for (size_t w = words; w > 0; --w) terms.push_back(word(spread));
        // One term written again at a random place, or every term twice.
        if (rng() % 4 == 0) terms.insert(terms.begin() + rng() % terms.size(), terms.front());
        for (const std::string& term : terms) query += term + " ";
        if (rng() % 5 == 0) query += query;
        for (size_t k : ks) {
          ASSERT_EQ(keyword_search(searched, query, k),
                    exhaustive_keyword_search(searched, query, k))
              << "round " << round << " " << stage << " query '" << query << "' k " << k;
        }
      }
    };
    // Every fifth corpus spans many windows of ids and many blocks of postings, every tenth
    // several blocks of sums of the whole-array search, later blocks starting from the k best
    // of earlier ones.
    const size_t documents = round % 10 == 0  ? 8500 + rng() % 4000
                             : round % 5 == 0 ? 4000 + rng() % 8000
                                              : rng() % 700;
    for (size_t n = documents; n > 0; --n) {
      // Repeats of earlier documents and documents of one word give equal scores.
      if (!texts.empty() && rng() % 4 == 0) {
        add(texts[rng() % texts.size()]);
      } else if (rng() % 300 == 0) {
        // Longer than the table of shares holds, like a document repeating a word many times.
        std::string t;
        for (size_t i = 1000 + rng() % 200; i > 0; --i) t += word(spread) + " ";
        add(std::move(t));
      } else if (rng() % 40 == 0) {
        // A word written 5 to 80 times: term frequencies beyond the table of shares, most of
        // them still within a share code, some beyond it.
        std::string t = text(spread);
        const std::string repeated = word(spread);
        for (size_t i = 5 + rng() % 76; i > 0; --i) t += repeated + " ";
        add(std::move(t));
      } else {
        add(rng() % 6 == 0 ? word(spread) : text(spread));
      }
    }
    check(index, "built");

    for (uint32_t id = 0; id < texts.size(); ++id) {
      if (rng() % 5 == 0) {
        remove_document(index, id, true);
        live[id] = false;
      }
    }
    std::vector<uint32_t> batch;
    for (uint32_t id = 0; id < texts.size(); ++id) {
      if (live[id] && rng() % 6 == 0) batch.push_back(id);
    }
    remove_documents(index, batch);
    for (uint32_t id : batch) live[id] = false;
    for (size_t n = rng() % 100; n > 0; --n) add(text(spread));
    check(index, "after deletions");

    InvertedIndex loaded = index;
    derive_score_bounds(loaded);
    // The bounds kept up to date through additions and removals are those derived afresh.
    EXPECT_EQ(loaded.bounds, index.bounds) << "round " << round;
    check(loaded, "loaded");

    // A rebuild numbers the live documents afresh and adds the later ones after them.
    InvertedIndex rebuilt;
    uint32_t next = 0;
    for (uint32_t id = 0; id < texts.size(); ++id) {
      if (live[id]) add_document(rebuilt, next++, texts[id]);
    }
    for (size_t n = rng() % 50; n > 0; --n) add_document(rebuilt, next++, text(spread));
    check(rebuilt, "rebuilt");
  }
}

}  // namespace
}  // namespace kestrine
