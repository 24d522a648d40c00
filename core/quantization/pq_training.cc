#include "core/quantization/pq_training.h"

#include <algorithm>
#include <vector>

#include "core/quantization/pq.h"
#include "core/quantization/subspace_distance.h"

namespace kestrine {
namespace {

constexpr uint64_t kStartConstant = 0x517cc1b727220a95;
// Its address is mixed into the generator's start state.
constinit const char start_state_anchor = 0;

// The running minimum distances start above any finite distance.
constexpr float kLargestFloat = 3.4028235e38f;
// Below this total every point sits on a centroid already, and the draw falls back to a
// uniform index.
constexpr double kMinSeedingMass = 1e-30;
// (z >> 11) * 2^-53 is uniform in [0, 1) with the 53 bits a double holds.
constexpr double kUnitFromTop53Bits = 0x1p-53;

void copy_point(std::span<const float> points, size_t dim, size_t index, float* to) {
  std::copy_n(points.data() + index * dim, dim, to);
}

}  // namespace

uint64_t pq_start_state() {
  return xorshift_step(kStartConstant ^ reinterpret_cast<uintptr_t>(&start_state_anchor));
}

void seed_centroids(std::span<const float> points, size_t dim, uint64_t state,
                    std::span<float> centroids) {
  const size_t n = points.size() / dim;
  copy_point(points, dim, state % n, centroids.data());

  // nearest[i]: squared distance from point i to the nearest centroid chosen so far.
  std::vector<float> nearest(n, kLargestFloat);
  for (size_t c = 1; c < kPqCentroids; ++c) {
    const float* previous = centroids.data() + (c - 1) * dim;
    double total = 0.0;
    for (size_t i = 0; i < n; ++i) {
      nearest[i] = std::min(nearest[i], subspace_squared_l2(&points[i * dim], previous, dim));
      total += nearest[i];
    }
    state = xorshift_step(state);
    size_t chosen = 0;
    if (total >= kMinSeedingMass) {
      // The first point whose running total reaches r: a draw weighted by squared distance.
      const double r = static_cast<double>(state >> 11) * kUnitFromTop53Bits * total;
      chosen = n - 1;
      double running = 0.0;
      for (size_t i = 0; i < n; ++i) {
        running += nearest[i];
        if (running >= r) {
          chosen = i;
          break;
        }
      }
    } else {
      chosen = state % n;
    }
    copy_point(points, dim, chosen, centroids.data() + c * dim);
  }
}

void refine_centroids(std::span<const float> points, size_t dim, std::span<float> centroids,
                      int iterations) {
  const size_t n = points.size() / dim;
  std::vector<uint32_t> assignment(n);
  std::vector<uint32_t> members(kPqCentroids);
  for (int iteration = 0; iteration < iterations; ++iteration) {
    for (size_t i = 0; i < n; ++i) {
      assignment[i] = static_cast<uint32_t>(
          nearest_centroid(&points[i * dim], centroids.data(), kPqCentroids, dim));
    }
    std::fill(centroids.begin(), centroids.end(), 0.0f);
    std::fill(members.begin(), members.end(), 0u);
    for (size_t i = 0; i < n; ++i) {
      float* centroid = &centroids[assignment[i] * dim];
      const float* point = &points[i * dim];
      for (size_t k = 0; k < dim; ++k) centroid[k] += point[k];
      ++members[assignment[i]];
    }
    for (size_t c = 0; c < kPqCentroids; ++c) {
      if (members[c] == 0) continue;
      const float inverse = 1.0f / static_cast<float>(members[c]);
      float* centroid = &centroids[c * dim];
      for (size_t k = 0; k < dim; ++k) centroid[k] *= inverse;
    }
  }
}

Result<PqCodebook> train_pq_from_state(std::span<const float> vectors, uint64_t dimension,
                                       uint64_t num_subspaces, uint64_t state) {
  if (dimension == 0 || num_subspaces == 0 || dimension % num_subspaces != 0) {
    return fail(Error::internal("dimension must be divisible by num_subspaces"));
  }
  const size_t n = vectors.size() / dimension;
  if (n == 0) return fail(Error::internal("need at least one vector to train PQ"));

  const size_t dim = dimension / num_subspaces;
  PqCodebook codebook{.num_subspaces = num_subspaces,
                      .num_centroids = kPqCentroids,
                      .subspace_dim = dim,
                      .centroids = std::vector<float>(num_subspaces * kPqCentroids * dim, 0.0f)};
  std::vector<float> points(n * dim);
  for (size_t s = 0; s < num_subspaces; ++s) {
    for (size_t i = 0; i < n; ++i) {
      std::copy_n(&vectors[i * dimension + s * dim], dim, &points[i * dim]);
    }
    const std::span<float> centroids(&codebook.centroids[s * kPqCentroids * dim],
                                     kPqCentroids * dim);
    if (n <= kPqCentroids) {
      // Every point is a centroid; the remaining slots stay zero.
      std::copy(points.begin(), points.end(), centroids.begin());
      continue;
    }
    seed_centroids(points, dim, state, centroids);
    refine_centroids(points, dim, centroids, kPqLloydIterations);
  }
  return codebook;
}

Result<PqCodebook> train_pq(std::span<const float> vectors, uint64_t dimension,
                            uint64_t num_subspaces) {
  return train_pq_from_state(vectors, dimension, num_subspaces, pq_start_state());
}

}  // namespace kestrine
