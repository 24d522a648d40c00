// The operating system's cryptographic random source. A failing source is fatal: nothing that
// needs randomness (UUIDs, nonces, generator seeds) can go on safely without it.
#pragma once

#include <cstdint>
#include <span>

namespace kestrine {

void fill_os_random(std::span<uint8_t> out);
uint64_t os_random_u64();

}  // namespace kestrine
