// Distances between a query and stored vectors, under a collection's metric. Smaller is closer
// for every metric: cosine gives 1 - cos, euclidean the squared L2 distance, dot_product the
// negated dot product. Each operation has an AVX2/FMA variant and a portable one; the variant
// is chosen from CPU features detected once per process.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/metric.h"

namespace kestrine {

// One stored vector in 8-bit form: component i stands for min + scale * codes[i]. Borrowed:
// it points into an index's tables (or a caller's temporary record) and owns nothing.
struct CodeView {
  std::span<const uint8_t> codes;
  float min = 0.0f;
  float scale = 0.0f;
};

// Distance between two f32 vectors of equal length (the length of `a` is used; should `b` be
// shorter, only its length is compared, so that nothing is read past its end).
float vector_distance(DistanceMetric metric, std::span<const float> a, std::span<const float> b);

// Distance between an f32 query and a vector in 8-bit form with at least query.size() codes
// (fewer codes limit the comparison to their number).
// `query_sq_norm` is squared_norm(query), computed once per operation by the caller; only the
// cosine metric reads it.
float code_distance(DistanceMetric metric, std::span<const float> query, const CodeView& view,
                    float query_sq_norm);

// Sum of the squares of the components, in element order, in single precision.
float squared_norm(std::span<const float> v);

}  // namespace kestrine
