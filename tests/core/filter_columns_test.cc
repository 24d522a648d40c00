#include "core/collection/filter_columns.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/filter_eval.h"
#include "tests/core/random_collection.h"

namespace kestrine {
namespace {

constexpr int64_t kTwo53 = int64_t{1} << 53;

// Values that sit on the edges of the comparisons: integers around the limit of those exact in
// a 64-bit float and of 64 bits, floats equal to integers, NaN, and a few of every other kind.
MetadataValue random_value(std::mt19937_64& rng) {
  const auto pick = [&rng](uint64_t n) {
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
  };
  static const int64_t kInts[] = {-3,
                                  -1,
                                  0,
                                  1,
                                  2,
                                  3,
                                  kTwo53 - 1,
                                  kTwo53,
                                  kTwo53 + 1,
                                  -kTwo53,
                                  -kTwo53 - 1,
                                  std::numeric_limits<int64_t>::max(),
                                  std::numeric_limits<int64_t>::min()};
  static const double kReals[] = {
      0.5, 2.0, -1.0, 9007199254740992.0, std::numeric_limits<double>::quiet_NaN(), -0.0};
  switch (pick(5)) {
    case 0:
    case 1:
      return kInts[pick(std::size(kInts))];
    case 2:
      return kReals[pick(std::size(kReals))];
    case 3:
      return pick(2) == 1;
    default:
      return std::string(pick(2) == 1 ? "x" : "y");
  }
}

FilterValue random_filter_value(std::mt19937_64& rng) {
  const auto pick = [&rng](uint64_t n) {
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
  };
  switch (pick(8)) {
    case 0:
      return std::monostate{};
    case 1:
      return pick(2) == 1;
    case 2:
      return std::string("x");
    case 3: {
      FilterNumber n;
      n.pos_int = pick(2) == 1 ? static_cast<uint64_t>(kTwo53) + pick(3) - 1 : uint64_t{1} << 63;
      return n;
    }
    case 4:
      return FilterNumber::from_double(pick(2) == 1 ? 2.0 : 9007199254740992.0);
    default: {
      const MetadataValue v = random_value(rng);
      if (const auto* i = std::get_if<int64_t>(&v)) return FilterNumber::from_int(*i);
      return FilterNumber::from_int(static_cast<int64_t>(pick(7)) - 3);
    }
  }
}

FilterCondition random_condition(std::mt19937_64& rng, int depth);

Filter random_filter(std::mt19937_64& rng, int depth) {
  const auto pick = [&rng](uint64_t n) {
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
  };
  Filter f;
  for (auto* list : {&f.must, &f.must_not, &f.should}) {
    const uint64_t n = pick(3);
    for (uint64_t i = 0; i < n; ++i) list->push_back(random_condition(rng, depth));
  }
  return f;
}

FilterCondition random_condition(std::mt19937_64& rng, int depth) {
  const auto pick = [&rng](uint64_t n) {
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
  };
  FilterCondition c;
  if (depth < 2 && pick(5) == 0) {
    c.nested = std::make_shared<const Filter>(random_filter(rng, depth + 1));
    return c;
  }
  c.field = std::string(1, static_cast<char>('a' + pick(3)));
  c.op = static_cast<FilterOp>(pick(8));
  if (c.op == FilterOp::kExists) {
    c.value = pick(4) == 0 ? FilterValue{FilterNumber::from_int(1)} : FilterValue{pick(2) == 1};
  } else if (c.op == FilterOp::kIn) {
    if (pick(6) != 0) {
      std::vector<FilterValue> values;
      const uint64_t n = pick(40);  // beyond the few values compared without a search too
      for (uint64_t i = 0; i < n; ++i) values.push_back(random_filter_value(rng));
      c.values = std::move(values);
    }
  } else if (pick(6) != 0) {
    c.value = random_filter_value(rng);
  }
  return c;
}

// Random states (deletions, ids re-inserted) whose documents carry metadata on fields a, b and c,
// judged on the columns and on the metadata maps: every verdict and the scan's ids agree. Then a
// change of the documents at a new version is seen, and one at the same version is not (the
// columns are reused).
TEST(FilterColumnsTest, AgreesWithTheMetadataMaps) {
  std::mt19937_64 rng(20261210);
  for (int round = 0; round < 40; ++round) {
    testing::RandomOptions options;
    options.nodes = 1 + static_cast<uint32_t>(rng() % 300);
    CollectionData data = testing::random_collection(rng, options);
    const auto refill = [&] {
      std::vector<std::pair<Uuid, Document>> refilled;
      for (const DocumentView document : data.all_documents()) {
        Document copy{document.id, std::string(document.text), {}};
        for (const char* field : {"a", "b", "c"}) {
          if (rng() % 4 != 0) copy.metadata[field] = random_value(rng);
        }
        refilled.emplace_back(document.key, std::move(copy));
      }
      for (const auto& [key, document] : refilled) data.store_document(key, document);
    };
    refill();
    FilterColumns columns;
    for (int query = 0; query < 30; ++query) {
      if (query == 15) refill();
      const uint64_t version = query < 15 ? 1 : 2;
      const Filter filter = random_filter(rng, 0);
      const FilterColumns::Judge judge = columns.judge(data, version, filter);
      std::vector<uint32_t> expected;
      for (uint32_t id = 0; id < data.internal_to_uuid.size(); ++id) {
        const bool live = data.hnsw.deleted[id] == 0;
        ASSERT_EQ(judge.live(id), live) << id;
        if (!live) continue;
        const bool verdict = matches_filter(data, id, filter);
        ASSERT_EQ(judge.matches(id), verdict) << round << " " << query << " " << id;
        if (verdict) expected.push_back(id);
      }
      ASSERT_EQ(judge.matching_ids(), expected) << round << " " << query;
    }
    // Same version, other documents: the columns are those of before, so they stay as built.
    Filter has_a;
    has_a.must.push_back({"a", FilterOp::kExists, FilterValue{true}, std::nullopt, nullptr});
    const std::vector<uint32_t> before = columns.judge(data, 2, has_a).matching_ids();
    std::vector<Uuid> keys;
    for (const DocumentView document : data.all_documents()) keys.push_back(document.key);
    for (const Uuid& key : keys) data.store_document(key, Document{key, "", {}});
    EXPECT_EQ(columns.judge(data, 2, has_a).matching_ids(), before);
    EXPECT_TRUE(columns.judge(data, 3, has_a).matching_ids().empty());
  }
}

}  // namespace
}  // namespace kestrine
