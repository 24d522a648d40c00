// The per-thread generator behind HNSW level draws: a ChaCha20 keystream under a random key
// taken from the operating system on the thread's first draw. Its sequence is never stored.
#pragma once

#include <cstdint>

namespace kestrine {

// The next uniform 64-bit value of the calling thread's generator.
uint64_t level_random_u64();

// Re-keys the calling thread's generator from `seed`, so that the levels it draws from then on
// are the same on every run. For fuzzers and tests, whose failures must replay exactly; the
// database itself never calls it.
void seed_level_random(uint64_t seed);

}  // namespace kestrine
