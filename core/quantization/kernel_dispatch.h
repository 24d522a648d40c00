// Control over the two variants of the distance kernels. The library picks the AVX2/FMA variant
// when the processor and operating system support it and the portable variant otherwise; the
// functions below let tests and benchmarks see that choice, override it, and call either variant
// directly to compare them.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/metric.h"
#include "core/quantization/distance.h"

namespace kestrine {

enum class KernelVariant : uint8_t {
  kPortable,
  kAvx2,  // 256-bit AVX2 with fused multiply-add
};

// True when the processor has AVX2 and FMA and the operating system saves the 256-bit register
// state. Detected on first use, then cached for the life of the process.
bool avx2_kernels_supported();

// The variant that vector_distance and code_distance run.
KernelVariant active_kernel_variant();

// While `force` is true, vector_distance and code_distance run the portable variant even where
// AVX2 is available; false restores the automatic choice. Meant for tests and benchmarks: an
// operation must not straddle a change, since distances of different variants may differ in
// their last bits.
void force_portable_kernels(bool force);

// vector_distance and code_distance computed by the given variant. Asking for kAvx2 where it is
// not supported runs the portable variant instead.
float vector_distance_with(KernelVariant variant, DistanceMetric metric, std::span<const float> a,
                           std::span<const float> b);
float code_distance_with(KernelVariant variant, DistanceMetric metric, std::span<const float> query,
                         const CodeView& view, float query_sq_norm);

}  // namespace kestrine
