// The keyword index as the collection maintains it through inserts and deletes.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "core/bm25/inverted_index.h"
#include "core/collection/collection.h"

namespace kestrine {
namespace {

DocumentPtr make_doc(const Uuid& id, std::string text) {
  return std::make_shared<const Document>(Document{id, std::move(text), {}});
}

const float kVector[1] = {0.5f};

std::set<std::pair<uint32_t, uint32_t>> as_set(const std::vector<Posting>& list) {
  std::set<std::pair<uint32_t, uint32_t>> set;
  for (const Posting& p : list) set.emplace(p.id, p.tf);
  return set;
}

// After any sequence of inserts and deletes the index equals one built from the live documents
// alone, under their internal ids.
TEST(CollectionBm25Test, RandomInsertsAndDeletesLeaveTheIndexOfTheLiveDocuments) {
  const std::vector<std::string> words = {"red",  "green", "blue", "the",   "and", "è",
                                          "Blue", "x",     "42",   "ΣΟΦΟΣ", "sky", "sea"};
  std::mt19937_64 rng(99);
  for (int round = 0; round < 20; ++round) {
    Collection collection("c", 1, HnswConfig{});
    std::vector<Uuid> live;
    std::vector<Uuid> deleted;
    for (int op = 0; op < 300; ++op) {
      const uint64_t dice = rng() % 10;
      if (dice < 3 && !live.empty()) {
        const size_t at = rng() % live.size();
        ASSERT_TRUE(collection.delete_document(live[at]));
        deleted.push_back(live[at]);
        live.erase(live.begin() + static_cast<ptrdiff_t>(at));
      } else {
        // Texts of 0 to 7 words, some with no token at all ("the x and").
        std::string text;
        for (size_t w = rng() % 8; w > 0; --w) text += words[rng() % words.size()] + " ";
        // Now and then the id of a deleted document comes back under a new internal id.
        Uuid id = new_uuid();
        if (dice == 9 && !deleted.empty()) {
          id = deleted.back();
          deleted.pop_back();
        }
        ASSERT_TRUE(collection.insert_document(make_doc(id, text), kVector));
        live.push_back(id);
      }
    }

    collection.read([&](const CollectionData& data) {
      InvertedIndex fresh;
      std::set<uint32_t> live_ids;
      for (const DocumentView doc : data.all_documents()) {
        const uint32_t internal = data.uuid_to_internal.at(doc.key);
        live_ids.insert(internal);
        add_document(fresh, internal, doc.text);
      }
      const InvertedIndex& index = data.bm25;
      EXPECT_EQ(index.doc_count, fresh.doc_count);
      EXPECT_EQ(index.total_length, fresh.total_length);
      for (uint32_t id = 0; id < index.doc_lengths.size(); ++id) {
        const uint32_t expected =
            live_ids.contains(id) && id < fresh.doc_lengths.size() ? fresh.doc_lengths[id] : 0;
        EXPECT_EQ(index.doc_lengths[id], expected) << "id " << id;
      }
      ASSERT_EQ(index.postings.size(), fresh.postings.size());
      for (const auto& [term, list] : fresh.postings) {
        auto found = index.postings.find(term);
        ASSERT_NE(found, index.postings.end()) << term;
        EXPECT_EQ(as_set(found->second), as_set(list)) << term;
        EXPECT_EQ(found->second.size(), list.size()) << term;
      }
      for (const char* query : {"red", "blue sky", "è sea sea", "σοφος 42 green"}) {
        EXPECT_EQ(keyword_search(index, query, 5), keyword_search(fresh, query, 5)) << query;
      }
    });
  }
}

TEST(CollectionBm25Test, DeletingALiveDocumentWithoutTokensLowersTheCount) {
  Collection collection("c", 1, HnswConfig{});
  const Uuid empty = new_uuid();
  const Uuid full = new_uuid();
  ASSERT_TRUE(collection.insert_document(make_doc(empty, "the of ?!"), kVector));
  ASSERT_TRUE(collection.insert_document(make_doc(full, "apple banana"), kVector));
  ASSERT_TRUE(collection.delete_document(empty));
  EXPECT_FALSE(collection.delete_document(empty));
  collection.read([](const CollectionData& data) {
    EXPECT_EQ(data.bm25.doc_count, 1u);
    EXPECT_EQ(data.bm25.total_length, 2u);
    // N is back to 1: the one-document score.
    const auto hits = keyword_search(data.bm25, "apple", 10);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0], (ScoredId{1, 0x1.269624p-2f}));
  });
}

}  // namespace
}  // namespace kestrine
