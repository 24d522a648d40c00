#include "core/common/uuid_map.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>

#include "core/collection/document_map.h"

namespace kestrine {
namespace {

// Ids that differ only in their last bytes (as sequential ids do) or are fully random.
Uuid key_for(uint64_t n, bool structured) {
  Uuid id;
  if (structured) {
    for (int b = 0; b < 8; ++b) id.bytes[15 - b] = static_cast<uint8_t>(n >> (8 * b));
  } else {
    std::mt19937_64 rng(n);
    for (auto& byte : id.bytes) byte = static_cast<uint8_t>(rng());
  }
  return id;
}

// Random insertions, overwrites and erasures against std::unordered_map: same size, same
// contents by look-up and by iteration, after every step.
TEST(UuidMapTest, AgreesWithAStandardMapUnderRandomChanges) {
  for (const bool structured : {true, false}) {
    std::mt19937_64 rng(structured ? 1 : 2);
    UuidMap<uint32_t> map;
    std::unordered_map<Uuid, uint32_t, UuidHash> reference;
    for (int step = 0; step < 20000; ++step) {
      const Uuid key = key_for(rng() % 600, structured);
      const uint32_t value = static_cast<uint32_t>(rng());
      switch (rng() % 4) {
        case 0:
        case 1:
          EXPECT_EQ(map.insert_or_assign(key, value), !reference.contains(key));
          reference[key] = value;
          break;
        case 2:
          EXPECT_EQ(map.erase(key), reference.erase(key));
          break;
        default:
          if (rng() % 50 == 0) map.reserve(rng() % 2000);
          EXPECT_EQ(map.emplace(key, value), reference.emplace(key, value).second);
      }
      ASSERT_EQ(map.size(), reference.size());
      if (step % 97 != 0) continue;
      size_t visited = 0;
      for (const auto& [k, v] : map) {
        ++visited;
        ASSERT_TRUE(reference.contains(k));
        EXPECT_EQ(reference.at(k), v);
      }
      EXPECT_EQ(visited, reference.size());
      for (const auto& [k, v] : reference) {
        ASSERT_NE(map.get(k), nullptr);
        EXPECT_EQ(*map.get(k), v);
      }
    }
    UuidMap<uint32_t> copy;
    for (const auto& [k, v] : reference) copy[k] = v;
    EXPECT_TRUE(copy == map);
    if (!reference.empty()) copy.erase(reference.begin()->first);
    EXPECT_FALSE(copy == map);
  }
}

// Id tables as a collection changes them: a key gets the next node when it is indexed, a
// removed document's entries stay, and a rebuild numbers the live keys afresh.
struct IdTablesModel {
  UuidMap<uint32_t> uuid_to_internal;
  std::vector<Uuid> internal_to_uuid;

  DocumentMap::IdTables tables() const { return {uuid_to_internal, internal_to_uuid}; }
  void index(const Uuid& key) {
    uuid_to_internal[key] = static_cast<uint32_t>(internal_to_uuid.size());
    internal_to_uuid.push_back(key);
  }
};

// The document table against a map of whole documents, through id tables changed as a
// collection changes them (and, now and then, as only an inconsistent stored collection has
// them: keys without a node, or mapped to another key's node): texts, own ids and metadata
// survive replacement, erasure, the arena's compaction, a renumbering and placement after
// decoding (a key staged twice included), and iteration visits every document once, those kept
// at nodes in node order.
TEST(DocumentMapTest, AgreesWithAMapOfDocumentsUnderRandomChanges) {
  std::mt19937_64 rng(3);
  DocumentMap map;
  IdTablesModel ids;
  std::unordered_map<Uuid, Document, UuidHash> reference;
  const auto expect_same = [&](const DocumentMap& m, const IdTablesModel& t) {
    ASSERT_EQ(m.size(), reference.size());
    for (const auto& [k, document] : reference) {
      const auto found = m.find(k, t.tables());
      ASSERT_TRUE(found);
      EXPECT_EQ(found->key, k);
      EXPECT_EQ(found->id, document.id);
      EXPECT_EQ(found->text, document.text);
      EXPECT_EQ(found->metadata, document.metadata);
    }
    std::unordered_map<Uuid, int, UuidHash> visits;
    uint32_t last_node = 0;
    bool past_nodes = false;
    for (const DocumentView view : m.all(t.internal_to_uuid)) {
      ASSERT_TRUE(reference.contains(view.key));
      EXPECT_EQ(view.text, reference.at(view.key).text);
      ++visits[view.key];
      const uint32_t node = DocumentMap::node_of(view.key, t.tables());
      if (node == DocumentMap::kNoNode) {
        past_nodes = true;
      } else {
        EXPECT_FALSE(past_nodes) << "a document kept at a node after one kept by key";
        if (visits.size() > 1) {
          EXPECT_GT(node, last_node);
        }
        last_node = node;
      }
    }
    EXPECT_EQ(visits.size(), reference.size());
    for (const auto& [k, n] : visits) EXPECT_EQ(n, 1);
  };
  for (int step = 0; step < 20000; ++step) {
    const Uuid key = key_for(rng() % 300, true);
    const uint64_t action = rng() % 12;
    if (action < 4) {
      EXPECT_EQ(map.erase(key, ids.tables()), reference.erase(key) == 1);
    } else if (action < 11) {
      Document document{rng() % 8 == 0 ? key_for(rng(), false) : key,
                        std::string(rng() % 700, static_cast<char>('a' + rng() % 26)),
                        {}};
      if (rng() % 2 == 0) document.metadata["n"] = static_cast<int64_t>(rng() % 100);
      const bool live = reference.contains(key);
      if (live && rng() % 2 == 0) {
        // Replaced in place, under the node it has.
        map.insert_or_assign(key, document, ids.tables());
      } else {
        // Indexed as a new document (an upsert removes the old one first), rarely left
        // without a node or mapped to another key's node.
        if (live) {
          EXPECT_TRUE(map.erase(key, ids.tables()));
        }
        if (rng() % 16 == 0) {
          if (!ids.internal_to_uuid.empty() && rng() % 2 == 0) {
            ids.uuid_to_internal[key] = static_cast<uint32_t>(rng() % ids.internal_to_uuid.size());
          } else {
            ids.uuid_to_internal.erase(key);
          }
        } else {
          ids.index(key);
        }
        map.insert_or_assign(key, document, ids.tables());
      }
      reference[key] = document;
    } else if (rng() % 20 == 0) {
      // A rebuild: the live documents numbered afresh in iteration order, a few left out.
      IdTablesModel fresh;
      for (const DocumentView view : map.all(ids.internal_to_uuid)) {
        if (rng() % 30 != 0) fresh.index(view.key);
      }
      std::swap(ids, fresh);
      map.renumber(fresh.internal_to_uuid, ids.tables());
    } else if (rng() % 20 == 0) {
      // Decoded: every document staged before the id tables are read, then placed; now and
      // then a key is staged twice (a stored collection may hold it twice), the later winning.
      DocumentMap decoded;
      for (const DocumentView view : map.all(ids.internal_to_uuid)) {
        if (rng() % 10 == 0) {
          decoded.stage(view.key, key_for(rng(), false), "stale", {{"stale", true}});
        }
        decoded.stage(view.key, view.id, view.text, view.metadata);
      }
      decoded.place(ids.tables());
      map = std::move(decoded);
    }
    ASSERT_EQ(map.size(), reference.size());
    if (step % 101 != 0) continue;
    ASSERT_NO_FATAL_FAILURE(expect_same(map, ids));
  }
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ids));
  // A document stored again from a view of itself keeps its content.
  const DocumentView first = *map.all(ids.internal_to_uuid).begin();
  const Document before{first.id, std::string(first.text), first.metadata};
  map.insert_or_assign(first.key, first, ids.tables());
  const auto after = map.find(first.key, ids.tables());
  ASSERT_TRUE(after);
  EXPECT_EQ(after->text, before.text);
  EXPECT_EQ(after->metadata, before.metadata);
}

}  // namespace
}  // namespace kestrine
