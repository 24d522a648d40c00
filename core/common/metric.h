// The distance metric of a collection. Every metric is turned into a distance where smaller is
// closer; the byte values are stored in snapshots and log records.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrine {

enum class DistanceMetric : uint8_t {
  kCosine = 0,      // 1 - cos(a, b)
  kEuclidean = 1,   // squared L2 distance
  kDotProduct = 2,  // -dot(a, b)
};

// "cosine", "euclidean" or "dot_product", exactly (case-sensitive, no trimming).
inline std::optional<DistanceMetric> parse_metric(std::string_view text) {
  if (text == "cosine") return DistanceMetric::kCosine;
  if (text == "euclidean") return DistanceMetric::kEuclidean;
  if (text == "dot_product") return DistanceMetric::kDotProduct;
  return std::nullopt;
}

inline std::string_view metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::kCosine:
      return "cosine";
    case DistanceMetric::kEuclidean:
      return "euclidean";
    case DistanceMetric::kDotProduct:
      return "dot_product";
  }
  return "unknown";
}

}  // namespace kestrine
