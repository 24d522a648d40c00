#include "core/common/cache_line_allocator.h"

#include <sys/mman.h>

#include <cstdint>

namespace kestrine {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
#else
constexpr bool kMapLargeBlocks = true;
#endif

bool mapped(size_t bytes) { return kMapLargeBlocks && bytes >= kMappedBlockBytes; }

// Blocks from kHugeBlockBytes on start on a huge-page boundary and ask for huge pages. A graph
// walk reads a few lines of one node, then of another anywhere in the tables: with small pages
// nearly every read of a table of several megabytes also misses the address translation cache,
// and the walk waits on the page tables as well as on memory. A huge page costs at most its
// size in resident memory past a table's end, small beside a table this large.
constexpr size_t kHugePageBytes = size_t{2} << 20;
constexpr size_t kHugeBlockBytes = size_t{4} << 20;
constexpr size_t kSmallPageBytes = 4096;

size_t round_up(size_t value, size_t step) { return (value + step - 1) / step * step; }

// A mapping of `bytes` (a whole number of small pages) on a huge-page boundary, or null.
void* map_on_huge_boundary(size_t bytes) {
  const size_t total = bytes + kHugePageBytes;
  void* raw = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = round_up(start, kHugePageBytes);
  // What lies before and after the aligned block goes back; free_table_block then unmaps
  // exactly the block.
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = aligned + bytes;
  if (start + total > end) munmap(reinterpret_cast<void*>(end), start + total - end);
  void* block = reinterpret_cast<void*>(aligned);
  // Only a hint: without huge pages the block works the same.
  madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

}  // namespace

void* allocate_table_block(size_t bytes) {
  if (!mapped(bytes)) return ::operator new(bytes, std::align_val_t{kCacheLineBytes});
  if (bytes >= kHugeBlockBytes) {
    if (void* block = map_on_huge_boundary(round_up(bytes, kSmallPageBytes))) return block;
  }
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return block;
}

void free_table_block(void* block, size_t bytes) noexcept {
  if (block == nullptr) return;
  if (!mapped(bytes)) {
    ::operator delete(block, bytes, std::align_val_t{kCacheLineBytes});
    return;
  }
  munmap(block, bytes);
}

}  // namespace kestrine
