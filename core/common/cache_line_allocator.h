// An allocator whose blocks start on a cache line. A table of fixed-size records whose size is a
// multiple of the line (a node's 8-bit codes at 128 or 384 dimensions) then keeps every record in
// the fewest lines: 128 codes take two lines instead of the three that a block starting 16 bytes
// into a line (what the general-purpose allocator gives large blocks) makes them straddle.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace kestrine {

inline constexpr size_t kCacheLineBytes = 64;

template <typename T>
struct CacheLineAllocator {
  using value_type = T;

  CacheLineAllocator() = default;
  template <typename U>
  CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kCacheLineBytes}));
  }
  void deallocate(T* p, size_t n) noexcept {
    ::operator delete(p, n * sizeof(T), std::align_val_t{kCacheLineBytes});
  }

  template <typename U>
  friend bool operator==(const CacheLineAllocator&, const CacheLineAllocator<U>&) {
    return true;
  }
};

// A growable table whose elements start on a cache line.
template <typename T>
using CacheLineVector = std::vector<T, CacheLineAllocator<T>>;

}  // namespace kestrine
