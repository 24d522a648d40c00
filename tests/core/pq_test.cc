#include "core/quantization/pq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "core/quantization/pq_training.h"

namespace kestrine {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                       DistanceMetric::kDotProduct};

std::vector<float> random_floats(std::mt19937& rng, size_t n, float low = -1.0f,
                                 float high = 1.0f) {
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

std::span<const float> centroid(const PqCodebook& book, size_t s, size_t c) {
  return std::span<const float>(book.centroids)
      .subspan((s * 256 + c) * book.subspace_dim, book.subspace_dim);
}

std::vector<float> slice(std::span<const float> v, size_t s, size_t dim) {
  return {v.begin() + s * dim, v.begin() + (s + 1) * dim};
}

std::vector<uint8_t> encode(const PqCodebook& book, std::span<const float> v) {
  std::vector<uint8_t> out(book.num_subspaces);
  pq_encode(book, v, out);
  return out;
}

bool is_zero(std::span<const float> v) {
  return std::all_of(v.begin(), v.end(), [](float x) { return x == 0.0f; });
}

// ---- Training on few vectors ------------------------------------------------------------------

// Dimension 8 in 4 slices of 2; every slice of every vector is distinct and non-zero.
const std::vector<float> kThreeVectors = {
    1,  2,    3,  4,  5,     6,  7,    8,  //
    -1, 0.5f, 2,  -2, 0.25f, 9,  3,    3,  //
    4,  4,    -3, 1,  -5,    -5, 0.5f, 6,  //
};

TEST(PqTrainTest, FewVectorsBecomeTheCentroids) {
  const auto book = train_pq(kThreeVectors, 8, 4);
  ASSERT_TRUE(book.has_value()) << book.error().message();
  EXPECT_EQ(book->num_subspaces, 4u);
  EXPECT_EQ(book->num_centroids, 256u);
  EXPECT_EQ(book->subspace_dim, 2u);
  ASSERT_EQ(book->centroids.size(), 4u * 256 * 2);
  for (size_t s = 0; s < 4; ++s) {
    for (size_t c = 0; c < 3; ++c) {
      const std::span<const float> vector(&kThreeVectors[c * 8], 8);
      EXPECT_EQ(std::vector<float>(centroid(*book, s, c).begin(), centroid(*book, s, c).end()),
                slice(vector, s, 2))
          << "slice " << s << " centroid " << c;
    }
    for (size_t c = 3; c < 256; ++c) EXPECT_TRUE(is_zero(centroid(*book, s, c))) << s << " " << c;
  }
  EXPECT_EQ(encode(*book, std::span<const float>(&kThreeVectors[8], 8)),
            (std::vector<uint8_t>{1, 1, 1, 1}));
  // The zero vector is nearest to every zero slot; the first of them, 3, wins.
  EXPECT_EQ(encode(*book, std::vector<float>(8, 0.0f)), (std::vector<uint8_t>{3, 3, 3, 3}));
}

TEST(PqTrainTest, ZeroTrainingSliceWinsOverTheZeroSlots) {
  std::vector<float> vectors = kThreeVectors;
  vectors[8 + 2] = vectors[8 + 3] = 0.0f;  // slice 1 of vector 1 is zero
  const auto book = train_pq(vectors, 8, 4);
  ASSERT_TRUE(book.has_value());
  EXPECT_EQ(encode(*book, std::vector<float>(8, 0.0f)), (std::vector<uint8_t>{3, 1, 3, 3}));
}

TEST(PqTrainTest, FewVectorsDoNotDependOnTheGenerator) {
  std::mt19937 rng(41);
  const std::vector<float> vectors = random_floats(rng, 256 * 6);
  const auto first = train_pq(vectors, 6, 3);
  const auto second = train_pq_from_state(vectors, 6, 3, 12345);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, *second);
}

// ---- Training on many vectors -----------------------------------------------------------------

TEST(PqTrainTest, DeterministicWithinAProcess) {
  std::mt19937 rng(42);
  const std::vector<float> vectors = random_floats(rng, 300 * 4);
  const auto first = train_pq(vectors, 4, 2);
  const auto second = train_pq(vectors, 4, 2);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, *second);
  EXPECT_EQ(pq_start_state(), pq_start_state());
}

TEST(PqTrainTest, GeneratorSteps) {
  // z ^= z << 13, z ^= z >> 7, z ^= z << 17 on 64 bits.
  EXPECT_EQ(xorshift_step(1), 0x0000000040822041u);
  // The high bits shifted out on the left are lost.
  EXPECT_EQ(xorshift_step(0x8000000000000000u), 0x8100000000000000u);
}

// 1000 copies of one vector: after the first centroid every squared distance is 0, so each
// further centroid is the point at z mod n, a copy of the common vector.
TEST(PqTrainTest, IdenticalVectors) {
  const std::vector<float> common = {0.5f, -2.0f, 3.25f, 1.0f, 7.0f, -0.125f};
  std::vector<float> vectors;
  for (int i = 0; i < 1000; ++i) vectors.insert(vectors.end(), common.begin(), common.end());

  std::vector<float> points;
  for (int i = 0; i < 1000; ++i) points.insert(points.end(), common.begin(), common.begin() + 3);
  std::vector<float> seeds(256 * 3);
  seed_centroids(points, 3, pq_start_state(), seeds);
  for (size_t c = 0; c < 256; ++c) {
    EXPECT_EQ(std::vector<float>(&seeds[c * 3], &seeds[c * 3] + 3),
              std::vector<float>(common.begin(), common.begin() + 3))
        << c;
  }

  // Lloyd then sends every point to centroid 0, the lowest of the equally near ones, and the
  // centroids left without members become zero.
  const auto book = train_pq(vectors, 6, 2);
  ASSERT_TRUE(book.has_value());
  for (size_t s = 0; s < 2; ++s) {
    for (size_t k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(centroid(*book, s, 0)[k], common[s * 3 + k]);
    for (size_t c = 1; c < 256; ++c) EXPECT_TRUE(is_zero(centroid(*book, s, c))) << s << " " << c;
  }
  EXPECT_EQ(encode(*book, common), (std::vector<uint8_t>{0, 0}));
}

// 258 one-dimensional points: zeros, except 10 at index `near` and 30 at index `far`. From a
// fixed generator state every choice of the seeding can be followed by hand.
TEST(PqTrainTest, SeedingDrawsBySquaredDistance) {
  const size_t n = 258;
  for (uint64_t start : {uint64_t{0x9e3779b97f4a7c15}, uint64_t{77}, uint64_t{0xdeadbeef}}) {
    // Keep centroid 0 on a zero point.
    const size_t first = start % n;
    const size_t near = (first + 5) % n;
    const size_t far = (first + 100) % n;
    std::vector<float> points(n, 0.0f);
    points[near] = 10.0f;
    points[far] = 30.0f;
    std::vector<float> seeds(256);
    seed_centroids(points, 1, start, seeds);

    EXPECT_EQ(seeds[0], 0.0f);
    // Centroid 1: the masses are 100 (near) and 900 (far); the draw r takes the first point,
    // in index order, at which the running total reaches r.
    uint64_t z = xorshift_step(start);
    const double r = static_cast<double>(z >> 11) * 0x1p-53 * 1000.0;
    ASSERT_GT(r, 0.0);
    const size_t low = std::min(near, far);
    const size_t high = std::max(near, far);
    const size_t second = r <= points[low] * points[low] ? low : high;
    EXPECT_EQ(seeds[1], points[second]);
    // Centroid 2: only the other non-zero point is left with mass, so any draw picks it.
    EXPECT_EQ(seeds[2], second == near ? 30.0f : 10.0f);
  }
}

// Points 1e-30 apart: distinct, but their squared distances underflow to 0 in single precision,
// so after centroid 0 the total is 0 and every centroid c is the point at z mod n, where z is
// the start state stepped c times.
TEST(PqTrainTest, SeedingWithoutMassDrawsUniformIndices) {
  const size_t n = 300;
  std::vector<float> points(n);
  for (size_t i = 0; i < n; ++i) points[i] = static_cast<float>(i) * 1e-30f;
  for (uint64_t start : {uint64_t{0x9e3779b97f4a7c15}, pq_start_state()}) {
    std::vector<float> seeds(256);
    seed_centroids(points, 1, start, seeds);
    uint64_t z = start;
    for (size_t c = 0; c < 256; ++c) {
      EXPECT_EQ(seeds[c], points[z % n]) << "centroid " << c;
      z = xorshift_step(z);
    }
  }
}

TEST(PqTrainTest, LloydStep) {
  std::vector<float> centroids(256);
  for (size_t c = 0; c < 256; ++c) centroids[c] = 1000.0f + static_cast<float>(c);
  centroids[0] = 1.0f;
  centroids[1] = 10.0f;
  centroids[2] = 12.0f;
  // 1, 2 and 2 go to centroid 0; 11 is as near to 10 as to 12 and goes to the lower, 1.
  const std::vector<float> points = {2.0f, 11.0f, 1.0f, 2.0f};
  refine_centroids(points, 1, centroids, 1);
  // The mean is the sum times the single-precision reciprocal of the count, which is not the
  // quotient 5 / 3 here.
  EXPECT_EQ(centroids[0], 5.0f * (1.0f / 3.0f));
  EXPECT_NE(centroids[0], 5.0f / 3.0f);
  EXPECT_EQ(centroids[1], 11.0f);
  for (size_t c = 2; c < 256; ++c) EXPECT_EQ(centroids[c], 0.0f) << c;
}

TEST(PqTrainTest, ClusteredDataIsCodedNearItsCluster) {
  std::mt19937 rng(43);
  const std::vector<float> centers = random_floats(rng, 16 * 8, -10.0f, 10.0f);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> vectors;
  std::vector<size_t> cluster;
  for (int i = 0; i < 600; ++i) {
    cluster.push_back(rng() % 16);
    for (size_t k = 0; k < 8; ++k) vectors.push_back(centers[cluster.back() * 8 + k] + noise(rng));
  }
  const auto book = train_pq(vectors, 8, 2);
  ASSERT_TRUE(book.has_value());
  const std::vector<uint8_t> codes = pq_encode_batch(*book, vectors);
  ASSERT_EQ(codes.size(), 600u * 2);
  for (size_t i = 0; i < 600; ++i) {
    for (size_t s = 0; s < 2; ++s) {
      // The reconstruction is within a few noise widths of the true cluster center.
      const std::span<const float> c = centroid(*book, s, codes[i * 2 + s]);
      for (size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(c[k], centers[cluster[i] * 8 + s * 4 + k], 0.3f) << i << " " << s;
      }
    }
  }
}

// ---- Errors -----------------------------------------------------------------------------------

struct BadTraining {
  const char* name;
  size_t floats;
  uint64_t dimension;
  uint64_t num_subspaces;
  const char* message;
};

class PqTrainErrorTest : public ::testing::TestWithParam<BadTraining> {};

TEST_P(PqTrainErrorTest, FailsWithAnInternalError) {
  const BadTraining& bad = GetParam();
  const auto result =
      train_pq(std::vector<float>(bad.floats, 1.0f), bad.dimension, bad.num_subspaces);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::kInternal);
  EXPECT_EQ(result.error().message(), bad.message);
}

constexpr const char* kIndivisible = "dimension must be divisible by num_subspaces";
constexpr const char* kNoVectors = "need at least one vector to train PQ";

INSTANTIATE_TEST_SUITE_P(Preconditions, PqTrainErrorTest,
                         ::testing::Values(BadTraining{"TenByFour", 40, 10, 4, kIndivisible},
                                           BadTraining{"ZeroDimension", 40, 0, 4, kIndivisible},
                                           BadTraining{"ZeroSubspaces", 40, 8, 0, kIndivisible},
                                           // Divisibility is checked first.
                                           BadTraining{"IndivisibleAndEmpty", 0, 10, 4,
                                                       kIndivisible},
                                           BadTraining{"NoVectors", 0, 8, 4, kNoVectors},
                                           BadTraining{"LessThanOneVector", 7, 8, 4, kNoVectors}),
                         [](const auto& info) { return info.param.name; });

// ---- Encoding and distance tables -------------------------------------------------------------

// A codebook of random centroids, as if trained, with a slice width that exercises the
// four-at-a-time loop and its remainder.
PqCodebook random_codebook(std::mt19937& rng, size_t m, size_t dim) {
  return {m, 256, dim, random_floats(rng, m * 256 * dim)};
}

TEST(PqEncodeTest, NearestCentroidPerSlice) {
  std::mt19937 rng(44);
  for (size_t dim : {1, 3, 4, 7}) {
    const PqCodebook book = random_codebook(rng, 3, dim);
    const std::vector<float> vectors = random_floats(rng, 20 * 3 * dim);
    const std::vector<uint8_t> batch = pq_encode_batch(book, vectors);
    ASSERT_EQ(batch.size(), 20u * 3);
    for (size_t i = 0; i < 20; ++i) {
      const std::span<const float> v(&vectors[i * 3 * dim], 3 * dim);
      const std::vector<uint8_t> codes = encode(book, v);
      EXPECT_EQ(std::vector<uint8_t>(&batch[i * 3], &batch[i * 3] + 3), codes);
      for (size_t s = 0; s < 3; ++s) {
        double best = INFINITY;
        size_t best_c = 0;
        for (size_t c = 0; c < 256; ++c) {
          double d = 0;
          for (size_t k = 0; k < dim; ++k) {
            d += std::pow(double{v[s * dim + k]} - centroid(book, s, c)[k], 2);
          }
          if (d < best) best = d, best_c = c;
        }
        // Up to rounding the coded centroid is the nearest one.
        double coded = 0;
        for (size_t k = 0; k < dim; ++k) {
          coded += std::pow(double{v[s * dim + k]} - centroid(book, s, codes[s])[k], 2);
        }
        EXPECT_NEAR(coded, best, 1e-5) << dim << " " << i << " " << s << " " << best_c;
      }
    }
  }
}

TEST(PqDistanceTableTest, EntriesArePartialDistances) {
  std::mt19937 rng(45);
  for (size_t dim : {1, 4, 5, 7, 12}) {
    const PqCodebook book = random_codebook(rng, 3, dim);
    const std::vector<float> query = random_floats(rng, 3 * dim);
    for (DistanceMetric metric : kMetrics) {
      const std::vector<float> table = pq_distance_table(book, query, metric);
      ASSERT_EQ(table.size(), 3u * 256);
      for (size_t s = 0; s < 3; ++s) {
        for (size_t c = 0; c < 256; ++c) {
          float dot = 0, l2 = 0;  // element order, single precision
          for (size_t k = 0; k < dim; ++k) {
            const float u = query[s * dim + k], w = centroid(book, s, c)[k];
            dot += u * w;
            l2 += (u - w) * (u - w);
          }
          const float entry = table[s * 256 + c];
          if (metric == DistanceMetric::kEuclidean) {
            EXPECT_GE(entry, 0.0f);
            EXPECT_EQ(entry, l2) << dim << " " << s << " " << c;
          } else {
            EXPECT_EQ(std::bit_cast<uint32_t>(entry), std::bit_cast<uint32_t>(-dot))
                << metric_name(metric) << " " << dim << " " << s << " " << c;
          }
        }
      }
    }
  }
}

// The table's sum over a node's codes is the distance to the node's reconstruction.
TEST(PqDistanceTableTest, SumsToTheDistanceOfTheReconstruction) {
  std::mt19937 rng(46);
  const PqCodebook book = random_codebook(rng, 4, 6);
  const std::vector<float> query = random_floats(rng, 24);
  const std::vector<float> node = random_floats(rng, 24);
  const std::vector<uint8_t> codes = encode(book, node);
  double dot = 0, l2 = 0;
  for (size_t s = 0; s < 4; ++s) {
    for (size_t k = 0; k < 6; ++k) {
      const double w = centroid(book, s, codes[s])[k];
      dot += query[s * 6 + k] * w;
      l2 += (query[s * 6 + k] - w) * (query[s * 6 + k] - w);
    }
  }
  for (DistanceMetric metric : kMetrics) {
    const std::vector<float> table = pq_distance_table(book, query, metric);
    double sum = 0;
    for (size_t s = 0; s < 4; ++s) sum += table[s * 256 + codes[s]];
    EXPECT_NEAR(sum, metric == DistanceMetric::kEuclidean ? l2 : -dot, 1e-4) << metric_name(metric);
  }
}

TEST(PqEncodeTest, ShortInputsAreNotReadPastTheirEnd) {
  std::mt19937 rng(47);
  const PqCodebook book = random_codebook(rng, 4, 3);
  const std::vector<float> full = random_floats(rng, 12);
  const std::vector<uint8_t> codes = encode(book, full);
  // A vector holding only the first two slices: the missing ones get code 0.
  const std::vector<float> half(full.begin(), full.begin() + 6);
  EXPECT_EQ(encode(book, half), (std::vector<uint8_t>{codes[0], codes[1], 0, 0}));
  // An output of two bytes receives two codes.
  std::vector<uint8_t> two(2);
  pq_encode(book, full, two);
  EXPECT_EQ(two, (std::vector<uint8_t>{codes[0], codes[1]}));
  // A trailing partial vector is not encoded.
  std::vector<float> one_and_a_half(full);
  one_and_a_half.insert(one_and_a_half.end(), full.begin(), full.begin() + 5);
  EXPECT_EQ(pq_encode_batch(book, one_and_a_half), codes);
  // A table for a short query is full size, with zeros for the missing slices.
  const std::vector<float> table = pq_distance_table(book, half, DistanceMetric::kEuclidean);
  ASSERT_EQ(table.size(), 4u * 256);
  EXPECT_TRUE(is_zero(std::span<const float>(table).subspan(2 * 256)));
  EXPECT_GT(table[0], 0.0f);
  // A codebook whose centroid list is cut short is read only as far as it goes.
  PqCodebook truncated = book;
  truncated.centroids.resize(256 * 3 + 5);
  EXPECT_EQ(encode(truncated, full), (std::vector<uint8_t>{codes[0], 0, 0, 0}));
}

}  // namespace
}  // namespace kestrine
