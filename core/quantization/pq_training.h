// The steps of product-quantization training, on the points of one slice: k-means++ seeding
// driven by a 64-bit xorshift generator, then Lloyd iterations. train_pq (pq.h) runs them for
// every slice; they are declared here so that tests can drive them with a chosen generator
// state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/error.h"
#include "core/quantization/pq_codebook.h"

namespace kestrine {

// Centroids per slice, and so the number of distinct codes of a byte.
inline constexpr size_t kPqCentroids = 256;
// Lloyd iterations per slice; there is no convergence test.
inline constexpr int kPqLloydIterations = 20;

// One step of the generator: z ^= z << 13, z ^= z >> 7, z ^= z << 17.
constexpr uint64_t xorshift_step(uint64_t z) {
  z ^= z << 13;
  z ^= z >> 7;
  z ^= z << 17;
  return z;
}

// The generator state a train_pq call starts every slice from: a fixed constant mixed with the
// address of an object of this library, stepped once. Constant within a process; another
// process may place the library elsewhere and get another state.
uint64_t pq_start_state();

// Chooses kPqCentroids centroids among the n = points.size() / dim points (n > kPqCentroids)
// by k-means++ from generator state `state`, written to `centroids` (kPqCentroids * dim).
void seed_centroids(std::span<const float> points, size_t dim, uint64_t state,
                    std::span<float> centroids);

// Runs `iterations` Lloyd iterations over kPqCentroids centroids: assign every point to its
// nearest centroid, then replace every centroid by the mean of its members (the zero vector
// when it has none).
void refine_centroids(std::span<const float> points, size_t dim, std::span<float> centroids,
                      int iterations);

// train_pq with the generator starting from `state` instead of pq_start_state().
Result<PqCodebook> train_pq_from_state(std::span<const float> vectors, uint64_t dimension,
                                       uint64_t num_subspaces, uint64_t state);

}  // namespace kestrine
