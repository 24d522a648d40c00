#include "core/common/cache_line_allocator.h"

#include <sys/mman.h>

#include <utility>

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

// Below two huge pages a block holds at most one whole huge page: not worth the advice.
constexpr size_t kHugePageBlockBytes = size_t{4} << 20;

thread_local bool huge_pages = false;

}  // namespace

void* allocate_table_block(size_t bytes) {
  if (!mapped(bytes)) return ::operator new(bytes, std::align_val_t{kCacheLineBytes});
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  // Advice only: a system without transparent huge pages keeps small ones.
  if (huge_pages && bytes >= kHugePageBlockBytes) ::madvise(block, bytes, MADV_HUGEPAGE);
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

HugePageScope::HugePageScope() : outer_(std::exchange(huge_pages, true)) {}

HugePageScope::~HugePageScope() { huge_pages = outer_; }

}  // namespace kestrine
