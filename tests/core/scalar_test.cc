#include "core/quantization/scalar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace kestrine {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

struct QuantizeCase {
  const char* name;
  std::vector<float> input;
  std::vector<uint8_t> codes;
  float min;
  float max;
  float scale;
};

class QuantizeCaseTest : public ::testing::TestWithParam<QuantizeCase> {};

TEST_P(QuantizeCaseTest, CodesAndRange) {
  const QuantizeCase& c = GetParam();
  const QuantizedVector q = quantize(c.input);
  EXPECT_EQ(q.codes, c.codes);
  EXPECT_EQ(q.min, c.min);
  EXPECT_EQ(q.scale, c.scale);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantizeCaseTest,
    ::testing::Values(
        // 127.5 rounds up to 128.
        QuantizeCase{"OneTwoThree", {1, 2, 3}, {0, 128, 255}, 1, 3, 2.0f / 255.0f},
        QuantizeCase{"Constant", {5, 5, 5}, {128, 128, 128}, 5, 5, 0},
        // Spread of 2^-24 and 2^-25, below the single-precision epsilon: constant.
        QuantizeCase{"BelowEpsilon",
                     {0.25f + 0x1p-25f, 0.25f, 0.25f + 0x1p-24f},
                     {128, 128, 128},
                     0.25f,
                     0.25f + 0x1p-24f,
                     0},
        // A spread of exactly 2^-23 is a range.
        QuantizeCase{"AtEpsilon", {0, 0x1p-23f}, {0, 255}, 0, 0x1p-23f, 0x1p-23f / 255.0f},
        QuantizeCase{"OneComponent", {-7.5f}, {128}, -7.5f, -7.5f, 0},
        QuantizeCase{"Empty", {}, {}, 0, 0, 0},
        // 0 maps to 127.5, rounded away from zero.
        QuantizeCase{"MinusOneToOne", {-1, 0, 1}, {0, 128, 255}, -1, 1, 2.0f / 255.0f},
        // With min 0 and max 255 the factor is 1: halves go up, never to even, and the largest
        // float below one half stays down (adding 0.5 would round it up to 1).
        QuantizeCase{"HalvesAwayFromZero",
                     {0, 0.5f, 1.5f, 2.5f, 0.49999997f, 254.5f, 255},
                     {0, 1, 2, 3, 0, 255, 255},
                     0,
                     255,
                     1},
        // NaN never becomes the minimum or the maximum, and its own code is 0.
        QuantizeCase{"NanSkipped", {kNan, 1, 3, kNan, 2}, {0, 0, 255, 0, 128}, 1, 3, 2.0f / 255.0f},
        // Nothing but NaN: the scan's start values stay, and the "range" is -inf.
        QuantizeCase{"AllNan", {kNan, kNan}, {128, 128}, 3.4028235e38f, -3.4028235e38f, 0}),
    [](const auto& info) { return info.param.name; });

TEST(QuantizeTest, ReadsBack) {
  const QuantizedVector q = quantize(std::vector<float>{1, 2, 3});
  const std::vector<float> back = dequantize(q.codes, q.min, q.scale);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0], 1.0f);
  EXPECT_FLOAT_EQ(back[1], 2.0039215f);
  EXPECT_EQ(back[2], 3.0f);

  const QuantizedVector constant = quantize(std::vector<float>{5, 5, 5});
  EXPECT_EQ(dequantize(constant.codes, constant.min, constant.scale),
            (std::vector<float>{5, 5, 5}));
}

// Every length up to a few steps of four, so the four-at-a-time loop and its tail are both
// checked against the formula taken one component at a time.
TEST(QuantizeTest, EveryComponentFollowsTheFormula) {
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> dist(-3.0f, 5.0f);
  for (size_t n = 2; n <= 13; ++n) {
    for (int round = 0; round < 20; ++round) {
      std::vector<float> v(n);
      for (float& x : v) x = dist(rng);
      const QuantizedVector q = quantize(v);
      const float min = *std::min_element(v.begin(), v.end());
      const float max = *std::max_element(v.begin(), v.end());
      ASSERT_EQ(q.min, min);
      const float factor = 255.0f / (max - min);
      for (size_t i = 0; i < n; ++i) {
        const float code = std::clamp(std::round(factor * (v[i] - min)), 0.0f, 255.0f);
        EXPECT_EQ(q.codes[i], static_cast<uint8_t>(code)) << "n=" << n << " i=" << i;
      }
      EXPECT_EQ(q.scale, (max - min) / 255.0f);
    }
  }
}

TEST(QuantizeTest, ReadBackStaysWithinHalfAStep) {
  std::mt19937 rng(22);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  for (int round = 0; round < 200; ++round) {
    std::vector<float> v(1 + round % 50);
    for (float& x : v) x = dist(rng);
    const QuantizedVector q = quantize(v);
    const std::vector<float> back = dequantize(q.codes, q.min, q.scale);
    const size_t low = std::min_element(v.begin(), v.end()) - v.begin();
    const size_t high = std::max_element(v.begin(), v.end()) - v.begin();
    if (v.size() > 1) {
      EXPECT_EQ(q.codes[low], 0);
      EXPECT_EQ(q.codes[high], 255);
    }
    for (size_t i = 0; i < v.size(); ++i) {
      // Half a step, plus the rounding of the single-precision arithmetic on both sides.
      EXPECT_LE(std::abs(back[i] - v[i]), 0.5f * q.scale + 1e-4f) << i;
    }
  }
}

TEST(DequantizeTest, MultipliesThenAdds) {
  const std::vector<uint8_t> codes = {0, 1, 77, 200, 255};
  const float min = -0.3f;
  const float scale = 0.0123f;
  const std::vector<float> out = dequantize(codes, min, scale);
  ASSERT_EQ(out.size(), codes.size());
  for (size_t i = 0; i < codes.size(); ++i) {
    const float product = static_cast<float>(codes[i]) * scale;
    EXPECT_EQ(out[i], product + min) << i;
  }
  EXPECT_TRUE(dequantize({}, 1.0f, 1.0f).empty());
}

TEST(DequantizeTest, IntoACallersBufferOfAnyLength) {
  const std::vector<uint8_t> codes = {10, 20, 30, 40};
  const std::vector<float> whole = dequantize(codes, 1.0f, 0.5f);
  std::vector<float> exact(4, -1.0f);
  dequantize_into(codes, 1.0f, 0.5f, exact);
  EXPECT_EQ(exact, whole);
  // A shorter buffer receives its own length and nothing is written past it.
  std::vector<float> longer(6, -1.0f);
  dequantize_into(codes, 1.0f, 0.5f, std::span<float>(longer.data(), 2));
  EXPECT_EQ(longer, (std::vector<float>{6, 11, -1, -1, -1, -1}));
}

}  // namespace
}  // namespace kestrine
