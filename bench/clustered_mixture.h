// The clustered data of the HNSW and rebuild benchmarks: a fixed-seed mixture of Gaussian
// clusters whose centres are drawn from N(0, 1) per component (plus a common offset), every
// point its centre plus N(0, spread^2) per component, optionally rescaled by exp(norm_spread *
// N(0, 1)). The data uses seed 1 and the queries seed 2: further points of the same clusters.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace kestrine::bench {

struct MixtureOptions {
  size_t dim = 128;
  size_t clusters = 100;
  float spread = 1.5f;       // standard deviation of a point around its centre, per component
  float norm_spread = 0.0f;  // data points are scaled by exp(norm_spread * N(0, 1))
  float offset = 0.0f;       // added to every component of centres (a common mean)
};

// `count` points of the mixture, back to back.
inline std::vector<float> clustered_mixture(const MixtureOptions& o, size_t count, uint32_t seed) {
  std::mt19937_64 centres_rng(12345);  // the same clusters for the data and the queries
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centres(o.clusters * o.dim);
  for (float& x : centres) x = normal(centres_rng) + o.offset;
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<size_t> pick(0, o.clusters - 1);
  std::vector<float> out(count * o.dim);
  for (size_t i = 0; i < count; ++i) {
    const float* centre = centres.data() + pick(rng) * o.dim;
    for (size_t j = 0; j < o.dim; ++j) out[i * o.dim + j] = centre[j] + o.spread * normal(rng);
    // Queries (seed 2) keep their natural norm; only the indexed points are rescaled.
    if (o.norm_spread > 0.0f && seed != 2) {
      const float factor = std::exp(o.norm_spread * normal(rng));
      for (size_t j = 0; j < o.dim; ++j) out[i * o.dim + j] *= factor;
    }
  }
  return out;
}

}  // namespace kestrine::bench
