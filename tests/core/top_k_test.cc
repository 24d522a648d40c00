#include "core/common/top_k.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <ranges>
#include <unordered_map>

namespace kestrine {
namespace {

// Sorts everything by the ranking rule and keeps the first k.
std::vector<ScoredId> reference_top_k(std::vector<ScoredId> all, size_t k) {
  std::ranges::sort(all, stronger);
  if (all.size() > k) all.resize(k);
  return all;
}

class SelectTopK : public testing::TestWithParam<size_t> {};

TEST_P(SelectTopK, EqualsSortingEverything) {
  const size_t k = GetParam();
  std::mt19937_64 rng(k + 1);
  for (int round = 0; round < 200; ++round) {
    std::vector<ScoredId> all;
    std::unordered_map<uint32_t, float> map;
    for (size_t i = rng() % 60; i > 0; --i) {
      const auto id = static_cast<uint32_t>(rng() % 100);
      if (map.contains(id)) continue;
      // Few distinct scores, so that ties at the cut are common.
      const float score = static_cast<float>(rng() % 5) * 0.5f - 1.0f;
      map[id] = score;
      all.push_back({id, score});
    }
    const auto expected = reference_top_k(all, k);
    EXPECT_EQ(select_top_k(all, k), expected);
    EXPECT_EQ(select_top_k(map, k), expected);
    auto unsized = all | std::views::filter([](const ScoredId&) { return true; });
    EXPECT_EQ(select_top_k(unsized, k), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Ks, SelectTopK,
                         testing::Values(0, 1, 2, 5, 10, 59, 60, 61, size_t{1} << 63,
                                         std::numeric_limits<size_t>::max()));

TEST(SelectTopKTest, TiesAtTheCutKeepTheLargerIds) {
  const std::vector<ScoredId> three = {{7, 0.5f}, {3, 0.5f}, {9, 0.5f}};
  auto kept = select_top_k(three, 2);
  std::ranges::sort(kept, {}, &ScoredId::id);
  EXPECT_EQ(kept, (std::vector<ScoredId>{{7, 0.5f}, {9, 0.5f}}));
}

TEST(SelectTopKTest, NanScoresRankBelowEveryNumber) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<ScoredId> all;
  for (uint32_t id = 0; id < 50; ++id) {
    all.push_back({id, id % 3 == 0 ? nan : (id % 3 == 1 ? -inf : static_cast<float>(id))});
  }
  const auto top = select_top_k(all, 40);
  ASSERT_EQ(top.size(), 40u);
  EXPECT_EQ(top.front(), (ScoredId{47, 47.0f}));
  for (size_t i = 0; i < 33; ++i) EXPECT_FALSE(std::isnan(top[i].score)) << i;
  for (size_t i = 33; i < 40; ++i) EXPECT_TRUE(std::isnan(top[i].score)) << i;
}

}  // namespace
}  // namespace kestrine
