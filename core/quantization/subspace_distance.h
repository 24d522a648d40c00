// Distances between slices of vectors and centroids, as product quantization computes them:
// single-precision sums in element order, four components per step, then the remainder.
#pragma once

#include <cstddef>
#include <limits>

namespace kestrine {

inline float subspace_squared_l2(const float* u, const float* w, size_t n) {
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float d0 = u[i] - w[i];
    const float d1 = u[i + 1] - w[i + 1];
    const float d2 = u[i + 2] - w[i + 2];
    const float d3 = u[i + 3] - w[i + 3];
    sum += d0 * d0;
    sum += d1 * d1;
    sum += d2 * d2;
    sum += d3 * d3;
  }
  for (; i < n; ++i) {
    const float d = u[i] - w[i];
    sum += d * d;
  }
  return sum;
}

inline float subspace_dot(const float* u, const float* w, size_t n) {
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    sum += u[i] * w[i];
    sum += u[i + 1] * w[i + 1];
    sum += u[i + 2] * w[i + 2];
    sum += u[i + 3] * w[i + 3];
  }
  for (; i < n; ++i) sum += u[i] * w[i];
  return sum;
}

// The index of the centroid nearest to `x` among `count` centroids of `dim` components stored
// back to back. Only a strictly smaller distance moves past an earlier centroid, so the lowest
// index wins ties.
inline size_t nearest_centroid(const float* x, const float* centroids, size_t count, size_t dim) {
  size_t best = 0;
  float best_distance = std::numeric_limits<float>::infinity();
  for (size_t c = 0; c < count; ++c) {
    const float distance = subspace_squared_l2(x, centroids + c * dim, dim);
    if (distance < best_distance) {
      best = c;
      best_distance = distance;
    }
  }
  return best;
}

}  // namespace kestrine
