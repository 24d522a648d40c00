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

// The document table against a map of whole documents: texts, own ids and metadata survive
// replacement, erasure and the arena's compaction.
TEST(DocumentMapTest, AgreesWithAMapOfDocumentsUnderRandomChanges) {
  std::mt19937_64 rng(3);
  DocumentMap map;
  std::unordered_map<Uuid, Document, UuidHash> reference;
  for (int step = 0; step < 20000; ++step) {
    const Uuid key = key_for(rng() % 300, true);
    if (rng() % 3 == 0) {
      EXPECT_EQ(map.erase(key), reference.erase(key) == 1);
    } else {
      Document document{rng() % 8 == 0 ? key_for(rng(), false) : key,
                        std::string(rng() % 700, static_cast<char>('a' + rng() % 26)),
                        {}};
      if (rng() % 2 == 0) document.metadata["n"] = static_cast<int64_t>(rng() % 100);
      map.insert_or_assign(key, document);
      reference[key] = document;
    }
    ASSERT_EQ(map.size(), reference.size());
    if (step % 101 != 0) continue;
    for (const auto& [k, document] : reference) {
      const auto found = map.find(k);
      ASSERT_TRUE(found);
      EXPECT_EQ(found->id, document.id);
      EXPECT_EQ(found->text, document.text);
      EXPECT_EQ(found->metadata, document.metadata);
    }
    size_t visited = 0;
    for (const DocumentView view : map) visited += reference.contains(view.key);
    EXPECT_EQ(visited, reference.size());
  }
  // A document stored again from a view of itself keeps its content.
  const DocumentView first = *map.begin();
  const Document before{first.id, std::string(first.text), first.metadata};
  map.insert_or_assign(first.key, first);
  const auto after = map.find(first.key);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->text, before.text);
  EXPECT_EQ(after->metadata, before.metadata);
}

}  // namespace
}  // namespace kestrine
