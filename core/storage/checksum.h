// CRC-32 of the zlib / IEEE 802.3 kind (reflected polynomial 0xEDB88320, initial value and
// final xor all ones): CRC-32("123456789") = 0xCBF43926, CRC-32 of nothing = 0. libdeflate
// computes it with carry-less multiplication where the processor has it.
#pragma once

#include <libdeflate.h>

#include <cstdint>
#include <span>

namespace kestrine {

inline uint32_t crc32(std::span<const uint8_t> bytes) {
  return libdeflate_crc32(0, bytes.data(), bytes.size());
}

}  // namespace kestrine
