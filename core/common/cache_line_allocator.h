// An allocator for the large per-node and per-document tables. Its blocks start on a cache line:
// a table of fixed-size records whose size is a multiple of the line (a node's 8-bit codes at 128
// or 384 dimensions) then keeps every record in the fewest lines: 128 codes take two lines
// instead of the three that a block starting 16 bytes into a line (what the general-purpose
// allocator gives large blocks) makes them straddle.
//
// A block of kMappedBlockBytes or more is a mapping of its own, given back to the system when
// freed. A table grown by appending holds growth room past its end; in a mapping that room is
// never touched, so it costs address space and no resident memory, and the blocks a growing
// table leaves behind go back to the system instead of staying in the heap (where later blocks
// would reuse their touched pages, growth room included). Builds with AddressSanitizer take every
// block from the heap, so that reads past a table's end are still caught.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace kestrine {

inline constexpr size_t kCacheLineBytes = 64;
inline constexpr size_t kMappedBlockBytes = size_t{128} << 10;

// A block of `bytes` starting on a cache line; ends the process (std::bad_alloc) when none can be
// had. free_table_block takes the block and the same size.
void* allocate_table_block(size_t bytes);
void free_table_block(void* block, size_t bytes) noexcept;

// While one is open on a thread, the mapped blocks that thread allocates are advised to use huge
// pages, which fault in 2 MiB at a time instead of 4 KiB. For tables sized once, exactly, and
// filled at once (a snapshot's, as it is decoded): every page is touched anyway, and the system
// backs only whole huge pages inside the block, so none is resident beyond what is written.
// Tables with growth room are left out: the huge page that holds a table's end would make up to
// 2 MiB of never-used room resident. Scopes nest.
class HugePageScope {
 public:
  HugePageScope();
  ~HugePageScope();
  HugePageScope(const HugePageScope&) = delete;
  HugePageScope& operator=(const HugePageScope&) = delete;

 private:
  bool outer_;  // whether a scope was already open on this thread
};

template <typename T>
struct CacheLineAllocator {
  using value_type = T;

  CacheLineAllocator() = default;
  template <typename U>
  CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(size_t n) { return static_cast<T*>(allocate_table_block(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept { free_table_block(p, n * sizeof(T)); }

  template <typename U>
  friend bool operator==(const CacheLineAllocator&, const CacheLineAllocator<U>&) {
    return true;
  }
};

// A growable table whose elements start on a cache line.
template <typename T>
using CacheLineVector = std::vector<T, CacheLineAllocator<T>>;

}  // namespace kestrine
