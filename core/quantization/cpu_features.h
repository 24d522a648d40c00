// What the processor and operating system offer to the distance kernels.
#pragma once

namespace kestrine {

// True when the processor has AVX2 and FMA and the operating system saves and restores the
// 256-bit register state (OSXSAVE set and XCR0 enabling the SSE and AVX state). Asked of the
// processor once per process; later calls read the cached answer.
bool cpu_has_avx2_fma();

// True when cpu_has_avx2_fma() holds, the processor has AVX-512 Foundation, and the operating
// system also saves the opmask registers and the full 512-bit register state. Cached likewise.
bool cpu_has_avx512f();

}  // namespace kestrine
