// The invariants a collection keeps between operations, checked on its whole state: id maps
// that agree with each other and with the graph, exactly the live documents on undeleted
// nodes, and a keyword index equal to one built afresh over the live documents.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/collection/collection.h"
#include "hnsw_test_util.h"

namespace kestrine::testing {

// Posting lists compared as sets: removal keeps the order of the others, a fresh index adds in
// id order, and the two need not agree on order.
inline PostingMap sorted_postings(const PostingMap& postings) {
  PostingMap out = postings;
  for (auto& [term, list] : out) {
    std::sort(list.begin(), list.end(),
              [](const Posting& a, const Posting& b) { return a.id < b.id; });
  }
  return out;
}

inline void expect_consistent(const CollectionData& data) {
  const HnswIndex& h = data.hnsw;
  ASSERT_NO_FATAL_FAILURE(expect_well_formed(h));
  ASSERT_EQ(data.internal_to_uuid.size(), h.node_count);
  ASSERT_LE(data.uuid_to_internal.size(), data.internal_to_uuid.size());
  ASSERT_EQ(h.dimension, data.dimension);
  if (h.pq_codebook) {
    ASSERT_EQ(h.pq_codes.size(), size_t{h.node_count} * h.pq_codebook->num_subspaces);
  } else {
    ASSERT_TRUE(h.pq_codes.empty());
  }

  // Every live document sits on its own undeleted node, and the two maps agree on it.
  std::vector<bool> live(h.node_count, false);
  for (const DocumentView document : data.all_documents()) {
    const Uuid& id = document.key;
    ASSERT_EQ(document.id, id);
    const auto it = data.uuid_to_internal.find(id);
    ASSERT_NE(it, data.uuid_to_internal.end()) << "live document without a node";
    ASSERT_LT(it->second, h.node_count);
    EXPECT_EQ(data.internal_to_uuid[it->second], id);
    EXPECT_EQ(h.deleted[it->second], 0) << "live document on a deleted node " << it->second;
    ASSERT_FALSE(live[it->second]) << "two documents on node " << it->second;
    live[it->second] = true;
  }
  // ... and every other node is marked deleted, so searches never return it.
  for (uint32_t node = 0; node < h.node_count; ++node) {
    if (!live[node]) {
      EXPECT_EQ(h.deleted[node], 1) << "node " << node << " has no document";
    }
  }

  InvertedIndex fresh;
  std::vector<std::pair<uint32_t, std::string_view>> texts;
  for (const DocumentView document : data.all_documents()) {
    texts.emplace_back(data.uuid_to_internal.at(document.key), document.text);
  }
  std::sort(texts.begin(), texts.end());
  for (const auto& [node, text] : texts) add_document(fresh, node, text);
  EXPECT_EQ(data.bm25.doc_count, fresh.doc_count);
  EXPECT_EQ(data.bm25.total_length, fresh.total_length);
  EXPECT_EQ(sorted_postings(data.bm25.postings), sorted_postings(fresh.postings));
  // Lengths agree where both have an entry; beyond, the collection holds only zeros (its
  // deleted nodes).
  for (size_t i = 0; i < std::max(fresh.doc_lengths.size(), data.bm25.doc_lengths.size()); ++i) {
    const uint32_t expected = i < fresh.doc_lengths.size() ? fresh.doc_lengths[i] : 0;
    const uint32_t actual = i < data.bm25.doc_lengths.size() ? data.bm25.doc_lengths[i] : 0;
    ASSERT_EQ(actual, expected) << "doc_lengths[" << i << "]";
  }
}

// After a rebuild with nothing changed meanwhile: dense ids, no deleted node.
inline void expect_compact(const CollectionData& data) {
  ASSERT_NO_FATAL_FAILURE(expect_consistent(data));
  EXPECT_EQ(data.hnsw.node_count, data.documents.size());
  EXPECT_EQ(data.uuid_to_internal.size(), data.documents.size());
  EXPECT_EQ(std::count(data.hnsw.deleted.begin(), data.hnsw.deleted.end(), 1), 0);
  EXPECT_EQ(data.bm25.doc_lengths.size(), data.documents.size());
}

}  // namespace kestrine::testing
