// Control over the variants of the distance kernels. The library picks the widest variant the
// processor and operating system support (AVX-512, else AVX2/FMA, else portable); the functions
// below let tests and benchmarks see that choice, override it, and call any variant directly
// to compare them.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/metric.h"
#include "core/quantization/distance.h"

namespace kestrine {

enum class KernelVariant : uint8_t {
  kPortable,
  kAvx2,    // 256-bit AVX2 with fused multiply-add
  kAvx512,  // AVX-512 Foundation where it helps, AVX2 elsewhere; every result is AVX2's
};

// True when the processor has AVX2 and FMA and the operating system saves the 256-bit register
// state. Detected on first use, then cached for the life of the process.
bool avx2_kernels_supported();

// True when the processor also has AVX-512 Foundation and the operating system saves the 512-bit
// register state (and avx2_kernels_supported() holds). Cached likewise.
bool avx512_kernels_supported();

// True when `variant` runs as itself on this processor: always for kPortable, else as the two
// functions above say.
bool kernel_variant_supported(KernelVariant variant);

// True when every sum of the two variants is bit for bit the same, so that a value one of them
// computed (a stored vector's squared norm) stands for the other's: a variant with itself, and
// AVX2 with AVX-512.
bool same_kernel_sums(KernelVariant a, KernelVariant b);

// The variant that vector_distance and code_distance run.
KernelVariant active_kernel_variant();

// "portable", "avx2" or "avx512": the name benchmarks accept and reports print.
const char* kernel_variant_name(KernelVariant variant);

// While `force` is true, vector_distance and code_distance run the portable variant even where
// AVX2 is available; false restores the automatic choice. Meant for tests and benchmarks: an
// operation must not straddle a change, since distances of different variants may differ in
// their last bits.
void force_portable_kernels(bool force);

// Makes vector_distance and code_distance run `variant` until the next call of this function or
// of force_portable_kernels, which clears it when given false. Returns false, and changes
// nothing, when the variant is not supported here. The same caveat as above applies.
bool force_kernel_variant(KernelVariant variant);

// vector_distance and code_distance computed by the given variant. Asking for a variant that is
// not supported runs the widest supported one below it instead.
float vector_distance_with(KernelVariant variant, DistanceMetric metric, std::span<const float> a,
                           std::span<const float> b);
float code_distance_with(KernelVariant variant, DistanceMetric metric, std::span<const float> query,
                         const CodeView& view, float query_sq_norm);

}  // namespace kestrine
