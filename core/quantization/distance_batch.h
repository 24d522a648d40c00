// Distances for the inner loops of searches and insertions, with the kernel variant fixed by the
// caller for a whole operation. Two savings, neither of which changes a single bit of a result:
// - the squared norm of a stored vector, which the cosine metric needs on every call, is
//   computed once (per node, or per vector of a neighbour selection) and passed in;
// - up to kMaxDistanceBatch stored vectors are scored against one query per call, with one
//   accumulator each, so that their independent sums overlap in the processor.
// Every distance equals, bit for bit, what code_distance_with / vector_distance_with return for
// the same variant and operands: each sum sees the same operations in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/metric.h"
#include "core/quantization/distance.h"
#include "core/quantization/distance_kernels.h"
#include "core/quantization/kernel_dispatch.h"

namespace kestrine {

// The sum v . v that the cosine code_distance of `variant` forms for `view` over all its codes.
float code_squared_norm(KernelVariant variant, const CodeView& view);

// The sum v . v that the cosine vector_distance of `variant` forms for `v`, either operand.
float vector_squared_norm(KernelVariant variant, std::span<const float> v);

// code_distance_with(variant, metric, query, views[j], query_sq_norm) into out[j] for every j
// (at most kMaxDistanceBatch views; `out` holds as many). Every view holds at least
// query.size() codes. For the cosine metric, `stored_sq_norms` is either null or holds
// code_squared_norm(variant, ·) of each view cut to query.size() codes.
void code_distances(KernelVariant variant, DistanceMetric metric, std::span<const float> query,
                    std::span<const CodeView> views, float query_sq_norm,
                    const float* stored_sq_norms, float* out);

// vector_distance_with(variant, metric, a, {b[j], a.size()}) into out[j] for every j (at most
// kMaxDistanceBatch vectors, each of at least a.size() values). For the cosine metric, `a_sq` is
// vector_squared_norm(variant, a) and `b_sq` null or the same for each {b[j], a.size()}.
void vector_distances(KernelVariant variant, DistanceMetric metric, std::span<const float> a,
                      float a_sq, std::span<const float* const> b, const float* b_sq, float* out);

// The kernel table of `variant`, or of the widest supported variant below it, for loops that
// call kernels directly and should not look the table up on every call.
const DistanceKernels& distance_kernels(KernelVariant variant);

// Dequantizes `view` into `out` (view.codes.size() values, exactly dequantize_into's) and returns
// vector_squared_norm of the result for the kernels' variant, in one pass.
float dequantize_sq_norm(const DistanceKernels& kernels, const CodeView& view, float* out);

// vector_distances with the kernels given and, for the cosine metric, the square roots of the
// squared norms instead of the norms: a_root = sqrt(a_sq) and b_roots[j] = sqrt(b_sq[j]), never
// null for the cosine metric. A vector compared with many others then takes its root once.
void vector_distances_by_roots(const DistanceKernels& kernels, DistanceMetric metric,
                               std::span<const float> a, float a_root,
                               std::span<const float* const> b, const float* b_roots, float* out);

}  // namespace kestrine
