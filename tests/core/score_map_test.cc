#include "core/common/score_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace kestrine {
namespace {

class ScoreMapRandom : public testing::TestWithParam<std::pair<size_t, uint32_t>> {};

// Against std::map, on dense, sparse and extreme ids, across many growths of the table.
TEST_P(ScoreMapRandom, AccumulatesLikeAnOrderedMap) {
  const auto [initial_room, id_range] = GetParam();
  std::mt19937_64 rng(initial_room * 31 + id_range);
  ScoreMap map(initial_room);
  std::map<uint32_t, float> reference;
  std::vector<uint32_t> first_seen;
  for (int i = 0; i < 20000; ++i) {
    uint32_t id = static_cast<uint32_t>(rng() % id_range);
    if (rng() % 50 == 0) id = rng() % 2 ? 0u : UINT32_MAX;
    const float score = static_cast<float>(rng() % 1000) / 7.0f - 20.0f;
    if (!reference.contains(id)) first_seen.push_back(id);
    reference[id] += score;
    map.add(id, score);
  }
  ASSERT_EQ(map.entries().size(), reference.size());
  for (size_t i = 0; i < first_seen.size(); ++i) {
    EXPECT_EQ(map.entries()[i].id, first_seen[i]);
    EXPECT_EQ(map.entries()[i].score, reference.at(first_seen[i]));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScoreMapRandom,
                         testing::Values(std::pair<size_t, uint32_t>{0, 10},
                                         std::pair<size_t, uint32_t>{0, 100000},
                                         std::pair<size_t, uint32_t>{256, 3000},
                                         std::pair<size_t, uint32_t>{1, UINT32_MAX},
                                         std::pair<size_t, uint32_t>{5000, 1u << 20}));

TEST(ScoreMapTest, ANegativeZeroFirstScoreStartsFromZero) {
  ScoreMap map(0);
  map.add(3, -0.0f);
  ASSERT_EQ(map.entries().size(), 1u);
  EXPECT_FALSE(std::signbit(map.entries()[0].score));
}

}  // namespace
}  // namespace kestrine
