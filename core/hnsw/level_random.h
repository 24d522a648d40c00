// The per-thread generator behind HNSW level draws: a ChaCha20 keystream under a random key
// taken from the operating system on the thread's first draw. Its sequence is never stored.
#pragma once

#include <cstdint>

namespace kestrine {

// The next uniform 64-bit value of the calling thread's generator.
uint64_t level_random_u64();

}  // namespace kestrine
