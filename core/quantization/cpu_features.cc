#include "core/quantization/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

#include <cstdint>
#endif

namespace kestrine {
namespace {

#if defined(__x86_64__) || defined(__i386__)

// XCR0, the register state the operating system has enabled. Read with the instruction's
// encoding directly, so that this file needs no -mxsave.
uint64_t read_xcr0() {
  uint32_t eax = 0;
  uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

bool detect_avx2_fma() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool fma = (ecx & bit_FMA) != 0;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  if (!fma || !osxsave || !avx) return false;
  // Bits 1 and 2: the XMM and YMM halves of the registers survive a context switch.
  constexpr uint64_t kSseAndAvxState = 0x6;
  if ((read_xcr0() & kSseAndAvxState) != kSseAndAvxState) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0;
}

bool detect_avx512f() {
  if (!detect_avx2_fma()) return false;
  // Bits 5 to 7: the opmask registers and both halves of the 512-bit state survive as well.
  constexpr uint64_t kAvx512State = 0xe6;
  if ((read_xcr0() & kAvx512State) != kAvx512State) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX512F) != 0;
}

#else

bool detect_avx2_fma() { return false; }
bool detect_avx512f() { return false; }

#endif

}  // namespace

bool cpu_has_avx2_fma() {
  static const bool supported = detect_avx2_fma();
  return supported;
}

bool cpu_has_avx512f() {
  static const bool supported = detect_avx512f();
  return supported;
}

}  // namespace kestrine
